#include "logger/record.h"

#include <chrono>
#include <cstdio>

namespace vyn {

namespace {
constexpr std::string_view kLevelNames[] = {"verbose", "info", "error"};
constexpr std::string_view kStderrLogsKey = "stderrLogs";
constexpr FileTimeTicks kTicksPerMillisecond = 10'000;
constexpr std::int64_t kMillisecondsPerDay = 86'400'000;
}  // namespace

std::string_view level_name(LogLevel level) {
  const auto i = static_cast<std::size_t>(level);
  return i < std::size(kLevelNames) ? kLevelNames[i] : kLevelNames[0];
}

std::string format_timestamp(FileTimeTicks ticks) {
  using namespace std::chrono;
  const auto ms_total = static_cast<std::int64_t>(ticks / kTicksPerMillisecond);
  const std::int64_t day_count = ms_total / kMillisecondsPerDay;
  std::int64_t ms_of_day = ms_total % kMillisecondsPerDay;
  constexpr sys_days kEpoch1601 = sys_days{year{1601} / January / 1};
  const year_month_day ymd{kEpoch1601 + days{day_count}};
  const int hours = static_cast<int>(ms_of_day / 3'600'000);
  ms_of_day %= 3'600'000;
  const int minutes = static_cast<int>(ms_of_day / 60'000);
  ms_of_day %= 60'000;
  const int seconds = static_cast<int>(ms_of_day / 1000);
  const int millis = static_cast<int>(ms_of_day % 1000);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), hours, minutes, seconds, millis);
  return buf;
}

Fields build_log_record(LogLevel level, std::string_view event_name, const Fields& fields,
                        const LogIdentity& identity, FileTimeTicks now) {
  Fields record = Fields::object();
  record["level"] = level_name(level);
  record["installId"] = identity.install_id;
  record["ts"] = format_timestamp(now);
  record["launcherVersion"] = identity.launcher_version;
  record["eventName"] = event_name;
  const Fields* stderr_logs = nullptr;
  if (fields.is_object()) {
    for (auto it = fields.begin(); it != fields.end(); ++it) {
      if (it.key() == kStderrLogsKey)
        stderr_logs = &it.value();
      else
        record[it.key()] = it.value();
    }
  }
  if (stderr_logs) record[std::string(kStderrLogsKey)] = *stderr_logs;
  return record;
}

std::string serialize_log_line(const Fields& record, std::uint32_t process_id,
                               std::uint32_t thread_id) noexcept {
  try {
    std::string line;
    if (record.is_object()) {
      Fields copy = record;
      copy["processId"] = process_id;
      copy["threadId"] = thread_id;
      line = copy.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } else {
      line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    }
    line.push_back('\n');
    return line;
  } catch (...) {
    return {};
  }
}

}  // namespace vyn
