// vyn-logview: prints bootstrap.log as a timeline, one block per run.
// Usage: vyn-logview [path-to-bootstrap.log], vyn-logview --help,
// vyn-logview runs|summary PATH... for many logs at once,
// vyn-logview report --html FILE PATH... for a page of charts of them.
// On Windows, without a path it reads the current user's log, where the
// launcher writes it: %APPDATA%\VYN\logs\bootstrap.log.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "utils/win.h"
#endif

#include "logview/arguments.h"
#include "logview/fleet.h"
#include "logview/reading.h"
#include "logview/report.h"
#include "logview/summary.h"
#include "logview/timeline.h"

namespace {

#ifdef _WIN32
std::optional<std::wstring> env(const wchar_t* name) {
  const DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring value(n, L'\0');
  value.resize(::GetEnvironmentVariableW(name, value.data(), n));
  return value;
}

// The launcher's own choice of folder: APPDATA, else the roaming folder
// under the profile, else the current directory.
std::filesystem::path default_log() {
  std::filesystem::path root = L".";
  if (auto appdata = env(L"APPDATA")) {
    root = *appdata;
  } else if (auto profile = env(L"USERPROFILE")) {
    root = std::filesystem::path(*profile) / L"AppData" / L"Roaming";
  }
  return root / L"VYN" / L"logs" / L"bootstrap.log";
}

// Arguments arrive as UTF-16, so a log under a profile whose name the ANSI
// code page cannot spell still opens.
std::vector<std::string> arguments(int, char**) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::string> args;
  for (int i = 1; argv && i < argc; ++i) args.push_back(vyn::to_utf8(argv[i]));
  ::LocalFree(argv);
  return args;
}

std::optional<std::filesystem::path> log_path(const std::optional<std::string>& given) {
  if (!given) return default_log();
  return std::filesystem::path(vyn::to_wide(*given));
}

std::filesystem::path named_path(const std::string& given) {
  return std::filesystem::path(vyn::to_wide(given));
}
#else
std::vector<std::string> arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

// Elsewhere there is no user's log to fall back on.
std::optional<std::filesystem::path> log_path(const std::optional<std::string>& given) {
  if (!given) return std::nullopt;
  return std::filesystem::path(*given);
}

std::filesystem::path named_path(const std::string& given) { return given; }
#endif

// Rows go out as each log ends; the summary only counts them.
int read_fleet(const vyn::logview::ReadFleet& request) {
  using vyn::logview::ReadFleet;
  std::vector<std::filesystem::path> paths;
  for (const auto& p : request.paths) paths.push_back(named_path(p));
  vyn::logview::Summary summary({request.by, request.ready_within_ms});
  vyn::logview::Report report;
  vyn::logview::FleetSink sink;
  const auto wanted = [&](const vyn::logview::RunRow& row) {
    return vyn::logview::starts_within(row, request.since_ms, request.until_ms);
  };
  // Opened first: a page that cannot be written is known before any log is read.
  std::ofstream page;
  if (request.report == ReadFleet::Report::html) {
    page.open(named_path(request.html), std::ios::binary | std::ios::trunc);
    if (!page) {
      std::cerr << "vyn-logview: cannot write " << request.html << ": " << std::strerror(errno)
                << "\n";
      return 1;
    }
    sink.row = [&](vyn::logview::RunRow row) {
      if (wanted(row)) report.add(row);
    };
    sink.file_done = [&](const vyn::logview::RunSplitter& file) { report.add_file(file); };
  } else if (request.report == ReadFleet::Report::summary) {
    sink.row = [&](vyn::logview::RunRow row) {
      if (wanted(row)) summary.add(row);
    };
    sink.file_done = [&](const vyn::logview::RunSplitter& file) { summary.add_file(file); };
  } else {
    if (request.csv) std::cout << vyn::logview::csv_header();
    sink.row = [&](vyn::logview::RunRow row) {
      if (!wanted(row)) return;
      std::cout << (request.csv ? vyn::logview::row_csv(row) : vyn::logview::row_json(row));
    };
  }
  const bool all = vyn::logview::read_fleet(paths, sink, std::cerr);
  if (request.report == ReadFleet::Report::summary)
    std::cout << (request.json ? summary.to_json().dump(2) + "\n" : summary.to_table());
  if (request.report == ReadFleet::Report::html) {
    vyn::logview::write_report_html(page, report.to_json());
    page.close();
    if (!page) {
      std::cerr << "vyn-logview: cannot write " << request.html << "\n";
      return 1;
    }
  }
  return all ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The timeline is UTF-8; a console left at its OEM code page shows any
  // non-ASCII path or message as mojibake.
  ::SetConsoleOutputCP(CP_UTF8);
#endif
  const auto parsed = vyn::logview::parse_logview_arguments(arguments(argc, argv));
  if (const auto* exit = std::get_if<vyn::logview::ExitNow>(&parsed)) {
    std::cout << exit->out;
    std::cerr << exit->err;
    return exit->code;
  }
  if (const auto* fleet = std::get_if<vyn::logview::ReadFleet>(&parsed)) return read_fleet(*fleet);
  const std::optional<std::filesystem::path> path =
      log_path(std::get<vyn::logview::ReadLog>(parsed).path);
  if (!path) {
    std::cerr << "vyn-logview: name the log to read (see --help)\n";
    return vyn::logview::kUsageErrorExitCode;
  }
  std::optional<std::ifstream> in = vyn::logview::open_log(*path, std::cerr);
  if (!in) return 1;
  std::string head(vyn::logview::kEncodingProbeBytes, '\0');
  in->read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in->gcount()));
  const std::string problem = vyn::logview::encoding_problem(head);
  if (!problem.empty()) {
    const bool utf16 = vyn::logview::is_utf16(problem);
    std::cerr << "vyn-logview: " << vyn::logview::utf8(*path) << ": " << problem
              << (utf16 ? ", skipped\n" : "; read as far as it goes\n");
    if (utf16) return 1;
  }
  in->clear();
  in->seekg(0);
  vyn::logview::render_timeline(*in, std::cout);
  return 0;
}
