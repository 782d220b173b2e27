// Instance control through the real launcher: a second launcher steps aside,
// and a name collision on the mutex counts as another launcher.
#include <gtest/gtest.h>

#include <thread>

#include "e2e/harness_win.h"

namespace vyn::e2e {
namespace {

std::vector<std::string> names_of_pid(const RunResult& r) {
  std::vector<std::string> out;
  for (const Record& rec : r.records)
    if (rec.value("processId", 0u) == r.pid) out.push_back(rec["eventName"]);
  return out;
}

class Instance : public ::testing::Test {
 protected:
  void SetUp() override {
    Installation::unregister();
    inst.copy_program(L"VYN.exe", L"VYN.exe");
    inst.register_install(L"e2e-instance");
  }
  void TearDown() override { Installation::unregister(); }
  Installation inst;
};

TEST_F(Instance, ALauncherHoldingTheMutexMakesTheSecondStepAside) {
  HANDLE other = CreateMutexW(nullptr, FALSE, L"VYN_Launcher");
  ASSERT_NE(other, nullptr);
  const RunResult second = run_launcher(inst);
  CloseHandle(other);
  EXPECT_EQ(second.exit_code, 0u);
  const std::vector<std::string> names = names_of_pid(second);
  EXPECT_EQ(std::count(names.begin(), names.end(), "launcher_already_running"), 2);
  for (const char* absent : {"process_launch_command", "launcher_env", "launcher_exit_on_ready",
                             "launcher_exit_early", "launcher_ready"})
    EXPECT_EQ(std::count(names.begin(), names.end(), absent), 0) << absent;
}

TEST_F(Instance, ALauncherStartedWhileTheAppRunsActivatesIt) {
  test::write_file(inst.install_dir + L"\\standin.json",
                   R"({"steps":[{"pipe":"READY","delayMs":4000}],"aliveMs":1000})");
  RunResult first;
  std::thread t([&] { first = run_launcher(inst); });
  Sleep(1500);
  const RunResult second = run_launcher(inst);
  t.join();

  EXPECT_EQ(second.exit_code, 0u);
  const std::vector<std::string> names = names_of_pid(second);
  auto count = [&](const char* n) { return std::count(names.begin(), names.end(), n); };
  EXPECT_EQ(count("vyn_already_running"), 1);
  EXPECT_EQ(count("process_launch_success"), 1);
  EXPECT_EQ(count("launcher_env"), 1);
  EXPECT_EQ(count("launcher_exit_after_trigger_activation"), 1);
  EXPECT_EQ(count("signal_received") + count("signal_timeout"), 0);

  EXPECT_EQ(first.exit_code, 0u);
  const std::vector<std::string> first_names = names_of_pid(first);
  EXPECT_EQ(std::count(first_names.begin(), first_names.end(), "launcher_exit_on_ready"), 1);
  for (const std::string& line : first.lines)
    EXPECT_TRUE(Record::parse(line, nullptr, false).is_object()) << line;
}

TEST_F(Instance, AnEventNamedLikeTheMutexCountsAsAnotherLauncher) {
  HANDLE squatter = CreateEventW(nullptr, TRUE, FALSE, L"VYN_Launcher");
  ASSERT_NE(squatter, nullptr);
  const RunResult r = run_launcher(inst);
  CloseHandle(squatter);
  EXPECT_EQ(r.exit_code, 0u);
  ASSERT_TRUE(r.has("mutex_creation_failed"));
  EXPECT_NE(r.events("mutex_creation_failed").at(0).dump().find("HRESULT(0x80070006)"),
            std::string::npos);
  EXPECT_TRUE(r.has("launcher_already_running"));
  EXPECT_FALSE(r.has("process_launch_command"));
}

}  // namespace
}  // namespace vyn::e2e
