#pragma once
// Word-at-a-time byte scans: the standard library's loops and memchr are
// not vectorised by every compiler and C library the launcher is built with.
// Inline, because they sit in the innermost loops of their callers.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vyn::word_scan {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;
inline constexpr std::uint64_t kHigh = 0x8080808080808080ull;
inline constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
static_assert(std::endian::native == std::endian::little, "byte order of the word scans");

inline std::uint64_t load_word(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// The high bit of every byte of w that equals c, and no other bit.
inline std::uint64_t equal_bytes(std::uint64_t w, unsigned char c) noexcept {
  const std::uint64_t t = w ^ (kOnes * c);
  return ~(((t & kLow7) + kLow7) | t) & kHigh;
}

inline const char* find_byte(const char* s, std::size_t n, unsigned char c) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t m = equal_bytes(load_word(s + i), c);
    if (m != 0) return s + i + std::countr_zero(m) / 8;
  }
  for (; i < n; ++i)
    if (static_cast<unsigned char>(s[i]) == c) return s + i;
  return nullptr;
}

// Skips whole 8-byte words that hold neither a non-ASCII byte nor CR or LF.
inline const char* skip_plain_words(const char* p, const char* end) noexcept {
  while (end - p >= 8) {
    const std::uint64_t w = load_word(p);
    if (((w & kHigh) | equal_bytes(w, '\n') | equal_bytes(w, '\r')) != 0) break;
    p += 8;
  }
  return p;
}

}  // namespace vyn::word_scan
