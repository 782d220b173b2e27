#pragma once
// One row per launcher run, for reading many users' logs at once. A log is
// fed line by line; records are sorted into runs by process id (launchers
// started close together share the file), and each run is judged by the
// events that end it. Only a run's few deciding facts are kept, never its
// lines, so a file costs memory by its number of runs, not its size.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyn::logview {

// What the fleet reading needs of one record; everything else is skipped.
struct Record {
  std::string level, event, ts, version, install_id;
  std::optional<std::uint64_t> pid;
  std::string reason, action, error;
  // launcher_env's description, the members worth grouping by.
  std::string os_release, device_type, cpu_model, gpu_info, manufacturer;
};

// The record on `line`, or none when the line is not one (damage).
std::optional<Record> read_record(std::string_view line);

// The facts of one run that the outcome rules look at.
struct RunFacts {
  std::uint64_t pid = 0;
  std::string install_id, version;
  std::string init_ts;   // launcher_init's time; empty when trimmed away
  std::string first_ts;  // the earliest time of any of its records
  std::string first_launch_ts, signal_ts;
  bool exit_on_ready = false, exit_activation = false, exit_failed_to_launch = false,
       exit_ready_timeout = false, stepped_aside = false, nul_fatal = false, fault = false,
       gpu_retry = false, gpu_retry_failed = false;
  std::string exit_reason, fault_message;
  // integrity_verify_* results and the main thread's wait, by event name.
  std::vector<std::string> integrity_events;
  std::string integrity_error;
  bool has_env = false;
  std::string os_release, device_type, cpu_model, gpu_info, manufacturer;
  std::size_t damaged_lines = 0;  // lines after one of its records that are not records
};

void note_record(RunFacts& run, const Record& rec);

// The row of a run. Times are milliseconds from launcher_init.
struct RunRow {
  std::string file;
  RunFacts facts;
  std::string outcome;     // see outcome_of
  std::string exit_event;  // the event that decided the outcome, empty for "unknown"
  std::optional<std::int64_t> launch_ms, ready_ms;
  std::string gpu_relaunch;  // none, ready, not_ready, launch_failed
  std::string
      integrity;  // passed, failed, asar_missing, io_error, panicked, unfinished, lost, none
};

// ready, activated, second_launcher, nul_device, launch_failed, ready_timeout,
// internal_fault or unknown.
std::string outcome_of(const RunFacts& run);
RunRow row_of(std::string file, RunFacts facts);

// Milliseconds since 1970 from "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::optional<std::int64_t> epoch_ms(std::string_view ts);

// Splits one log into runs as its lines come; finish() hands the runs over
// in the order they started in the file.
class RunSplitter {
 public:
  explicit RunSplitter(std::string file) : file_(std::move(file)) {}
  void line(std::string_view text);
  // A line that is no record, known as such without reading it.
  void damaged();
  void finish(const std::function<void(RunRow)>& emit);

  std::size_t damaged_lines() const { return damaged_; }
  // Records at level "error", by event name.
  const std::map<std::string, std::uint64_t>& error_events() const { return errors_; }

 private:
  void take(const Record& rec);

  std::string file_;
  std::vector<RunFacts> runs_;
  std::map<std::uint64_t, std::size_t> by_pid_;
  std::optional<std::size_t> last_;
  std::size_t damaged_ = 0;
  std::map<std::string, std::uint64_t> errors_;
};

}  // namespace vyn::logview
