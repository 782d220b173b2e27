#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "addon/bridge_fixture.h"
#include "bridge_loader.h"

namespace vyn::addon {
namespace {

using testing::ScratchFolder;
using testing::to_utf8;

// Why the loader converts the path: the same UTF-8 bytes handed to the ANSI
// loader name a different file unless the system code page is UTF-8.
TEST(BridgeLoaderWin, Utf8PathsReachTheLoaderIntact) {
  ScratchFolder folder(u8"vyn 桥接库 ansi");
  const std::string copy = to_utf8(folder.copy_bridge(u8"桥接"));
  if (GetACP() != CP_UTF8) {
    EXPECT_EQ(LoadLibraryA(copy.c_str()), nullptr);
  }
  HMODULE library =
      static_cast<HMODULE>(load_library(copy.data(), static_cast<std::int32_t>(copy.size())));
  ASSERT_NE(library, nullptr) << "code " << load_failure_code();
  wchar_t loaded[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(library, loaded, MAX_PATH);
  EXPECT_EQ(std::wstring(loaded, length).substr(length - 6), L"桥接.dll");
}

TEST(BridgeLoaderWin, FailedLoadKeepsTheLoadersErrorCode) {
  ScratchFolder folder(u8"vyn-loader-codes");
  const std::string missing = to_utf8(folder.path() / "missing.dll");
  SetLastError(0);
  EXPECT_EQ(load_library(missing.data(), static_cast<std::int32_t>(missing.size())), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
}  // namespace vyn::addon
