#include <windows.h>

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <stdexcept>

#include "logger/fault.h"
#include "main/launcher.h"
#include "process/instance_guard.h"
#include "support/event_log_win.h"
#include "utils/win.h"
#include "verify/verify.h"

namespace vyn {
namespace {

std::vector<std::string> dpi_reasons(const test::LogCursor& cursor) {
  std::vector<std::string> out;
  for (const auto& r : cursor.events("launcher_dpi_setup_failed")) out.push_back(r["reason"]);
  return out;
}

TEST(DpiAwareness, EachFailureIsLoggedOnceWithItsReason) {
  test::test_log_path();
  {
    test::LogCursor cursor;
    setup_dpi_awareness("no-such-library-vyn.dll");
    EXPECT_EQ(dpi_reasons(cursor), std::vector<std::string>{"user32_load_failed"});
  }
  {
    test::LogCursor cursor;
    setup_dpi_awareness("user32.dll", "NoSuchDpiFunctionVyn");
    EXPECT_EQ(dpi_reasons(cursor), std::vector<std::string>{"api_not_available"});
  }
  {
    // The real call either works (nothing logged) or is refused once.
    test::LogCursor cursor;
    setup_dpi_awareness();
    const auto reasons = dpi_reasons(cursor);
    EXPECT_TRUE(reasons.empty() || reasons == std::vector<std::string>{"set_dpi_context_failed"});
  }
}

// A fault on the main thread while the archive check runs and the mutex is
// held (a thread that could not be started, say): the record carries its
// message, the owners let go on the way out, and the exit code is 101.
TEST(MainThreadFault, IsRecordedWithItsMessageAndEndsWith101) {
  test::test_log_path();
  test::LogCursor cursor;
  constexpr wchar_t kMutex[] = L"vyn-test-main-thread-fault";
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  const std::runtime_error fault("no thread for the machine description");
  const int code = run_reporting_faults([&] {
    SingleInstanceGuard guard(std::nullopt, kMutex);
    EXPECT_EQ(guard.acquire(), InstanceCheckResult::Acquired);
    IntegrityVerifierThread verifier = start_verifier_thread([released] { released.wait(); });
    throw fault;
    return 0;
  });
  release.set_value();
  EXPECT_EQ(code, 101);
  const auto errors = cursor.events("launcher_error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["level"], "error");
  EXPECT_EQ(errors[0]["error"], fault.what());
  UniqueHandle again(::CreateMutexW(nullptr, FALSE, kMutex));
  EXPECT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS))
      << "the mutex is held still";
}

}  // namespace
}  // namespace vyn
