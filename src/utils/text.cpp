#include "utils/text.h"

namespace vyn {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool utf8_lead(unsigned char b, std::size_t& need, char32_t& cp, unsigned char& lo,
               unsigned char& hi) noexcept {
  lo = 0x80;
  hi = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    need = 1;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2;
    cp = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3;
    cp = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return false;
  }
  return true;
}

std::size_t decode_utf8(std::string_view s, std::size_t pos, char32_t& cp, bool& ok) noexcept {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  ok = true;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t need = 0;
  unsigned char lo = 0, hi = 0;
  if (!utf8_lead(b0, need, cp, lo, hi)) {
    ok = false;
    cp = kReplacement;
    return 1;
  }
  std::size_t i = 1;
  for (; i <= need; ++i) {
    if (pos + i >= s.size()) break;
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if (b < lo || b > hi) break;
    cp = (cp << 6) | (b & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  if (i <= need) {
    ok = false;
    cp = kReplacement;
  }
  return i;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp;
    bool ok;
    i += decode_utf8(text, i, cp, ok);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) { return valid_utf8_prefix(bytes) == bytes.size(); }

bool is_valid_utf16(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

std::string sanitize_utf8(std::string_view bytes) {
  const std::size_t good = valid_utf8_prefix(bytes);
  if (good == bytes.size()) return std::string(bytes);
  std::string out(bytes.substr(0, good));
  for (std::size_t i = good; i < bytes.size();) {
    char32_t cp;
    bool ok;
    const std::size_t n = decode_utf8(bytes, i, cp, ok);
    if (ok)
      out.append(bytes.substr(i, n));
    else
      append_utf8(out, kReplacement);
    i += n;
  }
  return out;
}

std::size_t valid_utf8_prefix(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    bool ok;
    const std::size_t n = decode_utf8(bytes, i, cp, ok);
    if (!ok) break;
    i += n;
  }
  return i;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace vyn
