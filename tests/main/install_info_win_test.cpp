#include <windows.h>

#include <gtest/gtest.h>

#include "main/install_info.h"
#include "utils/path.h"
#include "utils/win.h"

namespace vyn {
namespace {

// Writes the installer's key for one test and removes it afterwards.
class InstallKey : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kInstallKeyPath); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kInstallKeyPath); }

  void set(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kInstallKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
  }
  void set_text(const wchar_t* name, std::wstring_view text, DWORD type = REG_SZ) {
    set(name, type, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
  }

  static std::wstring own_folder() {
    return parent_path(std::wstring_view(*own_executable_path()));
  }
};

TEST_F(InstallKey, ReadsBothTextValues) {
  set_text(kInstallIdValue, std::wstring(L"id-42\0", 6));
  set_text(kInstallDirValue, std::wstring(L"C:\\Apps\\VYN\0\0\0", 14));
  const InstallInfo info = read_install_info();
  EXPECT_EQ(info.install_id, "id-42");
  EXPECT_EQ(info.install_dir, L"C:\\Apps\\VYN");
}

TEST_F(InstallKey, LongValuesGrowTheBuffer) {
  const std::wstring long_dir = L"C:\\" + std::wstring(3000, L'd');
  set_text(kInstallIdValue, L"\u4e2d\u6587");
  set_text(kInstallDirValue, long_dir, REG_EXPAND_SZ);
  const InstallInfo info = read_install_info();
  EXPECT_EQ(info.install_id, "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(info.install_dir, long_dir);
}

TEST_F(InstallKey, MultiStringAndUnexpandedReferences) {
  set_text(kInstallIdValue, std::wstring(L"a\0b\0\0", 5), REG_MULTI_SZ);
  set_text(kInstallDirValue, L"%LOCALAPPDATA%\\VYN", REG_EXPAND_SZ);
  const InstallInfo info = read_install_info();
  EXPECT_EQ(info.install_id, "a\nb");
  EXPECT_EQ(info.install_dir, L"%LOCALAPPDATA%\\VYN");
}

TEST_F(InstallKey, AnyFailureFallsBackToTheOwnFolder) {
  // No key at all.
  InstallInfo info = read_install_info();
  EXPECT_EQ(info.install_id, "null");
  EXPECT_EQ(info.install_dir, own_folder());

  // A readable id does not survive a directory of the wrong type.
  set_text(kInstallIdValue, L"id");
  const DWORD number = 7;
  set(kInstallDirValue, REG_DWORD, &number, sizeof number);
  info = read_install_info();
  EXPECT_EQ(info.install_id, "null");
  EXPECT_EQ(info.install_dir, own_folder());

  // Nor a missing directory.
  RegDeleteTreeW(HKEY_CURRENT_USER, kInstallKeyPath);
  set_text(kInstallIdValue, L"id");
  EXPECT_EQ(read_install_info().install_id, "null");
}

}  // namespace
}  // namespace vyn
