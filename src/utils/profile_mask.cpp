#include "utils/profile_mask.h"

namespace vyn {

std::string mask_profile_in(std::string_view text, const std::optional<std::string>& profile) {
  if (!profile || profile->size() < 3) return std::string(text);
  const std::string& p = *profile;
  if (!((p[0] == 'C' || p[0] == 'c') && p[1] == ':' && p[2] == '\\')) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t from = 0;
  for (auto at = text.find(p); at != std::string_view::npos; at = text.find(p, from)) {
    out.append(text.substr(from, at - from));
    out.append(kMaskedProfile);
    from = at + p.size();
  }
  out.append(text.substr(from));
  return out;
}

}  // namespace vyn
