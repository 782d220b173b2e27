#include "utils/unicode.h"

#include <algorithm>
#include <iterator>

#include "utils/text.h"
#include "utils/unicode_lower_table.h"

namespace vyn {

namespace {

void append_lower(std::string& out, char32_t cp) {
  using namespace lower_case_table;
  const auto* exp = std::lower_bound(std::begin(kExpansions), std::end(kExpansions), cp,
                                     [](const Expansion& e, char32_t c) { return e.from < c; });
  if (exp != std::end(kExpansions) && exp->from == cp) {
    for (unsigned i = 0; i < exp->length; ++i) append_utf8(out, exp->to[i]);
    return;
  }
  const auto* m = std::lower_bound(std::begin(kSingle), std::end(kSingle), cp,
                                   [](const Mapping& e, char32_t c) { return e.from < c; });
  append_utf8(out, m != std::end(kSingle) && m->from == cp ? m->to : cp);
}

}  // namespace

bool is_unicode_white_space(char32_t c) noexcept {
  if (c < 0x80) return is_ascii_space(c);
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string unicode_lower(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b));
      ++i;
      continue;
    }
    char32_t cp = 0;
    bool valid = true;  // an invalid sequence is lower-cased as U+FFFD
    i += decode_utf8(utf8, i, cp, valid);
    append_lower(out, cp);
  }
  return out;
}

}  // namespace vyn
