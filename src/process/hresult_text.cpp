#include "process/hresult_text.h"

#include <cstdio>

#include "utils/text.h"

namespace vyn {

std::uint32_t hresult_from_win32(std::uint32_t error) noexcept {
  if (static_cast<std::int32_t>(error) <= 0) return error;
  return 0x80070000u | (error & 0xFFFFu);
}

std::string hresult_hex(std::uint32_t hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
  return buf;
}

std::string hresult_code_text(std::uint32_t hr) { return "HRESULT(" + hresult_hex(hr) + ")"; }

std::string hresult_error_text(std::u16string_view system_message, std::uint32_t hr) {
  const auto trailing = system_message.find_last_not_of(u"\t\n\v\f\r ");
  if (trailing == std::u16string_view::npos) return hresult_hex(hr);
  return utf16_to_utf8(system_message.substr(0, trailing + 1)) + " (" + hresult_hex(hr) + ")";
}

}  // namespace vyn
