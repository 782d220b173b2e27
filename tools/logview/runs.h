#pragma once
// One row per launcher run, for reading many users' logs at once. A log is
// fed line by line; records are sorted into runs by process id (launchers
// started close together share the file), and each run is judged by the
// events that end it. Only a run's few deciding facts are kept, never its
// lines, so a file costs memory by its number of runs, not its size.
//
// Only runs still open are held, at most kMaxOpenRuns per file: when one
// more starts, the oldest is judged and handed over as it stands (its later
// records, if any, then form a run of their own, without its start). Real
// logs hold a handful of runs open at once; the bound is for hostile ones.

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyn::logview {

inline constexpr std::size_t kMaxOpenRuns = 256;
// Text members kept from a record are cut to this many bytes (the launcher's
// own are far shorter), so a hostile log cannot make an open run large.
inline constexpr std::size_t kMaxKeptTextBytes = 4096;
// Distinct error event names counted per file and in the summary; the rest
// are counted under kOtherEvents.
inline constexpr std::size_t kMaxErrorEventNames = 1000;
inline constexpr std::string_view kOtherEvents = "(other events)";

// What the fleet reading needs of one record; everything else is skipped.
struct Record {
  std::string level, event, ts, version, install_id;
  std::optional<std::uint64_t> pid;
  std::string reason, action, error;
  std::string install_dir;  // launcher_ready's
  // launcher_env's description, the members worth grouping by.
  std::string os_release, device_type, cpu_model, gpu_info, manufacturer;
};

// The record on `line`, or none when the line is not one (damage).
std::optional<Record> read_record(std::string_view line);

// The facts of one run that the outcome rules look at.
struct RunFacts {
  std::uint64_t pid = 0;
  std::string install_id, version;
  bool has_init = false;  // its launcher_init is in the log
  std::string init_ts;    // launcher_init's time; empty when trimmed away or not a time
  std::string first_ts;   // the earliest time stamp of any of its records
  std::string install_dir;
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

// Milliseconds since 1970 from "YYYY-MM-DDTHH:MM:SS.mmmZ", the only form the
// launcher writes; any other text is no time.
std::optional<std::int64_t> epoch_ms(std::string_view ts);

// The run's start: launcher_init's time, else its earliest time stamp.
const std::string& start_of(const RunFacts& run);
// What tells the installation apart: its id, or where the id could not be
// read ("null"), its folder. Empty when the log has neither.
std::string installation_of(const RunFacts& run);

// Splits one log into runs as its lines come; finish() hands the runs over
// in the order they started in the file.
class RunSplitter {
 public:
  // With `emit`, runs beyond the bound go to it at once; without, they wait
  // for finish().
  explicit RunSplitter(std::string file, std::function<void(RunRow)> emit = {})
      : file_(std::move(file)), emit_(std::move(emit)) {}
  void line(std::string_view text);
  // A line that is no record, known as such without reading it.
  void damaged();
  void finish(const std::function<void(RunRow)>& emit);

  std::size_t damaged_lines() const { return damaged_; }
  // Records at level "error", by event name.
  const std::map<std::string, std::uint64_t>& error_events() const { return errors_; }

 private:
  using Open = std::list<RunFacts>;
  void take(const Record& rec);
  void close_oldest();

  std::string file_;
  std::function<void(RunRow)> emit_;
  Open runs_;  // in the order they started
  std::vector<RunRow> closed_;
  std::map<std::uint64_t, Open::iterator> by_pid_;
  std::optional<Open::iterator> last_;
  std::size_t damaged_ = 0;
  std::map<std::string, std::uint64_t> errors_;
};

}  // namespace vyn::logview
