// The launcher's main job through the real binaries: it starts the stand-in
// application, watches it and ends when the application says READY.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "e2e/harness_win.h"

namespace vyn::e2e {
namespace {

class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    Installation::unregister();
    inst.copy_program(L"VYN.exe", L"VYN.exe");
    inst.register_install(L"e2e-install");
  }
  void TearDown() override { Installation::unregister(); }

  // Runs the launcher with the stand-in playing `scenario`; its starts are
  // recorded to a file beside it.
  RunResult run(const std::string& scenario_steps, std::vector<std::wstring> args = {},
                const std::string& extra = "") {
    record_ = inst.root / L"standin-record.jsonl";
    Record scenario = Record::parse("{" + extra + "\"steps\":" + scenario_steps + "}");
    scenario["record"] = to_utf8_path(record_);
    if (!scenario.contains("aliveMs")) scenario["aliveMs"] = 1500;
    test::write_file(inst.install_dir + L"\\standin.json", scenario.dump());
    return run_launcher(inst, {.args = std::move(args)});
  }

  // As run(), but READY comes from the test once the error output of
  // `children` children has been read to its end, so everything they wrote
  // is in the log.
  RunResult run_ready_after_output(const std::string& scenario_steps,
                                   std::vector<std::wstring> args = {},
                                   const std::string& extra = "", DWORD settle_ms = 0,
                                   std::size_t children = 1) {
    std::string reply;
    std::thread app([&] {
      if (wait_for_log_event(inst, "stderr_monitor_finished", 30'000, children)) {
        Sleep(settle_ms);
        reply = send_boot_message("READY");
      }
    });
    RunResult r = run(scenario_steps, std::move(args), "\"aliveMs\":0," + extra);
    app.join();
    EXPECT_EQ(reply, "OK\n");
    return r;
  }

  std::vector<Record> starts() const {
    std::vector<Record> out;
    for (const std::string& line : test::split_lines(test::read_file(record_))) {
      Record r = Record::parse(line, nullptr, false);
      if (r.is_object() && r["kind"] == "start") out.push_back(r);
    }
    return out;
  }

  static std::string to_utf8_path(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) out.push_back(static_cast<char>(c));  // temp paths are ASCII
    return out;
  }

  Installation inst;
  std::wstring record_;
};

constexpr const char* kReadySoon =
    R"([{"stderr":["hello from the app"]},{"pipe":"READY","delayMs":800}])";

TEST_F(Launch, ReadyAfterASecondEndsTheRunInOrder) {
  const std::vector<std::wstring> passed = {L"with space", L"quo\"te", L"trail\\", L"",
                                            L"\u4e2d\u6587"};
  const RunResult r = run(kReadySoon, passed);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  const std::vector<std::string> names = r.event_names();
  auto at = [&](const char* n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
  for (const char* n :
       {"launcher_init", "single_instance_acquired", "launcher_ready", "process_launch_command",
        "process_launch_success", "signal_received", "launcher_env", "launcher_exit_on_ready"})
    EXPECT_LT(at(n), static_cast<long>(names.size())) << n;
  EXPECT_LT(at("launcher_ready"), at("process_launch_success"));
  EXPECT_LT(at("signal_received"), at("launcher_exit_on_ready"));
  EXPECT_LT(at("launcher_env"), at("launcher_exit_on_ready"));
  EXPECT_EQ(r.events("launcher_exit_on_ready").size(), 1u);
  const Record exit = r.events("launcher_exit_on_ready").at(0);
  EXPECT_EQ(exit["isLaunchStartSuccess"], true);
  EXPECT_EQ(exit["installId"], "e2e-install");
  EXPECT_EQ(exit["mainPid"], r.events("process_launch_success").at(0)["pid"]);
  EXPECT_EQ(r.events("launcher_env").at(0)["mainPid"], exit["mainPid"]);
  // The launcher has gone; the application it started has not.
  EXPECT_FALSE(wait_for_process_exit(exit["mainPid"].get<DWORD>(), 0));
  // Exactly one integrity outcome, last.
  EXPECT_TRUE(names.back().rfind("asar_integrity_verify_thread_", 0) == 0 ||
              names.back() == "integrity_verify_thread_disconnected")
      << names.back();
  EXPECT_FALSE(r.has("launcher_exit_early"));
  // The child's few lines are still young when READY comes: the launcher
  // writes them before it goes.
  ASSERT_EQ(r.events("vyn_stderr_batch").size(), 1u);
  EXPECT_EQ(r.events("vyn_stderr_batch").at(0)["stderrLogs"],
            Record::array({"hello from the app"}));
  EXPECT_LT(at("vyn_stderr_batch"), at("launcher_exit_on_ready"));

  const std::vector<Record> s = starts();
  ASSERT_EQ(s.size(), 1u);
  std::vector<std::string> expected = {"--by-launcher", "with space", "quo\"te",
                                       "trail\\",       "",           "\xE4\xB8\xAD\xE6\x96\x87"};
  EXPECT_EQ(s[0]["args"].get<std::vector<std::string>>(), expected);
}

TEST_F(Launch, ReadyIsNoticedWithinOnePoll) {
  // Late enough that the machine description has ended: nothing but the
  // ready loop's poll stands between the signal and the exit.
  const RunResult r = run(R"([{"pipe":"READY","delayMs":5000}])", {}, "\"aliveMs\":0,");
  ASSERT_TRUE(r.has("signal_received"));
  ASSERT_TRUE(r.has("launcher_exit_on_ready"));
  auto ms = [](const Record& rec) {
    const std::string ts = rec["ts"];  // ...THH:MM:SS.mmmZ
    return ((std::stoi(ts.substr(11, 2)) * 60 + std::stoi(ts.substr(14, 2))) * 60 +
            std::stoi(ts.substr(17, 2))) *
               1000 +
           std::stoi(ts.substr(20, 3));
  };
  int gap = ms(r.events("launcher_exit_on_ready").at(0)) - ms(r.events("signal_received").at(0));
  if (gap < 0) gap += 24 * 3600 * 1000;  // across midnight
  EXPECT_LT(gap, 250 + 150) << "poll interval 200 ms, and room for a busy machine";
}

TEST_F(Launch, GpuFailureRelaunchesOnceWithoutGpu) {
  const RunResult r = run(kReadySoon, {L"--flag"}, "\"gpuFailure\":true,");
  EXPECT_EQ(r.exit_code, 0u);
  std::string all;
  for (const std::string& line : r.lines) all += line + "\n";
  EXPECT_EQ(r.events("launcher_gpu_incompatible_retry").size(), 1u) << all;
  EXPECT_EQ(r.events("process_launch_success").size(), 2u);
  EXPECT_TRUE(r.has("launcher_exit_on_ready"));
  const std::vector<Record> s = starts();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[1]["args"].get<std::vector<std::string>>(),
            (std::vector<std::string>{"--by-launcher", "--flag", "--disable-vyn-gpu"}));
  EXPECT_EQ(r.events("launcher_exit_on_ready").at(0)["mainPid"],
            r.events("process_launch_success").at(1)["pid"]);
}

TEST_F(Launch, AFailedGpuRelaunchEndsAsAFailedLaunch) {
  // The first child takes its program away as it goes, so the relaunch
  // cannot start.
  const RunResult r = run(
      R"([{"stderr":["GPU process isn't usable. Goodbye."]},{"moveSelf":"VYN.moved.exe"},{"exit":1}])");
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.events("launcher_gpu_incompatible_retry").size(), 1u);
  EXPECT_EQ(r.events("process_launch_success").size(), 1u);
  EXPECT_EQ(r.events("process_launch_failed").size(), 1u);
  ASSERT_EQ(r.events("target_process_launch_failed").size(), 1u);
  EXPECT_EQ(r.events("target_process_launch_failed").at(0)["reason"],
            "gpu_incompatible_retry_failed");
  ASSERT_EQ(r.events("launcher_env").size(), 1u);
  EXPECT_EQ(r.events("launcher_env").at(0)["mainPid"], nullptr);
  EXPECT_EQ(r.events("launcher_exit_early").at(0)["reason"], "failed_to_launch");
  EXPECT_FALSE(r.has("signal_timeout"));
}

TEST_F(Launch, OnlyTheGpuReportBringsARelaunchAndOnlyOne) {
  {
    // Ends without the report: no relaunch, the wait goes on for READY.
    const RunResult r =
        run_ready_after_output(R"([{"stderr":["an ordinary line"]},{"exit":1}])", {}, "", 1000);
    EXPECT_EQ(r.events("process_launch_success").size(), 1u);
    EXPECT_FALSE(r.has("launcher_gpu_incompatible_retry"));
    EXPECT_TRUE(r.has("launcher_exit_on_ready"));
  }
  DeleteFileW(inst.log_path().c_str());
  DeleteFileW(record_.c_str());
  {
    // The relaunched child reports the GPU failure as well: no second one.
    const RunResult r = run_ready_after_output(
        R"([{"stderr":["GPU process isn't usable. Goodbye."]},{"exit":1}])", {}, "", 1000, 2);
    EXPECT_EQ(r.events("vyn_gpu_process_unusable_detected").size(), 2u);
    EXPECT_EQ(r.events("launcher_gpu_incompatible_retry").size(), 1u);
    EXPECT_EQ(r.events("process_launch_success").size(), 2u);
    EXPECT_TRUE(r.has("launcher_exit_on_ready"));
    const std::vector<Record> s = starts();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1]["args"].get<std::vector<std::string>>(),
              (std::vector<std::string>{"--by-launcher", "--disable-vyn-gpu"}));
  }
}

TEST_F(Launch, ASealedArchiveIsCheckedByTheLauncher) {
  const std::string archive = "the application's code, packed";
  inst.seal(archive);
  const RunResult passed = run(kReadySoon, {}, "\"aliveMs\":0,");
  ASSERT_EQ(passed.events("integrity_verify_passed").size(), 1u);
  EXPECT_EQ(passed.events("integrity_verify_passed").at(0)["status"], "completed");
  EXPECT_TRUE(passed.has("asar_integrity_verify_thread_completed"));
  ASSERT_TRUE(
      wait_for_process_exit(passed.events("process_launch_success").at(0)["pid"].get<DWORD>()));

  test::write_file(inst.archive(), archive + "!");
  DeleteFileW(inst.log_path().c_str());
  const RunResult longer = run(kReadySoon, {}, "\"aliveMs\":0,");
  ASSERT_EQ(longer.events("integrity_verify_failed").size(), 1u);
  EXPECT_EQ(longer.events("integrity_verify_failed").at(0)["error"],
            "File size mismatch: expected " + std::to_string(archive.size()) + ", got " +
                std::to_string(archive.size() + 1));
}

TEST_F(Launch, TheJavaScriptSealerAndTheSealingToolReadEachOthersFiles) {
  if (!script_sealer_built()) GTEST_SKIP() << "this build has no Windows Node";
  const std::string archive = "the application's code, packed";
  inst.seal(archive, Installation::Sealer::Script);
  const RunResult passed = run(kReadySoon, {}, "\"aliveMs\":0,");
  EXPECT_EQ(passed.events("integrity_verify_passed").size(), 1u);
  EXPECT_FALSE(passed.has("integrity_verify_failed"));
  ASSERT_TRUE(
      wait_for_process_exit(passed.events("process_launch_success").at(0)["pid"].get<DWORD>()));

  inst.seal(archive, Installation::Sealer::Tool);
  const ProgramResult checked = run_script_sealer({L"--check", inst.install_dir});
  EXPECT_EQ(checked.exit_code, 0u) << checked.err;
  EXPECT_NE(checked.out.find("passed"), std::string::npos) << checked.out;

  // What a pipeline sees when the archive changed after sealing.
  test::write_file(inst.archive(), archive + "!");
  const ProgramResult changed = run_script_sealer({L"--check", inst.install_dir});
  EXPECT_EQ(changed.exit_code, 1u);
  EXPECT_NE(changed.err.find("File size mismatch: expected " + std::to_string(archive.size()) +
                             ", got " + std::to_string(archive.size() + 1)),
            std::string::npos)
      << changed.err;
}

TEST_F(Launch, AUserGivenGpuSwitchIsNeverAddedAgain) {
  // The child dies reporting the GPU failure although it already runs
  // without GPU: no relaunch, the wait goes on for READY.
  const RunResult r =
      run_ready_after_output(R"([{"stderr":["GPU process isn't usable. Goodbye."]},{"exit":1}])",
                             {L"--disable-vyn-gpu"}, "", 1000);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("vyn_gpu_process_unusable_detected"));
  EXPECT_FALSE(r.has("launcher_gpu_incompatible_retry"));
  EXPECT_EQ(r.events("process_launch_success").size(), 1u);
  ASSERT_TRUE(r.has("launcher_exit_on_ready"));
  const std::vector<Record> s = starts();
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0]["args"].get<std::vector<std::string>>(),
            (std::vector<std::string>{"--by-launcher", "--disable-vyn-gpu"}));
}

TEST_F(Launch, AwkwardErrorOutputIsLoggedCompactly) {
  // A brace block, a line that is not UTF-8 (dropped, not counted), and a
  // 3 MiB last line without a line feed, all through the real pipe.
  const RunResult r = run_ready_after_output(
      R"([{"stderr":["[12:00] [main] config {","  \"a\": 1,","  \"b\": {}","}","after"]},)"
      R"({"stderrHex":"41 ff 42 c3 0a"},{"stderr":["caf\u00e9"]},{"stderrLongLine":3145728,"newline":false},{"exit":0}])");
  EXPECT_EQ(r.exit_code, 0u);
  const std::vector<std::string> entries = r.stderr_entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0], "[12:00] [main] config { \"a\": 1, \"b\": {} }");
  EXPECT_EQ(entries[1], "after");
  EXPECT_EQ(entries[2], "caf\xC3\xA9");
  EXPECT_EQ(entries[3], std::string(2048, 'x') + "...[truncated at 3145728 chars]");
  ASSERT_EQ(r.events("stderr_monitor_finished").size(), 1u);
  const Record finished = r.events("stderr_monitor_finished").at(0);
  EXPECT_EQ(finished["totalLinesProcessed"], 7);
  EXPECT_EQ(finished["overflowDetected"], false);
  EXPECT_EQ(finished["mainPid"], r.events("process_launch_success").at(0)["pid"]);
  for (const std::string& line : r.lines) EXPECT_LT(line.size(), 16'384u);
}

TEST_F(Launch, ErrorOutputPastTheCapEndsInOneOverflow) {
  const RunResult r = run_ready_after_output(R"([{"stderrLines":501,"text":"line"},{"exit":0}])");
  EXPECT_EQ(r.exit_code, 0u);
  ASSERT_EQ(r.events("vyn_stderr_overflow").size(), 1u);
  const std::vector<std::string> entries = r.stderr_entries();
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.front(), "line 0");
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(),
                          [](const std::string& e) { return e.rfind("line ", 0) == 0; }),
            500);
  EXPECT_EQ(entries.back(),
            "[STDERR OVERFLOW] More than 500 lines detected, stopping collection to prevent "
            "memory issues");
  EXPECT_FALSE(r.has("vyn_stderr_final"));
  for (const Record& batch : r.events("vyn_stderr_batch"))
    EXPECT_LE(batch["stderrLogs"].size(), 50u);
  const Record finished = r.events("stderr_monitor_finished").at(0);
  EXPECT_EQ(finished["overflowDetected"], true);
}

TEST_F(Launch, MissingApplicationEndsEarlyWithoutWaiting) {
  DeleteFileW((inst.install_dir + L"\\VYN.exe").c_str());
  const RunResult r = run_launcher(inst);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("process_launch_failed"));
  EXPECT_TRUE(r.has("process_launch_failed_detail"));
  ASSERT_EQ(r.events("target_process_launch_failed").size(), 1u);
  EXPECT_EQ(r.events("launcher_env").at(0)["mainPid"], nullptr);
  EXPECT_EQ(r.events("launcher_exit_early").at(0)["reason"], "failed_to_launch");
  EXPECT_FALSE(r.has("signal_timeout"));
}

TEST_F(Launch, ATakenBootPipeEndsTheWaitAtOnce) {
  // One instance only: Wine lets a second first-instance pipe be created,
  // so the name counts as taken only when its owner allows no more.
  HANDLE squatter = CreateNamedPipeW(L"\\\\.\\pipe\\VYN_BOOT", PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_BYTE | PIPE_WAIT, 1, 512, 512, 0, nullptr);
  ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
  const DWORD start = GetTickCount();
  const RunResult r = run(kReadySoon);
  const DWORD took = GetTickCount() - start;
  CloseHandle(squatter);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("pipe_server_create_failed"));
  EXPECT_FALSE(r.has("signal_timeout"));
  EXPECT_EQ(r.events("launcher_exit_early").at(0)["reason"], "ready_signal_timeout");
  EXPECT_LT(took, 20000u);
}

}  // namespace
}  // namespace vyn::e2e
