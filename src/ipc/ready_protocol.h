#pragma once
// What the boot pipe server makes of the bytes and errors it sees. Kept free
// of the Win32 shell so every rule of the exchange is checked directly.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vyn {

// The one read the server makes; anything beyond it is never looked at.
inline constexpr std::size_t kPipeReadBufferSize = 512;
// The answer to a ready signal: "OK\n", no terminating NUL.
inline constexpr std::string_view kReadyReply{"OK\n", 3};
// The word that marks the ready signal, matched exactly and case-sensitively.
inline constexpr std::string_view kReadyWord = "READY";

// Windows error codes the decisions below need, named here so this file stays
// free of <windows.h>.
inline constexpr std::uint32_t kErrorBrokenPipe = 109;

namespace pipe_signal {
struct ReadTimedOut {
  friend bool operator==(const ReadTimedOut&, const ReadTimedOut&) = default;
};
struct ReadFailed {
  std::uint32_t error = 0;  // the operating-system error code
  friend bool operator==(const ReadFailed&, const ReadFailed&) = default;
};
struct Message {
  std::string text;  // the decoded message, possibly empty
  friend bool operator==(const Message&, const Message&) = default;
};
struct CreateFailed {
  std::string error;  // "<message> (os error N)"
  friend bool operator==(const CreateFailed&, const CreateFailed&) = default;
};
struct WaitFailed {
  std::string error;  // "<message> (os error N)"
  friend bool operator==(const WaitFailed&, const WaitFailed&) = default;
};
struct Ready {
  friend bool operator==(const Ready&, const Ready&) = default;
};
}  // namespace pipe_signal

// The server's one report to the waiter.
using PipeSignal =
    std::variant<pipe_signal::ReadTimedOut, pipe_signal::ReadFailed, pipe_signal::Message,
                 pipe_signal::CreateFailed, pipe_signal::WaitFailed, pipe_signal::Ready>;

// The client's message (the bytes of the first read): Ready when its UTF-8
// decoding (invalid sequences as U+FFFD) contains READY anywhere, otherwise
// Message with the decoded text.
PipeSignal judge_message(std::string_view bytes);

// True for the error codes that mean a wait or an I/O ran out of time or was
// cancelled (ERROR_SEM_TIMEOUT, WAIT_TIMEOUT, ERROR_OPERATION_ABORTED, ...).
bool is_timeout_error(std::uint32_t code) noexcept;

// What a failed read means: a client that closed its end said nothing
// (an empty Message), a time-out is ReadTimedOut, anything else ReadFailed.
PipeSignal judge_read_failure(std::uint32_t code);

// The moment `wait` after `now`; nullopt when that lies beyond what the clock
// can represent, which means waiting without a deadline.
std::optional<std::chrono::steady_clock::time_point> deadline_after(
    std::chrono::steady_clock::time_point now, std::chrono::milliseconds wait) noexcept;

// The pipe's access rules in SDDL: a protected DACL granting full access to
// the given user SID (as "S-1-5-...") and to LocalSystem, and to no one else.
std::wstring boot_pipe_sddl(std::wstring_view user_sid);

}  // namespace vyn
