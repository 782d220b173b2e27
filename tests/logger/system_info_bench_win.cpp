// How long one machine description takes against its slowest query, with
// stand-in tools that sleep known times and with the machine's own tools.
// Usage: vyn_sysinfo_bench [runs]   (prints a small table)

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "logger/system_info/system_info.h"
#include "standin_tools_win.h"

namespace {

using Clock = std::chrono::steady_clock;
using vyn::CommandRunner;

struct Query {
  const char* name;
  const wchar_t* stub_key;
  DWORD stub_sleep_ms;
  std::function<void(const CommandRunner&)> run;
};

const std::vector<Query> kQueries = {
    {"gpu_names", L"GPU", 300, [](const CommandRunner& r) { vyn::query_gpu_names(r); }},
    {"cpu_details", L"CPU", 400, [](const CommandRunner& r) { vyn::query_cpu_details(r); }},
    {"system_manufacturer", L"MAKER", 200,
     [](const CommandRunner& r) { vyn::query_system_manufacturer(r); }},
    {"system_model", L"MODEL", 250, [](const CommandRunner& r) { vyn::query_system_model(r); }},
    {"battery_present", L"BATTERY", 150,
     [](const CommandRunner& r) { vyn::query_battery_present(r); }},
    {"chassis_device_type", L"CHASSIS", 500,
     [](const CommandRunner& r) { vyn::query_chassis_device_type(r); }},
    // The stand-in's touch device list is empty, so PowerShell runs too.
    {"touch_support", L"TOUCH", 350, [](const CommandRunner& r) { vyn::query_touch_support(r); }},
    {"tablet_mode", L"REG", 100, [](const CommandRunner& r) { vyn::query_tablet_mode(r); }},
};
constexpr DWORD kStubPowerShellMs = 350;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void measure(const char* title, const CommandRunner& run, int runs) {
  std::printf("%s\n", title);
  double slowest = 0, sum = 0;
  const char* slowest_name = "";
  for (const auto& q : kQueries) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
      const auto start = Clock::now();
      q.run(run);
      t.push_back(ms_since(start));
    }
    const double m = median(t);
    std::printf("  %-20s %8.0f ms\n", q.name, m);
    sum += m;
    if (m > slowest) slowest = m, slowest_name = q.name;
  }
  const vyn::MachineFacts facts = vyn::read_machine_facts();
  std::vector<double> walls;
  for (int i = 0; i < runs; ++i) {
    vyn::WmicCells cells;  // fresh, so every query really runs
    const auto start = Clock::now();
    vyn::collect_system_info_with("C:\\VYN", facts, run, cells);
    walls.push_back(ms_since(start));
  }
  const double wall = median(walls);
  std::printf("  sum of queries       %8.0f ms\n", sum);
  std::printf("  slowest (%s) %8.0f ms\n", slowest_name, slowest);
  std::printf("  whole collection     %8.0f ms   (median of %d; min %.0f, max %.0f)\n", wall, runs,
              *std::min_element(walls.begin(), walls.end()),
              *std::max_element(walls.begin(), walls.end()));
  std::printf("  collection / slowest %8.2f\n\n", wall / slowest);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  for (const auto& q : kQueries)
    ::SetEnvironmentVariableW((std::wstring(L"VYN_STUB_SLEEP_MS_") + q.stub_key).c_str(),
                              std::to_wstring(q.stub_sleep_ms).c_str());
  ::SetEnvironmentVariableW(L"VYN_STUB_SLEEP_MS_POWERSHELL",
                            std::to_wstring(kStubPowerShellMs).c_str());
  // The stand-in tools live in a folder beside this program.
  const std::wstring tools = vyn::join_path(
      vyn::parent_path(std::wstring_view(vyn::test::stand_in_tool_path())), L"stand-in-tools");
  if (!vyn::test::place_stand_in_tools(tools)) {
    std::printf("cannot lay out the stand-in tools\n");
    return 1;
  }
  measure("stand-in tools (sleeps 100-500 ms; touch = two runs of 350 ms)",
          vyn::hidden_command_runner(tools), runs);
  measure("the machine's own tools", vyn::hidden_command_runner(), runs);
  return 0;
}
