// Fuzzer-made argument lists and environments through the command-line
// parser. It must never throw or crash, and its answer must follow the
// launcher's rules: options only before the first passed-through value, "--"
// dropped only there, a repeated "--dev-mode" or a DEV_MODE other than
// "true" or "false" a usage error (code 2, text on standard error), help and
// version code 0 with text on standard output, the variables used only when
// the command line leaves their argument out.
//
// Input: NUL-separated pieces. The first two give DEV_MODE and MAIN_ARGS: a
// piece that starts with "=" sets the variable to the rest, any other leaves
// it unset. The remaining pieces are the arguments.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "main/command_line.h"

namespace {

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "command line: %s\n", broken);
  std::abort();
}

std::optional<std::string> variable(const std::string& piece) {
  if (piece.empty() || piece.front() != '=') return std::nullopt;
  return piece.substr(1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces = vyn::fuzz::split_at_nul(input);
  pieces.resize(std::max<std::size_t>(pieces.size(), 2));
  const std::optional<std::string> dev_mode_var = variable(pieces[0]);
  const std::optional<std::string> main_args_var = variable(pieces[1]);
  const std::vector<std::string> args(pieces.begin() + 2, pieces.end());

  bool unexpected_lookup = false;
  const vyn::EnvLookup env = [&](std::string_view name) -> std::optional<std::string> {
    if (name == "DEV_MODE") return dev_mode_var;
    if (name == "MAIN_ARGS") return main_args_var;
    unexpected_lookup = true;
    return std::nullopt;
  };

  std::variant<vyn::Args, vyn::CommandLineExit> result;
  try {
    result = vyn::parse_command_line(args, env);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "command line: threw %s\n", e.what());
    std::abort();
  } catch (...) {
    require(false, "threw something that is not an exception");
  }
  require(!unexpected_lookup, "looked up a variable that is none of its own");

  // What the rules say about these arguments.
  std::size_t options = 0, dev_mode_flags = 0;
  bool help_or_version = false;
  for (; options < args.size(); ++options) {
    const std::string& a = args[options];
    if (a == "--dev-mode") {
      ++dev_mode_flags;
    } else if (a == "-h" || a == "--help" || a == "-V" || a == "--version") {
      help_or_version = true;
    } else {
      break;
    }
  }
  std::vector<std::string> values(args.begin() + static_cast<std::ptrdiff_t>(options), args.end());
  if (!values.empty() && values.front() == "--") values.erase(values.begin());

  if (const auto* exit = std::get_if<vyn::CommandLineExit>(&result)) {
    require(exit->code == 0 || exit->code == vyn::kExitUsageError, "an unknown exit code");
    // Help and version answer before the environment is looked at.
    require(!help_or_version || dev_mode_flags > 1 || exit->code == 0,
            "help or version asked for but a usage error given");
    if (exit->code == 0) {
      require(help_or_version, "an orderly exit without help or version");
      require(!exit->out.empty() && exit->err.empty(), "help or version not on standard output");
    } else {
      const bool bad_variable = dev_mode_flags == 0 && dev_mode_var && *dev_mode_var != "true" &&
                                *dev_mode_var != "false";
      require(dev_mode_flags > 1 || bad_variable, "a usage error for a valid command line");
      require(exit->out.empty() && !exit->err.empty(), "a usage error not on standard error");
    }
    return 0;
  }

  const vyn::Args& parsed = std::get<vyn::Args>(result);
  require(!help_or_version, "help or version asked for but parsed on");
  require(dev_mode_flags <= 1, "a repeated --dev-mode accepted");
  if (dev_mode_flags == 1) {
    require(parsed.dev_mode, "--dev-mode given but not set");
  } else {
    require(!dev_mode_var || *dev_mode_var == "true" || *dev_mode_var == "false",
            "an invalid DEV_MODE accepted");
    require(parsed.dev_mode == (dev_mode_var == "true"), "dev mode not taken from DEV_MODE");
  }
  if (!values.empty()) {
    require(parsed.main_args == values, "the passed-through values changed");
  } else if (main_args_var) {
    require(parsed.main_args == std::vector<std::string>{*main_args_var},
            "MAIN_ARGS not passed as one value");
  } else {
    require(parsed.main_args.empty(), "values passed that nobody gave");
  }
  return 0;
}
