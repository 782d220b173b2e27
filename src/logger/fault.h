#pragma once
// Internal faults (an exception escaping a thread body, a failed thread
// start, std::terminate, a structured exception) are not handled where they
// happen: they are recorded once as "launcher_error" and the faulting thread
// ends. Whoever owns the thread sees only what it no longer sends.

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "logger/log.h"

namespace vyn {

// Exit code of a launcher whose main thread ended by an internal fault.
inline constexpr int kExitInternalFault = 101;

// The message of an exception, nullopt when it carries none.
std::optional<std::string> fault_message(const std::exception_ptr& e) noexcept;

// How long a crashed thread waits for its record to be written before the
// process ends without it.
inline constexpr std::chrono::milliseconds kFaultRecordWait{2'000};
// Stack every thread keeps back so that a stack overflow can still be
// reported.
inline constexpr unsigned long kFaultStackGuarantee = 64 * 1024;

// Routes std::terminate and unhandled structured exceptions to the record
// of log_fault_handler, then ends the process with kExitInternalFault. The
// crashed thread does none of the writing: its stack may be spent and it may
// hold the log's lock or the heap's, so a thread made here writes the record
// and the crashed one waits at most `record_wait` for it. From here on every
// new thread keeps kFaultStackGuarantee for its own stack overflow, and the
// calling thread ending on its own (a fault no handler saw) ends the process
// the same way, within `record_wait` too, its record saying "panic". Called
// once, by the main thread.
void install_fault_handlers(std::chrono::milliseconds record_wait = kFaultRecordWait) noexcept;

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

}  // namespace vyn
