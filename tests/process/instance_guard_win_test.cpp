#include <gtest/gtest.h>

#include <stdexcept>

#include "process/instance_fixture_win.h"
#include "process/instance_guard.h"

namespace vyn {
namespace {

using test::LogCursor;
using test::RunningProcess;

// Whether some process still has the launcher's name open.
bool mutex_exists() {
  const UniqueHandle h(::OpenMutexW(SYNCHRONIZE, FALSE, kLauncherMutexName));
  return static_cast<bool>(h);
}

class SingleInstance : public ::testing::Test {
 protected:
  void SetUp() override {
    test::program_log_path();
    ASSERT_FALSE(mutex_exists()) << "a previous test left the mutex behind";
  }
  test::TempDir root_;
};

TEST_F(SingleInstance, FirstGuardAcquiresAndHoldsUntilDestroyed) {
  const std::wstring install = test::make_installation(root_, L"inst");
  LogCursor log;
  {
    SingleInstanceGuard guard(install);
    EXPECT_EQ(guard.acquire(), InstanceCheckResult::Acquired);
    EXPECT_TRUE(guard.holds_mutex());
    EXPECT_TRUE(mutex_exists());
  }
  EXPECT_FALSE(mutex_exists());
  EXPECT_EQ(log.events(),
            (std::vector<std::string>{"vyn_process_not_found_in_installation", "mutex_acquired"}));
  const auto r = log.records()[1];
  EXPECT_EQ(r["level"], "verbose");
  EXPECT_EQ(test::field_names(r), (std::vector<std::string>{"lockType", "name", "lastError"}));
  EXPECT_EQ(r["lockType"], "windows_mutex");
  EXPECT_EQ(r["name"], "VYN_Launcher");
  EXPECT_TRUE(r["lastError"].is_number_unsigned());
}

TEST_F(SingleInstance, SecondGuardFindsTheFirstAndLeavesItAlone) {
  SingleInstanceGuard first(std::nullopt);
  ASSERT_EQ(first.acquire(), InstanceCheckResult::Acquired);
  LogCursor log;
  {
    SingleInstanceGuard second(std::nullopt);
    EXPECT_EQ(second.acquire(), InstanceCheckResult::LauncherAlreadyRunning);
    EXPECT_FALSE(second.holds_mutex());
  }
  EXPECT_TRUE(mutex_exists());
  const auto r = log.records();
  ASSERT_EQ(r.size(), 1u);  // and nothing from destroying the second
  EXPECT_EQ(r[0]["eventName"], "launcher_already_running");
  EXPECT_EQ(r[0]["level"], "info");
  EXPECT_EQ(test::field_names(r[0]),
            (std::vector<std::string>{"lockType", "name", "reason", "lastError"}));
  EXPECT_EQ(r[0]["lockType"], "windows_mutex");
  EXPECT_EQ(r[0]["name"], "VYN_Launcher");
  EXPECT_EQ(r[0]["reason"], "mutex_already_exists");
  EXPECT_EQ(r[0]["lastError"], 183);
}

TEST_F(SingleInstance, MutexOfAnotherProcessBlocksUntilThatProcessEnds) {
  {
    RunningProcess other(test::helper_exe_path(), L"--mutex VYN_Launcher");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!mutex_exists() && std::chrono::steady_clock::now() < deadline) ::Sleep(10);
    SingleInstanceGuard guard(std::nullopt);
    EXPECT_EQ(guard.acquire(), InstanceCheckResult::LauncherAlreadyRunning);
  }
  // The name dies with its last handle, also when the holder is killed.
  SingleInstanceGuard guard(std::nullopt);
  EXPECT_EQ(guard.acquire(), InstanceCheckResult::Acquired);
}

TEST_F(SingleInstance, NameTakenByAnotherKindOfObjectCountsAsRunning) {
  const UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, kLauncherMutexName));
  ASSERT_TRUE(event);
  LogCursor log;
  SingleInstanceGuard guard(std::nullopt);
  EXPECT_EQ(guard.acquire(), InstanceCheckResult::LauncherAlreadyRunning);
  EXPECT_FALSE(guard.holds_mutex());
  const auto r = log.records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]["eventName"], "mutex_creation_failed");
  EXPECT_EQ(r[0]["level"], "error");
  EXPECT_EQ(test::field_names(r[0]),
            (std::vector<std::string>{"api", "mutexName", "error", "errorCode", "action"}));
  EXPECT_EQ(r[0]["api"], "CreateMutexW");
  EXPECT_EQ(r[0]["mutexName"], "VYN_Launcher");
  EXPECT_EQ(r[0]["errorCode"], "HRESULT(0x80070006)");
  const std::string error = r[0]["error"];
  EXPECT_TRUE(error == "0x80070006" ||
              (error.size() > 13 && error.substr(error.size() - 13) == " (0x80070006)"))
      << error;
  EXPECT_EQ(r[0]["action"], "treat_as_already_running");
}

TEST_F(SingleInstance, RunningApplicationIsReportedWithoutTakingTheMutex) {
  const std::wstring install = test::make_installation(root_, L"inst");
  RunningProcess app(join_path(install, kTargetExeName));
  LogCursor log;
  SingleInstanceGuard guard(install);
  EXPECT_EQ(guard.acquire(), InstanceCheckResult::VynAlreadyRunning);
  EXPECT_FALSE(guard.holds_mutex());
  EXPECT_FALSE(mutex_exists());
  EXPECT_EQ(log.events(), (std::vector<std::string>{"vyn_process_detected_same_installation",
                                                    "vyn_already_running_detected"}));
  const auto detected = log.records()[1];
  EXPECT_EQ(detected["level"], "info");
  EXPECT_TRUE(test::field_names(detected).empty());
}

TEST_F(SingleInstance, UnwindingAndRepeatedReleaseCloseTheHandleOnce) {
  LogCursor log;
  try {
    SingleInstanceGuard guard(std::nullopt);
    ASSERT_EQ(guard.acquire(), InstanceCheckResult::Acquired);
    throw std::runtime_error("fault after the guard was taken");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(mutex_exists());

  SingleInstanceGuard guard(std::nullopt);
  ASSERT_EQ(guard.acquire(), InstanceCheckResult::Acquired);
  guard.release();
  EXPECT_FALSE(guard.holds_mutex());
  EXPECT_FALSE(mutex_exists());
  guard.release();
  // Successful closes are silent; only the two acquisitions were logged.
  EXPECT_EQ(log.events(), (std::vector<std::string>{"mutex_acquired", "mutex_acquired"}));
}

TEST_F(SingleInstance, FailedCloseIsLoggedWithItsContext) {
  const HANDLE stale = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(::CloseHandle(stale));
  LogCursor log;
  close_handle_logged(stale, "drop_cleanup");
  const auto r = log.records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]["eventName"], "handle_close_failed");
  EXPECT_EQ(r[0]["level"], "error");
  EXPECT_EQ(test::field_names(r[0]), (std::vector<std::string>{"context", "error"}));
  EXPECT_EQ(r[0]["context"], "drop_cleanup");
  EXPECT_NE(r[0]["error"].get<std::string>().find("0x80070006"), std::string::npos);
}

}  // namespace
}  // namespace vyn
