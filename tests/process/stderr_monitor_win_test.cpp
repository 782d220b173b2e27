#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "process/instance_fixture_win.h"
#include "process/stderr_monitor.h"

namespace vyn {
namespace {

using test::LogCursor;

struct Pipe {
  UniqueHandle read;
  UniqueHandle write;
};

Pipe make_pipe() {
  Pipe p;
  HANDLE r = nullptr, w = nullptr;
  if (!::CreatePipe(&r, &w, nullptr, 0)) throw std::runtime_error("CreatePipe failed");
  p.read.reset(r);
  p.write.reset(w);
  return p;
}

// Writes each piece with its own WriteFile (an empty piece is an empty
// write), then closes the write end.
std::thread write_pieces(UniqueHandle write, std::vector<std::string> pieces) {
  return std::thread([w = std::move(write), pieces = std::move(pieces)]() mutable {
    for (const std::string& piece : pieces) {
      DWORD written = 0;
      ::WriteFile(w.get(), piece.data(), static_cast<DWORD>(piece.size()), &written, nullptr);
    }
    w.reset();
  });
}

std::vector<nlohmann::ordered_json> for_pid(const std::vector<nlohmann::ordered_json>& records,
                                            std::uint32_t pid) {
  std::vector<nlohmann::ordered_json> out;
  for (const auto& r : records)
    if (r.value("mainPid", 0u) == pid || r.at("eventName") == "vyn_gpu_process_unusable_detected")
      out.push_back(r);
  return out;
}

std::vector<std::string> names(const std::vector<nlohmann::ordered_json>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(r.at("eventName").get<std::string>());
  return out;
}

TEST(StderrMonitorWin, LogsWhatThePipeCarriesAndSetsTheGpuFlag) {
  test::program_log_path();
  LogCursor cursor;
  gpu_failure_flag().store(false);
  Pipe pipe = make_pipe();
  // A character split across writes, an empty write in the middle (which
  // must not end the reading), an invalid line and an unterminated last one.
  std::thread writer =
      write_pieces(std::move(pipe.write), {"first\r\n\xC3", "\xA9t\xC3\xA9\n", "", "bad \xFF\n",
                                           "[7] GPU PROCESS ISN'T USABLE\n", "last"});
  run_stderr_monitor(std::move(pipe.read), 4101);
  writer.join();

  EXPECT_TRUE(gpu_failure_flag().load());
  const auto records = for_pid(cursor.records(), 4101);
  ASSERT_EQ(names(records),
            (std::vector<std::string>{"vyn_gpu_process_unusable_detected", "vyn_stderr_final",
                                      "stderr_monitor_finished"}));
  EXPECT_EQ(records[0].at("level"), "error");
  EXPECT_EQ(records[0].at("message"), "[7] GPU PROCESS ISN'T USABLE");
  EXPECT_EQ(records[1].at("level"), "info");
  EXPECT_EQ(records[1].at("stderrLogs"),
            nlohmann::ordered_json(
                {"first", "\xC3\xA9t\xC3\xA9", "[7] GPU PROCESS ISN'T USABLE", "last"}));
  EXPECT_EQ(records[2].at("level"), "verbose");
  EXPECT_EQ(test::field_names(records[2]),
            (std::vector<std::string>{"mainPid", "totalLinesProcessed", "overflowDetected"}));
  EXPECT_EQ(records[2].at("totalLinesProcessed"), 4);
  EXPECT_EQ(records[2].at("overflowDetected"), false);
}

TEST(StderrMonitorWin, KeepsDrainingAfterTheCapSoTheWriterNeverBlocks) {
  test::program_log_path();
  LogCursor cursor;
  Pipe pipe = make_pipe();
  std::string lines;
  for (int i = 1; i <= 501; ++i) lines += "line " + std::to_string(i) + "\n";
  // Far more than the pipe buffers, so the writer only gets through it if
  // the monitor reads on after the cap.
  std::vector<std::string> pieces{lines};
  const std::string endless(3 * 1024 * 1024, 'x');
  for (int i = 0; i < 4; ++i) pieces.push_back(endless);
  std::thread writer = write_pieces(std::move(pipe.write), pieces);
  run_stderr_monitor(std::move(pipe.read), 4102);
  writer.join();

  const auto records = for_pid(cursor.records(), 4102);
  std::vector<std::string> expected(10, "vyn_stderr_batch");
  expected.push_back("vyn_stderr_overflow");
  expected.push_back("stderr_monitor_finished");
  ASSERT_EQ(names(records), expected);
  EXPECT_EQ(records[10].at("stderrLogs").size(), 1u);
  EXPECT_EQ(records[11].at("totalLinesProcessed"), 500);
  EXPECT_EQ(records[11].at("overflowDetected"), true);
}

TEST(StderrMonitorWin, StartedMonitorRunsDetachedUntilTheOutputEnds) {
  test::program_log_path();
  LogCursor cursor;
  start_stderr_monitor(UniqueHandle(), 4103);  // no pipe: nothing runs

  Pipe pipe = make_pipe();
  start_stderr_monitor(std::move(pipe.read), 4104);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(pipe.write.get(), "one line", 8, &written, nullptr));
  pipe.write.reset();

  std::vector<nlohmann::ordered_json> records;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    records = for_pid(cursor.records(), 4104);
    if (!records.empty() && records.back().at("eventName") == "stderr_monitor_finished") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(names(records),
            (std::vector<std::string>{"vyn_stderr_final", "stderr_monitor_finished"}));
  EXPECT_EQ(records[0].at("stderrLogs"), nlohmann::ordered_json({"one line"}));
  EXPECT_TRUE(for_pid(cursor.records(), 4103).empty());
}

}  // namespace
}  // namespace vyn
