#include "main/command_line.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include <CLI/CLI.hpp>

namespace vyn {

namespace {

constexpr std::string_view kOptionNames[] = {"--dev-mode", "-h", "--help", "-V", "--version"};
constexpr const char* kDevModeHelp = "Development mode flag (release build always uses VYN.exe)";
constexpr const char* kMainArgsHelp = "传递给主程序的其他参数";

bool is_known_option(std::string_view a) {
  return std::find(std::begin(kOptionNames), std::end(kOptionNames), a) != std::end(kOptionNames);
}

struct SeparatedArgs {
  std::vector<std::string> options;
  std::vector<std::string> values;
};

// Options count only before the first value to pass through; from that value
// on, everything belongs to the application, however it looks. The values
// never go through the parser, which would read one written as "[a,b]" as a
// list of two and "[]" as none, even after "--".
SeparatedArgs separate_passthrough(const std::vector<std::string>& args) {
  std::size_t i = 0;
  while (i < args.size() && is_known_option(args[i])) ++i;
  SeparatedArgs out;
  out.options.assign(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
  if (i < args.size() && args[i] == "--") ++i;
  out.values.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
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
  // Declared for the help text only; the values are taken as they are below.
  app.add_option("main_args", parsed.main_args, kMainArgsHelp);

  SeparatedArgs separated = separate_passthrough(args);
  std::reverse(separated.options.begin(), separated.options.end());

  std::ostringstream out, err;
  try {
    app.parse(separated.options);
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
    if (!separated.values.empty()) {
      parsed.main_args = std::move(separated.values);
    } else if (auto v = env("MAIN_ARGS")) {
      parsed.main_args.assign(1, *v);
    }
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, out, err);
    CommandLineExit exit{code == 0 ? 0 : kExitUsageError, out.str(), err.str()};
    return exit;
  }
  return parsed;
}

}  // namespace vyn
