#include "ipc/ready_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/signal_print.h"

namespace vyn {
namespace {

using pipe_signal::Message;
using pipe_signal::ReadFailed;
using pipe_signal::ReadTimedOut;
using pipe_signal::Ready;

const std::string kFffd = "\xEF\xBF\xBD";

TEST(JudgeMessage, ReadyAnywhereInTheBytesCounts) {
  for (const std::string& bytes : std::vector<std::string>{
           "READY", "READY\n", "READY\r\n", "  READY  ", "app READY v1.2", "xREADYx", "READYREADY",
           "\xFF\xFE READY", "\xC3\x28READY", std::string("\0READY", 6)}) {
    EXPECT_EQ(judge_message(bytes), PipeSignal(Ready{})) << bytes;
  }
}

TEST(JudgeMessage, AnythingElseIsAMessageWithTheDecodedText) {
  for (const std::string bytes : {"ready", "Ready", "ReAdY", "READ", "REA", "R E A D Y", "",
                                  "READ\nY", "ok", "\xE2\x9C\x93 started"}) {
    EXPECT_EQ(judge_message(bytes), PipeSignal(Message{bytes})) << bytes;
  }
}

TEST(JudgeMessage, InvalidBytesAreReplacedAndDoNotJoinTheWord) {
  EXPECT_EQ(judge_message("REA\xFF"
                          "DY"),
            PipeSignal(Message{"REA" + kFffd + "DY"}));
  EXPECT_EQ(judge_message("\xFF\xFF"), PipeSignal(Message{kFffd + kFffd}));
  // A character cut at the end of the buffer is invalid too.
  EXPECT_EQ(judge_message("go \xE2\x9C"), PipeSignal(Message{"go " + kFffd}));
}

TEST(JudgeReadFailure, MapsTheErrorKinds) {
  EXPECT_EQ(judge_read_failure(kErrorBrokenPipe), PipeSignal(Message{}));
  for (std::uint32_t code : {121u, 258u, 594u, 995u, 1053u, 1121u, 1460u, 5910u, 7012u, 7040u,
                             8014u, 8226u, 9705u, 10060u, 13805u, 15402u, 15403u}) {
    EXPECT_TRUE(is_timeout_error(code)) << code;
    EXPECT_EQ(judge_read_failure(code), PipeSignal(ReadTimedOut{})) << code;
  }
  for (std::uint32_t code : {0u, 5u, 120u, 122u, 232u, 233u, 996u, 15404u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(is_timeout_error(code)) << code;
    EXPECT_EQ(judge_read_failure(code), PipeSignal(ReadFailed{code})) << code;
  }
}

TEST(DeadlineAfter, AddsTheWaitOrGivesNoDeadlineOnOverflow) {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  EXPECT_EQ(deadline_after(now, milliseconds(120'000)), now + seconds(120));
  EXPECT_EQ(deadline_after(now, milliseconds(0)), now);
  EXPECT_EQ(deadline_after(now, milliseconds(-5)), now);
  EXPECT_EQ(deadline_after(now, milliseconds::min()), now);
  EXPECT_EQ(deadline_after(now, milliseconds::max()), std::nullopt);
  const auto late = steady_clock::time_point::max() - seconds(60);
  EXPECT_EQ(deadline_after(late, milliseconds(120'000)), std::nullopt);
  EXPECT_EQ(deadline_after(late, milliseconds(30'000)), late + seconds(30));
}

}  // namespace
}  // namespace vyn
