#pragma once
// Text conversions between the system's UTF-16 and the log's UTF-8. Invalid
// input never fails a conversion: each bad sequence becomes U+FFFD, because a
// path or message that cannot be shown exactly must still be shown.

#include <cstddef>
#include <string>
#include <string_view>

namespace vyn {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

// UTF-8 to UTF-16; every maximal invalid subpart becomes one U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// True when the UTF-16 text has no unpaired surrogate.
bool is_valid_utf16(std::u16string_view text);

// The bytes with each invalid sequence replaced by U+FFFD.
std::string sanitize_utf8(std::string_view bytes);

// Length of the longest prefix of `bytes` that is valid UTF-8 and does not
// end inside a character; used to cut texts at a character boundary.
std::size_t valid_utf8_prefix(std::string_view bytes);

// The continuation bytes a UTF-8 lead byte announces, its payload bits, and
// the range its first continuation byte must fall in (which rules out
// overlongs, surrogates and code points above U+10FFFF). False for a byte
// that cannot start a character. For decoders that read byte by byte.
bool utf8_lead(unsigned char b, std::size_t& need, char32_t& cp, unsigned char& lo,
               unsigned char& hi) noexcept;

// Decodes one character at `pos`. Returns the number of bytes consumed and
// sets `cp`; an invalid sequence consumes its maximal invalid subpart (at
// least one byte) and yields U+FFFD with `ok` false.
std::size_t decode_utf8(std::string_view s, std::size_t pos, char32_t& cp, bool& ok) noexcept;

// Appends one code point (at most U+10FFFF) as UTF-8.
void append_utf8(std::string& out, char32_t code_point);

// ASCII-only lower case, for names whose letter case the system ignores.
std::string ascii_lower(std::string_view text);

}  // namespace vyn
