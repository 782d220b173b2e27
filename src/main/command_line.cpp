#include "main/command_line.h"

#include <algorithm>
#include <sstream>

#include <CLI/CLI.hpp>

namespace vyn {

namespace {

constexpr std::string_view kOptionNames[] = {"--dev-mode", "-h", "--help", "-V", "--version"};
constexpr const char* kDevModeHelp = "Development mode flag (release build always uses VYN.exe)";
constexpr const char* kMainArgsHelp = "传递给主程序的其他参数";

bool is_known_option(std::string_view a) {
  return std::find(std::begin(kOptionNames), std::end(kOptionNames), a) != std::end(kOptionNames);
}

// Options count only before the first value to pass through; from that value
// on, everything belongs to the application, however it looks. Putting "--"
// in front of that tail lets the parser take it as positional values without
// judging them.
std::vector<std::string> separate_passthrough(const std::vector<std::string>& args) {
  std::size_t i = 0;
  while (i < args.size() && is_known_option(args[i])) ++i;
  std::vector<std::string> out(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
  if (i < args.size() && args[i] == "--") ++i;
  if (i < args.size()) {
    out.emplace_back("--");
    out.insert(out.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
  }
  return out;
}

}  // namespace

std::variant<Args, CommandLineExit> parse_command_line(const std::vector<std::string>& args,
                                                       const EnvLookup& env) {
  CLI::App app{std::string(kCommandDescription), std::string(kCommandName)};
  app.set_version_flag("-V,--version",
                       std::string(kCommandName) + " " + std::string(kCommandVersion));
  app.footer(
      "Environment:\n"
      "  DEV_MODE   true or false, used when --dev-mode is not given\n"
      "  MAIN_ARGS  one argument for the application, used when none is given");

  Args parsed;
  bool dev_mode_flag = false;
  CLI::Option* dev_mode = app.add_flag("--dev-mode", dev_mode_flag, kDevModeHelp)
                              ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  CLI::Option* main_args = app.add_option("main_args", parsed.main_args, kMainArgsHelp);

  std::vector<std::string> reversed = separate_passthrough(args);
  std::reverse(reversed.begin(), reversed.end());

  std::ostringstream out, err;
  try {
    app.parse(reversed);
    parsed.dev_mode = dev_mode_flag;
    if (dev_mode->count() == 0) {
      if (auto v = env("DEV_MODE")) {
        if (*v == "true")
          parsed.dev_mode = true;
        else if (*v == "false")
          parsed.dev_mode = false;
        else
          throw CLI::ValidationError("DEV_MODE", "must be true or false, not '" + *v + "'");
      }
    }
    if (main_args->count() == 0) {
      if (auto v = env("MAIN_ARGS")) parsed.main_args.assign(1, *v);
    }
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    CommandLineExit exit{code == 0 ? 0 : kExitUsageError, out.str(), err.str()};
    return exit;
  }
  return parsed;
}

}  // namespace vyn
