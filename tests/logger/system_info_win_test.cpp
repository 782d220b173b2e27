// The machine description against real processes: the runner with a
// stand-in tool (vyn_sysinfo_stub.exe, by its full path or as every tool of a
// stand-in tools folder), and one collection with the machine's own tools.

#include <windows.h>

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <chrono>
#include <iostream>

#include "logger/system_info/hidden_command.h"
#include "logger/system_info/output_parse.h"
#include "logger/system_info/system_info.h"
#include "standin_tools_win.h"
#include "support/temp_dir_win.h"
#include "utils/win.h"

namespace vyn {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::wstring kStub = test::stand_in_tool_path();

// The stand-in as every tool, for the whole program.
const std::wstring& stand_in_tools() {
  static const test::TempDir folder;
  static const bool placed = test::place_stand_in_tools(folder.path());
  EXPECT_TRUE(placed);
  return folder.path();
}

// Sets an environment variable for the children started during one test.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name), old_(get_env(name)) {
    ::SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedEnv() { ::SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const wchar_t* name_;
  std::optional<std::wstring> old_;
};

// Processes whose program file's path starts with `prefix`.
int running_from(const std::wstring& prefix) {
  UniqueHandle snap(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  int n = 0;
  for (BOOL ok = ::Process32FirstW(snap.get(), &e); ok; ok = ::Process32NextW(snap.get(), &e)) {
    UniqueHandle p(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID));
    wchar_t image[MAX_PATH * 2];
    DWORD size = MAX_PATH * 2;
    if (p && ::QueryFullProcessImageNameW(p.get(), 0, image, &size) &&
        _wcsnicmp(image, prefix.c_str(), prefix.size()) == 0)
      ++n;
  }
  return n;
}

bool under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

TEST(HiddenCommand, CapturesStandardOutputOnly) {
  EXPECT_EQ(run_hidden_command(kStub, {L"stderr"}), "out");
  // Standard input is the null device: read at once to its end.
  EXPECT_EQ(run_hidden_command(kStub, {L"stdin"}), "0");
  EXPECT_EQ(run_hidden_command(kStub, {L"bad-utf8"}), "ok \xEF\xBF\xBD\xEF\xBF\xBD end");
}

TEST(HiddenCommand, ArgumentsArriveAsGiven) {
  const std::vector<std::wstring> args = {
      L"echo",
      L"Name like '%touch%'",
      L"Get-WmiObject -Class Win32_SystemMetrics | Where-Object {$_.Name -eq 'SM_DIGITIZER'}",
      L"",
      L"a\"b",
      L"tail\\",
      L"C:\\Program Files\\x\\",
      L"\u00e9\u4e2d"};
  std::string expected;
  for (std::size_t i = 1; i < args.size(); ++i) expected += to_utf8(args[i]) + "\n";
  EXPECT_EQ(run_hidden_command(kStub, args), expected);
}

TEST(HiddenCommand, OutputLargerThanThePipeIsReadWhileTheToolRuns) {
  const auto out = run_hidden_command(kStub, {L"flood", L"3000000"}, 5s);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), 3'000'000u);
}

TEST(HiddenCommand, OnlyAnExistingProgramByItsFullPathIsStarted) {
  EXPECT_EQ(run_hidden_command(kStub + L".missing.exe", {L"echo", L"x"}), std::nullopt);
  // Beside this program, where a search would look first.
  EXPECT_EQ(run_hidden_command(L"vyn_sysinfo_stub.exe", {L"echo", L"x"}), std::nullopt);
}

TEST(HiddenCommand, AToolOverItsTimeLimitIsTerminated) {
  const auto start = Clock::now();
  EXPECT_EQ(run_hidden_command(kStub, {L"sleep", L"30000"}, 700ms), std::nullopt);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 700ms);
  EXPECT_LT(took, 5s);
  EXPECT_EQ(running_from(kStub), 0);
  // Within the limit the same tool is fine.
  EXPECT_EQ(run_hidden_command(kStub, {L"sleep", L"100"}, 5s), "slept");
}

TEST(SystemInfoStandIn, QueriesRunConcurrentlyThroughRealProcesses) {
  ScopedEnv sleep(L"VYN_STUB_SLEEP_MS", L"800");
  WmicCells cells;
  const auto start = Clock::now();
  const SystemInfo info = collect_system_info_with("D:\\Apps\\VYN", read_machine_facts(),
                                                   hidden_command_runner(stand_in_tools()), cells);
  const auto wall = Clock::now() - start;
  // The touch query runs two tools in turn, 1.6 s; all nine in a row: 7.2 s.
  EXPECT_GE(wall, 1600ms);
  EXPECT_LT(wall, 4000ms);
  EXPECT_EQ(info.cpuDetailedModel, "GenuineIntel Intel(R) Core(TM) i7-9750H CPU @ 2.60GHz");
  EXPECT_EQ(info.gpuInfo, "Name=NVIDIA GeForce GTX 1650\r; Name=Intel(R) UHD Graphics 630\r");
  EXPECT_EQ(info.deviceType, "Laptop");
  EXPECT_TRUE(info.batteryPresent);
  EXPECT_FALSE(info.touchSupport);
  EXPECT_EQ(info.systemManufacturer, "ASUSTeK COMPUTER INC.");
  EXPECT_EQ(info.isTabletMode, true);
  EXPECT_EQ(info.installDrive, "D:");
}

TEST(SystemInfoStandIn, AHungToolCostsOnlyItsOwnMember) {
  ScopedEnv hung(L"VYN_STUB_SLEEP_MS_MODEL", L"30000");
  WmicCells cells;
  const auto start = Clock::now();
  const SystemInfo info = collect_system_info_with(
      "C:\\VYN", read_machine_facts(), hidden_command_runner(stand_in_tools(), 1500ms), cells);
  EXPECT_LT(Clock::now() - start, 6s);
  EXPECT_EQ(info.systemModel, std::nullopt);
  EXPECT_EQ(info.systemManufacturer, "ASUSTeK COMPUTER INC.");
  EXPECT_EQ(running_from(stand_in_tools()), 0);
}

// Tools planted in the current folder and on PATH are never started: the
// folder given lacks every tool, so each member takes the fallback of a
// tool that cannot be started; and by default the system's own tools answer.
TEST(SystemInfoStandIn, ToolsPlantedInTheCurrentFolderOrOnPathAreNeverRun) {
  const test::TempDir planted, empty;
  for (const char* name : {"wmic.exe", "reg.exe", "powershell.exe"})
    ASSERT_TRUE(test::place_stand_in(planted.path(), name));
  wchar_t previous[MAX_PATH];
  ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH, previous), 0u);
  ASSERT_TRUE(::SetCurrentDirectoryW(planted.path().c_str()));
  {
    ScopedEnv path(L"PATH", planted.path() + L";" + get_env(L"PATH").value_or(L""));
    WmicCells cells;
    const SystemInfo info = collect_system_info_with("C:\\VYN", read_machine_facts(),
                                                     hidden_command_runner(empty.path()), cells);
    EXPECT_EQ(info.cpuDetailedModel, info.cpuModel);
    EXPECT_EQ(info.gpuInfo, std::nullopt);
    EXPECT_EQ(info.systemModel, std::nullopt);
    EXPECT_FALSE(info.batteryPresent);
    EXPECT_EQ(info.isTabletMode, std::nullopt);
    EXPECT_NE(query_system_model(hidden_command_runner()), "ROG Strix G531GT_G531GT");
  }
  ::SetCurrentDirectoryW(previous);
}

TEST(SystemInfoOnThisMachine, RecordFromTheRealTools) {
  const auto start = Clock::now();
  const SystemInfo info = collect_system_info(L"D:\\Apps\\VYN");
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  const Fields env = launcher_env_fields(1234u, info).at("env");
  std::cout << "collection took " << ms.count() << " ms: " << env.dump() << "\n";

  const std::vector<std::string> order = {
      "platform",           "osType",      "osRelease",   "arch",         "cpuModel",
      "cpuDetailedModel",   "cores",       "gpuInfo",     "totalMemory",  "installDir",
      "installDrive",       "userIsAdmin", "deviceType",  "touchSupport", "batteryPresent",
      "systemManufacturer", "systemModel", "isArmDevice", "isTabletMode"};
  std::vector<std::string> keys;
  for (auto it = env.begin(); it != env.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, order);

  EXPECT_EQ(env["platform"], "win32");
  EXPECT_EQ(env["osRelease"], os_release_text());
  EXPECT_FALSE(info.osRelease.empty());
  EXPECT_NE(info.cpuModel, "");
  EXPECT_EQ(info.cores, ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  EXPECT_TRUE(info.totalMemory.ends_with("GB") || info.totalMemory.ends_with("MB"));
  EXPECT_NE(info.totalMemory, "0MB");
  EXPECT_EQ(env["installDir"], "D:\\Apps\\VYN");
  EXPECT_EQ(env["installDrive"], "D:");
  EXPECT_TRUE(env["cores"].is_number_unsigned());
  for (const char* b : {"userIsAdmin", "touchSupport", "batteryPresent", "isArmDevice"})
    EXPECT_TRUE(env[b].is_boolean()) << b;
  for (const char* t : {"gpuInfo", "systemManufacturer", "systemModel"})
    EXPECT_TRUE(env[t].is_string() || env[t].is_null()) << t;
  EXPECT_TRUE(env["isTabletMode"].is_boolean() || env["isTabletMode"].is_null());

  if (!under_wine()) return;
  // Wine's wmic answers in UTF-16 tables whatever format is asked for, so no
  // property line is found and every wmic member takes its fallback. Its
  // PowerShell is a stub that prints nothing: touch support is false.
  EXPECT_EQ(info.cpuDetailedModel, info.cpuModel);
  EXPECT_EQ(info.gpuInfo, std::nullopt);
  EXPECT_EQ(info.deviceType, "Desktop");
  EXPECT_FALSE(info.touchSupport);
  EXPECT_EQ(query_touch_support(hidden_command_runner()), false);
}

TEST(SystemInfoOnThisMachine, TouchHasNoAnswerWithoutPowerShell) {
  // The real wmic, and a PowerShell that is not installed.
  const CommandRunner real = hidden_command_runner();
  const CommandRunner no_powershell = [&real](const std::string& program,
                                              const std::vector<std::string>& args) {
    return real(program == kPowerShell ? "vyn_no_such_powershell" : program, args);
  };
  if (auto devices =
          real(std::string(kWmic), {"path", "Win32_PnPEntity", "where", "Name like '%touch%'",
                                    "get", "Name", "/format:list"});
      devices && has_touch_device(*devices))
    GTEST_SKIP() << "this machine has a touch device; PowerShell is never asked";
  EXPECT_EQ(query_touch_support(no_powershell), std::nullopt);
  WmicCells cells;
  EXPECT_FALSE(
      collect_system_info_with("C:\\VYN", read_machine_facts(), no_powershell, cells).touchSupport);
}

}  // namespace
}  // namespace vyn
