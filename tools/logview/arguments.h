#pragma once
// The viewer's command line, once the system has handed it over as UTF-8.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vyn::logview {

// The log to read (UTF-8), or none given: the current user's own log.
struct ReadLog {
  std::optional<std::string> path;
};

// Many logs (files and folders, UTF-8): one row per run ("runs", JSON lines
// or CSV), the figures of them all ("summary", a table or JSON) or a page of
// charts ("report", written to `html`).
struct ReadFleet {
  enum class Report { runs, summary, html };
  Report report = Report::runs;
  std::vector<std::string> paths;
  bool csv = false;
  bool json = false;
  std::string html;  // report: the page to write
  // Runs whose start is in [since, until), in milliseconds since 1970; a run
  // without a start is left out when either is given.
  std::optional<std::int64_t> since_ms, until_ms;
  std::string by;  // the summary's grouping, one of kGroupings; empty for none
  std::optional<std::int64_t> ready_within_ms;
};

inline constexpr const char* kGroupings[] = {"osRelease", "launcherVersion", "installation", "day"};

// The program ends at once: its usage was asked for (code 0) or the command
// line is wrong (code 2). The texts go to standard output and error.
struct ExitNow {
  int code = 0;
  std::string out;
  std::string err;
};

inline constexpr int kUsageErrorExitCode = 2;

// `args` without the program name.
std::variant<ReadLog, ReadFleet, ExitNow> parse_logview_arguments(std::vector<std::string> args);

}  // namespace vyn::logview
