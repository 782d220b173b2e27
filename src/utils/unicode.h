#pragma once
// Unicode text rules beyond the encoding itself: the white-space property
// and full lower-casing, for comparing texts whatever their letter case.

#include <string>
#include <string_view>

namespace vyn {

// The white space of the C locale's isspace: blank, tab, LF, VT, FF, CR.
inline bool is_ascii_space(char32_t c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// The Unicode White_Space property.
bool is_unicode_white_space(char32_t c) noexcept;

// Full Unicode lower case (one code point may become several), from the
// Unicode database the build machine supplied. Invalid bytes become U+FFFD.
// Context-dependent mappings (final sigma) are left out: they only choose
// between two non-ASCII letters, so no search for ASCII text can tell.
std::string unicode_lower(std::string_view utf8);

}  // namespace vyn
