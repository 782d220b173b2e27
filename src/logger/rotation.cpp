#include "logger/rotation.h"

#include <vector>

#include "utils/text.h"

namespace vyn {

namespace {
bool is_segment_start(std::string_view line) {
  for (auto marker : kSegmentMarkers)
    if (line.find(marker) != std::string_view::npos) return true;
  return false;
}
}  // namespace

std::optional<std::string> trim_log_segments(std::string_view content) {
  if (!is_valid_utf8(content)) return std::nullopt;

  // Each segment is remembered as the index of its first line; lines are
  // views into the content, so nothing is copied until the result is built.
  std::vector<std::string_view> lines;
  for (std::size_t pos = 0; pos < content.size();) {
    std::size_t end = content.find('\n', pos);
    const std::size_t next = end == std::string_view::npos ? content.size() : end + 1;
    if (end == std::string_view::npos) end = content.size();
    std::string_view line = content.substr(pos, end - pos);
    if (next <= content.size() && end < content.size() && !line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    lines.push_back(line);
    pos = next;
  }
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (starts.empty() || is_segment_start(lines[i])) starts.push_back(i);

  if (starts.size() < kRotationThresholdSegments) return std::nullopt;

  std::string out;
  for (std::size_t i = starts[starts.size() - kSegmentsKept]; i < lines.size(); ++i) {
    out.append(lines[i]);
    out.push_back('\n');
  }
  return out;
}

}  // namespace vyn
