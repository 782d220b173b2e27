// An old bootstrap log of any content through the start-up trim. A trim may
// only drop whole segments from the front: what it keeps is the log from the
// start of a segment-start line on, with uniform line feeds, exactly the last
// nine segments and never longer than the input plus the final line feed.
// Input: the log's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logger/rotation.h"

namespace {

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "log trim: %s\n", broken);
  std::abort();
}

// Well-formed UTF-8 written out from the encoding's definition, so the trim's
// own validation is checked rather than trusted.
bool well_formed(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0, min = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      n = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      n = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}

struct Line {
  std::size_t begin;
  std::string_view text;  // without its line feed and a carriage return before it
};

std::vector<Line> lines_of(std::string_view s) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t lf = s.find('\n', pos);
    if (lf == std::string_view::npos) {
      lines.push_back({pos, s.substr(pos)});
      break;
    }
    std::string_view text = s.substr(pos, lf - pos);
    if (text.ends_with('\r')) text.remove_suffix(1);
    lines.push_back({pos, text});
    pos = lf + 1;
  }
  return lines;
}

bool starts_segment(std::string_view line) {
  for (std::string_view marker : vyn::kSegmentMarkers)
    if (line.find(marker) != std::string_view::npos) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> trimmed = vyn::trim_log_segments(content);

  const std::vector<Line> lines = lines_of(content);
  std::vector<std::size_t> starts;  // first line of each segment
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (i == 0 || starts_segment(lines[i].text)) starts.push_back(i);

  if (!well_formed(content) || starts.size() < vyn::kRotationThresholdSegments) {
    require(!trimmed, "a log that must stay as it is was trimmed");
    return 0;
  }
  require(trimmed.has_value(), "a log of ten or more segments was not trimmed");
  const std::string& out = *trimmed;

  const std::size_t first = starts[starts.size() - vyn::kSegmentsKept];
  std::string expected;
  for (std::size_t i = first; i < lines.size(); ++i) {
    expected.append(lines[i].text);
    expected.push_back('\n');
  }
  require(out == expected, "the kept text is not the log's tail from a segment start");
  require(lines[first].begin > 0, "nothing was dropped");
  require(out.size() <= content.size() - lines[first].begin + 1, "the kept text grew");
  require(out.back() == '\n', "no final line feed");
  std::size_t kept_starts = 0;
  for (const Line& l : lines_of(out)) kept_starts += starts_segment(l.text);
  require(kept_starts == vyn::kSegmentsKept, "not the last nine segments");
  // Nine segments are below the threshold, so a second start-up keeps them.
  require(!vyn::trim_log_segments(out), "a trimmed log is trimmed again");
  return 0;
}
