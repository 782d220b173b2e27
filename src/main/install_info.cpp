#include "main/install_info.h"

#include <cstring>

namespace vyn {

std::optional<std::u16string> decode_registry_text(std::uint32_t type, std::string_view data) {
  if (type != kRegSz && type != kRegExpandSz && type != kRegMultiSz) return std::nullopt;
  std::u16string text(data.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  if (type == kRegMultiSz)
    for (char16_t& c : text)
      if (c == u'\0') c = u'\n';
  return text;
}

}  // namespace vyn
