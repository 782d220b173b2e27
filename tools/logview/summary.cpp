#include "logview/summary.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <type_traits>
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

// Most runs first, then by name; the group without a name last.
template <typename K, typename T>
std::vector<std::pair<K, T>> by_count(const std::map<K, T>& groups) {
  std::vector<std::pair<K, T>> out(groups.begin(), groups.end());
  const auto runs = [](const T& v) {
    if constexpr (std::is_integral_v<T>) {
      return v;
    } else {
      return v.runs;
    }
  };
  std::stable_sort(out.begin(), out.end(), [&](const auto& a, const auto& b) {
    if (runs(a.second) != runs(b.second)) return runs(a.second) > runs(b.second);
    return a.first.has_value() && !b.first.has_value();
  });
  return out;
}

std::string groups_table(const Json& groups, const std::string& by) {
  std::ostringstream out;
  constexpr const char* kColumns = "  %-40s %7s %7s %9s %9s %7s %17s\n";
  char head[200];
  std::snprintf(head, sizeof head, kColumns, "", "runs", "ready", "p50 ms", "p90 ms", "within",
                "integrity failed");
  out << "\nBy " << by << " (times over runs, not users)\n" << head;
  for (const auto& g : groups) {
    char buf[200];
    const std::string name = g[by].is_null() ? "(none)" : text(g[by]).substr(0, 40);
    std::snprintf(buf, sizeof buf, "  %-40s %7llu %7llu %9s %9s %7s %17llu\n", name.c_str(),
                  g["runs"].get<unsigned long long>(), g["ready"].get<unsigned long long>(),
                  text(g["p50"]).c_str(), text(g["p90"]).c_str(),
                  g.contains("share") ? percent(g["share"]).c_str() : "-",
                  g["integrityFailed"].get<unsigned long long>());
    out << buf;
  }
  return out.str();
}

}  // namespace

bool integrity_failed(const RunRow& row) {
  return row.integrity == "failed" || row.integrity == "asar_missing" ||
         row.integrity == "io_error";
}

// A second launcher and an activation never wait for READY, and a start
// that is not in the log cannot be timed.
void Summary::Times::add(const RunRow& row, std::optional<std::int64_t> within_ms) {
  if (row.ready_ms) {
    ++ms[*row.ready_ms];
    ++timed;
  }
  if (!row.facts.has_init || row.outcome == "second_launcher" || row.outcome == "activated") return;
  ++starts;
  within += row.ready_ms && within_ms && *row.ready_ms <= *within_ms;
}

std::optional<std::int64_t> Summary::Times::percentile(unsigned pct) const {
  if (timed == 0) return std::nullopt;
  const std::uint64_t rank = (pct * timed + 99) / 100;  // ceil, from 1
  std::uint64_t seen = 0;
  for (const auto& [value, n] : ms) {
    seen += n;
    if (seen >= rank) return value;
  }
  return ms.rbegin()->first;
}

Json Summary::Times::to_json(std::optional<std::int64_t> within_ms) const {
  Json out{{"runs", timed}};
  for (unsigned p : kPercentiles) {
    const auto v = percentile(p);
    out["p" + std::to_string(p)] = v ? Json(*v) : Json(nullptr);
  }
  if (within_ms) {
    out["starts"] = starts;
    out["readyWithin"] = within;
    out["share"] = ratio(within, starts);
  }
  return out;
}

template <typename T>
T& Summary::capped(std::map<Key, T>& groups, const Key& key) {
  if (groups.size() < kMaxGroups) return groups[key];
  const auto it = groups.find(key);
  return it != groups.end() ? it->second : groups[std::string(kOtherGroups)];
}

std::optional<std::string> Summary::group_of(const RunRow& row) const {
  const RunFacts& f = row.facts;
  std::string key;
  if (options_.by == "osRelease" && f.has_env) key = f.os_release;
  if (options_.by == "launcherVersion") key = f.version;
  if (options_.by == "installation") key = installation_of(f);
  if (options_.by == "day" && epoch_ms(start_of(f))) key = start_of(f).substr(0, 10);
  return key.empty() ? std::nullopt : std::optional<std::string>(key);
}

void Summary::add(const RunRow& row) {
  ++runs_;
  ++outcomes_[row.outcome];
  ++integrity_[row.integrity];
  const bool ready = row.outcome == "ready";
  times_.add(row, options_.ready_within_ms);
  if (!row.facts.first_launch_ts.empty() && row.outcome != "activated") ++launched_;
  const bool relaunched = row.gpu_relaunch != "none";
  if (relaunched) ++relaunched_;
  if (relaunched && ready) ++relaunched_ready_;
  const bool failed = integrity_failed(row);
  OsRow& os =
      capped(by_os_, row.facts.has_env && !row.facts.os_release.empty() ? Key(row.facts.os_release)
                                                                        : std::nullopt);
  ++os.runs;
  os.ready += ready;
  os.gpu_relaunched += relaunched;
  os.integrity_failed += failed;
  if (failed) {
    const std::string install = installation_of(row.facts);
    ++capped(failed_installs_, install.empty() ? std::nullopt : Key(install));
  }
  if (options_.by.empty()) return;
  Group& g = capped(groups_, group_of(row));
  ++g.runs;
  g.ready += ready;
  g.integrity_failed += failed;
  g.times.add(row, options_.ready_within_ms);
}

void Summary::add_file(const RunSplitter& file) {
  ++files_;
  damaged_ += file.damaged_lines();
  for (const auto& [event, n] : file.error_events()) {
    const bool room = errors_.size() < kMaxErrorEventNames || errors_.count(event);
    errors_[room ? event : std::string(kOtherEvents)] += n;
  }
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
  Json ready = times_.to_json(std::nullopt);
  out["readyMs"] = ready;
  if (options_.ready_within_ms) {
    const Json within = times_.to_json(options_.ready_within_ms);
    out["readyWithin"] = {{"ms", *options_.ready_within_ms},
                          {"starts", within["starts"]},
                          {"ready", within["readyWithin"]},
                          {"share", within["share"]}};
  }
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
  Json by_os = Json::array();
  for (const auto& [release, r] : by_count(by_os_))
    by_os.push_back({{"osRelease", release ? Json(*release) : Json(nullptr)},
                     {"runs", r.runs},
                     {"ready", r.ready},
                     {"gpuRelaunched", r.gpu_relaunched},
                     {"integrityFailed", r.integrity_failed}});
  out["byOsRelease"] = by_os;
  Json failed = Json::array();
  for (const auto& [install, n] : by_count(failed_installs_))
    failed.push_back({{"installation", install ? Json(*install) : Json(nullptr)}, {"runs", n}});
  out["integrityFailedBy"] = failed;
  if (options_.by.empty()) return out;
  Json groups = Json::array();
  for (const auto& [key, g] : by_count(groups_)) {
    Json row{{options_.by, key ? Json(*key) : Json(nullptr)},
             {"runs", g.runs},
             {"ready", g.ready},
             {"integrityFailed", g.integrity_failed}};
    const Json times = g.times.to_json(options_.ready_within_ms);
    for (const auto& [name, value] : times.items()) row[name == "runs" ? "timed" : name] = value;
    groups.push_back(row);
  }
  out["groups"] = groups;
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
  out << "\nTime to ready (launcher_init to signal_received), over " << text(r["runs"])
      << " runs, not users\n"
      << row("p50", text(r["p50"]), "ms") << row("p90", text(r["p90"]), "ms")
      << row("p99", text(r["p99"]), "ms");
  if (j.contains("readyWithin")) {
    const Json& w = j["readyWithin"];
    out << row("ready within " + text(w["ms"]) + " ms / starts",
               text(w["ready"]) + " / " + text(w["starts"]), percent(w["share"]));
  }
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
  out << "\nInstallations with a failed integrity check (failed, asar_missing, io_error)\n";
  for (const auto& i : j["integrityFailedBy"])
    out << row(i["installation"].is_null() ? "(unknown)" : text(i["installation"]), text(i["runs"]),
               "runs");
  if (j["integrityFailedBy"].empty()) out << "  (none)\n";
  if (j.contains("groups")) out << groups_table(j["groups"], options_.by);
  return out.str();
}

}  // namespace vyn::logview
