#pragma once
// The machine description written once per run as "launcher_env". The
// record and the collection logic are platform-neutral; the tools are run and
// the system facts read through the hooks at the bottom, whose Windows side is
// in system_info_win.cpp and hidden_command_win.cpp.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logger/record.h"
#include "logger/system_info/hidden_command.h"

namespace vyn {

// Members in the order the record is written.
struct SystemInfo {
  std::string platform{"win32"};
  std::string osType{"Windows_NT"};
  std::string osRelease;
  std::string arch{"x64"};
  std::string cpuModel;
  std::string cpuDetailedModel;
  std::uint32_t cores = 0;
  std::optional<std::string> gpuInfo;
  std::string totalMemory;
  std::string installDir;
  std::optional<std::string> installDrive;
  bool userIsAdmin = false;
  std::string deviceType;
  bool touchSupport = false;
  bool batteryPresent = false;
  std::optional<std::string> systemManufacturer;
  std::optional<std::string> systemModel;
  bool isArmDevice = false;
  std::optional<bool> isTabletMode;
};

// The launcher is only built for x86-64.
inline constexpr std::string_view kBuildArch = "x64";
inline constexpr std::string_view kUnknownCpu = "Unknown CPU";
inline constexpr std::string_view kUnknownOsRelease = "Windows";

// What the system itself says, read in process before the tools run.
struct MachineFacts {
  std::string os_release_source{kUnknownOsRelease};  // CurrentBuildNumber as read
  std::string cpu_brand;                             // the processor as a whole
  std::vector<std::string> logical_cpu_brands;       // one per logical processor
  std::uint32_t logical_cpus = 0;
  std::uint64_t total_memory_bytes = 0;
};

// "512MB" below 1 GiB, else gibibytes with one decimal ("15.9GB").
std::string format_total_memory(std::uint64_t bytes);

// "D:" for a path on a lettered drive (letter case kept), else nullopt.
std::optional<std::string> install_drive_of(std::string_view install_dir);

// The brand of the whole processor, else of the first logical one, else
// kUnknownCpu; a blank brand or "unknown" does not count.
std::string choose_cpu_model(std::string_view whole, const std::vector<std::string>& logical);

// The build number as it stands; a text that carries a "10.0 ... Build N"
// version is told apart as Windows 10 or 11 by N.
std::string os_release_from(std::string_view build_text);

// A registry value's bytes read as UTF-16 whatever its type, with trailing
// NULs removed and invalid units replaced.
std::string text_from_registry_bytes(std::string_view bytes);

// The guess from the hardware when the chassis says nothing useful.
std::string fallback_device_type(bool is_arm, bool battery, bool touch);

// The record as its ordered JSON object, members in declaration order.
Fields system_info_json(const SystemInfo& info);

// The fields of "launcher_env": "mainPid" (null without a child) and "env",
// whose "installDir" has `user_profile` masked as every logged path is.
Fields launcher_env_fields(std::optional<std::uint32_t> main_pid, const SystemInfo& info,
                           const std::optional<std::string>& user_profile);

// Runs one tool, named by its file below the tools folder, with its
// arguments (UTF-8) and returns its standard output, or nullopt when it
// could not be started or was given up.
using CommandRunner = std::function<std::optional<std::string>(
    const std::string& tool, const std::vector<std::string>& args)>;

// The tools, where Windows keeps them below its system folder.
inline constexpr std::string_view kWmic = "wbem\\WMIC.exe";
inline constexpr std::string_view kPowerShell = "WindowsPowerShell\\v1.0\\powershell.exe";
inline constexpr std::string_view kReg = "reg.exe";

// The eight queries, each asking its tool once through `run`.
std::optional<std::string> query_gpu_names(const CommandRunner& run);
std::optional<std::string> query_cpu_details(const CommandRunner& run);
std::optional<std::string> query_system_manufacturer(const CommandRunner& run);
std::optional<std::string> query_system_model(const CommandRunner& run);
bool query_battery_present(const CommandRunner& run);
std::optional<std::string> query_chassis_device_type(const CommandRunner& run);
std::optional<bool> query_touch_support(const CommandRunner& run);
std::optional<bool> query_tablet_mode(const CommandRunner& run);

// A value computed at most once, even when several threads ask at the same
// time (the later ones wait for the first). It stays empty only when the
// computation failed by an exception.
template <class T>
class SetOnceCell {
 public:
  template <class F>
  const std::optional<T>& get_or_compute(F&& compute) {
    std::call_once(once_, [&] { value_.emplace(std::forward<F>(compute)()); });
    return value_;
  }

 private:
  std::once_flag once_;
  std::optional<T> value_;
};

// The wmic answers, which do not change while the process runs.
struct WmicCells {
  SetOnceCell<std::optional<std::string>> gpu_names;
  SetOnceCell<std::optional<std::string>> cpu_details;
  SetOnceCell<std::optional<std::string>> system_manufacturer;
  SetOnceCell<std::optional<std::string>> system_model;
  SetOnceCell<bool> battery_present;
  SetOnceCell<std::optional<std::string>> chassis_device_type;
  SetOnceCell<std::optional<bool>> touch_support;
};

// The cells the launcher's own collections share.
WmicCells& process_wmic_cells();

// The record from the facts and the queries' answers: the eight queries run
// at the same time (wmic ones only while their cell is empty) and all of them
// have ended when this returns.
SystemInfo collect_system_info_with(std::string install_dir, const MachineFacts& facts,
                                    const CommandRunner& run, WmicCells& cells);

// --- Windows side -----------------------------------------------------------

// The thread body of the machine-description thread: the system's facts, the
// real tools and the process-wide cells.
SystemInfo collect_system_info(std::wstring install_dir);

// launcher_env_fields with the current "USERPROFILE".
Fields launcher_env_fields(std::optional<std::uint32_t> main_pid, const SystemInfo& info);

// CurrentBuildNumber read from the registry, turned into the release text.
std::string os_release_text();

// Processor brands and count, memory size and the build number.
MachineFacts read_machine_facts();

// A CommandRunner over run_hidden_command that starts each tool from
// `tools_folder` and from nowhere else; no search is made, which a program
// planted in the current folder, beside the launcher or on PATH would win.
CommandRunner hidden_command_runner(std::wstring tools_folder,
                                    std::chrono::milliseconds time_limit = kToolTimeLimit);
// The same over the system folder, the tools' only home in production;
// without one, no tool is started.
CommandRunner hidden_command_runner();

}  // namespace vyn
