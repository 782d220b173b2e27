#pragma once
// The fleet's figures from run rows: outcomes, time to ready, GPU fallback,
// integrity results, the most frequent error events and a breakdown by
// Windows release. Counts only, so it costs the same memory for ten logs or
// a million; times to ready are kept as a count per millisecond value, which
// gives exact percentiles within a bounded size.
//
// Percentiles are nearest-rank: of the n times in ascending order, pX is the
// one at position ceil(X * n / 100) (counting from 1). SQL's PERCENTILE_DISC
// gives the same value, so a data store reading the raw logs agrees.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "logview/runs.h"

namespace vyn::logview {

class Summary {
 public:
  void add(const RunRow& row);
  // What a file leaves besides its runs.
  void add_file(const RunSplitter& file);

  nlohmann::ordered_json to_json() const;
  std::string to_table() const;

 private:
  struct OsRow {
    std::uint64_t runs = 0, ready = 0, gpu_relaunched = 0, integrity_failed = 0;
  };

  std::optional<std::int64_t> percentile(unsigned pct) const;

  std::uint64_t files_ = 0, runs_ = 0, damaged_ = 0, launched_ = 0, relaunched_ = 0,
                relaunched_ready_ = 0, ready_timed_ = 0;
  std::map<std::string, std::uint64_t> outcomes_, integrity_, errors_;
  std::map<std::int64_t, std::uint64_t> ready_ms_;
  // Keyed by osRelease; none for runs without a machine description.
  std::map<std::optional<std::string>, OsRow> by_os_;
};

inline constexpr std::size_t kTopErrors = 10;

}  // namespace vyn::logview
