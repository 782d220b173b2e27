#include <windows.h>

#include <algorithm>
#include <atomic>
#include <exception>

#include "logger/fault.h"

namespace vyn {

namespace {

// The writer builds and appends one record; this is ample for it.
constexpr SIZE_T kReporterStackSize = 256 * 1024;
// The watchdog only waits and ends the process.
constexpr SIZE_T kWatchdogStackSize = 64 * 1024;
constexpr char kStructuredPrefix[] = "structured exception 0x";
constexpr std::size_t kStructuredPrefixSize = sizeof kStructuredPrefix - 1;
constexpr std::size_t kHexDigits = 8;

// Everything a crash needs, made before any crash and never freed.
struct FaultReporter {
  HANDLE request = nullptr;  // set once the message is in place; stays set
  HANDLE written = nullptr;  // set by the writer when the record is out
  HANDLE watched = nullptr;  // the installing thread, which must not end alone
  DWORD watched_id = 0;
  DWORD writer_thread = 0;
  DWORD record_wait_ms = 0;
  // Filled by the first crashed thread before it sets `request`.
  DWORD crashed_thread = 0;
  std::optional<std::string_view> message;
  char structured_text[kStructuredPrefixSize + kHexDigits] = {};
};

FaultReporter g_reporter;
std::atomic<bool> g_ready{false};
std::atomic<bool> g_claimed{false};

void keep_stack_for_overflow() noexcept {
  ULONG size = kFaultStackGuarantee;
  ::SetThreadStackGuarantee(&size);
}

// Writes the record of the first crash and ends the process. It builds
// the record on the heap and may wait for the log's lock, so it can be stuck
// behind whatever the crash left held; the crashed thread or the watchdog
// ends the process in bounded time all the same.
DWORD WINAPI write_crash_record(void*) {
  ::WaitForSingleObject(g_reporter.request, INFINITE);
  log_fault_for_thread(g_reporter.message, g_reporter.crashed_thread);
  ::SetEvent(g_reporter.written);
  ::TerminateProcess(::GetCurrentProcess(), kExitInternalFault);
  return 0;
}

// The installing (main) thread ending while the process lives on is a crash
// too: a fault ended it that no handler saw, as when a stack overflow leaves
// no room to run one (Wine has none below its guard page), and the launcher
// must not linger without it. Its fault's message is unknown, and no crashed
// thread is left to bound the wait for the record, so this one does; it
// touches neither the heap nor a lock, so nothing a fault left held can stop
// it.
DWORD WINAPI end_after_main_thread(void*) {
  const HANDLE wakers[] = {g_reporter.request, g_reporter.watched};
  if (::WaitForMultipleObjects(2, wakers, FALSE, INFINITE) != WAIT_OBJECT_0 &&
      !g_claimed.exchange(true, std::memory_order_acq_rel)) {
    g_reporter.crashed_thread = g_reporter.watched_id;
    g_reporter.message = std::nullopt;
    ::SetEvent(g_reporter.request);
  }
  ::WaitForSingleObject(g_reporter.written, g_reporter.record_wait_ms);
  ::TerminateProcess(::GetCurrentProcess(), kExitInternalFault);
  return 0;
}

// The first crash hands its message over (`message` runs for it alone);
// any crash then waits a bounded time for that record and ends the process.
// TerminateProcess rather than exit(): other threads may hold locks that
// atexit handlers or DLL detach code would wait for.
template <class Message>
[[noreturn]] void report_and_end(Message message) noexcept {
  const DWORD self = ::GetCurrentThreadId();
  // The writer crashing in turn ends at once: nobody else will write.
  if (g_ready.load(std::memory_order_acquire) && self != g_reporter.writer_thread) {
    if (!g_claimed.exchange(true, std::memory_order_acq_rel)) {
      g_reporter.crashed_thread = self;
      g_reporter.message = message();
      ::SetEvent(g_reporter.request);
    }
    ::WaitForSingleObject(g_reporter.written, g_reporter.record_wait_ms);
  }
  ::TerminateProcess(::GetCurrentProcess(), kExitInternalFault);
  std::abort();
}

void on_terminate() noexcept {
  // Taken here, while the exception is at hand; this frame outlives the
  // writer's use of it, since the thread only waits and ends the process.
  std::optional<std::string> text;
  report_and_end([&text]() -> std::optional<std::string_view> {
    text = fault_message(std::current_exception());
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
  });
}

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* info) {
  const DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
  // Spelled out by hand into the reporter's buffer: after a stack overflow
  // this frame has too little room for the C library's formatting.
  report_and_end([code]() -> std::optional<std::string_view> {
    char* out = g_reporter.structured_text;
    std::copy_n(kStructuredPrefix, kStructuredPrefixSize, out);
    for (std::size_t i = 0; i < kHexDigits; ++i)
      out[kStructuredPrefixSize + i] =
          "0123456789ABCDEF"[(code >> (4 * (kHexDigits - 1 - i))) & 0xF];
    return std::string_view(out, sizeof g_reporter.structured_text);
  });
}

// Runs as every thread of the process starts (a TLS callback), so threads
// that no code of ours creates keep the stack for reporting too.
void NTAPI on_thread_event(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_ATTACH && g_ready.load(std::memory_order_acquire))
    keep_stack_for_overflow();
}

}  // namespace

void install_fault_handlers(std::chrono::milliseconds record_wait) noexcept {
  keep_stack_for_overflow();
  if (!g_ready.load(std::memory_order_acquire)) {
    g_reporter.record_wait_ms =
        static_cast<DWORD>(std::clamp<long long>(record_wait.count(), 0, INFINITE - 1));
    // Manual reset: the writer and the watchdog both wake on it.
    g_reporter.request = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_reporter.written = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_reporter.watched_id = ::GetCurrentThreadId();
    const bool watching =
        ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                          &g_reporter.watched, SYNCHRONIZE, FALSE, 0);
    const bool prepared = g_reporter.request && g_reporter.written && watching;
    const HANDLE writer =
        prepared ? ::CreateThread(nullptr, kReporterStackSize, write_crash_record, nullptr,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, &g_reporter.writer_thread)
                 : nullptr;
    const HANDLE watchdog =
        writer ? ::CreateThread(nullptr, kWatchdogStackSize, end_after_main_thread, nullptr,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
               : nullptr;
    // Without both a crash still ends with kExitInternalFault, unrecorded;
    // a writer without its watchdog only waits for a crash that never asks.
    if (watchdog) {
      ::CloseHandle(watchdog);
      g_ready.store(true, std::memory_order_release);
    }
    if (writer) ::CloseHandle(writer);
  }
  std::set_terminate(on_terminate);
  ::SetUnhandledExceptionFilter(on_unhandled_exception);
}

}  // namespace vyn

// The TLS callback entry: a pointer in the loader's callback table, kept by
// the linker although nothing refers to it.
#if defined(_MSC_VER)
#pragma comment(linker, "/INCLUDE:_tls_used")
#pragma comment(linker, "/INCLUDE:vyn_fault_thread_callback")
#pragma const_seg(".CRT$XLV")
extern "C" const PIMAGE_TLS_CALLBACK vyn_fault_thread_callback = vyn::on_thread_event;
#pragma const_seg()
#elif defined(__GNUC__)
extern "C" {
__attribute__((section(".CRT$XLV"), used)) PIMAGE_TLS_CALLBACK vyn_fault_thread_callback =
    vyn::on_thread_event;
}
#endif
