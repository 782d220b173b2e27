#pragma once
// The launcher's end of the boot pipe: one instance, one client, one exchange,
// one report.

#include <future>
#include <string>

#include "ipc/ready_protocol.h"

namespace vyn {

// Instance buffers in each direction; far more than a ready signal needs.
inline constexpr unsigned long kPipeBufferSize = 65536;
// Lets the client take the "OK\n" before the pipe is disconnected under it.
inline constexpr unsigned long kReplySettleMs = 5;

// The server thread body. Creates the only instance of the pipe (failing when
// any process holds the name already), reachable by this user and LocalSystem
// from this machine only; serves the first client; closes everything; then
// sends exactly one PipeSignal. Blocks without limit while no client
// connects or the client neither writes nor closes; the waiter's deadline is
// the only limit, and a report after it is simply not looked at.
void run_pipe_server(std::promise<PipeSignal> signal, std::wstring pipe_name) noexcept;

}  // namespace vyn
