#include "ipc/ready_waiter.h"

#include <variant>

#include "ipc/pipe_server.h"
#include "logger/detached_thread_win.h"
#include "logger/fault.h"
#include "logger/log.h"
#include "utils/win.h"

namespace vyn {

namespace {

inline constexpr const char* kTransport = "named_pipe";

// What the server's report means to the start-up sequence; nullopt for "no
// report", which is the time-out.
std::optional<PipeSignal> receive(std::future<PipeSignal>& signal,
                                  std::chrono::milliseconds deadline) {
  const auto until = deadline_after(std::chrono::steady_clock::now(), deadline);
  if (until) {
    if (signal.wait_until(*until) != std::future_status::ready) return std::nullopt;
  } else {
    signal.wait();
  }
  try {
    return signal.get();
  } catch (const std::future_error&) {
    return std::nullopt;  // the server thread ended without reporting
  }
}

}  // namespace

void wait_for_ready_signal(std::promise<ReadyOutcome> outcome, std::chrono::milliseconds deadline,
                           std::wstring pipe_name) noexcept {
  // A fault (the server thread failing to start) ends this thread with the
  // outcome unsent; the start-up sequence sees the promise broken.
  run_guarded([&] {
    const auto start = std::chrono::steady_clock::now();
    const std::string endpoint = to_utf8(pipe_name);

    ReadyOutcome result;
    {
      std::promise<PipeSignal> signal_sender;
      std::future<PipeSignal> signal = signal_sender.get_future();
      start_detached_thread([sender = std::move(signal_sender), name = pipe_name]() mutable {
        run_pipe_server(std::move(sender), std::move(name));
      });

      const std::optional<PipeSignal> report = receive(signal, deadline);
      if (!report) {
        log_event(LogLevel::Error, "signal_timeout",
                  Fields{{"transport", kTransport},
                         {"endpoint", endpoint},
                         {"timeoutMs", static_cast<std::int64_t>(deadline.count())}});
      } else if (std::holds_alternative<pipe_signal::Ready>(*report)) {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        const std::uint64_t ms =
            elapsed.count() > 0 ? static_cast<std::uint64_t>(elapsed.count()) : 0;
        log_event(LogLevel::Info, "signal_received",
                  Fields{{"transport", kTransport}, {"endpoint", endpoint}, {"elapsedMs", ms}});
        result = ms;
      }
      // Any other report ends the wait at once: the server has logged what
      // deserves a line, and no second client is awaited.
    }
    outcome.set_value(result);
  });
}

}  // namespace vyn
