#include "process/path_compare.h"

#include <gtest/gtest.h>

namespace vyn {
namespace {

TEST(PathsEqual, DiskPathsIgnoreDriveLetterCaseButNotNameCase) {
  EXPECT_TRUE(paths_equal(u"C:\\Program Files\\VYN", u"c:\\Program Files\\VYN"));
  EXPECT_FALSE(paths_equal(u"C:\\Program Files\\VYN", u"C:\\program files\\VYN"));
  EXPECT_FALSE(paths_equal(u"C:\\VYN\\Ä", u"C:\\VYN\\ä"));
  EXPECT_FALSE(paths_equal(u"C:\\VYN", u"D:\\VYN"));
}

TEST(PathsEqual, SeparatorsAndDotsOutsideVerbatimPaths) {
  EXPECT_TRUE(paths_equal(u"C:\\a\\b", u"C:/a/b"));
  EXPECT_TRUE(paths_equal(u"C:\\a\\b", u"C:\\\\a\\/b\\"));
  EXPECT_TRUE(paths_equal(u"C:\\a\\b", u"C:\\.\\a\\.\\b\\."));
  EXPECT_TRUE(paths_equal(u"a\\b", u"a\\.\\b"));
  // A leading "." is kept, ".." is never folded away.
  EXPECT_FALSE(paths_equal(u".\\a", u"a"));
  EXPECT_TRUE(paths_equal(u".\\a", u"./a"));
  EXPECT_FALSE(paths_equal(u"C:\\a\\..\\b", u"C:\\b"));
  // Rooted, drive-relative and relative paths differ from one another.
  EXPECT_FALSE(paths_equal(u"C:a", u"C:\\a"));
  EXPECT_FALSE(paths_equal(u"\\a", u"a"));
  EXPECT_TRUE(paths_equal(u"/a", u"\\a"));
  EXPECT_FALSE(paths_equal(u"C:\\", u"C:"));
}

TEST(PathsEqual, VerbatimDiskIsItsOwnKind) {
  EXPECT_FALSE(paths_equal(u"\\\\?\\C:\\VYN\\VYN.exe", u"C:\\VYN\\VYN.exe"));
  EXPECT_TRUE(paths_equal(u"\\\\?\\C:\\VYN\\VYN.exe", u"\\\\?\\c:\\VYN\\VYN.exe"));
  EXPECT_FALSE(paths_equal(u"\\\\?\\C:\\VYN", u"\\\\?\\C:\\vyn"));
  // Only '\' separates inside a verbatim path, and "." is an ordinary name.
  EXPECT_FALSE(paths_equal(u"\\\\?\\C:\\a/b", u"\\\\?\\C:\\a\\b"));
  EXPECT_FALSE(paths_equal(u"\\\\?\\C:\\a\\.\\b", u"\\\\?\\C:\\a\\b"));
  EXPECT_TRUE(paths_equal(u"\\\\?\\C:\\a\\\\b\\", u"\\\\?\\C:\\a\\b"));
  // "C:" followed by anything but '\' is not a drive there.
  EXPECT_FALSE(paths_equal(u"\\\\?\\C:/a", u"\\\\?\\c:/a"));
  // Written with forward slashes the introducer is not verbatim at all.
  EXPECT_FALSE(paths_equal(u"//?/C:/a", u"\\\\?\\C:\\a"));
}

TEST(PathsEqual, NetworkAndDevicePrefixes) {
  EXPECT_TRUE(paths_equal(u"\\\\server\\share\\VYN", u"//server/share/VYN"));
  EXPECT_FALSE(paths_equal(u"\\\\Server\\share\\VYN", u"\\\\server\\share\\VYN"));
  EXPECT_FALSE(paths_equal(u"\\\\server\\Share\\VYN", u"\\\\server\\share\\VYN"));
  // A share implies its root; a verbatim share does not.
  EXPECT_TRUE(paths_equal(u"\\\\server\\share", u"\\\\server\\share\\"));
  EXPECT_FALSE(paths_equal(u"\\\\?\\UNC\\server\\share", u"\\\\?\\UNC\\server\\share\\"));
  EXPECT_FALSE(paths_equal(u"\\\\?\\UNC\\server\\share\\VYN", u"\\\\server\\share\\VYN"));
  EXPECT_TRUE(paths_equal(u"\\\\?\\UNC\\server\\share\\VYN", u"\\\\?\\UNC\\server\\share\\VYN\\"));
  EXPECT_TRUE(paths_equal(u"\\\\.\\pipe\\VYN_BOOT", u"//./pipe/VYN_BOOT"));
  EXPECT_FALSE(paths_equal(u"\\\\.\\pipe\\VYN_BOOT", u"\\\\?\\pipe\\VYN_BOOT"));
  EXPECT_FALSE(paths_equal(u"\\\\.\\C:\\VYN", u"C:\\VYN"));
  // Two separators without a share are no prefix, just a root.
  EXPECT_TRUE(paths_equal(u"\\\\server", u"\\server"));
}

TEST(PathsEqual, DegenerateInputs) {
  EXPECT_TRUE(paths_equal(u"", u""));
  EXPECT_FALSE(paths_equal(u"", u"."));
  EXPECT_FALSE(paths_equal(u"", u"\\"));
  EXPECT_TRUE(paths_equal(u"\\\\?\\", u"\\\\?\\"));
  EXPECT_FALSE(paths_equal(u"\\\\?\\", u"\\\\"));
  // Unpaired surrogates are compared as they stand, not replaced.
  const char16_t lone_a[] = {u'C', u':', u'\\', 0xD800, 0};
  const char16_t lone_b[] = {u'C', u':', u'\\', 0xDC00, 0};
  EXPECT_TRUE(paths_equal(lone_a, lone_a));
  EXPECT_FALSE(paths_equal(lone_a, lone_b));
}

TEST(JoinFileName, InsertsOneBackslashWhereNeeded) {
  EXPECT_EQ(join_file_name(u"C:\\VYN", u"VYN.exe"), u"C:\\VYN\\VYN.exe");
  EXPECT_EQ(join_file_name(u"C:\\VYN\\", u"VYN.exe"), u"C:\\VYN\\VYN.exe");
  EXPECT_EQ(join_file_name(u"C:/VYN/", u"VYN.exe"), u"C:/VYN/VYN.exe");
  EXPECT_EQ(join_file_name(u"C:", u"VYN.exe"), u"C:VYN.exe");
  EXPECT_EQ(join_file_name(u"", u"VYN.exe"), u"VYN.exe");
  EXPECT_EQ(join_file_name(u"\\\\?\\C:\\VYN", u"VYN.exe"), u"\\\\?\\C:\\VYN\\VYN.exe");
  EXPECT_EQ(join_file_name(u"VYN", u"VYN.exe"), u"VYN\\VYN.exe");
}

}  // namespace
}  // namespace vyn
