#include "logger/rotation.h"

#include <algorithm>
#include <vector>

namespace vyn {

namespace {

bool is_segment_start(std::string_view line) {
  for (auto marker : kSegmentMarkers)
    if (line.find(marker) != std::string_view::npos) return true;
  return false;
}

// The end of the line that starts at `pos`: its line feed, or the end of the
// content.
std::size_t line_end(std::string_view content, std::size_t pos) {
  const std::size_t lf = content.find('\n', pos);
  return lf == std::string_view::npos ? content.size() : lf;
}

}  // namespace

std::optional<std::string> trim_log_segments(std::string_view content, bool whole) {
  std::size_t first_line = 0;
  if (!whole) first_line = std::min(line_end(content, 0) + 1, content.size());

  // Byte offsets of the lines that start segments; the log's first line
  // starts one whatever it holds.
  std::vector<std::size_t> starts;
  for (std::size_t pos = first_line; pos < content.size();) {
    const std::size_t end = line_end(content, pos);
    if ((whole && pos == 0) || is_segment_start(content.substr(pos, end - pos)))
      starts.push_back(pos);
    pos = end + 1;
  }

  std::size_t keep = first_line;
  if (starts.size() >= kSegmentsKept) {
    keep = starts[starts.size() - kSegmentsKept];
  } else if (!whole && !starts.empty()) {
    keep = starts.front();
  }
  if (whole && starts.size() < kRotationThresholdSegments) return std::nullopt;

  std::string out;
  out.reserve(content.size() - keep + 1);
  for (std::size_t pos = keep; pos < content.size();) {
    const std::size_t end = line_end(content, pos);
    std::string_view line = content.substr(pos, end - pos);
    // Only a carriage return before a line feed belongs to the line's end.
    if (end < content.size() && line.ends_with('\r')) line.remove_suffix(1);
    out.append(line);
    out.push_back('\n');
    pos = end + 1;
  }
  return out;
}

}  // namespace vyn
