#include "logview/summary.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>
#include <vector>

namespace vyn::logview {

namespace {

using Json = nlohmann::ordered_json;
using Count = std::pair<std::string, std::uint64_t>;

constexpr unsigned kPercentiles[] = {50, 90, 99};

// Largest count first, then by name, as the SQL orders them.
std::vector<Count> ranked(const std::map<std::string, std::uint64_t>& counts) {
  std::vector<Count> out(counts.begin(), counts.end());
  std::stable_sort(out.begin(), out.end(),
                   [](const Count& a, const Count& b) { return a.second > b.second; });
  return out;
}

Json ratio(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return nullptr;
  return static_cast<double>(part) / static_cast<double>(whole);
}

std::string percent(const Json& share) {
  if (share.is_null()) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f%%", share.get<double>() * 100);
  return buf;
}

std::string row(const std::string& name, const std::string& value, const std::string& extra = "") {
  char buf[256];
  std::snprintf(buf, sizeof buf, "  %-40s %10s %s", name.c_str(), value.c_str(), extra.c_str());
  std::string line = buf;
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line + "\n";
}

// Names come from the logs: nothing in them may steer the terminal.
std::string shown(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return s;
}

std::string text(const Json& v) {
  return v.is_null() ? "-" : v.is_string() ? shown(v.get<std::string>()) : v.dump();
}

}  // namespace

void Summary::add(const RunRow& row) {
  ++runs_;
  ++outcomes_[row.outcome];
  ++integrity_[row.integrity];
  const bool ready = row.outcome == "ready";
  if (row.ready_ms) {
    ++ready_ms_[*row.ready_ms];
    ++ready_timed_;
  }
  if (!row.facts.first_launch_ts.empty() && row.outcome != "activated") ++launched_;
  const bool relaunched = row.gpu_relaunch != "none";
  if (relaunched) ++relaunched_;
  if (relaunched && ready) ++relaunched_ready_;
  const bool integrity_failed = row.integrity == "failed" || row.integrity == "asar_missing";
  OsRow& os = by_os_[row.facts.has_env && !row.facts.os_release.empty()
                         ? std::optional<std::string>(row.facts.os_release)
                         : std::nullopt];
  ++os.runs;
  os.ready += ready;
  os.gpu_relaunched += relaunched;
  os.integrity_failed += integrity_failed;
}

void Summary::add_file(const RunSplitter& file) {
  ++files_;
  damaged_ += file.damaged_lines();
  for (const auto& [event, n] : file.error_events()) errors_[event] += n;
}

std::optional<std::int64_t> Summary::percentile(unsigned pct) const {
  if (ready_timed_ == 0) return std::nullopt;
  const std::uint64_t rank = (pct * ready_timed_ + 99) / 100;  // ceil, from 1
  std::uint64_t seen = 0;
  for (const auto& [ms, n] : ready_ms_) {
    seen += n;
    if (seen >= rank) return ms;
  }
  return ready_ms_.rbegin()->first;
}

Json Summary::to_json() const {
  Json out;
  out["files"] = files_;
  out["runs"] = runs_;
  out["damagedLines"] = damaged_;
  Json outcomes = Json::array();
  for (const auto& [name, n] : ranked(outcomes_))
    outcomes.push_back({{"outcome", name}, {"runs", n}, {"share", ratio(n, runs_)}});
  out["outcomes"] = outcomes;
  Json ready{{"runs", ready_timed_}};
  for (unsigned p : kPercentiles) {
    const auto v = percentile(p);
    ready["p" + std::to_string(p)] = v ? Json(*v) : Json(nullptr);
  }
  out["readyMs"] = ready;
  out["gpuFallback"] = {{"launched", launched_},
                        {"relaunched", relaunched_},
                        {"rate", ratio(relaunched_, launched_)},
                        {"readyAfterRelaunch", relaunched_ready_}};
  Json integrity = Json::array();
  for (const auto& [name, n] : ranked(integrity_))
    integrity.push_back({{"result", name}, {"runs", n}});
  out["integrity"] = integrity;
  Json errors = Json::array();
  for (const auto& [name, n] : ranked(errors_)) {
    if (errors.size() == kTopErrors) break;
    errors.push_back({{"event", name}, {"records", n}});
  }
  out["topErrors"] = errors;
  std::vector<std::pair<std::optional<std::string>, OsRow>> os(by_os_.begin(), by_os_.end());
  // Most runs first; a release before the runs without a description.
  std::stable_sort(os.begin(), os.end(), [](const auto& a, const auto& b) {
    if (a.second.runs != b.second.runs) return a.second.runs > b.second.runs;
    return a.first.has_value() && !b.first.has_value();
  });
  Json by_os = Json::array();
  for (const auto& [release, r] : os)
    by_os.push_back({{"osRelease", release ? Json(*release) : Json(nullptr)},
                     {"runs", r.runs},
                     {"ready", r.ready},
                     {"gpuRelaunched", r.gpu_relaunched},
                     {"integrityFailed", r.integrity_failed}});
  out["byOsRelease"] = by_os;
  return out;
}

std::string Summary::to_table() const {
  const Json j = to_json();
  std::ostringstream out;
  out << "Runs: " << runs_ << " in " << files_ << " log(s)";
  if (damaged_) out << ", " << damaged_ << " damaged line(s) skipped";
  out << "\n\nOutcome\n";
  for (const auto& o : j["outcomes"])
    out << row(text(o["outcome"]), text(o["runs"]), percent(o["share"]));
  const Json& r = j["readyMs"];
  out << "\nTime to ready (launcher_init to signal_received, " << text(r["runs"]) << " runs)\n"
      << row("p50", text(r["p50"]), "ms") << row("p90", text(r["p90"]), "ms")
      << row("p99", text(r["p99"]), "ms");
  const Json& g = j["gpuFallback"];
  out << "\nGPU fallback\n"
      << row("relaunched / runs that launched", text(g["relaunched"]) + " / " + text(g["launched"]),
             percent(g["rate"]))
      << row("ready after the relaunch", text(g["readyAfterRelaunch"]));
  out << "\nIntegrity check\n";
  for (const auto& i : j["integrity"]) out << row(text(i["result"]), text(i["runs"]));
  out << "\nMost frequent error events (records)\n";
  for (const auto& e : j["topErrors"]) out << row(text(e["event"]), text(e["records"]));
  if (j["topErrors"].empty()) out << "  (none)\n";
  out << "\nBy Windows release (osRelease)      runs   ready  GPU relaunch  integrity failed\n";
  for (const auto& o : j["byOsRelease"]) {
    char buf[160];
    std::snprintf(
        buf, sizeof buf, "  %-30s %8llu %7llu %13llu %17llu\n",
        o["osRelease"].is_null() ? "(no description)" : text(o["osRelease"]).substr(0, 30).c_str(),
        o["runs"].get<unsigned long long>(), o["ready"].get<unsigned long long>(),
        o["gpuRelaunched"].get<unsigned long long>(),
        o["integrityFailed"].get<unsigned long long>());
    out << buf;
  }
  return out.str();
}

}  // namespace vyn::logview
