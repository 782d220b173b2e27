#pragma once
// Contract (owner: stderr monitor). Keep these signatures; add freely.
#include <atomic>
#include <cstdint>

#include "utils/win.h"

namespace vyn {

// Set by any monitor that sees the GPU failure report; cleared by the
// start-up sequence before the first launch.
std::atomic<bool>& gpu_failure_flag() noexcept;

// Starts a detached thread running run_stderr_monitor; nothing when the pipe
// is empty.
void start_stderr_monitor(UniqueHandle pipe, std::uint32_t main_pid);

// The thread body: reads the pipe until it ends, logs batches, sets the flag.
void run_stderr_monitor(UniqueHandle pipe, std::uint32_t main_pid) noexcept;

// Logs what every running monitor has read but not yet written (a young
// batch waits for the next line or the end of the output, which may come
// after the launcher has gone). Called once the launcher is about to end.
void flush_stderr_monitors() noexcept;

}  // namespace vyn
