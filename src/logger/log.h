#pragma once
// The log writer every part of the launcher reports through. Logging is best
// effort: no call here fails towards its caller or throws.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logger/record.h"

namespace vyn {

// Builds the record (outside any lock) and appends it as one line.
void log_event(LogLevel level, std::string_view event_name,
               Fields fields = Fields::object()) noexcept;

// build_log_record with the current identity and the precise system time.
Fields build_log_record(LogLevel level, std::string_view event_name, const Fields& fields);

// Appends one record (processId and threadId added to objects) when a log file
// is installed; otherwise does nothing.
void write_log_record(const Fields& record) noexcept;

// "mainPid" then "stderrLogs" (the lines as texts), at Info.
void log_stderr_batch(std::string_view event_name, const std::vector<std::string>& lines,
                      std::uint32_t main_pid) noexcept;

// Set-once: the first call wins, later ones change nothing.
void init_log_context(std::string install_id, std::string launcher_version,
                      std::uint32_t process_id) noexcept;

// Makes the open file (a Win32 HANDLE) the log; when one is installed already,
// closes the given handle instead.
void install_log_sink(void* file_handle) noexcept;

// Records an internal fault as "launcher_error" with the fault's message, or
// "panic" when it has none. Nothing else: the caller decides what ends.
void log_fault_handler(std::optional<std::string_view> message) noexcept;

// Longest wait of a crash record for the log's lock before it is written
// without it.
inline constexpr std::chrono::milliseconds kFaultLogLockWait{200};

// log_fault_handler on behalf of the crashed thread `thread_id`, which the
// record names. The crashed thread may hold the log's lock and never let go,
// so once `lock_wait` has passed the record is appended without the lock.
void log_fault_for_thread(std::optional<std::string_view> message, std::uint32_t thread_id,
                          std::chrono::milliseconds lock_wait = kFaultLogLockWait) noexcept;

}  // namespace vyn
