#include "logview/runs.h"

#include <chrono>

#include <nlohmann/json.hpp>

namespace vyn::logview {

namespace {

// Every record the launcher writes begins with this, and the text cannot occur
// inside a JSON string. A line that is no record is cut before each
// occurrence, so a record appended to a torn one is still read.
constexpr std::string_view kRecordStart = "{\"level\":";

using Sax = nlohmann::json_sax<nlohmann::json>;

// Picks the few members the rows need while the parser validates the whole
// line; stderr entries and the rest are never copied.
class RecordPicker : public Sax {
 public:
  explicit RecordPicker(Record& rec) : rec_(rec) {}
  bool object_seen() const { return object_; }

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t v) override {
    if (depth_ == 1 && top_key_ == "processId") rec_.pid = v;
    return true;
  }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t& v) override {
    if (std::string* s = slot()) {
      *s = std::move(v);
      if (s->size() > kMaxKeptTextBytes) s->resize(kMaxKeptTextBytes);
    }
    return true;
  }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    if (depth_ == 0) object_ = true;
    if (depth_ == 1) in_env_ = top_key_ == "env";
    ++depth_;
    return true;
  }
  bool end_object() override {
    if (--depth_ == 1) in_env_ = false;
    return true;
  }
  bool start_array(std::size_t) override {
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool key(string_t& k) override {
    if (depth_ == 1) top_key_ = k;
    if (depth_ == 2 && in_env_) env_key_ = k;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  std::string* slot() {
    if (depth_ == 1) {
      if (top_key_ == "level") return &rec_.level;
      if (top_key_ == "eventName") return &rec_.event;
      if (top_key_ == "ts") return &rec_.ts;
      if (top_key_ == "launcherVersion") return &rec_.version;
      if (top_key_ == "installId") return &rec_.install_id;
      if (top_key_ == "reason") return &rec_.reason;
      if (top_key_ == "action") return &rec_.action;
      if (top_key_ == "error") return &rec_.error;
      if (top_key_ == "installDir") return &rec_.install_dir;
    } else if (depth_ == 2 && in_env_) {
      if (env_key_ == "osRelease") return &rec_.os_release;
      if (env_key_ == "deviceType") return &rec_.device_type;
      if (env_key_ == "cpuModel") return &rec_.cpu_model;
      if (env_key_ == "gpuInfo") return &rec_.gpu_info;
      if (env_key_ == "systemManufacturer") return &rec_.manufacturer;
    }
    return nullptr;
  }

  Record& rec_;
  int depth_ = 0;
  bool object_ = false, in_env_ = false;
  std::string top_key_, env_key_;
};

// The decimal number in ts[pos, pos + n), or -1 when it holds anything else.
int digits(std::string_view ts, std::size_t pos, std::size_t n) {
  int value = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (ts[i] < '0' || ts[i] > '9') return -1;
    value = value * 10 + (ts[i] - '0');
  }
  return value;
}

std::optional<std::int64_t> ms_between(const std::string& from, const std::string& to) {
  const auto a = epoch_ms(from), b = epoch_ms(to);
  if (!a || !b) return std::nullopt;
  return *b - *a;
}

void keep_earliest(std::string& slot, const std::string& ts) {
  if (slot.empty() || ts < slot) slot = ts;
}

bool has(const RunFacts& run, std::string_view event) {
  for (const auto& e : run.integrity_events)
    if (e == event) return true;
  return false;
}

// The check's own result first; the main thread's wait tells only when
// there is none.
constexpr std::pair<std::string_view, std::string_view> kIntegrity[] = {
    {"integrity_verify_passed", "passed"},
    {"integrity_verify_failed", "failed"},
    {"integrity_verify_failed_asar_missing", "asar_missing"},
    {"integrity_verify_io_error", "io_error"},
    {"integrity_verify_thread_panicked", "panicked"},
    {"asar_integrity_verify_thread_panicked", "panicked"},
    {"asar_integrity_verify_thread_timeout", "unfinished"},
    {"integrity_verify_thread_disconnected", "lost"},
};

bool integrity_event(std::string_view event) {
  for (const auto& [name, result] : kIntegrity)
    if (name == event) return true;
  return false;
}

}  // namespace

std::optional<std::int64_t> epoch_ms(std::string_view ts) {
  if (ts.size() != 24 || ts[4] != '-' || ts[7] != '-' || ts[10] != 'T' || ts[13] != ':' ||
      ts[16] != ':' || ts[19] != '.' || ts[23] != 'Z')
    return std::nullopt;
  const int y = digits(ts, 0, 4), mo = digits(ts, 5, 2), d = digits(ts, 8, 2);
  const int h = digits(ts, 11, 2), mi = digits(ts, 14, 2), s = digits(ts, 17, 2);
  const int ms = digits(ts, 20, 3);
  if (y < 0 || mo < 0 || d < 0 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59 || ms < 0)
    return std::nullopt;
  using namespace std::chrono;
  const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                            day{static_cast<unsigned>(d)}};
  if (!date.ok()) return std::nullopt;
  const std::int64_t days_since = sys_days{date}.time_since_epoch().count();
  return ((days_since * 24 + h) * 60 + mi) * 60'000LL + s * 1000LL + ms;
}

std::optional<Record> read_record(std::string_view line) {
  Record rec;
  RecordPicker picker(rec);
  const bool parsed = nlohmann::json::sax_parse(line.begin(), line.end(), &picker);
  // A record names its event and its launcher; without either a line cannot
  // be placed in a run.
  if (!parsed || !picker.object_seen() || rec.event.empty() || !rec.pid) return std::nullopt;
  return rec;
}

const std::string& start_of(const RunFacts& run) {
  return run.init_ts.empty() ? run.first_ts : run.init_ts;
}

std::string installation_of(const RunFacts& run) {
  if (!run.install_id.empty() && run.install_id != "null") return run.install_id;
  return run.install_dir.empty() ? run.install_id : run.install_dir;
}

void note_record(RunFacts& run, const Record& rec) {
  const std::string& e = rec.event;
  // A stamp in another form would sort and subtract wrongly.
  static const std::string kNoTime;
  const std::string& ts = epoch_ms(rec.ts) ? rec.ts : kNoTime;
  if (!ts.empty()) keep_earliest(run.first_ts, ts);
  if (run.install_id.empty()) run.install_id = rec.install_id;
  if (run.version.empty()) run.version = rec.version;
  if (e == "launcher_init" && !run.has_init) {
    run.has_init = true;
    run.init_ts = ts;
  }
  if (e == "launcher_ready" && run.install_dir.empty()) run.install_dir = rec.install_dir;
  if (e == "process_launch_success" && !ts.empty()) keep_earliest(run.first_launch_ts, ts);
  if (e == "signal_received" && !ts.empty()) keep_earliest(run.signal_ts, ts);
  if (e == "launcher_exit_on_ready") run.exit_on_ready = true;
  if (e == "launcher_exit_after_trigger_activation") run.exit_activation = true;
  if (e == "launcher_exit_early") {
    run.exit_reason = rec.reason;
    (rec.reason == "failed_to_launch" ? run.exit_failed_to_launch : run.exit_ready_timeout) = true;
  }
  if (e == "launcher_already_running" && rec.action == "exit") run.stepped_aside = true;
  if (e == "launcher_null_device_fatal") run.nul_fatal = true;
  if (e == "launcher_error" && !run.fault) {
    run.fault = true;
    run.fault_message = rec.error;
  }
  if (e == "launcher_gpu_incompatible_retry") run.gpu_retry = true;
  if (e == "target_process_launch_failed" && rec.reason == "gpu_incompatible_retry_failed")
    run.gpu_retry_failed = true;
  if (e.starts_with("integrity_verify_") && run.integrity_error.empty())
    run.integrity_error = rec.error;
  if (integrity_event(e) && !has(run, e)) run.integrity_events.push_back(e);
  if (e == "launcher_env" && !run.has_env) {
    run.has_env = true;
    run.os_release = rec.os_release;
    run.device_type = rec.device_type;
    run.cpu_model = rec.cpu_model;
    run.gpu_info = rec.gpu_info;
    run.manufacturer = rec.manufacturer;
  }
}

// The events that end a run, most telling first: a run that holds more than
// one (a process id reused without its launcher_init in the log) is judged
// by the first of them here.
std::string outcome_of(const RunFacts& run) {
  if (run.nul_fatal) return "nul_device";
  if (run.stepped_aside) return "second_launcher";
  if (run.exit_activation) return "activated";
  if (run.exit_on_ready) return "ready";
  if (run.exit_failed_to_launch) return "launch_failed";
  if (run.exit_ready_timeout) return "ready_timeout";
  if (run.fault) return "internal_fault";
  return "unknown";
}

RunRow row_of(std::string file, RunFacts facts) {
  RunRow row;
  row.file = std::move(file);
  row.outcome = outcome_of(facts);
  if (row.outcome == "nul_device") row.exit_event = "launcher_null_device_fatal";
  if (row.outcome == "second_launcher") row.exit_event = "launcher_already_running";
  if (row.outcome == "activated") row.exit_event = "launcher_exit_after_trigger_activation";
  if (row.outcome == "ready") row.exit_event = "launcher_exit_on_ready";
  if (row.outcome == "launch_failed" || row.outcome == "ready_timeout")
    row.exit_event = "launcher_exit_early";
  if (row.outcome == "internal_fault") row.exit_event = "launcher_error";
  if (!facts.init_ts.empty()) {
    if (!facts.first_launch_ts.empty())
      row.launch_ms = ms_between(facts.init_ts, facts.first_launch_ts);
    if (row.outcome == "ready" && !facts.signal_ts.empty())
      row.ready_ms = ms_between(facts.init_ts, facts.signal_ts);
  }
  row.gpu_relaunch = !facts.gpu_retry         ? "none"
                     : facts.gpu_retry_failed ? "launch_failed"
                     : row.outcome == "ready" ? "ready"
                                              : "not_ready";
  row.integrity = "none";
  for (const auto& [event, result] : kIntegrity) {
    if (has(facts, event)) {
      row.integrity = result;
      break;
    }
  }
  row.facts = std::move(facts);
  return row;
}

void RunSplitter::line(std::string_view text) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.empty()) return;
  if (auto rec = read_record(text)) return take(*rec);
  for (std::size_t from = 0;;) {
    const std::size_t next = text.find(kRecordStart, from + 1);
    const auto piece = text.substr(from, next == std::string_view::npos ? next : next - from);
    auto rec = from > 0 ? read_record(piece) : std::nullopt;
    rec ? take(*rec) : damaged();
    if (next == std::string_view::npos) break;
    from = next;
  }
}

// A process id is reused only after its launcher has ended, so a new
// launcher_init under a known id starts a new run.
void RunSplitter::take(const Record& rec) {
  const auto it = by_pid_.find(*rec.pid);
  if (it == by_pid_.end() || rec.event == "launcher_init") {
    if (runs_.size() == kMaxOpenRuns) close_oldest();
    runs_.emplace_back().pid = *rec.pid;
    last_ = by_pid_[*rec.pid] = std::prev(runs_.end());
  } else {
    last_ = it->second;
  }
  note_record(**last_, rec);
  if (rec.level != "error") return;
  if (errors_.size() < kMaxErrorEventNames || errors_.count(rec.event))
    ++errors_[rec.event];
  else
    ++errors_[std::string(kOtherEvents)];
}

void RunSplitter::close_oldest() {
  const Open::iterator oldest = runs_.begin();
  const auto known = by_pid_.find(oldest->pid);
  if (known != by_pid_.end() && known->second == oldest) by_pid_.erase(known);
  if (last_ == oldest) last_.reset();
  RunRow row = row_of(file_, std::move(*oldest));
  runs_.erase(oldest);
  emit_ ? emit_(std::move(row)) : closed_.push_back(std::move(row));
}

void RunSplitter::damaged() {
  ++damaged_;
  if (last_) ++(*last_)->damaged_lines;
}

void RunSplitter::finish(const std::function<void(RunRow)>& emit) {
  for (RunRow& row : closed_) emit(std::move(row));
  closed_.clear();
  for (RunFacts& run : runs_) emit(row_of(file_, std::move(run)));
  runs_.clear();
  by_pid_.clear();
  last_.reset();
}

}  // namespace vyn::logview
