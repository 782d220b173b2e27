// The machine description from facts and tool answers, with the tools
// replaced by canned output so every path runs on any host.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "logger/system_info/hidden_command.h"
#include "logger/system_info/system_info.h"

namespace vyn {
namespace {

using namespace std::chrono_literals;

const std::string kWmicTool(kWmic);
const std::string kGpuCmd = kWmicTool + " path win32_VideoController get name /format:list";
const std::string kCpuCmd = kWmicTool + " cpu get Name,Manufacturer,Architecture /format:list";
const std::string kMakerCmd = kWmicTool + " computersystem get Manufacturer /format:list";
const std::string kModelCmd = kWmicTool + " computersystem get Model /format:list";
const std::string kBatteryCmd = kWmicTool + " path Win32_Battery get Status /format:list";
const std::string kChassisCmd = kWmicTool + " systemenclosure get ChassisTypes /format:list";
const std::string kTouchCmd =
    kWmicTool + " path Win32_PnPEntity where Name like '%touch%' get Name /format:list";
const std::string kDigitizerScript =
    "Get-WmiObject -Class Win32_SystemMetrics | Where-Object {$_.Name -eq 'SM_DIGITIZER'} | "
    "Select-Object -ExpandProperty Value";
const std::string kDigitizerCmd =
    std::string(kPowerShell) + " -NoProfile -Command " + kDigitizerScript;
const std::string kTabletCmd =
    std::string(kReg) +
    " query HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\ImmersiveShell "
    "/v TabletMode /t REG_DWORD";

// Tools keyed by their command line (arguments joined by one space); a
// command without an entry behaves as a tool that cannot be started.
class FakeTools {
 public:
  std::map<std::string, std::string> outputs;
  std::chrono::milliseconds delay{0};

  CommandRunner runner() {
    return [this](const std::string& program, const std::vector<std::string>& args) {
      std::string line = program;
      for (const auto& a : args) line += " " + a;
      std::this_thread::sleep_for(delay);
      std::lock_guard lock(m_);
      calls_.push_back(line);
      const auto it = outputs.find(line);
      return it == outputs.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
  }
  std::vector<std::string> sorted_calls() {
    std::lock_guard lock(m_);
    auto c = calls_;
    std::sort(c.begin(), c.end());
    return c;
  }
  void forget_calls() {
    std::lock_guard lock(m_);
    calls_.clear();
  }

 private:
  std::mutex m_;
  std::vector<std::string> calls_;
};

std::string wmic_list(std::string_view property) {
  return "\r\r\n\r\r\n" + std::string(property) + "\r\r\n\r\r\n\r\r\n\r\r\n\r\r\n";
}

MachineFacts desk_facts() {
  MachineFacts f;
  f.os_release_source = "22631";
  f.cpu_brand = "  AMD Ryzen 7 5800X 8-Core Processor  ";
  f.logical_cpu_brands = {"AMD Ryzen 7 5800X 8-Core Processor"};
  f.logical_cpus = 16;
  f.total_memory_bytes = 34'282'393'600;  // 32694 MiB
  return f;
}

void fill_laptop_outputs(FakeTools& t) {
  t.outputs[kGpuCmd] =
      wmic_list("Name=NVIDIA GeForce GTX 1650") + wmic_list("Name=Intel(R) UHD Graphics 630");
  t.outputs[kCpuCmd] =
      "\r\r\n\r\r\nArchitecture=9\r\r\nManufacturer=GenuineIntel\r\r\n"
      "Name=Intel(R) Core(TM) i7-9750H CPU @ 2.60GHz\r\r\n\r\r\n\r\r\n\r\r\n";
  t.outputs[kMakerCmd] = wmic_list("Manufacturer=ASUSTeK COMPUTER INC.");
  t.outputs[kModelCmd] = wmic_list("Model=ROG Strix G531GT_G531GT");
  t.outputs[kBatteryCmd] = wmic_list("Status=OK");
  t.outputs[kChassisCmd] = wmic_list("ChassisTypes={10}");
  t.outputs[kTouchCmd] = "\r\r\n";
  t.outputs[kDigitizerCmd] = "0\r\n";
  t.outputs[kTabletCmd] =
      "\r\nHKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\ImmersiveShell\r\n"
      "    TabletMode    REG_DWORD    0x0\r\n\r\n";
}

TEST(SystemInfoFacts, MemoryText) {
  EXPECT_EQ(format_total_memory(8'589'934'592), "8.0GB");
  EXPECT_EQ(format_total_memory(536'870'912), "512MB");
  EXPECT_EQ(format_total_memory(1'073'741'823), "1023MB");
  EXPECT_EQ(format_total_memory(1'073'741'824), "1.0GB");
  EXPECT_EQ(format_total_memory(0), "0MB");
  EXPECT_EQ(format_total_memory(17'079'205'888), "15.9GB");  // 16288 MiB
  // Exact halves round to even, as printf does with the same quotient.
  EXPECT_EQ(format_total_memory(1280ull << 20), "1.2GB");
  EXPECT_EQ(format_total_memory(16128ull << 20), "15.8GB");
  EXPECT_EQ(format_total_memory(1'048'575ull << 20), "1024.0GB");
}

TEST(SystemInfoFacts, InstallDrive) {
  EXPECT_EQ(install_drive_of("D:\\Apps\\x"), "D:");
  EXPECT_EQ(install_drive_of("e:\\x"), "e:");
  EXPECT_EQ(install_drive_of("C:"), "C:");
  for (const char* none : {"\\\\server\\share\\x", "1:\\x", "D", "", ":\\", "\xC3\x84:\\x"})
    EXPECT_EQ(install_drive_of(none), std::nullopt) << none;
}

TEST(SystemInfoFacts, CpuModelFallsBackThroughTheBrands) {
  EXPECT_EQ(choose_cpu_model(" Intel(R) Core(TM) i5 ", {"other"}), "Intel(R) Core(TM) i5");
  EXPECT_EQ(choose_cpu_model("unknown", {"  Ryzen 5  "}), "Ryzen 5");
  EXPECT_EQ(choose_cpu_model("   ", {"Ryzen 5"}), "Ryzen 5");
  EXPECT_EQ(choose_cpu_model("", {"unknown"}), kUnknownCpu);
  EXPECT_EQ(choose_cpu_model("", {}), kUnknownCpu);
  EXPECT_EQ(choose_cpu_model("Unknown", {}), "Unknown");
}

TEST(SystemInfoFacts, OsReleaseFromTheBuildText) {
  EXPECT_EQ(os_release_from("19045"), "19045");
  EXPECT_EQ(os_release_from("Windows"), "Windows");
  EXPECT_EQ(os_release_from("10.0.22631 Build 22631"), "Windows 11");
  EXPECT_EQ(os_release_from("10.0 Build +22000 x"), "Windows 11");
  EXPECT_EQ(os_release_from("10.0 Build 21999"), "Windows 10");
  EXPECT_EQ(os_release_from("10.0 Build   22000"), "Windows 11");
  for (const char* ten : {"10.0", "10.0 Build ", "10.0 Build x22000", "10.0 Build 22000x",
                          "10.0 Build -22000", "10.0 Build 4294967296", "10.0 build 22631"})
    EXPECT_EQ(os_release_from(ten), "Windows 10") << ten;
}

TEST(SystemInfoFacts, RegistryTextIsUtf16WithoutTrailingNuls) {
  using namespace std::string_literals;
  EXPECT_EQ(text_from_registry_bytes("1\0"
                                     "9\0"
                                     "0\0"
                                     "4\0"
                                     "5\0"
                                     "\0\0"
                                     "\0\0"s),
            "19045");
  EXPECT_EQ(text_from_registry_bytes("2\0"
                                     "2\0"
                                     "\0"s),
            "22");  // odd byte dropped
  EXPECT_EQ(text_from_registry_bytes("\x00\xD8"
                                     "1\0"s),
            "\xEF\xBF\xBD"
            "1");
  EXPECT_EQ(text_from_registry_bytes(""), "");
}

TEST(SystemInfoFacts, DeviceTypeFallbackTable) {
  EXPECT_EQ(fallback_device_type(false, true, true), "Laptop/2-in-1 with Touch");
  EXPECT_EQ(fallback_device_type(false, true, false), "Laptop");
  EXPECT_EQ(fallback_device_type(false, false, true), "Desktop");
  EXPECT_EQ(fallback_device_type(false, false, false), "Desktop");
  EXPECT_EQ(fallback_device_type(true, true, true), "Tablet/2-in-1");
  EXPECT_EQ(fallback_device_type(true, true, false), "ARM Laptop");
  EXPECT_EQ(fallback_device_type(true, false, true), "ARM Desktop");
}

TEST(SystemInfoCommandLine, QuotesLikeTheRuntimeSplitsIt) {
  using S = std::vector<std::string>;
  EXPECT_EQ(build_command_line<char>("wmic", S{"path", "Win32_PnPEntity", "where",
                                               "Name like '%touch%'", "get", "Name"}),
            "wmic path Win32_PnPEntity where \"Name like '%touch%'\" get Name");
  EXPECT_EQ(build_command_line<char>("powershell", S{"-Command", kDigitizerScript}),
            "powershell -Command \"" + kDigitizerScript + "\"");
  EXPECT_EQ(build_command_line<char>("t", S{"", "a\"b", "c\\\"d", "e f\\", "g\\h", "\t"}),
            "t \"\" \"a\\\"b\" \"c\\\\\\\"d\" \"e f\\\\\" g\\h \"\t\"");
  EXPECT_EQ(kDigitizerScript.size(), 122u);
}

TEST(SystemInfoQueries, EachToolIsAskedWithItsExactCommandLine) {
  FakeTools tools;
  WmicCells cells;
  collect_system_info_with("C:\\x", desk_facts(), tools.runner(), cells);
  // Nothing starts, so the touch query stops after its first step.
  std::vector<std::string> expected = {kGpuCmd,     kCpuCmd,     kMakerCmd, kModelCmd,
                                       kBatteryCmd, kChassisCmd, kTouchCmd, kTabletCmd};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(tools.sorted_calls(), expected);
}

TEST(SystemInfoQueries, TouchSupportTakesTwoSteps) {
  FakeTools tools;
  EXPECT_EQ(query_touch_support(tools.runner()), std::nullopt);
  EXPECT_EQ(tools.sorted_calls(), std::vector<std::string>{kTouchCmd});

  tools.outputs[kTouchCmd] = wmic_list("Name=HID-compliant touch screen");
  tools.forget_calls();
  EXPECT_EQ(query_touch_support(tools.runner()), true);
  EXPECT_EQ(tools.sorted_calls().size(), 1u);

  tools.outputs[kTouchCmd] = "\r\r\n";
  EXPECT_EQ(query_touch_support(tools.runner()), std::nullopt);  // no PowerShell
  tools.outputs[kDigitizerCmd] = "2\r\n";
  EXPECT_EQ(query_touch_support(tools.runner()), true);
  tools.outputs[kDigitizerCmd] = "";
  EXPECT_EQ(query_touch_support(tools.runner()), false);
}

TEST(SystemInfoCollect, EveryMemberTakesItsFallbackWhenNoToolRuns) {
  FakeTools tools;
  WmicCells cells;
  MachineFacts facts;
  facts.cpu_brand = "unknown";
  const SystemInfo info =
      collect_system_info_with("\\\\server\\share\\VYN", facts, tools.runner(), cells);
  EXPECT_EQ(system_info_json(info).dump(),
            R"({"platform":"win32","osType":"Windows_NT","osRelease":"Windows","arch":"x64",)"
            R"("cpuModel":"Unknown CPU","cpuDetailedModel":"Unknown CPU","cores":0,)"
            R"("gpuInfo":null,"totalMemory":"0MB","installDir":"\\\\server\\share\\VYN",)"
            R"("installDrive":null,"userIsAdmin":false,"deviceType":"Desktop",)"
            R"("touchSupport":false,"batteryPresent":false,"systemManufacturer":null,)"
            R"("systemModel":null,"isArmDevice":false,"isTabletMode":null})");
}

TEST(SystemInfoCollect, RecordFromRealisticToolOutput) {
  FakeTools tools;
  fill_laptop_outputs(tools);
  WmicCells cells;
  const SystemInfo info =
      collect_system_info_with("E:\\Programs\\VYN", desk_facts(), tools.runner(), cells);
  EXPECT_EQ(
      system_info_json(info).dump(),
      R"({"platform":"win32","osType":"Windows_NT","osRelease":"22631","arch":"x64",)"
      R"("cpuModel":"AMD Ryzen 7 5800X 8-Core Processor",)"
      R"("cpuDetailedModel":"GenuineIntel Intel(R) Core(TM) i7-9750H CPU @ 2.60GHz",)"
      R"("cores":16,"gpuInfo":"Name=NVIDIA GeForce GTX 1650\r; Name=Intel(R) UHD Graphics 630\r",)"
      R"("totalMemory":"31.9GB","installDir":"E:\\Programs\\VYN","installDrive":"E:",)"
      R"("userIsAdmin":false,"deviceType":"Laptop","touchSupport":false,)"
      R"("batteryPresent":true,"systemManufacturer":"ASUSTeK COMPUTER INC.",)"
      R"("systemModel":"ROG Strix G531GT_G531GT","isArmDevice":false,"isTabletMode":false})");
}

TEST(SystemInfoCollect, WmicAnswersAreKeptButTabletModeIsAskedAgain) {
  FakeTools tools;
  fill_laptop_outputs(tools);
  WmicCells cells;
  collect_system_info_with("C:\\a", desk_facts(), tools.runner(), cells);
  tools.outputs.clear();
  tools.outputs[kTabletCmd] = "    TabletMode    REG_DWORD    0x1\r\n";
  tools.forget_calls();
  const SystemInfo again = collect_system_info_with("C:\\a", desk_facts(), tools.runner(), cells);
  EXPECT_EQ(tools.sorted_calls(), std::vector<std::string>{kTabletCmd});
  EXPECT_EQ(again.systemModel, "ROG Strix G531GT_G531GT");
  EXPECT_EQ(again.isTabletMode, true);

  // A fresh set of cells asks every tool again.
  WmicCells fresh;
  tools.forget_calls();
  EXPECT_EQ(collect_system_info_with("C:\\a", desk_facts(), tools.runner(), fresh).systemModel,
            std::nullopt);
  EXPECT_EQ(tools.sorted_calls().size(), 8u);
}

TEST(SystemInfoCollect, QueriesRunAtTheSameTime) {
  FakeTools tools;
  fill_laptop_outputs(tools);
  tools.delay = 200ms;
  WmicCells cells;
  const auto start = std::chrono::steady_clock::now();
  collect_system_info_with("C:\\a", desk_facts(), tools.runner(), cells);
  const auto wall = std::chrono::steady_clock::now() - start;
  // Nine tool runs one after another would take 1.8 s; the slowest query
  // (touch, two runs) takes 0.4 s.
  EXPECT_EQ(tools.sorted_calls().size(), 9u);
  EXPECT_GE(wall, 400ms);
  EXPECT_LT(wall, 1200ms);
}

TEST(SystemInfoCollect, ConcurrentCollectionsRunEachWmicQueryOnce) {
  FakeTools tools;
  fill_laptop_outputs(tools);
  tools.delay = 50ms;
  WmicCells cells;
  std::thread other(
      [&] { collect_system_info_with("C:\\a", desk_facts(), tools.runner(), cells); });
  collect_system_info_with("C:\\a", desk_facts(), tools.runner(), cells);
  other.join();
  // Seven wmic queries plus PowerShell once, and the registry tool twice.
  EXPECT_EQ(tools.sorted_calls().size(), 10u);
}

TEST(SystemInfoRecord, LauncherEnvMasksTheProfileAndTakesANullPid) {
  SystemInfo info;
  info.installDir = "C:\\Users\\mei\\AppData\\Local\\Programs\\VYN";
  const Fields f = launcher_env_fields(std::nullopt, info, std::string("C:\\Users\\mei"));
  EXPECT_TRUE(f.at("mainPid").is_null());
  EXPECT_EQ(f.at("env").at("installDir"), "C:\\Users\\<USER>\\AppData\\Local\\Programs\\VYN");
  EXPECT_EQ(f.begin().key(), "mainPid");
  EXPECT_EQ(f.at("env").size(), 19u);

  const Fields g = launcher_env_fields(4321u, info, std::nullopt);
  EXPECT_EQ(g.at("mainPid"), 4321);
  EXPECT_EQ(g.at("env").at("installDir"), info.installDir);
}

}  // namespace
}  // namespace vyn
