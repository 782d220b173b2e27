#include "logview/report.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "logview/report_page.h"

namespace vyn::logview {

namespace {

using Json = nlohmann::ordered_json;

constexpr unsigned kPercentiles[] = {50, 90, 99};
// The integrity results that mean the installed files are not as sealed.
constexpr std::array<std::string_view, 3> kIntegrityFailures = {"failed", "asar_missing",
                                                                "io_error"};
constexpr std::string_view kOtherGroup = "(other)";
constexpr std::string_view kNoDescription = "(no description)";
constexpr std::string_view kNoVersion = "(no version)";
constexpr std::string_view kUnidentified = "null";
constexpr std::size_t kDayLength = 10;  // "YYYY-MM-DD"
// A text kept for the page (a name, an error) is cut to this many bytes: a
// log can hold a line of megabytes.
constexpr std::size_t kMaxTextBytes = 300;

// Below 100 ms every millisecond is its own bucket; above, each decade has
// 90 buckets of its two leading digits.
constexpr std::size_t kExactBuckets = 100;
constexpr std::size_t kBucketsPerDecade = 90;

bool is_integrity_failure(const std::string& result) {
  return std::find(kIntegrityFailures.begin(), kIntegrityFailures.end(), result) !=
         kIntegrityFailures.end();
}

Json text_or_null(const std::string& s) { return s.empty() ? Json(nullptr) : Json(s); }

// Cut before a character, never inside one.
std::string clipped(const std::string& s) {
  if (s.size() <= kMaxTextBytes) return s;
  std::size_t end = kMaxTextBytes;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end) + "...";
}

}  // namespace

std::size_t ReadyTimes::bucket_of(std::int64_t ms) {
  ms = std::clamp<std::int64_t>(ms, 0, kMaxMs - 1);
  if (ms < static_cast<std::int64_t>(kExactBuckets)) return static_cast<std::size_t>(ms);
  std::size_t decade = 0;
  std::int64_t width = 1;
  while (ms / width >= 100) {
    width *= 10;
    ++decade;
  }
  return kExactBuckets + (decade - 1) * kBucketsPerDecade + static_cast<std::size_t>(ms / width) -
         10;
}

std::int64_t ReadyTimes::lower_edge(std::size_t bucket) {
  if (bucket < kExactBuckets) return static_cast<std::int64_t>(bucket);
  const std::size_t decade = (bucket - kExactBuckets) / kBucketsPerDecade + 1;
  std::int64_t edge = static_cast<std::int64_t>((bucket - kExactBuckets) % kBucketsPerDecade) + 10;
  for (std::size_t i = 0; i < decade; ++i) edge *= 10;
  return edge;
}

void ReadyTimes::add(std::int64_t ms) {
  if (buckets_.empty()) buckets_.resize(bucket_of(kMaxMs) + 1);
  ++buckets_[bucket_of(ms)];
  ++count_;
}

void ReadyTimes::merge(const ReadyTimes& other) {
  if (other.buckets_.empty()) return;
  if (buckets_.empty()) buckets_.resize(other.buckets_.size());
  for (std::size_t i = 0; i < buckets_.size(); ++i) buckets_[i] += other.buckets_[i];
  count_ += other.count_;
}

std::optional<std::int64_t> ReadyTimes::percentile(unsigned pct) const {
  if (count_ == 0) return std::nullopt;
  const std::uint64_t rank = (pct * count_ + 99) / 100;  // ceil, from 1
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    if (seen >= rank) return lower_edge(i);
  }
  return std::nullopt;
}

void Report::add_to(std::map<std::string, Group>& groups, const std::string& name,
                    const RunRow& row) {
  auto it = groups.find(name);
  if (it == groups.end())
    it = groups.size() < kReportMaxGroups ? groups.emplace(name, Group{}).first
                                          : groups.try_emplace(std::string(kOtherGroup)).first;
  ++it->second.runs;
  // A clock set back during the run gives no time worth drawing.
  if (row.ready_ms && *row.ready_ms >= 0) it->second.ready.add(*row.ready_ms);
}

void Report::add(const RunRow& row) {
  const RunFacts& f = row.facts;
  ++runs_;
  const std::string start = start_of(f);
  if (!epoch_ms(start)) {
    ++undated_;
  } else {
    ++days_[start.substr(0, kDayLength)][row.outcome];
    if (days_.size() > kReportMaxDays) {
      for (const auto& [outcome, n] : days_.begin()->second) earlier_ += n;
      days_.erase(days_.begin());
    }
  }
  add_to(by_os_,
         f.has_env && !f.os_release.empty() ? clipped(f.os_release) : std::string(kNoDescription),
         row);
  add_to(by_version_, f.version.empty() ? std::string(kNoVersion) : clipped(f.version), row);

  if (!is_integrity_failure(row.integrity)) return;
  // An installation without an id of its own is told apart by the log it
  // wrote to: one user's log.
  const bool unidentified = f.install_id.empty() || f.install_id == kUnidentified;
  const std::string key =
      unidentified ? std::string(kUnidentified) + '\n' + clipped(row.file) : clipped(f.install_id);
  auto it = failed_installs_.find(key);
  if (it == failed_installs_.end()) {
    if (failed_installs_.size() >= kReportMaxInstallations) {
      ++unlisted_failures_;
      return;
    }
    it = failed_installs_.emplace(key, Installation{}).first;
    it->second.install_id = unidentified ? std::string(kUnidentified) : clipped(f.install_id);
  }
  Installation& inst = it->second;
  ++inst.failures;
  ++inst.results[row.integrity];
  if (inst.error.empty()) inst.error = clipped(f.integrity_error);
  if (start >= inst.last_ts) {
    inst.last_ts = clipped(start);
    inst.version = clipped(f.version);
    inst.os_release = clipped(f.os_release);
    inst.file = clipped(row.file);
  }
}

void Report::add_file(const RunSplitter& file) {
  ++files_;
  damaged_ += file.damaged_lines();
}

Json Report::groups_json(const std::map<std::string, Group>& groups) {
  std::vector<std::pair<std::string, const Group*>> ranked;
  for (const auto& [name, g] : groups) ranked.emplace_back(name, &g);
  // Most runs first; the catch-all last whatever its size.
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    if ((a.first == kOtherGroup) != (b.first == kOtherGroup)) return b.first == kOtherGroup;
    return a.second->runs > b.second->runs;
  });
  std::vector<std::pair<std::string, Group>> shown;
  for (const auto& [name, g] : ranked) {
    if (shown.size() < kReportShownGroups && name != kOtherGroup) {
      shown.emplace_back(name, *g);
      continue;
    }
    if (shown.empty() || shown.back().first != kOtherGroup)
      shown.emplace_back(std::string(kOtherGroup), Group{});
    shown.back().second.runs += g->runs;
    shown.back().second.ready.merge(g->ready);
  }
  Json out = Json::array();
  for (const auto& [name, g] : shown) {
    Json item{{"group", name}, {"runs", g.runs}, {"timed", g.ready.count()}};
    for (unsigned p : kPercentiles) {
      const auto v = g.ready.percentile(p);
      item["p" + std::to_string(p)] = v ? Json(*v) : Json(nullptr);
    }
    out.push_back(std::move(item));
  }
  return out;
}

Json Report::to_json() const {
  Json out{{"files", files_}, {"runs", runs_}, {"damagedLines", damaged_}};
  Json days = Json::array();
  for (const auto& [day, outcomes] : days_) {
    Json counts = Json::object();
    for (const auto& [outcome, n] : outcomes) counts[outcome] = n;
    days.push_back({{"day", day}, {"outcomes", counts}});
  }
  out["days"] = days;
  out["undatedRuns"] = undated_;
  out["earlierRuns"] = earlier_;
  out["readyByOsRelease"] = groups_json(by_os_);
  out["readyByVersion"] = groups_json(by_version_);

  std::vector<const Installation*> installs;
  for (const auto& [key, inst] : failed_installs_) installs.push_back(&inst);
  std::stable_sort(installs.begin(), installs.end(),
                   [](const auto* a, const auto* b) { return a->failures > b->failures; });
  Json rows = Json::array();
  for (const Installation* i : installs) {
    Json results = Json::object();
    for (const auto& [result, n] : i->results) results[result] = n;
    rows.push_back({{"installId", i->install_id},
                    {"failures", i->failures},
                    {"results", results},
                    {"lastFailure", text_or_null(i->last_ts)},
                    {"launcherVersion", text_or_null(i->version)},
                    {"osRelease", text_or_null(i->os_release)},
                    {"error", text_or_null(i->error)},
                    {"file", i->file}});
  }
  out["integrityFailures"] = rows;
  out["unlistedIntegrityFailures"] = unlisted_failures_;
  return out;
}

std::string script_safe_json(const Json& data) {
  const std::string json = data.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string out;
  out.reserve(json.size());
  // '<' appears only inside strings, where its escape means the same.
  for (char c : json) {
    if (c == '<')
      out += "\\u003c";
    else
      out += c;
  }
  return out;
}

void write_report_html(std::ostream& out, const Json& data) {
  const std::string_view head = report_page_head(), tail = report_page_tail();
  out.write(head.data(), static_cast<std::streamsize>(head.size()));
  out << script_safe_json(data);
  out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
}

}  // namespace vyn::logview
