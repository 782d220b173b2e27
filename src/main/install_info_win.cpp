#include <windows.h>

#include <vector>

#include "main/install_info.h"
#include "utils/path.h"
#include "utils/win.h"

namespace vyn {

namespace {

constexpr DWORD kInitialValueBuffer = 2048;

// Text stays UTF-16 here: it goes back to Win32 as a path. Unpaired
// surrogates are replaced only when the text is logged.
std::optional<std::wstring> read_text_value(HKEY key, const wchar_t* name) {
  std::vector<char> buf(kInitialValueBuffer);
  DWORD type = 0;
  for (;;) {
    DWORD size = static_cast<DWORD>(buf.size());
    const LSTATUS st =
        ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size);
    if (st == ERROR_MORE_DATA) {
      // The value may grow between two queries; never shrink the buffer.
      buf.resize(size > buf.size() ? size : buf.size() * 2);
      continue;
    }
    if (st != ERROR_SUCCESS) return std::nullopt;
    auto text = decode_registry_text(type, std::string_view(buf.data(), size));
    if (!text) return std::nullopt;  // ERROR_BAD_FILE_TYPE: not a text value
    return std::wstring(as_wide(*text));
  }
}

std::wstring own_folder() {
  const auto exe = own_executable_path();
  if (!exe) return L"null";
  return parent_path(std::wstring_view(*exe));
}

}  // namespace

InstallInfo read_install_info() {
  UniqueRegKey key;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kInstallKeyPath, 0, KEY_READ, key.out()) ==
      ERROR_SUCCESS) {
    auto id = read_text_value(key.get(), kInstallIdValue);
    auto dir = id ? read_text_value(key.get(), kInstallDirValue) : std::nullopt;
    if (id && dir) return InstallInfo{to_utf8(*id), std::move(*dir)};
  }
  return InstallInfo{std::string(kFallbackInstallId), own_folder()};
}

}  // namespace vyn
