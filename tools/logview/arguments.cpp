#include "logview/arguments.h"

#include <algorithm>
#include <sstream>

#include <CLI/CLI.hpp>

namespace vyn::logview {

std::variant<ReadLog, ExitNow> parse_logview_arguments(std::vector<std::string> args) {
  CLI::App app{"Prints bootstrap.log as a timeline, one block per launcher run.", "vyn-logview"};
  std::string path;
  CLI::Option* given = app.add_option(
      "log", path, "The log to read; without it, the current user's log (on Windows)");
  // The parser takes its arguments last first.
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    return ExitNow{code == 0 ? 0 : kUsageErrorExitCode, out.str(), err.str()};
  }
  if (given->count() == 0) return ReadLog{};
  return ReadLog{path};
}

}  // namespace vyn::logview
