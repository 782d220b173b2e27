// Launch figures through the real binaries (prints figures; not a test):
//   1. pre-launch cost: "launcher_init" to "process_launch_success";
//   2. ready detection: the stand-in's READY write to "signal_received" and
//      to the exit event;
//   3. stderr drain: 256 MiB from the stand-in with the launcher draining
//      against stderr on NUL, and the launcher's peak working set against an
//      idle run;
//   4. with an old log of the given size (none by default): the whole run's
//      time and the launcher's peak working set, against the idle run.
// Usage: vyn_launch_bench [runs (20)] [drain MiB (256, 0: none)] [old log MiB (0)]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/harness_win.h"

namespace vyn::e2e {
namespace {

// Log and stand-in times are UTC with milliseconds; FILETIME ticks compare.
double ts_ms(const std::string& ts) {
  SYSTEMTIME st{};
  unsigned y, mo, d, h, mi, s, ms;
  if (std::sscanf(ts.c_str(), "%u-%u-%uT%u:%u:%u.%uZ", &y, &mo, &d, &h, &mi, &s, &ms) != 7)
    return 0;
  st.wYear = static_cast<WORD>(y);
  st.wMonth = static_cast<WORD>(mo);
  st.wDay = static_cast<WORD>(d);
  st.wHour = static_cast<WORD>(h);
  st.wMinute = static_cast<WORD>(mi);
  st.wSecond = static_cast<WORD>(s);
  st.wMilliseconds = static_cast<WORD>(ms);
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  return static_cast<double>((static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime) /
         10'000.0;
}

double event_ms(const RunResult& r, const char* name) {
  const auto e = r.events(name);
  return e.empty() ? -1 : ts_ms(e.front()["ts"].get<std::string>());
}

struct Stats {
  double median, min, max;
};

Stats stats(std::vector<double> v) {
  if (v.empty()) return {-1, -1, -1};
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v.front(), v.back()};
}

std::vector<Record> records_of(const std::wstring& path) {
  std::vector<Record> out;
  for (const std::string& line : test::split_lines(test::read_file(path))) {
    Record r = Record::parse(line, nullptr, false);
    if (r.is_object()) out.push_back(r);
  }
  return out;
}

std::string ascii(const std::wstring& w) { return std::string(w.begin(), w.end()); }

class Bench {
 public:
  Bench() {
    inst_.copy_program(L"VYN.exe", L"VYN.exe");
    Installation::unregister();
    inst_.register_install(L"bench-install");
  }
  ~Bench() { Installation::unregister(); }

  // Runs the launcher once with the stand-in playing `steps`, on a fresh log
  // unless `keep_log`.
  RunResult run(const std::string& steps, bool keep_log = false) {
    DeleteFileW(record_path().c_str());
    if (!keep_log) DeleteFileW(inst_.log_path().c_str());
    write_scenario(steps);
    return run_launcher(inst_, {.timeout_ms = 180'000});
  }

  // Runs the stand-in directly with its error output on NUL, or on a pipe
  // that a bare ReadFile loop drains; the time its steps took, in ms.
  double run_on_nul(const std::string& steps) { return run_direct(steps, false); }
  double run_on_bare_pipe(const std::string& steps) { return run_direct(steps, true); }

  double run_direct(const std::string& steps, bool pipe) {
    DeleteFileW(record_path().c_str());
    write_scenario(steps);
    const std::wstring exe = inst_.install_dir + L"\\VYN.exe";
    std::wstring cmd = quote_argument(exe);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = nul;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (pipe) {
      CreatePipe(&read_end, &write_end, &inherit, 64 * 1024);
      SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
      si.hStdError = write_end;
    }
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        inst_.install_dir.c_str(), &si, &pi))
      return -1;
    if (pipe) {
      CloseHandle(write_end);
      std::vector<char> buf(64 * 1024);
      DWORD got = 0;
      while (ReadFile(read_end, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr) &&
             got > 0) {
      }
      CloseHandle(read_end);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(nul);
    return steps_ms();
  }

  double steps_ms() const {
    for (const Record& r : records_of(record_path()))
      if (r["kind"] == "steps") return r["ms"].get<double>();
    return -1;
  }

  std::vector<Record> records() const { return records_of(record_path()); }

  // An old log of `mib` MiB of records that start no run, then 20 runs.
  void write_old_log(int mib) const {
    CreateDirectoryW((inst_.appdata + L"\\VYN").c_str(), nullptr);
    CreateDirectoryW((inst_.appdata + L"\\VYN\\logs").c_str(), nullptr);
    const std::string record = "{\"eventName\":\"x\",\"pad\":\"" + std::string(200, 'x') + "\"}\n";
    std::string log;
    while (log.size() < (static_cast<std::size_t>(mib) << 20)) log += record;
    for (int i = 0; i < 20; ++i) log += "{\"eventName\":\"launcher_init\"}\n" + record;
    test::write_file(inst_.log_path(), log);
  }

 private:
  std::wstring record_path() const { return inst_.root / L"bench-record.jsonl"; }
  void write_scenario(const std::string& steps) {
    Record scenario = Record::parse("{\"steps\":" + steps + "}");
    scenario["record"] = ascii(record_path());
    scenario["aliveMs"] = 0;
    test::write_file(inst_.install_dir + L"\\standin.json", scenario.dump());
  }

  Installation inst_;
};

void print(const char* what, const Stats& s, const char* unit) {
  std::printf("%-58s median %8.1f %s  (min %.1f, max %.1f)\n", what, s.median, unit, s.min, s.max);
}

int bench_main(int runs, int drain_mib, int old_log_mib) {
  Bench bench;

  std::vector<double> pre_launch;
  for (int i = 0; i < runs; ++i) {
    const RunResult r = bench.run(R"([{"pipe":"READY","delayMs":200}])");
    const double a = event_ms(r, "launcher_init"), b = event_ms(r, "process_launch_success");
    if (a > 0 && b > 0) pre_launch.push_back(b - a);
  }
  print("pre-launch: launcher_init -> process_launch_success", stats(pre_launch), "ms");

  // READY late enough that the machine description has ended: nothing else
  // is pending when the signal arrives.
  std::vector<double> to_signal, to_exit;
  for (int i = 0; i < runs; ++i) {
    const RunResult r = bench.run(R"([{"pipe":"READY","delayMs":4000}])");
    double sent = -1;
    for (const Record& rec : bench.records())
      if (rec["kind"] == "pipe" && rec.contains("sentAtTicks"))
        sent = rec["sentAtTicks"].get<double>() / 10'000.0;
    const double got = event_ms(r, "signal_received"), done = event_ms(r, "launcher_exit_on_ready");
    if (sent > 0 && got > 0 && done > 0) {
      to_signal.push_back(got - sent);
      to_exit.push_back(done - sent);
    }
  }
  print("ready: stand-in READY write -> signal_received", stats(to_signal), "ms");
  print("ready: stand-in READY write -> launcher_exit_on_ready", stats(to_exit), "ms");

  const RunResult idle = bench.run(R"([{"pipe":"READY","delayMs":200}])");
  const double idle_ws = static_cast<double>(idle.peak_working_set) / (1 << 20);
  std::printf("idle run: launcher peak working set %.2f MiB\n", idle_ws);

  for (int i = 0; i < (old_log_mib > 0 ? 3 : 0); ++i) {
    bench.write_old_log(old_log_mib);
    const ULONGLONG start = GetTickCount64();
    const RunResult r = bench.run(R"([{"pipe":"READY","delayMs":200}])", true);
    std::printf("old log %d MiB: run %llu ms, launcher peak working set %.2f MiB, %s\n",
                old_log_mib, GetTickCount64() - start,
                static_cast<double>(r.peak_working_set) / (1 << 20),
                r.has("launcher_exit_on_ready") ? "ready" : "NOT ready");
  }

  const std::uint64_t bytes = static_cast<std::uint64_t>(drain_mib) << 20;
  const std::string lines =
      "{\"stderrLines\":" + std::to_string(bytes / 100) + ",\"text\":\"l\",\"bytes\":100}";
  const std::string single = "{\"stderrLongLine\":" + std::to_string(bytes) + ",\"newline\":true}";
  for (const auto& [name, step] :
       {std::pair{"100-byte lines", lines}, {"one single line", single}}) {
    if (drain_mib == 0) break;
    const double nul_ms = bench.run_on_nul("[" + step + "]");
    const double bare_ms = bench.run_on_bare_pipe("[" + step + "]");
    const RunResult r = bench.run("[" + step + R"(,{"pipe":"READY"}])");
    const double drained_ms = bench.steps_ms();
    const double ws = static_cast<double>(r.peak_working_set) / (1 << 20);
    std::printf(
        "drain %d MiB, %s: on NUL %.0f ms, bare pipe loop %.0f ms, launcher draining %.0f ms; "
        "ratio to NUL %.2f, to the bare pipe %.2f; launcher peak working set %.2f MiB "
        "(growth %.2f MiB); exit %lu, %s\n",
        drain_mib, name, nul_ms, bare_ms, drained_ms, nul_ms / drained_ms, bare_ms / drained_ms, ws,
        ws - idle_ws, r.exit_code, r.has("launcher_exit_on_ready") ? "ready" : "NOT ready");
  }
  return 0;
}

}  // namespace
}  // namespace vyn::e2e

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
  const int mib = argc > 2 ? std::atoi(argv[2]) : 256;
  const int old_log_mib = argc > 3 ? std::atoi(argv[3]) : 0;
  return vyn::e2e::bench_main(runs, mib, old_log_mib);
}
