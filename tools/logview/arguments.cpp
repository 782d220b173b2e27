#include "logview/arguments.h"

#include <algorithm>
#include <sstream>

#include <CLI/CLI.hpp>

namespace vyn::logview {

std::variant<ReadLog, ReadFleet, ExitNow> parse_logview_arguments(std::vector<std::string> args) {
  CLI::App app{"Prints bootstrap.log as a timeline, one block per launcher run.", "vyn-logview"};
  std::string path;
  CLI::Option* given = app.add_option(
      "log", path, "The log to read; without it, the current user's log (on Windows)");
  ReadFleet runs, summary, report;
  summary.report = ReadFleet::Report::summary;
  report.report = ReadFleet::Report::html;
  constexpr const char* kPaths = "Logs, and folders searched for *.log files at any depth";
  CLI::App* runs_cmd = app.add_subcommand("runs", "One row per launcher run, as JSON lines");
  runs_cmd->add_option("paths", runs.paths, kPaths)->required();
  runs_cmd->add_flag("--csv", runs.csv, "CSV with a header line instead");
  CLI::App* summary_cmd =
      app.add_subcommand("summary", "Outcomes, time to ready and more over every run, as a table");
  summary_cmd->add_option("paths", summary.paths, kPaths)->required();
  summary_cmd->add_flag("--json", summary.json, "JSON instead");
  CLI::App* report_cmd = app.add_subcommand(
      "report", "One self-contained page of charts: outcomes per day, time to ready, integrity");
  report_cmd->add_option("--html", report.html, "The page to write")->required();
  report_cmd->add_option("paths", report.paths, kPaths)->required();
  // The parser takes its arguments last first.
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    return ExitNow{code == 0 ? 0 : kUsageErrorExitCode, out.str(), err.str()};
  }
  if (runs_cmd->parsed()) return runs;
  if (summary_cmd->parsed()) return summary;
  if (report_cmd->parsed()) return report;
  if (given->count() == 0) return ReadLog{};
  return ReadLog{path};
}

}  // namespace vyn::logview
