#pragma once
// The launcher's end of the boot pipe: one instance, one client, one exchange,
// one report.

#include <future>
#include <optional>
#include <string>

#include "ipc/ready_protocol.h"

namespace vyn {

// Instance buffers in each direction; far more than a ready signal needs.
inline constexpr unsigned long kPipeBufferSize = 65536;
// Lets the client take the "OK\n" before the pipe is disconnected under it.
inline constexpr unsigned long kReplySettleMs = 5;

// Who may open the pipe, as SDDL text; nullopt when that cannot be said.
using PipeAccessRules = std::optional<std::wstring> (*)();

// This process's user and LocalSystem (boot_pipe_sddl with the user's SID);
// nullopt when the process token cannot be read.
std::optional<std::wstring> owner_only_access_rules();

// The server thread body. Creates the only instance of the pipe (failing when
// any process holds the name already), reachable from this machine only and,
// by default, by this user and LocalSystem only; serves the first client;
// closes everything; then sends exactly one PipeSignal. Blocks without limit
// while no client connects or the client neither writes nor closes; the
// waiter's deadline is the only limit, and a report after it is simply not
// looked at.
void run_pipe_server(std::promise<PipeSignal> signal, std::wstring pipe_name,
                     PipeAccessRules access = owner_only_access_rules) noexcept;

}  // namespace vyn
