#include "bridge_loader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "addon/bridge_fixture.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace vyn::addon {
namespace {

using testing::bridge_path;
using testing::ScratchFolder;
using testing::to_utf8;

using CacheExport = const char* (*)();

#ifdef _WIN32
constexpr unsigned long kNotFound = ERROR_MOD_NOT_FOUND;
void set_last_error(unsigned long code) { SetLastError(static_cast<DWORD>(code)); }
#else
constexpr unsigned long kNotFound = ENOENT;
void set_last_error(unsigned long code) { errno = static_cast<int>(code); }
#endif

LibraryHandle load(const std::string& utf8_path) {
  return load_library(utf8_path.data(), static_cast<std::int32_t>(utf8_path.size()));
}

TEST(BridgeLoader, LoadsByPathAndFindsTheBridgeExports) {
  const std::string path = to_utf8(bridge_path());
  LibraryHandle library = load(path);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(find_export(library, "vynAddonInit"), nullptr);
  EXPECT_NE(find_export(library, "vynAddonInit2"), nullptr);
  auto cache = reinterpret_cast<CacheExport>(find_export(library, "getSystemCache"));
  ASSERT_NE(cache, nullptr);
  EXPECT_STREQ(cache(), "{\"cpu\":\"x86-64\",\"名称\":\"测试机 ✓\"}");
  EXPECT_EQ(find_export(library, "vynSetUserID"), nullptr);
  EXPECT_EQ(find_export(nullptr, "vynAddonInit"), nullptr);
  // The same library loaded again is the copy already in the process.
  EXPECT_EQ(load(path), library);
}

TEST(BridgeLoader, LoadsFromAFolderWithNonAsciiCharacters) {
  ScratchFolder folder(u8"vyn 桥接库 ✓ тест");
  const std::string copy = to_utf8(folder.copy_bridge(u8"测试桥接"));
  LibraryHandle library = load(copy);
  ASSERT_NE(library, nullptr) << "code " << load_failure_code();
  EXPECT_NE(find_export(library, "vynAddonInit"), nullptr);
}

TEST(BridgeLoader, FailedLoadsReportACode) {
  ScratchFolder folder(u8"vyn-loader-missing");
  set_last_error(0);
  EXPECT_EQ(load(to_utf8(folder.path() / "missing.lib")), nullptr);
  // The exact code is the system's (the Windows one is checked there).
  EXPECT_NE(load_failure_code(), 0u);

  // dlopen hands back the main program for an empty name, which the addon
  // would take for the bridge. An unconvertible JavaScript value arrives as
  // null and 0.
  for (const std::string& path : {std::string(), std::string("\0x", 2)}) {
    set_last_error(0);
    EXPECT_EQ(load(path), nullptr);
    EXPECT_EQ(load_failure_code(), kNotFound);
  }
  EXPECT_EQ(load_library(nullptr, 0), nullptr);
  EXPECT_EQ(load_library(nullptr, 5), nullptr);
  EXPECT_EQ(load_failure_code(), kNotFound);
}

TEST(BridgeLoader, FailureCodeIsNeverSuccess) {
  // Nothing loaded in a fresh thread leaves no error behind, and callers read
  // a returned 0 as a successful init.
  set_last_error(0);
  EXPECT_EQ(load_failure_code(), kNotFound);
  set_last_error(5);
  EXPECT_EQ(load_failure_code(), 5u);
}

}  // namespace
}  // namespace vyn::addon
