#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vyn {

struct Args {
  bool dev_mode = false;
  // Handed to the application after its marker argument, one element per
  // child argument; the GPU relaunch appends to it.
  std::vector<std::string> main_args;
};

// The command line asked the launcher to end at once: help or version (code
// 0, text for standard output) or a usage error (code 2, text for standard
// error).
struct CommandLineExit {
  int code = 0;
  std::string out;
  std::string err;
};

inline constexpr int kExitUsageError = 2;
inline constexpr std::string_view kCommandName = "VYN_Launcher";
inline constexpr std::string_view kCommandVersion = "0.1.0";
inline constexpr std::string_view kCommandDescription = "VYN Desktop Application Launcher";

// Looks up an environment variable as UTF-8; nullopt when it is not set (or
// not valid Unicode).
using EnvLookup = std::function<std::optional<std::string>(std::string_view)>;

// `args` are the launcher's arguments without the program itself.
std::variant<Args, CommandLineExit> parse_command_line(const std::vector<std::string>& args,
                                                       const EnvLookup& env);

}  // namespace vyn
