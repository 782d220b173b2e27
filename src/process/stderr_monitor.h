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

}  // namespace vyn
