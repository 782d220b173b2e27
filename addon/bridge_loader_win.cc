#include "bridge_loader.h"

#include <windows.h>

#include <string>

namespace vyn::addon {
namespace {

// The path arrives as UTF-8 from the JavaScript side. LoadLibraryA would read
// those bytes in the ANSI code page and miss every library under a folder with
// non-ASCII characters, so the path goes to the loader as UTF-16.
std::wstring utf8_to_wide(const char* utf8, int length) {
  if (utf8 == nullptr || length <= 0) {
    return std::wstring();
  }
  const int wide_length = MultiByteToWideChar(CP_UTF8, 0, utf8, length, nullptr, 0);
  if (wide_length <= 0) {
    return std::wstring();
  }
  std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8, length, wide.data(), wide_length);
  return wide;
}

}  // namespace

LibraryHandle load_library(const char* utf8_path, std::int32_t length) {
  HMODULE library = nullptr;
  DWORD error = ERROR_SUCCESS;
  {
    const std::wstring path = utf8_to_wide(utf8_path, length);
    // Empty paths fail alike on every host.
    if (path.empty() || path.front() == L'\0') {
      error = ERROR_MOD_NOT_FOUND;
    } else {
      library = LoadLibraryW(path.c_str());
      error = GetLastError();
    }
  }
  // The caller reports GetLastError after a failed load; releasing the
  // converted path must not be what it sees.
  SetLastError(error);
  return library;
}

void* find_export(LibraryHandle library, const char* name) {
  if (library == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

unsigned long load_failure_code() {
  const DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : ERROR_MOD_NOT_FOUND;
}

}  // namespace vyn::addon
