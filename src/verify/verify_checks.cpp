#include "verify/verify_config.h"

namespace vyn {

bool pkcs7_unpad(std::string& plaintext) {
  if (plaintext.empty()) return false;
  const auto n = static_cast<unsigned char>(plaintext.back());
  if (n < 1 || n > kAesBlockSize || n > plaintext.size()) return false;
  for (std::size_t i = plaintext.size() - n; i < plaintext.size(); ++i) {
    if (static_cast<unsigned char>(plaintext[i]) != n) return false;
  }
  plaintext.resize(plaintext.size() - n);
  return true;
}

std::string pkcs7_pad(std::string_view plaintext) {
  const std::size_t n = kAesBlockSize - plaintext.size() % kAesBlockSize;
  std::string out(plaintext);
  out.append(n, static_cast<char>(n));
  return out;
}

std::optional<std::string> describe_invalid_utf8(std::string_view bytes) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const auto continuation = [](unsigned char c) { return c >= 0x80 && c <= 0xBF; };
  std::size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char first = at(i);
    if (first < 0x80) {
      ++i;
      continue;
    }
    // Width and the range the second byte must fall in, which excludes
    // overlong forms, surrogates and values above U+10FFFF.
    std::size_t width = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
      width = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      width = 3;
      if (first == 0xE0) lo = 0xA0;
      if (first == 0xED) hi = 0x9F;
    } else if (first >= 0xF0 && first <= 0xF4) {
      width = 4;
      if (first == 0xF0) lo = 0x90;
      if (first == 0xF4) hi = 0x8F;
    }
    const std::string from = " bytes from index " + std::to_string(i);
    if (width == 0) return "invalid utf-8 sequence of 1" + from;
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= bytes.size())
        return "incomplete utf-8 byte sequence from index " + std::to_string(i);
      const unsigned char c = at(i + k);
      const bool ok = k == 1 ? (c >= lo && c <= hi) : continuation(c);
      if (!ok) return "invalid utf-8 sequence of " + std::to_string(k) + from;
    }
    i += width;
  }
  return std::nullopt;
}

std::string_view expected_digest_prefix(std::string_view configured) {
  constexpr std::size_t kShown = 16;
  if (configured.size() < kShown) return configured;
  if (configured.size() > kShown) {
    const auto next = static_cast<unsigned char>(configured[kShown]);
    if (next >= 0x80 && next <= 0xBF) return configured;
  }
  return configured.substr(0, kShown);
}

std::optional<std::string> archive_mismatch(const AppAsarInfo& expected, std::uint64_t counted_size,
                                            std::string_view digest_hex) {
  if (counted_size != expected.size)
    return "File size mismatch: expected " + std::to_string(expected.size) + ", got " +
           std::to_string(counted_size);
  if (digest_hex != expected.sha256)
    return "SHA256 hash mismatch: expected " +
           std::string(expected_digest_prefix(expected.sha256)) + ", got " +
           std::string(digest_hex.substr(0, 16));
  return std::nullopt;
}

std::string hex_lower(const unsigned char* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace vyn
