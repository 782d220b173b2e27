#include "logview/timeline.h"

#include <cstdint>
#include <optional>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

namespace vyn::logview {

namespace {

using Json = nlohmann::ordered_json;

// Members every record has; the timeline shows only what the event adds.
constexpr std::string_view kHeaderKeys[] = {"level",     "installId", "ts",      "launcherVersion",
                                            "eventName", "processId", "threadId"};
constexpr std::size_t kMaxValueChars = 160;

bool is_header(const std::string& key) {
  for (auto h : kHeaderKeys)
    if (key == h) return true;
  return false;
}

// Milliseconds since midnight from "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::optional<std::int64_t> ms_of_day(const std::string& ts) {
  int h, m, s, ms;
  if (ts.size() < 23 || std::sscanf(ts.c_str() + 11, "%2d:%2d:%2d.%3d", &h, &m, &s, &ms) != 4)
    return std::nullopt;
  return ((h * 60 + m) * 60 + s) * 1000LL + ms;
}

std::string short_value(const Json& v) {
  std::string text =
      v.is_string() ? v.get<std::string>() : v.dump(-1, ' ', false, Json::error_handler_t::replace);
  if (text.size() > kMaxValueChars) text = text.substr(0, kMaxValueChars) + "...";
  return text;
}

struct Run {
  std::vector<std::string> lines;
  std::optional<std::int64_t> start_ms;
  std::optional<std::int64_t> ready_ms;
  bool gpu_retry = false, launch_failed = false, integrity_failed = false, second = false,
       activation = false, timeout = false, fatal = false, fault = false, ended = false;
  std::size_t damaged = 0;
};

std::string verdict(const Run& r) {
  std::string v;
  if (r.second) return "second launcher: another launcher was running, this one stepped aside";
  if (r.fatal) return "stopped: the NUL device is unusable (fatal dialog shown)";
  if (r.activation) v = "activated the running application";
  if (r.ready_ms && r.start_ms)
    v = "ready after " + std::to_string(*r.ready_ms - *r.start_ms) + " ms";
  if (r.launch_failed) v = "launch failed";
  if (r.timeout) v = "no ready signal before the deadline";
  if (v.empty()) v = r.ended ? "ended" : "incomplete run (no exit event)";
  if (r.gpu_retry) v += ", GPU fallback";
  if (r.integrity_failed) v += ", integrity failed";
  if (r.fault) v += ", internal fault";
  if (r.damaged) v += ", " + std::to_string(r.damaged) + " damaged line(s)";
  return v;
}

void note_event(Run& run, const std::string& name, const Json& rec, std::optional<std::int64_t> t) {
  if (name == "launcher_already_running") run.second = true;
  if (name == "vyn_already_running") run.activation = true;
  if (name == "launcher_gpu_incompatible_retry") run.gpu_retry = true;
  if (name == "launcher_exit_on_ready") run.ready_ms = t, run.ended = true;
  if (name == "launcher_exit_after_trigger_activation") run.ended = true;
  if (name == "launcher_exit_early") {
    run.ended = true;
    const bool failed = rec.value("reason", std::string()) == "failed_to_launch";
    (failed ? run.launch_failed : run.timeout) = true;
  }
  if (name == "launcher_null_device_fatal") run.fatal = true;
  if (name == "launcher_error") run.fault = true;
  if (name.rfind("integrity_verify_", 0) == 0 && name != "integrity_verify_passed" &&
      name != "integrity_verify_thread_disconnected")
    run.integrity_failed = true;
}

}  // namespace

std::string render_timeline(std::string_view log) {
  std::vector<Run> runs;
  std::size_t pos = 0;
  while (pos < log.size()) {
    std::size_t end = log.find('\n', pos);
    if (end == std::string_view::npos) end = log.size();
    std::string line(log.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;

    Json rec = Json::parse(line, nullptr, false);
    if (!rec.is_object() || !rec.contains("eventName") || !rec["eventName"].is_string()) {
      if (runs.empty()) runs.emplace_back();
      runs.back().damaged++;
      runs.back().lines.push_back("  (damaged line: " + short_value(Json(line)) + ")");
      continue;
    }
    const std::string name = rec["eventName"];
    if (name == "launcher_init" || runs.empty()) runs.emplace_back();
    Run& run = runs.back();
    const std::string ts =
        rec.contains("ts") && rec["ts"].is_string() ? rec["ts"].get<std::string>() : "";
    const auto t = ms_of_day(ts);
    if (!run.start_ms) run.start_ms = t;
    note_event(run, name, rec, t);

    std::ostringstream out;
    const std::string level = rec.contains("level") ? short_value(rec["level"]) : "?";
    const std::string clock = ts.size() >= 23 ? ts.substr(11, 12) : "??:??:??.???";
    char rel[32] = "";
    if (t && run.start_ms)
      std::snprintf(rel, sizeof rel, "%+7lldms", static_cast<long long>(*t - *run.start_ms));
    char head[160];
    std::snprintf(head, sizeof head, "  %s %s %-7s %s", clock.c_str(), rel, level.c_str(),
                  name.c_str());
    out << head;
    for (auto it = rec.begin(); it != rec.end(); ++it) {
      if (is_header(it.key())) continue;
      if (it.key() == "stderrLogs" && it->is_array()) {
        out << " stderrLogs=[" << it->size() << " lines]";
        for (const auto& l : *it) out << "\n" << std::string(34, ' ') << "| " << short_value(l);
        continue;
      }
      out << " " << it.key() << "=" << short_value(*it);
    }
    run.lines.push_back(out.str());
  }

  std::ostringstream out;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    out << "Run " << (i + 1) << " of " << runs.size() << "\n";
    for (const auto& l : runs[i].lines) out << l << "\n";
    out << "  => " << verdict(runs[i]) << "\n\n";
  }
  if (runs.empty()) out << "(empty log)\n";
  return out.str();
}

}  // namespace vyn::logview
