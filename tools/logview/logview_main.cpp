// vyn-logview: prints bootstrap.log as a timeline, one block per run.
// Usage: vyn-logview [path-to-bootstrap.log]
// On Windows, without a path it reads the current user's log, where the
// launcher writes it: %APPDATA%\VYN\logs\bootstrap.log.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include "logview/timeline.h"

namespace {

constexpr const char* kUsage = "usage: vyn-logview [bootstrap.log]\n";

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

// Paths arrive as UTF-16, so a log under a profile whose name the ANSI code
// page cannot spell still opens.
std::optional<std::filesystem::path> log_path_from_command_line() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::optional<std::filesystem::path> path;
  if (argv && argc == 2) path = std::filesystem::path(argv[1]);
  if (argv && argc == 1) path = default_log();
  ::LocalFree(argv);
  return path;
}
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argv;
  (void)argc;
  const std::optional<std::filesystem::path> path = log_path_from_command_line();
  // The timeline is UTF-8; a console left at its OEM code page shows any
  // non-ASCII path or message as mojibake.
  ::SetConsoleOutputCP(CP_UTF8);
#else
  std::optional<std::filesystem::path> path;
  if (argc == 2) path = std::filesystem::path(argv[1]);
#endif
  if (!path) {
    std::cerr << kUsage;
    return 2;
  }
  std::ifstream in(*path, std::ios::binary);
  if (!in) {
    const std::u8string shown = path->u8string();
    std::cerr << "vyn-logview: cannot open " << std::string(shown.begin(), shown.end()) << "\n";
    return 1;
  }
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::cout << vyn::logview::render_timeline(log);
  return 0;
}
