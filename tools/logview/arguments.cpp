#include "logview/arguments.h"

#include <algorithm>
#include <iterator>
#include <sstream>
#include <tuple>

#include <CLI/CLI.hpp>

#include "logview/runs.h"

namespace vyn::logview {

namespace {

constexpr std::string_view kMidnight = "T00:00:00.000Z";

// A day (UTC midnight) or a time in the launcher's own form.
std::optional<std::int64_t> moment(const std::string& text) {
  if (text.size() == 10) return epoch_ms(text + std::string(kMidnight));
  return epoch_ms(text);
}

}  // namespace

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
  std::string since[3], until[3];
  constexpr const char* kSince =
      "Only runs that started at or after this (YYYY-MM-DD, UTC, or "
      "YYYY-MM-DDTHH:MM:SS.mmmZ)";
  constexpr const char* kUntil = "Only runs that started before this (the same forms)";
  CLI::App* cmds[] = {runs_cmd, summary_cmd, report_cmd};
  for (int i = 0; i < 3; ++i) {
    cmds[i]->add_option("--since", since[i], kSince);
    cmds[i]->add_option("--until", until[i], kUntil);
  }
  summary_cmd->add_option("--by", summary.by, "Figures per group as well")
      ->check(
          CLI::IsMember(std::vector<std::string>(std::begin(kGroupings), std::end(kGroupings))));
  std::int64_t within = 0;
  CLI::Option* within_opt = summary_cmd->add_option(
      "--ready-within", within, "The share of starts that reached READY within this many ms");
  within_opt->check(CLI::NonNegativeNumber);
  // The parser takes its arguments last first.
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int code = app.exit(e, out, err);
    return ExitNow{code == 0 ? 0 : kUsageErrorExitCode, out.str(), err.str()};
  }
  if (within_opt->count()) summary.ready_within_ms = within;
  ReadFleet* requests[] = {&runs, &summary, &report};
  for (int i = 0; i < 3; ++i) {
    for (auto [text, slot, flag] : {std::tuple(&since[i], &requests[i]->since_ms, "--since"),
                                    std::tuple(&until[i], &requests[i]->until_ms, "--until")}) {
      if (text->empty()) continue;
      *slot = moment(*text);
      if (!*slot)
        return ExitNow{kUsageErrorExitCode, "",
                       std::string(flag) + ": " + *text +
                           " is neither YYYY-MM-DD nor YYYY-MM-DDTHH:MM:SS.mmmZ\n"};
    }
  }
  if (runs_cmd->parsed()) return runs;
  if (summary_cmd->parsed()) return summary;
  if (report_cmd->parsed()) return report;
  if (given->count() == 0) return ReadLog{};
  return ReadLog{path};
}

}  // namespace vyn::logview
