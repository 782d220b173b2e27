#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vyn {

// A log holding this many runs (segments) or more is trimmed at start-up...
inline constexpr std::size_t kRotationThresholdSegments = 10;
// ...to its most recent ones.
inline constexpr std::size_t kSegmentsKept = 9;

// A line starts a segment when it holds one of these event names written as
// JSON texts, quotation marks included.
inline constexpr std::string_view kSegmentMarkers[] = {"\"launcher_init\"",
                                                       "\"vyn_process_not_found_in_installation\""};

// The trimmed log, or nullopt when the content must stay as it is (fewer
// segments than the threshold, or not valid UTF-8). The result holds the last
// kSegmentsKept segments with line-feed endings and a final line feed.
std::optional<std::string> trim_log_segments(std::string_view content);

}  // namespace vyn
