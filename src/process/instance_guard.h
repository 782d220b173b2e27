#pragma once
// One launcher at a time: a named mutex whose mere existence marks a running
// launcher, taken only after checking that the application of this
// installation is not already running.

#include <optional>
#include <string>
#include <string_view>

#include "utils/win.h"

namespace vyn {

inline constexpr const wchar_t* kLauncherMutexName = L"VYN_Launcher";

enum class InstanceCheckResult {
  Acquired,                // this launcher created the mutex and holds it
  LauncherAlreadyRunning,  // the mutex exists already, or could not be made
  VynAlreadyRunning,       // the application of this installation runs
};

// The message for the last-error code as an HRESULT, then the code, e.g.
// "Access denied. (0x80070005)".
std::string hresult_error_text_for(DWORD last_error);

// Closes the handle; a failure is logged as "handle_close_failed" with the
// context and is otherwise ignored. Never throws, never retries.
void close_handle_logged(HANDLE handle, std::string_view context) noexcept;

class SingleInstanceGuard {
 public:
  // Without an installation directory the running-application check is
  // skipped. The mutex name is a parameter only so tests can use their own.
  explicit SingleInstanceGuard(std::optional<std::wstring> install_dir,
                               std::wstring mutex_name = kLauncherMutexName);
  ~SingleInstanceGuard();
  SingleInstanceGuard(const SingleInstanceGuard&) = delete;
  SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

  // Once per run, before the application is launched.
  InstanceCheckResult acquire();

  // Closes a held mutex handle ("drop_cleanup" on failure); later calls and
  // the destructor find nothing left to close.
  void release() noexcept;

  bool holds_mutex() const noexcept { return mutex_ != nullptr; }

 private:
  std::optional<std::wstring> install_dir_;
  std::wstring mutex_name_;
  HANDLE mutex_ = nullptr;
};

}  // namespace vyn
