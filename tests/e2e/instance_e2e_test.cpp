// Instance control through the real launcher: a second launcher steps aside,
// and a name collision on the mutex counts as another launcher.
#include <gtest/gtest.h>

#include <cwctype>
#include <set>
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

TEST_F(Instance, SixteenLaunchersAtOnceLeaveOneInCharge) {
  test::write_file(inst.install_dir + L"\\standin.json",
                   R"({"steps":[{"pipe":"READY","delayMs":6000}],"aliveMs":500})");
  constexpr int kLaunchers = 16;
  std::vector<RunResult> results(kLaunchers);
  std::vector<std::thread> threads;
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (int i = 0; i < kLaunchers; ++i)
    threads.emplace_back([&, i] {
      WaitForSingleObject(go, INFINITE);
      results[i] = run_launcher(inst, {.timeout_ms = 90'000});
    });
  SetEvent(go);
  for (auto& t : threads) t.join();
  CloseHandle(go);

  int in_charge = 0, stepped_aside = 0, activated = 0;
  for (const RunResult& r : results) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0u);
    const std::vector<std::string> names = names_of_pid(r);
    auto count = [&](const char* n) { return std::count(names.begin(), names.end(), n); };
    if (count("mutex_acquired") == 1) {
      ++in_charge;
      EXPECT_EQ(count("launcher_exit_on_ready"), 1);
    } else if (count("launcher_already_running") == 2) {
      ++stepped_aside;
      EXPECT_EQ(count("process_launch_command"), 0);
    } else {
      ++activated;
      EXPECT_EQ(count("launcher_exit_after_trigger_activation"), 1);
    }
  }
  EXPECT_EQ(in_charge, 1);
  EXPECT_EQ(in_charge + stepped_aside + activated, kLaunchers);
  // Sixteen writers, one file: every line one whole record.
  const std::vector<std::string> lines = test::split_lines(test::read_file(inst.log_path()));
  EXPECT_GE(lines.size(), 16u * 3);
  std::set<std::uint32_t> started;
  for (const std::string& line : lines) {
    const Record r = Record::parse(line, nullptr, false);
    EXPECT_TRUE(r.is_object()) << line;
    if (r.is_object() && r["eventName"] == "launcher_init")
      started.insert(r["processId"].get<std::uint32_t>());
  }
  // Nothing lost either: the trimming of one start never takes away the
  // records of another.
  for (const RunResult& r : results) EXPECT_EQ(started.count(r.pid), 1u) << r.pid;
}

TEST_F(Instance, OnlyTheAppOfThisInstallationCountsAsRunning) {
  // Another installation's app runs first, so the snapshot lists it before
  // this installation's one.
  test::TempDir other_root;
  const std::wstring other = other_root / L"VYN.exe";
  CopyFileW((inst.install_dir + L"\\VYN.exe").c_str(), other.c_str(), FALSE);
  test::write_file(other_root / L"standin.json", R"({"steps":[],"aliveMs":60000})");
  RunningProgram other_app(other);
  Sleep(500);
  test::write_file(inst.install_dir + L"\\standin.json",
                   R"({"steps":[{"pipe":"READY","delayMs":300}],"aliveMs":0})");
  const RunResult alone = run_launcher(inst);
  EXPECT_EQ(alone.exit_code, 0u);
  EXPECT_TRUE(alone.has("vyn_process_detected_different_path"));
  EXPECT_FALSE(alone.has("vyn_already_running"));
  EXPECT_TRUE(alone.has("launcher_exit_on_ready"));

  const std::wstring record = inst.root / L"record.jsonl";
  Record scenario = {{"steps", Record::array()}, {"aliveMs", 60000}};
  scenario["record"] = std::string(record.begin(), record.end());
  test::write_file(inst.install_dir + L"\\standin.json", scenario.dump());
  // The first run's application must be gone, or this one is its second instance.
  EXPECT_TRUE(wait_for_process_exit(alone.events("process_launch_success").at(0)["pid"]));
  RunningProgram own_app(inst.install_dir + L"\\VYN.exe");
  Sleep(500);
  ASSERT_TRUE(own_app.running()) << own_app.exit_code() << "\n" << test::read_file(record);
  const RunResult both = run_launcher(inst, {.timeout_ms = 20'000});
  EXPECT_EQ(both.exit_code, 0u);
  const std::vector<std::string> names = names_of_pid(both);
  const auto different =
      std::find(names.begin(), names.end(), "vyn_process_detected_different_path");
  const auto same = std::find(names.begin(), names.end(), "vyn_process_detected_same_installation");
  ASSERT_NE(same, names.end());
  EXPECT_LT(different, same);
  EXPECT_EQ(both.events("vyn_process_detected_same_installation").at(0)["pid"], own_app.pid());
  EXPECT_TRUE(both.has("launcher_exit_after_trigger_activation"));
}

TEST_F(Instance, AnInstallFolderSpelledInOtherCaseIsStillThisInstallation) {
  std::wstring shouted = inst.install_dir;
  const std::size_t last = shouted.find_last_of(L'\\');
  for (std::size_t i = last; i < shouted.size(); ++i)
    shouted[i] = static_cast<wchar_t>(std::towupper(shouted[i]));
  ASSERT_NE(shouted, inst.install_dir);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\VYN\\InstallTracking", 0, KEY_WRITE, &key),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"installDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(shouted.c_str()),
                 static_cast<DWORD>((shouted.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);

  test::write_file(inst.install_dir + L"\\standin.json", R"({"steps":[],"aliveMs":60000})");
  RunningProgram app(inst.install_dir + L"\\VYN.exe");
  Sleep(500);
  const RunResult r = run_launcher(inst);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("vyn_process_detected_same_installation"));
  EXPECT_TRUE(r.has("launcher_exit_after_trigger_activation"));
}

TEST_F(Instance, AnInstallFolderThatIsGoneFindsNothingAndFailsTheLaunch) {
  const std::wstring gone = inst.root / L"uninstalled";
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\VYN\\InstallTracking", 0, KEY_WRITE, &key),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"installDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(gone.c_str()),
                 static_cast<DWORD>((gone.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  const RunResult r = run_launcher(inst);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("single_instance_acquired"));
  EXPECT_FALSE(r.has("vyn_already_running"));
  EXPECT_EQ(r.events("launcher_exit_early").at(0)["reason"], "failed_to_launch");
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
