#pragma once
// The Win32 side of the utilities: owning handle types, wide-text helpers,
// environment lookups and system error texts.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "utils/text.h"

namespace vyn {

// Move-only owner of one kind of handle; Traits says what "none" is and how
// the handle is released. One alias per kind keeps a handle from being
// closed with the wrong function.
template <class Traits>
class UniqueResource {
 public:
  using value_type = typename Traits::value_type;

  UniqueResource() noexcept = default;
  explicit UniqueResource(value_type h) noexcept : h_(h) {}
  UniqueResource(UniqueResource&& o) noexcept : h_(o.release()) {}
  UniqueResource& operator=(UniqueResource&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  value_type get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return !Traits::is_none(h_); }
  value_type release() noexcept { return std::exchange(h_, Traits::none()); }
  void reset(value_type h = Traits::none()) noexcept {
    const value_type old = std::exchange(h_, h);
    if (!Traits::is_none(old)) Traits::close(old);
  }
  // For APIs that return a handle through a pointer.
  value_type* out() noexcept {
    reset();
    return &h_;
  }

 private:
  value_type h_ = Traits::none();
};

// Kernel handles (processes, threads, events, mutexes, pipes): null and
// INVALID_HANDLE_VALUE both mean none, since APIs disagree on which they use.
struct KernelHandleTraits {
  using value_type = HANDLE;
  static HANDLE none() noexcept { return nullptr; }
  static bool is_none(HANDLE h) noexcept { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

struct RegKeyTraits {
  using value_type = HKEY;
  static HKEY none() noexcept { return nullptr; }
  static bool is_none(HKEY h) noexcept { return h == nullptr; }
  static void close(HKEY h) noexcept { ::RegCloseKey(h); }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

struct LibraryTraits {
  using value_type = HMODULE;
  static HMODULE none() noexcept { return nullptr; }
  static bool is_none(HMODULE h) noexcept { return h == nullptr; }
  static void close(HMODULE h) noexcept { ::FreeLibrary(h); }
};
using UniqueLibrary = UniqueResource<LibraryTraits>;

struct LocalMemoryTraits {
  using value_type = HLOCAL;
  static HLOCAL none() noexcept { return nullptr; }
  static bool is_none(HLOCAL h) noexcept { return h == nullptr; }
  static void close(HLOCAL h) noexcept { ::LocalFree(h); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

// wchar_t is UTF-16 on Windows, so these views are free.
inline std::u16string_view as_u16(std::wstring_view w) {
  return {reinterpret_cast<const char16_t*>(w.data()), w.size()};
}
inline std::wstring_view as_wide(std::u16string_view u) {
  return {reinterpret_cast<const wchar_t*>(u.data()), u.size()};
}
inline std::string to_utf8(std::wstring_view w) { return utf16_to_utf8(as_u16(w)); }
inline std::wstring to_wide(std::string_view s) {
  const std::u16string u = utf8_to_utf16(s);
  return std::wstring(as_wide(u));
}

// The value of an environment variable; nullopt when it does not exist. An
// existing empty variable gives an empty text.
std::optional<std::wstring> get_env(const wchar_t* name);

// The variable as UTF-8, nullopt when it does not exist or is not valid
// UTF-16 ("not valid Unicode").
std::optional<std::string> get_env_utf8(const wchar_t* name);

// The system's message for a Win32 error code with trailing white space
// removed, then " (os error N)".
std::string os_error_text(DWORD code);

// The full path of this process's executable; nullopt when it cannot be had.
std::optional<std::wstring> own_executable_path();

// The system folder (GetSystemDirectoryW); nullopt when the system gives none
// or one longer than MAX_PATH.
std::optional<std::wstring> system_folder();

}  // namespace vyn

namespace vyn {
// user_data_root_from with the current environment.
std::wstring user_data_root();
}  // namespace vyn

namespace vyn {
// Writes bytes to the process's standard output or error (STD_OUTPUT_HANDLE,
// STD_ERROR_HANDLE) when it has one; a GUI program usually has none.
void write_std_handle(DWORD which, std::string_view bytes) noexcept;

// Creates the folder and its missing parents; failures are left for the
// caller's next step to run into.
void create_directories(const std::wstring& path) noexcept;
}  // namespace vyn
