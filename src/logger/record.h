#pragma once
// Building and serialising bootstrap.log records. Pure: the clock reading and
// the process-wide identity are passed in, so every rule is testable as is.

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace vyn {

enum class LogLevel : int { Verbose = 0, Info = 1, Error = 2 };

// Event fields: an ordered object, so members appear in the order the caller
// inserts them and a repeated key keeps its first position.
using Fields = nlohmann::ordered_json;

std::string_view level_name(LogLevel level);

// What a record says about the launcher until the context is set.
inline constexpr std::string_view kUninitializedInstallId = "uninitialized";
inline constexpr std::string_view kDefaultLauncherVersion = "3.0.0";

struct LogIdentity {
  std::string install_id{kUninitializedInstallId};
  std::string launcher_version{kDefaultLauncherVersion};
};

// 100-nanosecond intervals since 1601-01-01 UTC, as FILETIME counts them.
using FileTimeTicks = std::uint64_t;

// "YYYY-MM-DDTHH:MM:SS.mmmZ", the sub-second part truncated to milliseconds.
std::string format_timestamp(FileTimeTicks ticks);

// The record without processId and threadId: the five header members, the
// caller's fields in order (a colliding key replaces the header in place) and
// "stderrLogs" moved last. Fields that are not an object count as none.
Fields build_log_record(LogLevel level, std::string_view event_name, const Fields& fields,
                        const LogIdentity& identity, FileTimeTicks now);

// The line written to the file: for an object, a copy with processId and
// threadId set; compact JSON with invalid UTF-8 replaced by U+FFFD; then a
// line feed. Returns an empty text when the value cannot be serialised.
std::string serialize_log_line(const Fields& record, std::uint32_t process_id,
                               std::uint32_t thread_id) noexcept;

}  // namespace vyn
