#pragma once
// What the launcher tells the user when the null device is unusable: the
// cause, the language of the message and the message itself. Pure, so every
// text and every language id is checked without a message box.

#include <cstdint>
#include <string_view>

namespace vyn {

// Why "NUL" could not be opened.
enum class NullDeviceError {
  SysMissing,          // drivers\null.sys is absent
  ServiceUnavailable,  // the driver file exists, so its service is off
};

enum class DialogLanguage { SimplifiedChinese, TraditionalChinese, English };

// From a Windows LANGID: Chinese as written in Taiwan, Hong Kong and Macao
// reads the traditional script, every other Chinese id (the neutral ones
// included) the simplified one, everything else English.
DialogLanguage dialog_language(std::uint16_t langid);

// The message box text, lines joined with CR LF and no break after the last.
std::u16string_view fatal_dialog_text(NullDeviceError cause, DialogLanguage language);

// The "error" field of "launcher_null_device_fatal".
std::string_view fatal_error_text(NullDeviceError cause);

}  // namespace vyn
