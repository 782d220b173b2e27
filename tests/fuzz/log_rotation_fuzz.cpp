// An old bootstrap log of any content through the start-up trim. A trim may
// only drop whole segments from the front: what it keeps is the log from the
// start of a segment-start line on, with uniform line feeds, exactly the last
// nine segments and never longer than the input plus the final line feed.
// Read as the end of a longer log, the same bytes lose their first line and
// keep whole lines, from a segment start when one is left: with nine, what
// the whole log would keep.
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

// The lines of `text`, each ending in a line feed alone.
std::string normalized(std::string_view text) {
  std::string out;
  for (const Line& l : lines_of(text)) out.append(l.text).push_back('\n');
  return out;
}

void check_end(std::string_view content) {
  const std::optional<std::string> end = vyn::trim_log_segments(content, false);
  require(end.has_value(), "the end of a longer log was not trimmed");
  require(!vyn::trim_log_segments(*end), "a trimmed end is trimmed again");
  const std::size_t lf = content.find('\n');
  const std::string_view rest = lf == std::string_view::npos ? "" : content.substr(lf + 1);
  std::size_t starts = 0, first = 0;
  for (const Line& l : lines_of(rest))
    if (starts_segment(l.text) && starts++ == 0) first = l.begin;
  if (starts >= vyn::kSegmentsKept) {
    require(end == vyn::trim_log_segments("earlier\n" + std::string(rest)),
            "the end keeps other segments than the whole log would");
  } else {
    require(*end == normalized(rest.substr(first)), "the kept end is not whole lines from a start");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> trimmed = vyn::trim_log_segments(content);

  const std::vector<Line> lines = lines_of(content);
  std::vector<std::size_t> starts;  // first line of each segment
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (i == 0 || starts_segment(lines[i].text)) starts.push_back(i);

  check_end(content);
  if (starts.size() < vyn::kRotationThresholdSegments) {
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
