// A log of any content through the fleet's run splitter. Every row has one
// of the outcomes, with the event that decided it unless unknown, and a time
// to ready only when ready; the summary counts every row once and orders its
// percentiles. When every line is a whole record, launchers that wrote at the
// same time are told apart exactly: the lines of one process id read alone
// give that id the same runs as the whole log does.
// Input: the log's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "logview/runs.h"
#include "logview/summary.h"

namespace {

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "run splitter: %s\n", broken);
  std::abort();
}

template <typename Fn>
void for_each_line(std::string_view log, Fn fn) {
  for (std::size_t pos = 0; pos < log.size();) {
    std::size_t lf = log.find('\n', pos);
    if (lf == std::string_view::npos) lf = log.size();
    fn(log.substr(pos, lf - pos));
    pos = lf + 1;
  }
}

std::vector<vyn::logview::RunRow> rows_of(std::string_view log) {
  vyn::logview::RunSplitter splitter("f");
  for_each_line(log, [&](std::string_view line) { splitter.line(line); });
  std::vector<vyn::logview::RunRow> rows;
  splitter.finish([&](vyn::logview::RunRow r) { rows.push_back(std::move(r)); });
  return rows;
}

auto key(const vyn::logview::RunRow& r) {
  return std::tie(r.outcome, r.ready_ms, r.launch_ms, r.integrity, r.gpu_relaunch, r.facts.init_ts);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view log(reinterpret_cast<const char*>(data), size);
  const std::vector<vyn::logview::RunRow> rows = rows_of(log);

  vyn::logview::Summary summary;
  for (const auto& r : rows) {
    require(vyn::logview::outcome_of(r.facts) == r.outcome, "a row's outcome is not its run's");
    require(r.exit_event.empty() == (r.outcome == "unknown"), "no deciding event");
    require(!r.ready_ms || r.outcome == "ready", "a time to ready without ready");
    require(r.gpu_relaunch != "ready" || r.outcome == "ready", "a relaunch ready without ready");
    summary.add(r);
  }
  const auto j = summary.to_json();
  std::uint64_t counted = 0;
  for (const auto& o : j["outcomes"]) counted += o["runs"].get<std::uint64_t>();
  require(counted == rows.size() && j["runs"] == rows.size(), "runs counted other than once");
  const auto& ready = j["readyMs"];
  if (!ready["p50"].is_null())
    require(ready["p50"] <= ready["p90"] && ready["p90"] <= ready["p99"], "percentiles unordered");

  bool whole = true;
  std::map<std::uint64_t, std::string> by_pid;
  for_each_line(log, [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return;
    const auto rec = vyn::logview::read_record(line);
    if (!rec) whole = false;
    if (rec) by_pid[*rec->pid].append(line).push_back('\n');
  });
  if (!whole) return 0;
  for (const auto& [pid, lines] : by_pid) {
    std::vector<vyn::logview::RunRow> mine;
    for (const auto& r : rows)
      if (r.facts.pid == pid) mine.push_back(r);
    const auto alone = rows_of(lines);
    require(alone.size() == mine.size(), "interleaving changed a process's runs");
    for (std::size_t i = 0; i < mine.size(); ++i)
      require(key(alone[i]) == key(mine[i]), "interleaving changed a run");
  }
  return 0;
}
