#include "utils/win.h"

#include <vector>

#include "utils/profile_mask.h"

namespace vyn {

std::optional<std::wstring> get_env(const wchar_t* name) {
  std::wstring buf(256, L'\0');
  for (;;) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD n = ::GetEnvironmentVariableW(name, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::wstring();
    }
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    buf.resize(n);  // n includes the terminator when the buffer was too small
  }
}

std::optional<std::string> get_env_utf8(const wchar_t* name) {
  auto v = get_env(name);
  if (!v || !is_valid_utf16(as_u16(*v))) return std::nullopt;
  return to_utf8(*v);
}

std::string os_error_text(DWORD code) {
  wchar_t* raw = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  UniqueLocalMemory owner(raw);
  std::wstring msg = n ? std::wstring(raw, n) : std::wstring();
  while (!msg.empty() &&
         (msg.back() == L' ' || msg.back() == L'\r' || msg.back() == L'\n' || msg.back() == L'\t'))
    msg.pop_back();
  return to_utf8(msg) + " (os error " + std::to_string(code) + ")";
}

std::optional<std::wstring> own_executable_path() {
  std::vector<wchar_t> buf(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::nullopt;
    if (n < buf.size()) return std::wstring(buf.data(), n);
    if (buf.size() >= 32768) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

std::optional<std::wstring> system_folder() {
  wchar_t buf[MAX_PATH];
  const UINT len = ::GetSystemDirectoryW(buf, MAX_PATH);
  if (len == 0 || len >= MAX_PATH) return std::nullopt;
  return std::wstring(buf, len);
}

std::string mask_user_profile(std::string_view text) {
  return mask_profile_in(text, get_env_utf8(L"USERPROFILE"));
}

}  // namespace vyn

#include "utils/user_data.h"

namespace vyn {
namespace {
std::optional<std::wstring> get_env_unicode(const wchar_t* name) {
  auto v = get_env(name);
  if (v && !is_valid_utf16(as_u16(*v))) return std::nullopt;
  return v;
}
}  // namespace

std::wstring user_data_root() {
  return user_data_root_from(get_env_unicode(L"APPDATA"), get_env_unicode(L"USERPROFILE"));
}
}  // namespace vyn

namespace vyn {
void write_std_handle(DWORD which, std::string_view bytes) noexcept {
  const HANDLE h = ::GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written == 0)
      return;
    bytes.remove_prefix(written);
  }
}

void create_directories(const std::wstring& path) noexcept {
  try {
    for (std::size_t i = 1; i <= path.size(); ++i) {
      if (i == path.size() || is_path_separator(path[i])) {
        const std::wstring prefix = path.substr(0, i);
        // Skip roots such as "C:" and "\\server" that cannot be created.
        if (prefix.size() <= 2 || prefix.back() == L':') continue;
        ::CreateDirectoryW(prefix.c_str(), nullptr);
      }
    }
  } catch (...) {
  }
}
}  // namespace vyn
