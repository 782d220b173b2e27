#pragma once
// The start-up check that the null device can be opened. The application's
// standard input and output are bound to it, so without it there is nothing
// to launch: the user is told how to repair Windows and the launcher ends.

#include <functional>
#include <string>
#include <string_view>

#include "main/null_device_text.h"

namespace vyn {

inline constexpr const wchar_t* kNullDeviceName = L"NUL";
// Where the system folder is assumed to be when Windows will not say.
inline constexpr std::string_view kFallbackSystemDirectory = "C:\\Windows\\System32";
// Appended to the system folder as plain text.
inline constexpr std::string_view kNullDriverSuffix = "\\drivers\\null.sys";
inline constexpr int kNullDeviceExitCode = 1;

// Shows the fatal message and returns once the user has closed it.
using FatalDialog = std::function<void(std::u16string_view text)>;

// The system folder as UTF-8 (invalid UTF-16 becomes U+FFFD); the fallback
// folder when the system gives none or one that does not fit MAX_PATH.
std::string system_directory();

// A modal error box without owner, caption "VYN", one OK button.
void show_fatal_dialog(std::u16string_view text);

// Returns, logging nothing, when the device opens. Otherwise logs what it
// found, shows the dialog in the user's UI language, logs the fatal event
// once the dialog is closed and ends the process with kNullDeviceExitCode,
// leaving every release (the instance mutex included) to the system.
void check_null_device(const wchar_t* device = kNullDeviceName,
                       const std::string& system_folder = system_directory(),
                       const FatalDialog& dialog = show_fatal_dialog);

}  // namespace vyn
