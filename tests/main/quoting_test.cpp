#include "main/quoting.h"

#include <gtest/gtest.h>

namespace vyn {
namespace {

TEST(Quoting, ArgumentsAreBareUnlessEmptyOrBlank) {
  EXPECT_EQ(quote_argument("--by-launcher"), "--by-launcher");
  EXPECT_EQ(quote_argument("a b"), "\"a b\"");
  EXPECT_EQ(quote_argument("a\tb"), "\"a\tb\"");
  EXPECT_EQ(quote_argument(""), "\"\"");
  // Only blank and tab split arguments; other control characters stay bare.
  EXPECT_EQ(quote_argument("a\nb"), "a\nb");
}

TEST(Quoting, BackslashesDoubleOnlyBeforeAQuote) {
  EXPECT_EQ(quote_argument("C:\\dir\\file"), "C:\\dir\\file");
  EXPECT_EQ(quote_argument("\\\\server\\share"), "\\\\server\\share");
  EXPECT_EQ(quote_argument("a\"b"), "a\\\"b");
  EXPECT_EQ(quote_argument("a\\\"b"), "a\\\\\\\"b");
  EXPECT_EQ(quote_argument("a\\\\\"b"), "a\\\\\\\\\\\"b");
  EXPECT_EQ(quote_argument("\""), "\\\"");
  // Bare, so the trailing backslash is followed by no quote and stays single.
  EXPECT_EQ(quote_argument("dir\\"), "dir\\");
  // Enclosed: the closing quote must not be escaped by the argument's own
  // trailing backslashes.
  EXPECT_EQ(quote_argument("my dir\\"), "\"my dir\\\\\"");
  EXPECT_EQ(quote_argument("my dir\\\\"), "\"my dir\\\\\\\\\"");
  EXPECT_EQ(quote_argument("a \\b"), "\"a \\b\"");
  EXPECT_EQ(quote_argument("say \"hi\\\" now"), "\"say \\\"hi\\\\\\\" now\"");
}

TEST(Quoting, CommandLineQuotesProgramVerbatim) {
  EXPECT_EQ(build_command_line("C:\\Program Files\\VYN\\VYN.exe", {}),
            "\"C:\\Program Files\\VYN\\VYN.exe\"");
  EXPECT_EQ(build_command_line("C:\\VYN\\", {"--by-launcher", "", "x y"}),
            "\"C:\\VYN\\\" --by-launcher \"\" \"x y\"");
}

TEST(Quoting, Utf16FollowsTheSameRules) {
  EXPECT_EQ(quote_argument(u"é \"中\"\\"), u"\"é \\\"中\\\"\\\\\"");
  EXPECT_EQ(build_command_line(u"C:\\ü\\VYN.exe", {u"--by-launcher", u"😀"}),
            u"\"C:\\ü\\VYN.exe\" --by-launcher 😀");
}

}  // namespace
}  // namespace vyn
