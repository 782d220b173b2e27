#include "logview/timeline.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "logview/reading.h"
#include "logview/runs.h"

namespace vyn::logview {

namespace {

using Json = nlohmann::ordered_json;

// Members every record has; the timeline shows only what the event adds.
constexpr std::string_view kHeaderKeys[] = {"level",     "installId", "ts",      "launcherVersion",
                                            "eventName", "processId", "threadId"};
constexpr std::size_t kMaxValueBytes = 160;
constexpr std::size_t kMaxVerdictDetailBytes = 100;
constexpr std::size_t kLevelWidth = 7;
// Continuation lines (stderr entries, object members) line up under the event.
constexpr std::size_t kContinuationIndent = 33;
// Every record the launcher writes begins with this, and the text cannot occur
// inside a JSON string (its quotation marks would be escaped there). A line
// that does not parse is cut before each occurrence, so a record appended
// right after a torn one (a launcher killed mid-write) is still read.
constexpr std::string_view kRecordStart = "{\"level\":";
// Lines of runs that started after one still open wait in memory up to this
// much; beyond it, the oldest open run is judged and printed as it stands.
constexpr std::size_t kMaxHeldBytes = 16 << 20;

bool is_header(const std::string& key) {
  for (auto h : kHeaderKeys)
    if (key == h) return true;
  return false;
}

void append_hex_escape(std::string& out, unsigned value, int width) {
  char buf[12];
  std::snprintf(buf, sizeof buf, width == 2 ? "\\x%02x" : "\\u%04x", value);
  out += buf;
}

// The text as it can be shown on a terminal: control characters (C0, DEL and
// C1, which a terminal would act on) escaped, bytes that are not UTF-8 shown
// as \xNN, and at most max_bytes of it, cut at a character boundary.
std::string printable(std::string_view text, std::size_t max_bytes = kMaxValueBytes) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (out.size() >= max_bytes) {
      out += "...";
      break;
    }
    const std::size_t n = utf8_length(text, i);
    const auto b = static_cast<unsigned char>(text[i]);
    if (n == 0) {
      append_hex_escape(out, b, 2);
      ++i;
      continue;
    }
    if (n == 1) {
      if (b == '\n') {
        out += "\\n";
      } else if (b == '\r') {
        out += "\\r";
      } else if (b == '\t') {
        out += "\\t";
      } else if (b < 0x20 || b == 0x7F) {
        append_hex_escape(out, b, 2);
      } else {
        out.push_back(static_cast<char>(b));
      }
    } else if (n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      append_hex_escape(out, static_cast<unsigned char>(text[i + 1]), 4);  // U+0080..U+009F
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string short_value(const Json& v, std::size_t max_bytes = kMaxValueBytes) {
  return printable(v.is_string() ? v.get_ref<const std::string&>()
                                 : v.dump(-1, ' ', false, Json::error_handler_t::replace),
                   max_bytes);
}

std::string text_field(const Json& rec, const char* key) {
  const auto it = rec.find(key);
  return it != rec.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<std::uint64_t> number_field(const Json& rec, const char* key) {
  const auto it = rec.find(key);
  if (it == rec.end() || !it->is_number_integer() || it->get<std::int64_t>() < 0)
    return std::nullopt;
  return it->get<std::uint64_t>();
}

struct Run {
  std::size_t number = 0;
  bool shown = false;  // its header is out, and its lines go straight out
  std::optional<std::uint64_t> pid;
  std::string install_id;
  std::string first_ts;
  bool has_init = false;
  std::vector<std::string> lines;
  std::optional<std::int64_t> start_ms;
  // Ready: the time the signal arrived, else the exit event's time; the
  // machine description in between can take seconds.
  std::optional<std::int64_t> signal_ms, exit_ready_ms;
  std::optional<std::uint64_t> signal_elapsed_ms;
  bool ended = false, exit_on_ready = false, second = false, mutex_failed = false, fatal = false,
       activation = false, activated = false, launch_failed = false, gpu_retry = false,
       gpu_retry_failed = false, exit_early_timeout = false, signal_timeout = false,
       pipe_failed = false, integrity_unfinished = false, integrity_lost = false;
  std::optional<std::uint64_t> timeout_ms;
  std::string integrity_problem;
  std::optional<std::string> fault;
  std::size_t damaged = 0;
};

std::string ready_text(const Run& r) {
  std::optional<std::int64_t> ms;
  if (r.has_init && r.start_ms && r.signal_ms) {
    ms = *r.signal_ms - *r.start_ms;
  } else if (r.signal_elapsed_ms) {
    ms = static_cast<std::int64_t>(*r.signal_elapsed_ms);  // the run's start is not in the log
  } else if (r.start_ms && r.exit_ready_ms) {
    ms = *r.exit_ready_ms - *r.start_ms;
  }
  return ms ? "ready after " + std::to_string(*ms) + " ms" : std::string("ready");
}

std::string outcome(const Run& r) {
  if (r.activation) {
    if (r.launch_failed) return "activation failed: the launch meant to bring it forward failed";
    if (r.activated) return "activated the running application";
  }
  if (r.exit_on_ready) return ready_text(r);
  if (r.launch_failed)
    return r.gpu_retry_failed ? "launch failed: the relaunch without GPU failed" : "launch failed";
  if (r.exit_early_timeout) {
    if (r.signal_timeout)
      return "timeout: no ready signal within " +
             std::to_string(r.timeout_ms.value_or(120000) / 1000) + " s";
    if (r.pipe_failed) return "no ready signal: the boot pipe could not be served";
    return "no ready signal: the boot pipe exchange ended without READY";
  }
  return r.ended ? "ended" : "incomplete run (no exit event)";
}

std::string verdict(const Run& r) {
  std::string v;
  if (r.second) {
    v = r.mutex_failed ? "second launcher: the launcher mutex could not be created, stepped aside"
                       : "second launcher: another launcher was running, this one stepped aside";
  } else if (r.fatal) {
    v = "stopped: the NUL device is unusable (fatal dialog shown)";
  } else {
    v = outcome(r);
  }
  if (r.gpu_retry && !r.gpu_retry_failed) v += ", GPU fallback";
  if (!r.integrity_problem.empty())
    v += ", integrity failed (" + printable(r.integrity_problem, kMaxVerdictDetailBytes) + ")";
  if (r.integrity_unfinished) v += ", integrity check unfinished at exit";
  if (r.integrity_lost) v += ", integrity check result lost";
  if (r.fault) v += ", internal fault (" + printable(*r.fault, kMaxVerdictDetailBytes) + ")";
  if (r.damaged) v += ", " + std::to_string(r.damaged) + " damaged line(s)";
  return v;
}

void note_event(Run& run, const std::string& name, const Json& rec, std::optional<std::int64_t> t) {
  if (name == "launcher_init") run.has_init = true;
  if (name == "launcher_already_running") run.second = true;
  if (name == "mutex_creation_failed") run.mutex_failed = true;
  if (name == "vyn_already_running") run.activation = true;
  if (name == "launcher_gpu_incompatible_retry") run.gpu_retry = true;
  if (name == "target_process_launch_failed" &&
      text_field(rec, "reason") == "gpu_incompatible_retry_failed")
    run.gpu_retry_failed = true;
  if (name == "signal_received") {
    run.signal_ms = t;
    run.signal_elapsed_ms = number_field(rec, "elapsedMs");
  }
  if (name == "signal_timeout") {
    run.signal_timeout = true;
    run.timeout_ms = number_field(rec, "timeoutMs");
  }
  if (name == "pipe_server_create_failed" || name == "pipe_wait_failed") run.pipe_failed = true;
  if (name == "launcher_exit_on_ready") {
    run.ended = run.exit_on_ready = true;
    run.exit_ready_ms = t;
  }
  if (name == "launcher_exit_after_trigger_activation") run.ended = run.activated = true;
  if (name == "launcher_exit_early") {
    run.ended = true;
    (text_field(rec, "reason") == "failed_to_launch" ? run.launch_failed : run.exit_early_timeout) =
        true;
  }
  if (name == "launcher_null_device_fatal") run.fatal = true;
  if (name == "launcher_error" && !run.fault) run.fault = text_field(rec, "error");
  const bool integrity_outcome = name.rfind("integrity_verify_", 0) == 0 &&
                                 name != "integrity_verify_passed" &&
                                 name != "integrity_verify_thread_disconnected";
  if (integrity_outcome && run.integrity_problem.empty()) {
    run.integrity_problem = text_field(rec, "error");
    if (run.integrity_problem.empty()) run.integrity_problem = name;
  }
  if (name == "asar_integrity_verify_thread_timeout") run.integrity_unfinished = true;
  if (name == "integrity_verify_thread_disconnected") run.integrity_lost = true;
}

std::string continuation(const std::string& text) {
  return "\n" + std::string(kContinuationIndent, ' ') + "| " + text;
}

std::string format_record(const Json& rec, const std::string& name, const std::string& ts,
                          std::optional<std::int64_t> t, std::optional<std::int64_t> start) {
  std::ostringstream out;
  std::string level = rec.contains("level") ? short_value(rec["level"], kLevelWidth) : "?";
  level.resize(std::max(level.size(), kLevelWidth), ' ');
  char rel[32] = "";
  if (t && start) std::snprintf(rel, sizeof rel, "%+7lldms", static_cast<long long>(*t - *start));
  char head[32];
  std::snprintf(head, sizeof head, "  %s %9s ", t ? ts.substr(11, 12).c_str() : "??:??:??.???",
                rel);
  out << head << level << " " << printable(name);
  for (auto it = rec.begin(); it != rec.end(); ++it) {
    if (is_header(it.key())) continue;
    const std::string key = printable(it.key());
    if (it.key() == "stderrLogs" && it->is_array()) {
      out << " stderrLogs=[" << it->size() << (it->size() == 1 ? " line]" : " lines]");
      for (const auto& l : *it) out << continuation(short_value(l));
    } else if (it->is_object() && !it->empty()) {
      out << " " << key << "={" << it->size() << " members}";
      for (auto m = it->begin(); m != it->end(); ++m)
        out << continuation(printable(m.key()) + ": " + short_value(*m));
    } else {
      out << " " << key << "=" << short_value(*it);
    }
  }
  return out.str();
}

// Runs are printed in the order they started, each once it is over: the
// oldest open run's lines go straight out, later runs' lines wait until it
// is, so memory holds only what interleaved launchers wrote meanwhile.
class Reader {
 public:
  explicit Reader(std::ostream& out) : out_(out) {}

  void line(std::string_view text) {
    Json rec = Json::parse(text, nullptr, false);
    if (is_record(rec)) return take(rec);
    // Cut before every record start; each piece is a record or damage.
    std::size_t from = 0;
    for (;;) {
      const std::size_t next = text.find(kRecordStart, from + 1);
      const std::string_view piece =
          text.substr(from, next == std::string_view::npos ? std::string_view::npos : next - from);
      Json part = Json::parse(piece, nullptr, false);
      if (from > 0 && is_record(part)) {
        take(part);
      } else {
        damaged(piece.size(), printable(piece));
      }
      if (next == std::string_view::npos) break;
      from = next;
    }
  }

  void overlong() { damaged(0, "longer than " + std::to_string(kMaxLineBytes >> 20) + " MiB"); }

  void finish() {
    while (!runs_.empty()) close_oldest();
    if (count_ == 0) out_ << "(empty log)\n";
  }

 private:
  using Open = std::list<Run>;

  static bool is_record(const Json& rec) {
    return rec.is_object() && rec.contains("eventName") && rec["eventName"].is_string();
  }

  void show_header(Run& r) {
    out_ << "Run " << r.number;
    std::string about;
    if (r.pid) about += "pid " + std::to_string(*r.pid);
    if (!r.install_id.empty()) about += (about.empty() ? "" : ", ") + ("install " + r.install_id);
    if (!r.first_ts.empty()) about += (about.empty() ? "" : ", ") + ("from " + r.first_ts);
    if (!about.empty()) out_ << " (" << about << ")";
    out_ << "\n";
    if (!r.has_init && r.pid) out_ << "  (the start of this run is not in the log)\n";
    for (const auto& l : r.lines) {
      out_ << l << "\n";
      held_ -= l.size();
    }
    std::vector<std::string>().swap(r.lines);
    r.shown = true;
  }

  void add_line(Run& r, std::string text) {
    if (&r == &runs_.front()) {
      if (!r.shown) show_header(r);
      out_ << text << "\n";
      return;
    }
    held_ += text.size();
    r.lines.push_back(std::move(text));
    while (held_ > kMaxHeldBytes && runs_.size() > 1) close_oldest();
  }

  void close_oldest() {
    Run& r = runs_.front();
    if (!r.shown) show_header(r);
    out_ << "  => " << verdict(r) << "\n\n";
    if (r.pid) {
      const auto known = by_pid_.find(*r.pid);
      if (known != by_pid_.end() && &*known->second == &r) by_pid_.erase(known);
    }
    if (last_ && &**last_ == &r) last_.reset();
    runs_.pop_front();
  }

  Run& new_run() {
    if (runs_.size() == kMaxOpenRuns) close_oldest();
    runs_.emplace_back().number = ++count_;
    last_ = std::prev(runs_.end());
    return runs_.back();
  }

  // Launchers started close together append to the same file, so records are
  // sorted into runs by process id; a new "launcher_init" starts a new run
  // even for a process id seen before (ids are reused over time).
  Run& run_for(const std::string& name, std::optional<std::uint64_t> pid) {
    if (!pid) return !last_ || name == "launcher_init" ? new_run() : **last_;
    const auto it = by_pid_.find(*pid);
    if (name == "launcher_init" || it == by_pid_.end()) {
      Run& run = new_run();
      run.pid = pid;
      by_pid_[*pid] = *last_;
      return run;
    }
    last_ = it->second;
    return **last_;
  }

  void take(const Json& rec) {
    const std::string name = rec["eventName"].get<std::string>();
    Run& run = run_for(name, number_field(rec, "processId"));
    const std::string ts = text_field(rec, "ts");
    const auto t = epoch_ms(ts);
    const bool first = !run.shown && run.lines.empty();
    if (first || (!run.start_ms && t)) {
      run.start_ms = t;
      if (run.first_ts.empty()) run.first_ts = printable(ts);
    }
    if (run.install_id.empty()) run.install_id = printable(text_field(rec, "installId"));
    note_event(run, name, rec, t);
    add_line(run, format_record(rec, name, ts, t, run.start_ms));
  }

  void damaged(std::size_t bytes, const std::string& shown) {
    Run& run = last_ ? **last_ : new_run();
    run.damaged++;
    add_line(run, bytes ? "  (damaged line, " + std::to_string(bytes) + " bytes: " + shown + ")"
                        : "  (damaged line, " + shown + ")");
  }

  std::ostream& out_;
  Open runs_;  // open, in the order they started
  std::map<std::uint64_t, Open::iterator> by_pid_;
  std::optional<Open::iterator> last_;
  std::size_t count_ = 0, held_ = 0;
};

}  // namespace

void render_timeline(std::istream& in, std::ostream& out) {
  Reader reader(out);
  read_lines(
      in,
      [&](std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) reader.line(line);
      },
      [&] { reader.overlong(); });
  reader.finish();
}

std::string render_timeline(std::string_view log) {
  std::istringstream in{std::string(log)};
  std::ostringstream out;
  render_timeline(in, out);
  return out.str();
}

}  // namespace vyn::logview
