#pragma once
// Many logs at once: every log named or found in the folders named, read as
// a stream, each turned into run rows as it ends.

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "logview/runs.h"

namespace vyn::logview {

// A line longer than this is damage (the launcher's longest records, stderr
// batches, stay far below it); it is skipped without being held whole.
inline constexpr std::size_t kMaxLineBytes = 4 << 20;

struct FleetSink {
  std::function<void(RunRow)> row;
  std::function<void(const RunSplitter&)> file_done;
};

// Files named are read whatever their names; in folders (recursively), the
// files whose names end in ".log". Returns false when a path could not be
// read, after reporting it on `err` and reading the rest.
bool read_fleet(const std::vector<std::filesystem::path>& paths, const FleetSink& sink,
                std::ostream& err);

// One log's lines, from any stream.
void split_stream(std::istream& in, RunSplitter& splitter);

// The row as one JSON object on a line, or as CSV (the header first).
std::string row_json(const RunRow& row);
std::string csv_header();
std::string row_csv(const RunRow& row);

}  // namespace vyn::logview
