// Cost of the instance check as the launcher makes it (one process snapshot,
// the candidate checks and the mutex), with many unrelated processes running.
//
//   wine-run bin/vyn_instance_bench.exe [processes=200] [rounds=50]

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "process/instance_fixture_win.h"
#include "process/instance_guard.h"

int wmain(int argc, wchar_t** argv) {
  using namespace vyn;
  const int processes = argc > 1 ? std::max(0, _wtoi(argv[1])) : 200;
  const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 50;
  test::program_log_path();
  test::TempDir root;
  const std::wstring install = test::make_installation(root, L"inst");

  std::vector<test::RunningProcess> others;
  others.reserve(static_cast<std::size_t>(processes));
  for (int i = 0; i < processes; ++i)
    others.emplace_back(test::helper_exe_path(), L"--sleep-ms 600000");
  const std::size_t listed = snapshot_processes().size();

  // The snapshot alone, to tell the system's share from the checks and the log.
  std::vector<double> snapshot_ms;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const auto snapshot = snapshot_processes();
    snapshot_ms.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(snapshot_ms.begin(), snapshot_ms.end());

  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    {
      SingleInstanceGuard guard(install);
      if (guard.acquire() != InstanceCheckResult::Acquired) {
        std::fprintf(stderr, "round %d: the mutex was not acquired\n", i);
        return 1;
      }
    }
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("processes started: %d, listed in snapshot: %zu, rounds: %d\n", processes, listed,
              rounds);
  std::printf("snapshot alone: median %.3f ms\n", snapshot_ms[snapshot_ms.size() / 2]);
  std::printf("acquire + release: median %.3f ms, min %.3f ms, max %.3f ms\n", ms[ms.size() / 2],
              ms.front(), ms.back());
  return 0;
}
