#pragma once
// Internal faults (an exception escaping a thread body, a failed thread
// start, std::terminate, a structured exception) are not handled where they
// happen: they are recorded once as "launcher_error" and the faulting thread
// ends. Whoever owns the thread sees only what it no longer sends.

#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "logger/log.h"

namespace vyn {

// Exit code of a launcher whose main thread ended by an internal fault.
inline constexpr int kExitInternalFault = 101;

// The message of an exception, nullopt when it carries none.
std::optional<std::string> fault_message(const std::exception_ptr& e) noexcept;

// Routes std::terminate and unhandled structured exceptions to
// log_fault_handler, then ends the process with kExitInternalFault.
void install_fault_handlers() noexcept;

// Runs the body; a fault escaping it is logged and swallowed, so the thread
// ends normally from the runtime's point of view. Returns whether the body
// completed.
template <class F>
bool run_guarded(F&& body) noexcept {
  try {
    std::forward<F>(body)();
    return true;
  } catch (...) {
    log_fault_handler(fault_message(std::current_exception()));
    return false;
  }
}

// A thread whose body runs under run_guarded. Starting it may itself throw
// (std::system_error): that is a fault of the calling thread.
template <class F>
std::thread start_guarded_thread(F body) {
  return std::thread([b = std::move(body)]() mutable { run_guarded(b); });
}

}  // namespace vyn
