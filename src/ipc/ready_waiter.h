#pragma once
// Contract (owner: boot IPC). Keep these signatures; add freely.
#include <chrono>
#include <cstdint>
#include <future>
#include <optional>
#include <string>

namespace vyn {

inline constexpr std::chrono::milliseconds kReadyDeadline{120'000};
inline constexpr const wchar_t* kBootPipeName = L"\\\\.\\pipe\\VYN_BOOT";

// Present (the elapsed milliseconds) when the application said READY in time.
using ReadyOutcome = std::optional<std::uint64_t>;

// The waiter thread body: starts the pipe server, sends exactly one outcome
// (or drops the promise, which the receiver sees as "sender gone").
void wait_for_ready_signal(std::promise<ReadyOutcome> outcome,
                           std::chrono::milliseconds deadline = kReadyDeadline,
                           std::wstring pipe_name = kBootPipeName) noexcept;

}  // namespace vyn
