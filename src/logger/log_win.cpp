#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "logger/append_lock_win.h"
#include "logger/log.h"

namespace vyn {

namespace {

// The process-wide state is published once through atomics and never freed:
// threads that are still logging while the process ends must not find it
// destroyed, and once set it is read without a lock.
struct LogSink {
  HANDLE file;
  std::timed_mutex append_lock;
  // False after a wait for the cross-process lock ran out: someone holds
  // it for far longer than any append takes, so later records wait only
  // briefly until one of them gets it again.
  // Atomic because a crash record may be appended without append_lock.
  std::atomic<bool> lock_patient{true};
};

std::atomic<const LogIdentity*> g_identity{nullptr};
std::atomic<std::uint32_t> g_process_id{0};  // 0 is never a user process id
std::atomic<LogSink*> g_sink{nullptr};
std::once_flag g_identity_once;

const LogIdentity& current_identity() {
  static const LogIdentity kUnset{};
  const LogIdentity* id = g_identity.load(std::memory_order_acquire);
  return id ? *id : kUnset;
}

FileTimeTicks precise_now() {
  FILETIME ft;
  ::GetSystemTimePreciseAsFileTime(&ft);
  return (static_cast<FileTimeTicks>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

// The caller holds append_lock, or has given up on it for a crash record,
// which waits no longer than `longest_wait` for the cross-process lock either.
void append_line_unlocked(LogSink& sink, const std::string& line,
                          std::chrono::milliseconds longest_wait = kLogAppendLockWait) {
  // One WriteFile per record, placed at the end as a whole: FILE_APPEND_DATA
  // on Windows, and the cross-process lock where that is not enough.
  const LogAppendLock across_processes(sink.file,
                                       sink.lock_patient.load(std::memory_order_relaxed)
                                           ? longest_wait
                                           : std::min(longest_wait, kLogAppendLockImpatientWait));
  sink.lock_patient.store(across_processes.held(), std::memory_order_relaxed);
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    if (!::WriteFile(sink.file, p, chunk, &written, nullptr) || written == 0) return;
    p += written;
    left -= written;
  }
}

void append_line(LogSink& sink, const std::string& line) {
  std::lock_guard lock(sink.append_lock);
  append_line_unlocked(sink, line);
}

std::uint32_t recorded_process_id() {
  const std::uint32_t pid = g_process_id.load(std::memory_order_acquire);
  return pid != 0 ? pid : ::GetCurrentProcessId();
}

Fields fault_fields(std::optional<std::string_view> message) {
  Fields fields = Fields::object();
  fields["error"] = message ? std::string(*message) : std::string("panic");
  return fields;
}

}  // namespace

Fields build_log_record(LogLevel level, std::string_view event_name, const Fields& fields) {
  return build_log_record(level, event_name, fields, current_identity(), precise_now());
}

void write_log_record(const Fields& record) noexcept {
  LogSink* sink = g_sink.load(std::memory_order_acquire);
  if (!sink) return;
  const std::string line =
      serialize_log_line(record, recorded_process_id(), ::GetCurrentThreadId());
  if (line.empty()) return;
  try {
    append_line(*sink, line);
  } catch (...) {
    // A mutex that cannot be locked loses this record, nothing more.
  }
}

void log_event(LogLevel level, std::string_view event_name, Fields fields) noexcept {
  try {
    write_log_record(build_log_record(level, event_name, fields));
  } catch (...) {
    // Out of memory while building: the record is lost.
  }
}

void log_stderr_batch(std::string_view event_name, const std::vector<std::string>& lines,
                      std::uint32_t main_pid) noexcept {
  try {
    Fields fields = Fields::object();
    fields["mainPid"] = main_pid;
    fields["stderrLogs"] = lines;
    log_event(LogLevel::Info, event_name, std::move(fields));
  } catch (...) {
  }
}

void init_log_context(std::string install_id, std::string launcher_version,
                      std::uint32_t process_id) noexcept {
  try {
    std::call_once(g_identity_once, [&] {
      g_identity.store(new LogIdentity{std::move(install_id), std::move(launcher_version)},
                       std::memory_order_release);
      std::uint32_t expected = 0;
      g_process_id.compare_exchange_strong(expected, process_id, std::memory_order_acq_rel);
    });
  } catch (...) {
  }
}

void install_log_sink(void* file_handle) noexcept {
  const HANDLE h = static_cast<HANDLE>(file_handle);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  LogSink* fresh = nullptr;
  try {
    fresh = new LogSink{h, {}, {true}};
  } catch (...) {
    ::CloseHandle(h);
    return;
  }
  LogSink* expected = nullptr;
  if (!g_sink.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    ::CloseHandle(h);
    delete fresh;
  }
}

void log_fault_handler(std::optional<std::string_view> message) noexcept {
  try {
    log_event(LogLevel::Error, "launcher_error", fault_fields(message));
  } catch (...) {
  }
}

void log_fault_for_thread(std::optional<std::string_view> message, std::uint32_t thread_id,
                          std::chrono::milliseconds lock_wait) noexcept {
  try {
    LogSink* sink = g_sink.load(std::memory_order_acquire);
    if (!sink) return;
    const std::string line = serialize_log_line(
        build_log_record(LogLevel::Error, "launcher_error", fault_fields(message)),
        recorded_process_id(), thread_id);
    if (line.empty()) return;
    std::unique_lock lock(sink->append_lock, std::defer_lock);
    // A holder that is alive after all is appending too; each append still
    // lands at the end as a whole on Windows, and the process ends next.
    static_cast<void>(lock.try_lock_for(lock_wait));
    append_line_unlocked(*sink, line, lock_wait);
  } catch (...) {
  }
}

}  // namespace vyn
