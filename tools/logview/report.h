#pragma once
// The page a support lead opens instead of reading tables: outcome shares
// per day, time to ready per Windows release and per launcher version, and
// the installations whose integrity check failed.
//
// Its memory does not grow with the number of runs: days, groups and
// installations are each kept up to a fixed count (what lies beyond is
// counted, not listed), and times to ready are kept per group in fixed
// buckets of two significant digits, so a percentile is the lower edge of
// its bucket (1234 ms shows as 1200 ms). Texts kept (names, error texts)
// are cut to a few hundred bytes.

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "logview/runs.h"

namespace vyn::logview {

// The newest days shown; runs of earlier days are only counted.
inline constexpr std::size_t kReportMaxDays = 366;
// Distinct Windows releases or launcher versions timed one by one; further
// names share the group "(other)". The page draws the busiest of them.
inline constexpr std::size_t kReportMaxGroups = 100;
inline constexpr std::size_t kReportShownGroups = 12;
// Installations listed with integrity failures; failures of further
// installations are only counted.
inline constexpr std::size_t kReportMaxInstallations = 10000;

// Times to ready, bucketed to two significant digits up to this bound
// (beyond it, the last bucket).
class ReadyTimes {
 public:
  void add(std::int64_t ms);
  void merge(const ReadyTimes& other);
  std::uint64_t count() const { return count_; }
  // Nearest rank, as the summary's: the lower edge of the bucket holding
  // the value at position ceil(pct * n / 100).
  std::optional<std::int64_t> percentile(unsigned pct) const;

  static constexpr std::int64_t kMaxMs = 10'000'000;
  static std::size_t bucket_of(std::int64_t ms);
  static std::int64_t lower_edge(std::size_t bucket);

 private:
  std::vector<std::uint64_t> buckets_;  // sized on first use
  std::uint64_t count_ = 0;
};

class Report {
 public:
  void add(const RunRow& row);
  void add_file(const RunSplitter& file);

  // What the page draws, as the page's script reads it.
  nlohmann::ordered_json to_json() const;

 private:
  struct Group {
    std::uint64_t runs = 0;
    ReadyTimes ready;
  };
  struct Installation {
    std::uint64_t failures = 0;
    std::map<std::string, std::uint64_t> results;
    std::string install_id, last_ts, version, os_release, error, file;
  };

  static void add_to(std::map<std::string, Group>& groups, const std::string& name,
                     const RunRow& row);
  static nlohmann::ordered_json groups_json(const std::map<std::string, Group>& groups);

  std::uint64_t files_ = 0, runs_ = 0, damaged_ = 0, undated_ = 0, earlier_ = 0,
                unlisted_failures_ = 0;
  std::map<std::string, std::map<std::string, std::uint64_t>> days_;  // day -> outcome -> runs
  std::map<std::string, Group> by_os_, by_version_;
  std::map<std::string, Installation> failed_installs_;
};

// The whole page, self-contained; `data` is Report::to_json().
void write_report_html(std::ostream& out, const nlohmann::ordered_json& data);

// JSON that can sit inside a script element whatever the logs hold: no text
// of theirs can close the element.
std::string script_safe_json(const nlohmann::ordered_json& data);

}  // namespace vyn::logview
