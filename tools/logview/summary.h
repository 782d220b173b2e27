#pragma once
// The fleet's figures from run rows: outcomes, time to ready, GPU fallback,
// integrity results, the most frequent error events and a breakdown by
// Windows release. Counts only, so it costs the same memory for ten logs or
// a million; times to ready are kept as a count per millisecond value, which
// gives exact percentiles within a bounded size.
//
// Percentiles are nearest-rank: of the n times in ascending order, pX is the
// one at position ceil(X * n / 100) (counting from 1). SQL's PERCENTILE_DISC
// gives the same value, so a data store reading the raw logs agrees. They
// are over runs, not users: a user who starts often weighs more.
//
// Groups (by --by, and the installations with failed checks) are kept up to
// kMaxGroups each; runs of further groups are counted under kOtherGroups.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "logview/runs.h"

namespace vyn::logview {

inline constexpr std::size_t kMaxGroups = 30000;
inline constexpr std::string_view kOtherGroups = "(other groups)";

struct SummaryOptions {
  std::string by;  // osRelease, launcherVersion, installation, day, or empty
  std::optional<std::int64_t> ready_within_ms;
};

// A check that failed: the archive differs, is missing, or its configuration
// could not be read.
bool integrity_failed(const RunRow& row);

class Summary {
 public:
  explicit Summary(SummaryOptions options = {}) : options_(std::move(options)) {}
  void add(const RunRow& row);
  // What a file leaves besides its runs.
  void add_file(const RunSplitter& file);

  nlohmann::ordered_json to_json() const;
  std::string to_table() const;

 private:
  struct OsRow {
    std::uint64_t runs = 0, ready = 0, gpu_relaunched = 0, integrity_failed = 0;
  };
  // Time to ready as a count per millisecond value, and the starts that
  // could have become ready (ready_within's whole).
  struct Times {
    std::uint64_t timed = 0, starts = 0, within = 0;
    std::map<std::int64_t, std::uint64_t> ms;
    void add(const RunRow& row, std::optional<std::int64_t> within_ms);
    std::optional<std::int64_t> percentile(unsigned pct) const;
    nlohmann::ordered_json to_json(std::optional<std::int64_t> within_ms) const;
  };
  struct Group {
    std::uint64_t runs = 0, ready = 0, integrity_failed = 0;
    Times times;
  };
  using Key = std::optional<std::string>;
  std::optional<std::string> group_of(const RunRow& row) const;
  template <typename T>
  static T& capped(std::map<Key, T>& groups, const Key& key);

  SummaryOptions options_;
  Times times_;
  std::map<Key, Group> groups_;
  std::map<Key, std::uint64_t> failed_installs_;

  std::uint64_t files_ = 0, runs_ = 0, damaged_ = 0, launched_ = 0, relaunched_ = 0,
                relaunched_ready_ = 0;
  std::map<std::string, std::uint64_t> outcomes_, integrity_, errors_;
  // Keyed by osRelease; none for runs without a machine description.
  std::map<std::optional<std::string>, OsRow> by_os_;
};

inline constexpr std::size_t kTopErrors = 10;

}  // namespace vyn::logview
