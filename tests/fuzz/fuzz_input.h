#pragma once
// The fuzzers' way of reading several texts from one input: pieces
// separated by NUL bytes, so a mutation can add, drop or change one text.
#include <string>
#include <string_view>
#include <vector>

namespace vyn::fuzz {

inline std::vector<std::string> split_at_nul(std::string_view input) {
  std::vector<std::string> pieces;
  for (std::size_t pos = 0;;) {
    const std::size_t nul = input.find('\0', pos);
    pieces.emplace_back(input.substr(pos, nul == std::string_view::npos ? nul : nul - pos));
    if (nul == std::string_view::npos) return pieces;
    pos = nul + 1;
  }
}

}  // namespace vyn::fuzz
