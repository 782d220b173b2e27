#pragma once
// How the single-instance guard writes Windows errors: as HRESULTs, the form
// the system's own tools show, rather than the "os error N" texts used
// elsewhere.

#include <cstdint>
#include <string>
#include <string_view>

namespace vyn {

// HRESULT_FROM_WIN32: a code that is zero or negative as a signed 32-bit
// number is an HRESULT already; any other becomes 0x8007xxxx.
std::uint32_t hresult_from_win32(std::uint32_t error) noexcept;

// "0x" and eight upper-case hexadecimal digits.
std::string hresult_hex(std::uint32_t hr);

// "HRESULT(0x80070005)".
std::string hresult_code_text(std::uint32_t hr);

// The system's message with trailing white space removed, a blank and the
// code in parentheses; the code alone when the system has no message.
std::string hresult_error_text(std::u16string_view system_message, std::uint32_t hr);

}  // namespace vyn
