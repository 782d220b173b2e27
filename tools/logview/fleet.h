#pragma once
// Many logs at once: every log named or found in the folders named, read as
// a stream, each turned into run rows as it ends.

#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "logview/reading.h"
#include "logview/runs.h"

namespace vyn::logview {

struct FleetSink {
  std::function<void(RunRow)> row;
  std::function<void(const RunSplitter&)> file_done;
};

// Files named are read whatever their names; in folders (recursively), the
// files whose names end in ".log". Returns false when a path could not be
// read (a UTF-16 log included), after naming it on `err` with the reason and
// reading the rest. Lines beyond the cap and text that is not UTF-8 are
// named on `err` too, but the log is read.
bool read_fleet(const std::vector<std::filesystem::path>& paths, const FleetSink& sink,
                std::ostream& err);

// One log's lines, from any stream. Returns how many were beyond the cap.
std::size_t split_stream(std::istream& in, RunSplitter& splitter);

// Whether the run started in [since, until); without a start, only when
// neither is given.
bool starts_within(const RunRow& row, std::optional<std::int64_t> since_ms,
                   std::optional<std::int64_t> until_ms);

// The row as one JSON object on a line, or as CSV (the header first). CSV
// is made safe to open in a spreadsheet: a text cell that begins with "=",
// "+", "-", "@", a tab or a carriage return gets a leading "'" (so it is no
// formula), and control characters are escaped as in JSON ("\n", "\u001b").
std::string row_json(const RunRow& row);
std::string csv_header();
std::string row_csv(const RunRow& row);

}  // namespace vyn::logview
