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
// A trim reads at most this many bytes from the end of the log, so neither
// its memory nor its time grows with the log. Nine ordinary segments take a
// few hundred kilobytes; a longer log is trimmed to what of its end fits.
inline constexpr std::size_t kLogTrimWindow = 4 * 1024 * 1024;

// A line starts a segment when it holds one of these event names written as
// JSON texts, quotation marks included.
inline constexpr std::string_view kSegmentMarkers[] = {"\"launcher_init\"",
                                                       "\"vyn_process_not_found_in_installation\""};

// The trimmed log, or nullopt when it must stay as it is. The trim works on
// bytes, so a damaged line (one that is not UTF-8, say) is kept as it is and
// does not stop the trim; every kept line ends in a line feed alone.
//
// `whole`: `content` is the entire log; it is trimmed to its last
// kSegmentsKept segments once it holds kRotationThresholdSegments or more.
//
// Otherwise `content` is the end of a longer log, and what precedes its first
// line feed belongs to a line that began before it. The log is always
// trimmed then, to whole lines of `content`: its last kSegmentsKept segments,
// or when fewer segments start in it, those that do, or when none does,
// every whole line (nothing at all when not even one line is whole).
std::optional<std::string> trim_log_segments(std::string_view content, bool whole = true);

}  // namespace vyn
