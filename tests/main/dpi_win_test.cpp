#include <windows.h>

#include <gtest/gtest.h>

#include "main/launcher.h"
#include "support/event_log_win.h"

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

}  // namespace
}  // namespace vyn
