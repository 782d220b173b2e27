#include <windows.h>

#include "logger/log.h"
#include "main/null_device.h"
#include "utils/win.h"

namespace vyn {

namespace {

constexpr const wchar_t* kFatalDialogCaption = L"VYN";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool can_open_device(const wchar_t* device) {
  UniqueHandle h(
      ::CreateFileW(device, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  return static_cast<bool>(h);
}

// Metadata of the link target, as opening the path resolves it. Asking for no
// access at all keeps a driver file that is loaded (and so opened by the
// system) from being mistaken for a missing one.
bool has_attributes_following_links(const std::wstring& path) {
  UniqueHandle h(::CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return false;
  BY_HANDLE_FILE_INFORMATION info;
  return ::GetFileInformationByHandle(h.get(), &info) != 0;
}

}  // namespace

std::string system_directory() {
  const std::optional<std::wstring> folder = system_folder();
  return folder ? to_utf8(*folder) : std::string(kFallbackSystemDirectory);
}

void show_fatal_dialog(std::u16string_view text) {
  const std::wstring message(as_wide(text));  // owns the terminating NUL
  ::MessageBoxW(nullptr, message.c_str(), kFatalDialogCaption, MB_OK | MB_ICONERROR);
}

void check_null_device(const wchar_t* device, const std::string& system_folder,
                       const FatalDialog& dialog) {
  if (can_open_device(device)) return;

  // The probe's own error code tells the two causes apart no better than the
  // driver file does, so it is not kept.
  log_event(LogLevel::Error, "launcher_null_device_check_failed",
            Fields{{"system32", system_folder}});

  const std::wstring driver = to_wide(system_folder + std::string(kNullDriverSuffix));
  NullDeviceError cause;
  if (has_attributes_following_links(driver)) {
    cause = NullDeviceError::ServiceUnavailable;
    log_event(LogLevel::Error, "launcher_null_device_unavailable",
              Fields{{"reason", "null_service_disabled_or_stopped"}});
  } else {
    cause = NullDeviceError::SysMissing;
    log_event(LogLevel::Error, "launcher_null_device_sys_missing");
  }

  dialog(fatal_dialog_text(cause, dialog_language(::GetUserDefaultUILanguage())));
  // Only now: until the user has read the box, the run is not over.
  log_event(LogLevel::Error, "launcher_null_device_fatal",
            Fields{{"error", fatal_error_text(cause)}});
  ::ExitProcess(kNullDeviceExitCode);
}

}  // namespace vyn
