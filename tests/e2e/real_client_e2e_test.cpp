// The application's side of the contract, run for real: VYN.exe is a Windows
// Node program whose script is the integration guide's own code (see
// node_app/), so the launcher meets a real runtime's argument parsing, pipe
// client and standard error instead of our stand-in's.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "e2e/harness_win.h"
#include "utils/win.h"

namespace vyn::e2e {
namespace {

constexpr const wchar_t* kApp = L"vyn_node_app.exe";

class RealClient : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::file_exists(bin_dir() + L"\\" + kApp))
      GTEST_SKIP() << "the build made no Node application (no Windows Node or npm)";
    Installation::unregister();
    inst.copy_program(kApp, L"VYN.exe");
    inst.register_install(L"e2e-real-client");
    record_ = inst.root / L"app-record.jsonl";
  }
  void TearDown() override { Installation::unregister(); }

  std::wstring plan_text(Record plan) const {
    plan["record"] = to_utf8(record_);
    return to_wide(plan.dump());
  }

  RunResult run(Record plan, std::vector<std::wstring> args = {}) {
    return run_launcher(inst, {.args = std::move(args),
                               .env = {{L"VYN_TEST_APP_PLAN", plan_text(std::move(plan))}}});
  }

  // What the application recorded under `event`, once it has; waits for
  // `count` of them.
  std::vector<Record> app_events(const std::string& event, std::size_t count = 1,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::vector<Record> found;
      for (const std::string& line : test::split_lines(test::read_file(record_))) {
        Record r = Record::parse(line, nullptr, false);
        if (r.is_object() && r["event"] == event) found.push_back(r);
      }
      if (found.size() >= count || std::chrono::steady_clock::now() > deadline) return found;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // The arguments after the executable (a Node application sees its own
  // path twice, as runtime and as script).
  static std::vector<std::string> arguments(const Record& start) {
    std::vector<std::string> argv = start["argv"].get<std::vector<std::string>>();
    const auto marker = std::find(argv.begin(), argv.end(), "--by-launcher");
    return {marker, argv.end()};
  }

  Installation inst;
  std::wstring record_;
};

TEST_F(RealClient, ReadyExchangeWithAwkwardArgumentsAndErrorOutput) {
  const std::vector<std::wstring> args = {
      L"a b",           L"",   L"trailing\\",        L"C:\\dir with blanks\\",
      L"quote\"inside", L"\"", L"\\\\server\\share", L"中文 ✓ é",
      L"--inspect=9229"};
  Record plan = {{"stderr",
                  {"plain line\n", "[main] [config] settings {\n", "  \"a\": 1,\n",
                   "    \"b\": 2\n", "}\n", "line with crlf\r\n"}}};
  const RunResult r = run(plan, args);

  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("signal_received"));
  EXPECT_TRUE(r.has("launcher_exit_on_ready"));
  const std::vector<Record> ready = app_events("sendReady");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]["result"], true);
  const std::vector<Record> exits = app_events("exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0]["code"], 0);

  std::vector<std::string> expected = {"--by-launcher"};
  for (const auto& a : args) expected.push_back(to_utf8(a));
  const std::vector<Record> starts = app_events("start");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(arguments(starts[0]), expected);

  EXPECT_EQ(r.stderr_entries(),
            (std::vector<std::string>{
                "plain line", R"([main] [config] settings { "a": 1, "b": 2 })", "line with crlf"}));
}

TEST_F(RealClient, GpuFailureRelaunchesOnceWithoutGpuAndThenReady) {
  const RunResult r = run({{"gpuFailure", true}}, {L"file.vyn"});

  EXPECT_EQ(r.exit_code, 0u);
  const auto detected = r.events("vyn_gpu_process_unusable_detected");
  ASSERT_EQ(detected.size(), 1u);
  EXPECT_EQ(detected[0]["message"], "GPU process isn't usable. Goodbye.");
  EXPECT_EQ(r.events("launcher_gpu_incompatible_retry").size(), 1u);
  EXPECT_TRUE(r.has("launcher_exit_on_ready"));

  const std::vector<Record> starts = app_events("start", 2);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(arguments(starts[0]), (std::vector<std::string>{"--by-launcher", "file.vyn"}));
  EXPECT_EQ(starts[0]["hardwareAccelerationDisabled"], false);
  EXPECT_EQ(arguments(starts[1]),
            (std::vector<std::string>{"--by-launcher", "file.vyn", "--disable-vyn-gpu"}));
  EXPECT_EQ(starts[1]["hardwareAccelerationDisabled"], true);
  const std::vector<Record> ready = app_events("sendReady");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]["result"], true);
}

TEST_F(RealClient, StartedWithoutTheLauncherReadyIsFalseAtOnce) {
  SetEnvironmentVariableW(L"VYN_TEST_APP_PLAN", plan_text(Record::object()).c_str());
  RunningProgram app(inst.install_dir + L"\\VYN.exe", {L"file.vyn"});
  SetEnvironmentVariableW(L"VYN_TEST_APP_PLAN", nullptr);

  const std::vector<Record> ready = app_events("sendReady");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0]["result"], false);
  EXPECT_LT(ready[0]["ms"].get<int>(), 1000);
  ASSERT_TRUE(wait_for_process_exit(app.pid()));
  EXPECT_EQ(app.exit_code(), 0u);
}

TEST_F(RealClient, OutlivesTheLauncherAndKeepsWritingToStandardError) {
  const std::wstring go = inst.root / L"launcher-gone";
  const RunResult r = run({{"afterLauncher", {{"goFile", to_utf8(go)}, {"lines", 20}}}});
  ASSERT_TRUE(r.has("launcher_exit_on_ready"));
  const std::uint32_t pid = r.events("launcher_exit_on_ready")[0]["mainPid"];

  test::write_file(go, "");
  const std::vector<Record> after = app_events("stderrAfterLauncher");
  ASSERT_EQ(after.size(), 1u) << "the application died writing to the closed pipe";
  EXPECT_TRUE(wait_for_process_exit(pid));
  const std::vector<Record> exits = app_events("exit");
  ASSERT_EQ(exits.size(), 1u);
  EXPECT_EQ(exits[0]["code"], 0);
}

}  // namespace
}  // namespace vyn::e2e
