#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vyn {

// Pause between two looks at the ready channel and the child.
inline constexpr std::chrono::milliseconds kReadyPollInterval{200};
// Time the running application gets to come forward before the launcher ends.
inline constexpr std::chrono::milliseconds kActivationSettleDelay{500};

// The version the log reports (the command line's --version is another).
inline constexpr std::string_view kLauncherLogVersion = "3.0.0";

// The launcher's start-up sequence from parsing to exit; returns the process
// exit code. Internal faults escape as exceptions to the entry point.
int run_launcher();

// The entry point's frame around the sequence: a fault that escapes `body`
// has unwound it (every owner on the way released what it held) and is
// recorded as "launcher_error"; the exit code is then kExitInternalFault.
int run_reporting_faults(const std::function<int()>& body) noexcept;

// The process's arguments split by the Windows rules, as UTF-8, without the
// program itself.
std::vector<std::string> process_arguments();

// Loads the library and asks for per-monitor DPI awareness; each of the three
// ways this can fail is logged as "launcher_dpi_setup_failed". The names are
// parameters so the failures can be reached on a machine where it works.
void setup_dpi_awareness(const char* library = "user32.dll",
                         const char* function = "SetProcessDpiAwarenessContext");

}  // namespace vyn
