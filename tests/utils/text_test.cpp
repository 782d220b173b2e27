#include "utils/text.h"

#include <gtest/gtest.h>

#include "utils/path.h"
#include "utils/profile_mask.h"
#include "utils/user_data.h"

namespace vyn {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(TextConversion, RoundTripsEveryPlane) {
  const std::u16string text = u"a\u00e9\u4e2d\U0001F600z";
  EXPECT_EQ(utf16_to_utf8(text), "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z");
  EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(text)), text);
}

TEST(TextConversion, UnpairedSurrogatesBecomeReplacement) {
  EXPECT_EQ(utf16_to_utf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a" + kFffd + "b");
  EXPECT_EQ(utf16_to_utf8(std::u16string{char16_t(0xDC00)}), kFffd);
  EXPECT_EQ(utf16_to_utf8(std::u16string{char16_t(0xD83D)}), kFffd);  // high at the end
  EXPECT_FALSE(is_valid_utf16(std::u16string{char16_t(0xDC00), char16_t(0xD800)}));
  EXPECT_TRUE(is_valid_utf16(u"\U0001F600"));
}

TEST(TextConversion, InvalidUtf8IsReplacedPerMaximalSubpart) {
  // Truncated three-byte sequence followed by ASCII: one replacement.
  EXPECT_EQ(sanitize_utf8("\xE4\xB8z"), kFffd + "z");
  // Overlong, surrogate and out-of-range forms are each invalid.
  EXPECT_EQ(sanitize_utf8("\xC0\xAF"), kFffd + kFffd);
  EXPECT_EQ(sanitize_utf8("\xED\xA0\x80"), kFffd + kFffd + kFffd);
  EXPECT_EQ(sanitize_utf8("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);
  EXPECT_EQ(utf8_to_utf16("\xFF"
                          "a"),
            std::u16string(u"\uFFFDa"));
  EXPECT_FALSE(is_valid_utf8("\xE4\xB8"));
  EXPECT_TRUE(is_valid_utf8("\xE4\xB8\xAD"));
  EXPECT_TRUE(is_valid_utf8(std::string("a\0b", 3)));
}

TEST(TextConversion, ValidPrefixStopsBeforeACutCharacter) {
  EXPECT_EQ(valid_utf8_prefix("ab\xE4\xB8"), 2u);
  EXPECT_EQ(valid_utf8_prefix("ab\xE4\xB8\xAD"), 5u);
  EXPECT_EQ(valid_utf8_prefix(""), 0u);
}

TEST(PathJoin, OneBackslashUnlessAlreadySeparated) {
  using S = std::string_view;
  EXPECT_EQ(join_path(S("C:\\a"), S("b")), "C:\\a\\b");
  EXPECT_EQ(join_path(S("C:\\a\\"), S("b")), "C:\\a\\b");
  EXPECT_EQ(join_path(S("C:/a/"), S("b")), "C:/a/b");
  EXPECT_EQ(join_path(S(""), S("b")), "b");
  EXPECT_EQ(join_path(S("."), S("VYN")), ".\\VYN");
}

TEST(PathJoin, AbsoluteNameReplacesBase) {
  using S = std::string_view;
  EXPECT_EQ(join_path(S("C:\\a"), S("D:\\x")), "D:\\x");
  EXPECT_EQ(join_path(S("C:\\a"), S("\\\\server\\share")), "\\\\server\\share");
  EXPECT_EQ(join_path(S("C:\\a"), S("\\\\?\\C:\\x")), "\\\\?\\C:\\x");
}

TEST(PathParent, DropsTheLastComponent) {
  using S = std::string_view;
  EXPECT_EQ(parent_path(S("C:\\Apps\\VYN\\VYN_Launcher.exe")), "C:\\Apps\\VYN");
  EXPECT_EQ(parent_path(S("C:\\VYN_Launcher.exe")), "C:\\");
  EXPECT_EQ(parent_path(S("VYN_Launcher.exe")), ".");
}

TEST(ProfileMask, MasksOnlyProfilesOnDriveC) {
  const std::optional<std::string> user1 = "C:\\Users\\user1";
  EXPECT_EQ(mask_profile_in("C:\\Users\\user1\\AppData\\Local\\Programs\\app", user1),
            "C:\\Users\\<USER>\\AppData\\Local\\Programs\\app");
  EXPECT_EQ(mask_profile_in("D:\\Profiles\\user1\\x", std::string("D:\\Profiles\\user1")),
            "D:\\Profiles\\user1\\x");
  EXPECT_EQ(mask_profile_in("c:\\users\\user1\\x", user1), "c:\\users\\user1\\x");
  EXPECT_EQ(mask_profile_in("x", std::nullopt), "x");
  EXPECT_EQ(mask_profile_in("C:", std::string("C:")), "C:");
  // Every occurrence, left to right; a lower-case drive letter counts.
  EXPECT_EQ(mask_profile_in("a;c:\\u;c:\\u", std::string("c:\\u")),
            "a;C:\\Users\\<USER>;C:\\Users\\<USER>");
}

TEST(UserDataRoot, FallsBackFromAppDataToProfileToCurrentFolder) {
  using O = std::optional<std::string>;
  EXPECT_EQ(user_data_root_from(O("R:\\roam"), O("C:\\Users\\u")), "R:\\roam");
  EXPECT_EQ(user_data_root_from(O(""), O("C:\\Users\\u")), "");
  EXPECT_EQ(user_data_root_from(O(), O("C:\\Users\\user1")), "C:\\Users\\user1\\AppData\\Roaming");
  EXPECT_EQ(user_data_root_from(O(), O()), ".");
}

}  // namespace
}  // namespace vyn
