// Children and pipe clients that misbehave, and a machine that is in the
// way: the launcher must stay bounded in memory and time, end orderly with
// exit code 0, and leave a log of whole records (or no log at all).
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "e2e/harness_win.h"

namespace vyn::e2e {
namespace {

// How far the launcher's working set may grow over an idle run whatever the
// child writes: room for the log writer's buffers, far below what holding
// the output would take.
constexpr std::size_t kWorkingSetGrowthBound = 16u << 20;

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    Installation::unregister();
    inst.copy_program(L"VYN.exe", L"VYN.exe");
    inst.register_install(L"e2e-hostile");
  }
  void TearDown() override { Installation::unregister(); }

  void write_scenario(const std::string& steps, const std::string& extra = "") {
    Record scenario = Record::parse("{" + extra + "\"steps\":" + steps + "}");
    const std::wstring path = record();
    scenario["record"] = std::string(path.begin(), path.end());
    if (!scenario.contains("aliveMs")) scenario["aliveMs"] = 0;
    test::write_file(inst.install_dir + L"\\standin.json", scenario.dump());
  }

  std::wstring record() const { return inst.root / L"standin-record.jsonl"; }

  std::vector<Record> record_of(const char* kind) const {
    std::vector<Record> out;
    for (const std::string& line : test::split_lines(test::read_file(record()))) {
      Record r = Record::parse(line, nullptr, false);
      if (r.is_object() && r["kind"] == kind) out.push_back(r);
    }
    return out;
  }

  // The peak working set of a run whose child only says READY.
  std::size_t idle_peak() {
    static std::size_t peak = 0;
    if (peak == 0) {
      write_scenario(R"([{"pipe":"READY","delayMs":200}])");
      peak = run_launcher(inst).peak_working_set;
      DeleteFileW(inst.log_path().c_str());
    }
    return peak;
  }

  static void expect_whole_log(const RunResult& r) {
    EXPECT_FALSE(r.lines.empty());
    for (const std::string& line : r.lines)
      EXPECT_TRUE(Record::parse(line, nullptr, false).is_object()) << line.substr(0, 200);
  }

  Installation inst;
};

// Output floods: the child writes everything, then READY.
struct Flood {
  const char* name;
  const char* step;
};

class HostileOutput : public Hostile, public ::testing::WithParamInterface<Flood> {};

TEST_P(HostileOutput, StaysBoundedAndEndsOnReady) {
  const std::size_t idle = idle_peak();
  write_scenario(std::string("[") + GetParam().step + R"(,{"pipe":"READY"}])");
  const RunResult r = run_launcher(inst, {.timeout_ms = 300'000});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("launcher_exit_on_ready"));
  ASSERT_GT(idle, 0u);
  EXPECT_LT(r.peak_working_set, idle + kWorkingSetGrowthBound);
  std::printf("[ figure   ] %s: launcher peak working set %.1f MiB, idle run %.1f MiB\n",
              GetParam().name, static_cast<double>(r.peak_working_set) / (1 << 20),
              static_cast<double>(idle) / (1 << 20));
  expect_whole_log(r);
  for (const Record& batch : r.events("vyn_stderr_batch")) {
    EXPECT_LE(batch["stderrLogs"].size(), 50u);
    for (const auto& entry : batch["stderrLogs"]) EXPECT_LE(entry.get<std::string>().size(), 2100u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Floods, HostileOutput,
    ::testing::Values(Flood{"RandomGiB", R"({"stderrRandom":1073741824,"seed":7})"},
                      Flood{"OneLineGiB", R"({"stderrLongLine":1073741824,"newline":true})"},
                      Flood{"MillionLines", R"({"stderrLines":1000000,"text":"l"})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Hostile, AGrandchildHoldingTheErrorPipeDelaysNothing) {
  // The first child reports the GPU failure and dies, but a process it
  // started keeps the error pipe open: the relaunch must not wait for the
  // end of that output, nor the exit for the monitor.
  const std::wstring grand_record = inst.root / L"grandchild.jsonl";
  Record grandchild = {{"singleInstance", false},
                       {"steps", Record::parse(R"([{"sleepMs":8000}])")}};
  grandchild["record"] = std::string(grand_record.begin(), grand_record.end());
  write_scenario(R"([{"pipe":"READY","delayMs":300}])",
                 "\"gpuFailure\":true,\"gpuFailureSpawn\":" + grandchild.dump() + ",");
  const DWORD start = GetTickCount();
  const RunResult r = run_launcher(inst, {.timeout_ms = 60'000});
  const DWORD took = GetTickCount() - start;
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.events("launcher_gpu_incompatible_retry").size(), 1u);
  EXPECT_TRUE(r.has("launcher_exit_on_ready"));
  EXPECT_LT(took, 6000u);
  expect_whole_log(r);
  // Let the grandchild go before the installation is removed.
  for (const std::string& line : test::split_lines(test::read_file(grand_record))) {
    const Record g = Record::parse(line, nullptr, false);
    if (g.is_object() && g["kind"] == "start") wait_for_process_exit(g["pid"], 15'000);
  }
}

// Pipe clients that are not the application: each ends the wait at once
// without READY, and the launcher ends orderly.
enum class Client { ConnectAndClose, Garbage64KiB };

class HostileClient : public Hostile, public ::testing::WithParamInterface<Client> {};

TEST_P(HostileClient, EndsTheWaitAtOnceWithoutReady) {
  // The application would say READY much later; the client comes first.
  write_scenario(R"([{"pipe":"READY","delayMs":8000,"connectTimeoutMs":100}])");
  std::thread client([&] {
    if (!wait_for_log_event(inst, "process_launch_success")) return;
    const std::string garbage =
        GetParam() == Client::Garbage64KiB ? std::string(64 * 1024, '\xA5') : std::string();
    EXPECT_EQ(send_boot_message(garbage), "");
  });
  const DWORD start = GetTickCount();
  const RunResult r = run_launcher(inst, {.timeout_ms = 60'000});
  const DWORD took = GetTickCount() - start;
  client.join();
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_FALSE(r.has("signal_received"));
  EXPECT_FALSE(r.has("signal_timeout"));
  ASSERT_TRUE(r.has("launcher_exit_early"));
  EXPECT_EQ(r.events("launcher_exit_early").at(0)["reason"], "ready_signal_timeout");
  EXPECT_LT(took, 7000u);
  expect_whole_log(r);
}

INSTANTIATE_TEST_SUITE_P(Clients, HostileClient,
                         ::testing::Values(Client::ConnectAndClose, Client::Garbage64KiB));

TEST_F(Hostile, AClientThatNeverWritesHoldsTheWaitToItsDeadline) {
  // The one instance is taken for good: the design's bound, 120 s, ends it.
  write_scenario(R"([{"pipe":"READY","delayMs":2000,"connectTimeoutMs":100}])");
  HANDLE squatter = INVALID_HANDLE_VALUE;
  std::thread client([&] {
    if (!wait_for_log_event(inst, "process_launch_success")) return;
    for (int i = 0; i < 200 && squatter == INVALID_HANDLE_VALUE; ++i, Sleep(10))
      squatter = CreateFileW(L"\\\\.\\pipe\\VYN_BOOT", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  });
  const RunResult r = run_launcher(inst, {.timeout_ms = 180'000});
  client.join();
  ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
  CloseHandle(squatter);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  ASSERT_EQ(r.events("signal_timeout").size(), 1u);
  EXPECT_EQ(r.events("signal_timeout").at(0)["timeoutMs"], 120000);
  EXPECT_EQ(r.events("launcher_exit_early").at(0)["reason"], "ready_signal_timeout");
  expect_whole_log(r);
}

}  // namespace
}  // namespace vyn::e2e
