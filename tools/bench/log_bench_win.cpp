// Throughput of the log writer with a real file installed: records per
// second from one and from four threads, and the median cost of one
// log_event. Prints figures; it is not a test.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "logger/log.h"
#include "logger/log_file.h"

namespace {

using Clock = std::chrono::steady_clock;

void burst(int count) {
  for (int i = 0; i < count; ++i)
    vyn::log_event(vyn::LogLevel::Info, "bench_record",
                   vyn::Fields{{"i", i}, {"text", "a typical field value of some length"}});
}

double records_per_second(int threads, int per_thread) {
  const auto start = Clock::now();
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back(burst, per_thread);
  for (auto& t : pool) t.join();
  const double secs = std::chrono::duration<double>(Clock::now() - start).count();
  return threads * per_thread / secs;
}

}  // namespace

int wmain() {
  wchar_t tmp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, tmp);
  const std::wstring path = std::wstring(tmp) + L"vyn-log-bench.log";
  DeleteFileW(path.c_str());
  vyn::init_log_context("bench", "3.0.0", GetCurrentProcessId());
  vyn::open_log_file(path);

  burst(1000);  // warm-up
  const double one = records_per_second(1, 50000);
  const double four = records_per_second(4, 25000);

  std::vector<double> costs;
  for (int i = 0; i < 20000; ++i) {
    const auto t0 = Clock::now();
    vyn::log_event(vyn::LogLevel::Info, "bench_single", vyn::Fields{{"i", i}});
    costs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::nth_element(costs.begin(), costs.begin() + costs.size() / 2, costs.end());
  std::printf("records/s, 1 thread : %.0f\n", one);
  std::printf("records/s, 4 threads: %.0f\n", four);
  std::printf("median log_event    : %.1f us\n", costs[costs.size() / 2]);
  DeleteFileW(path.c_str());
  return 0;
}
