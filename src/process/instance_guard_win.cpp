#include <windows.h>

#include <utility>

#include "logger/log.h"
#include "process/hresult_text.h"
#include "process/instance_detection.h"
#include "process/instance_guard.h"

namespace vyn {

std::string hresult_error_text_for(DWORD last_error) {
  const std::uint32_t hr = hresult_from_win32(last_error);
  wchar_t* raw = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, hr, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  const UniqueLocalMemory owner(raw);
  return hresult_error_text(as_u16(std::wstring_view(raw, n && raw ? n : 0)), hr);
}

void close_handle_logged(HANDLE handle, std::string_view context) noexcept {
  if (::CloseHandle(handle)) return;
  const DWORD error = ::GetLastError();
  try {
    log_event(LogLevel::Error, "handle_close_failed",
              Fields{{"context", context}, {"error", hresult_error_text_for(error)}});
  } catch (...) {
    // Reporting is best effort; a close must never turn into a fault.
  }
}

SingleInstanceGuard::SingleInstanceGuard(std::optional<std::wstring> install_dir,
                                         std::wstring mutex_name)
    : install_dir_(std::move(install_dir)), mutex_name_(std::move(mutex_name)) {}

SingleInstanceGuard::~SingleInstanceGuard() { release(); }

void SingleInstanceGuard::release() noexcept {
  const HANDLE held = std::exchange(mutex_, nullptr);
  if (held) close_handle_logged(held, "drop_cleanup");
}

InstanceCheckResult SingleInstanceGuard::acquire() {
  if (install_dir_ && find_running_vyn(*install_dir_)) {
    log_event(LogLevel::Info, "vyn_already_running_detected");
    return InstanceCheckResult::VynAlreadyRunning;
  }

  // Made first, so that nothing between the creation and the storing of the
  // handle can throw and leak it.
  const std::string name = to_utf8(mutex_name_);
  // Owned from creation and never waited on or released: the existence of
  // the name is the whole signal, and it vanishes with the last handle.
  const HANDLE mutex = ::CreateMutexW(nullptr, TRUE, mutex_name_.c_str());
  const DWORD last_error = ::GetLastError();

  if (mutex == nullptr || mutex == INVALID_HANDLE_VALUE) {
    const std::uint32_t hr = hresult_from_win32(last_error);
    log_event(LogLevel::Error, "mutex_creation_failed",
              Fields{{"api", "CreateMutexW"},
                     {"mutexName", name},
                     {"error", hresult_error_text_for(last_error)},
                     {"errorCode", hresult_code_text(hr)},
                     {"action", "treat_as_already_running"}});
    return InstanceCheckResult::LauncherAlreadyRunning;
  }

  if (last_error == ERROR_ALREADY_EXISTS) {
    // The handle is the other launcher's mutex; keeping it would keep the
    // name alive after that launcher ends.
    close_handle_logged(mutex, "already_exists_cleanup");
    log_event(LogLevel::Info, "launcher_already_running",
              Fields{{"lockType", "windows_mutex"},
                     {"name", name},
                     {"reason", "mutex_already_exists"},
                     {"lastError", last_error}});
    return InstanceCheckResult::LauncherAlreadyRunning;
  }

  // Stored before anything else can fail, so unwinding still closes it.
  mutex_ = mutex;
  log_event(LogLevel::Verbose, "mutex_acquired",
            Fields{{"lockType", "windows_mutex"}, {"name", name}, {"lastError", last_error}});
  return InstanceCheckResult::Acquired;
}

}  // namespace vyn
