#include <windows.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "logger/detached_thread_win.h"
#include "logger/fault.h"
#include "logger/log.h"
#include "process/stderr_collector.h"
#include "process/stderr_monitor.h"

namespace vyn {

namespace {

// The pipe is read through a buffer of this size.
constexpr DWORD kReadBufferSize = 65536;
// A handle that keeps failing would otherwise be retried for ever at full
// speed; after this many failures in a row it counts as ended.
constexpr int kMaxConsecutiveReadFailures = 16;

MonotonicTime monotonic_now() { return std::chrono::steady_clock::now(); }

void report(std::vector<StderrEvent> events, std::uint32_t main_pid) {
  for (StderrEvent& e : events) {
    switch (e.kind) {
      case StderrEventKind::Batch:
      case StderrEventKind::Overflow:
      case StderrEventKind::Final:
        log_stderr_batch(stderr_event_name(e.kind), e.entries, main_pid);
        break;
      case StderrEventKind::GpuFailure:
        gpu_failure_flag().store(true, std::memory_order_relaxed);
        log_event(LogLevel::Error, stderr_event_name(e.kind),
                  Fields{{"message", std::move(e.message)}});
        break;
      case StderrEventKind::Finished:
        log_event(LogLevel::Verbose, stderr_event_name(e.kind),
                  Fields{{"mainPid", main_pid},
                         {"totalLinesProcessed", e.total_lines},
                         {"overflowDetected", e.overflow}});
        break;
    }
  }
}

// A monitor's collector, shared with the main thread's final flush.
struct MonitorState {
  explicit MonitorState(std::uint32_t pid) : collector(monotonic_now()), main_pid(pid) {}
  std::mutex lock;
  StderrCollector collector;
  const std::uint32_t main_pid;
};

// Never destroyed: detached monitors may still run while the process ends.
struct MonitorRegistry {
  std::mutex lock;
  std::vector<std::weak_ptr<MonitorState>> monitors;
};

MonitorRegistry& registry() {
  static MonitorRegistry* const r = new MonitorRegistry;
  return *r;
}

std::shared_ptr<MonitorState> register_monitor(std::uint32_t main_pid) {
  auto state = std::make_shared<MonitorState>(main_pid);
  MonitorRegistry& r = registry();
  std::lock_guard guard(r.lock);
  std::erase_if(r.monitors, [](const auto& w) { return w.expired(); });
  r.monitors.push_back(state);
  return state;
}

}  // namespace

std::atomic<bool>& gpu_failure_flag() noexcept {
  static std::atomic<bool> flag{false};
  return flag;
}

void run_stderr_monitor(UniqueHandle pipe, std::uint32_t main_pid) noexcept {
  try {
    const std::shared_ptr<MonitorState> state = register_monitor(main_pid);
    StderrCollector& collector = state->collector;
    // On a pipe a successful read of nothing is a writer's empty write, not
    // the end (that is ERROR_BROKEN_PIPE); on anything else it is the end.
    const bool is_pipe = ::GetFileType(pipe.get()) == FILE_TYPE_PIPE;
    std::vector<char> buffer(kReadBufferSize);
    int failures = 0;
    for (;;) {
      DWORD got = 0;
      const BOOL ok = ::ReadFile(pipe.get(), buffer.data(), kReadBufferSize, &got, nullptr);
      const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
      std::lock_guard guard(state->lock);
      if (ok || error == ERROR_MORE_DATA) {
        failures = 0;
        if (got == 0) {
          if (!is_pipe) break;
          continue;
        }
        collector.feed(std::string_view(buffer.data(), got), monotonic_now());
      } else if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) {
        break;
      } else {
        collector.read_failed(monotonic_now());
        if (++failures >= kMaxConsecutiveReadFailures) break;
      }
      report(collector.take_events(), main_pid);
    }
    pipe.reset();
    std::lock_guard guard(state->lock);
    collector.finish(monotonic_now());
    report(collector.take_events(), main_pid);
  } catch (...) {
    log_fault_handler(fault_message(std::current_exception()));
  }
}

void flush_stderr_monitors() noexcept {
  try {
    std::vector<std::shared_ptr<MonitorState>> live;
    {
      MonitorRegistry& r = registry();
      std::lock_guard guard(r.lock);
      for (const auto& w : r.monitors)
        if (auto s = w.lock()) live.push_back(std::move(s));
    }
    for (const auto& state : live) {
      std::lock_guard guard(state->lock);
      state->collector.flush_pending(monotonic_now());
      report(state->collector.take_events(), state->main_pid);
    }
  } catch (...) {
    // A lock that cannot be taken costs these entries only.
  }
}

void start_stderr_monitor(UniqueHandle pipe, std::uint32_t main_pid) {
  if (!pipe) return;
  start_detached_thread(
      [p = std::move(pipe), main_pid]() mutable { run_stderr_monitor(std::move(p), main_pid); });
}

}  // namespace vyn
