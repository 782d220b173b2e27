#include "logview/timeline.h"

#include <gtest/gtest.h>

namespace vyn::logview {
namespace {

std::string rec(const std::string& ts, const std::string& event, const std::string& extra = "") {
  return "{\"level\":\"info\",\"installId\":\"i\",\"ts\":\"2025-03-04T05:06:" + ts +
         "Z\",\"launcherVersion\":\"3.0.0\",\"eventName\":\"" + event + "\"" + extra +
         ",\"processId\":1,\"threadId\":2}\n";
}

TEST(Timeline, OneBlockPerRunWithAVerdict) {
  const std::string log = rec("07.000", "launcher_init", ",\"devMode\":false") +
                          rec("07.100", "launcher_gpu_incompatible_retry") +
                          rec("08.250", "launcher_exit_on_ready", ",\"mainPid\":7") +
                          rec("09.000", "launcher_init") +
                          rec("09.010", "launcher_already_running", ",\"action\":\"exit\"");
  const std::string out = render_timeline(log);
  EXPECT_NE(out.find("Run 1 of 2"), std::string::npos);
  EXPECT_NE(out.find("=> ready after 1250 ms, GPU fallback"), std::string::npos) << out;
  EXPECT_NE(out.find("=> second launcher"), std::string::npos) << out;
  EXPECT_NE(out.find("devMode=false"), std::string::npos);
  EXPECT_EQ(out.find("threadId"), std::string::npos);  // header members stay out of the way
}

TEST(Timeline, DamagedLinesAreShownAndCounted) {
  const std::string log = rec("07.000", "launcher_init") + "{\"level\":\"in\n" + "\xFF\xFE\n" +
                          rec("07.500", "launcher_exit_early", ",\"reason\":\"failed_to_launch\"");
  const std::string out = render_timeline(log);
  EXPECT_NE(out.find("=> launch failed, 2 damaged line(s)"), std::string::npos) << out;
  EXPECT_EQ(render_timeline(""), "(empty log)\n");
  EXPECT_NE(render_timeline("garbage").find("1 damaged line(s)"), std::string::npos);
}

TEST(Timeline, StderrBatchesListTheirLines) {
  const std::string out = render_timeline(
      rec("07.000", "vyn_stderr_batch", ",\"mainPid\":3,\"stderrLogs\":[\"a\",\"b\"]"));
  EXPECT_NE(out.find("stderrLogs=[2 lines]"), std::string::npos);
  EXPECT_NE(out.find("| b"), std::string::npos);
}

}  // namespace
}  // namespace vyn::logview
