// Writes records to a log from a process of its own, for the tests of
// appends by several launchers at once, or crashes with the launcher's fault
// handlers installed, for the tests of how a crash ends.
// Usage: vyn_log_append_helper <log path> <writer id> <records>
//        vyn_log_append_helper <log path> crash <how>
//   how: "stack-overflow"  the main thread runs out of stack
//        "while-appending" a hardware breakpoint on WriteFile traps the main
//                          thread inside the log writer, holding its lock
//        "log-never-read"  the log is a pipe nobody reads, so no record can
//                          be written, and the main thread just ends
//        "worker-throws"   a thread nobody joins throws; exits 0 once the
//                          thread has ended
//        "before-log"      std::terminate before any log exists, as a fault
//                          while the launcher sets up its log would
#include <windows.h>

#include <climits>
#include <cwchar>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "logger/detached_thread_win.h"
#include "logger/fault.h"
#include "logger/log.h"
#include "logger/log_file.h"

namespace {

constexpr int kUsage = 2;
constexpr int kNoCrash = 3;
// The breakpoint was set but never fired: some virtual machines do not pass
// hardware breakpoints on to their guests.
constexpr int kNoTrap = 4;

// Deep enough to exhaust any stack; using `frame` after the call keeps the
// compiler from turning the recursion into a loop.
int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return depth == INT_MAX ? 0 : recurse(depth + 1) + frame[0];
}

// Debug register 0 on the entry of WriteFile, for this thread only.
bool trap_write_file() {
  const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
  const FARPROC target = kernel32 ? ::GetProcAddress(kernel32, "WriteFile") : nullptr;
  if (!target) return false;
  CONTEXT context{};
  context.ContextFlags = CONTEXT_DEBUG_REGISTERS;
  context.Dr0 = reinterpret_cast<DWORD64>(target);
  context.Dr7 = 1;  // Dr0 enabled locally, on execution
  return ::SetThreadContext(::GetCurrentThread(), &context) != 0;
}

// A log whose every write blocks for good, as a record's writer can be stuck
// behind whatever a fault left held.
bool log_to_a_pipe_nobody_reads() {
  const std::wstring name =
      L"\\\\.\\pipe\\vyn-unread-log-" + std::to_wstring(::GetCurrentProcessId());
  const HANDLE server =
      ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return false;
  const HANDLE client =
      ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (client == INVALID_HANDLE_VALUE) return false;
  vyn::install_log_sink(client);
  return true;
}

int crash(const std::wstring& how) {
  vyn::install_fault_handlers();
  if (how == L"stack-overflow") return recurse(0);
  if (how == L"log-never-read") ::ExitThread(0);
  if (how == L"worker-throws") {
    const HANDLE ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    struct SignalsItsEnd {
      HANDLE event;
      ~SignalsItsEnd() { ::SetEvent(event); }
    };
    vyn::start_detached_thread([end = std::make_shared<SignalsItsEnd>(ended)] {
      throw std::runtime_error("no room for the boot pipe");
    });
    return ::WaitForSingleObject(ended, 10'000) == WAIT_OBJECT_0 ? 0 : kNoCrash;
  }
  if (how == L"while-appending" && trap_write_file()) {
    vyn::log_event(vyn::LogLevel::Info, "trapped");
    return kNoTrap;
  }
  return kUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return kUsage;
  if (std::wstring(argv[3]) == L"before-log") {
    vyn::install_fault_handlers();
    std::terminate();
  }
  vyn::init_log_context("append-test", "0.0.0", ::GetCurrentProcessId());
  const bool crash_mode = std::wstring(argv[2]) == L"crash";
  if (crash_mode && std::wstring(argv[3]) == L"log-never-read") {
    if (!log_to_a_pipe_nobody_reads()) return kUsage;
  } else {
    vyn::open_log_file(argv[1]);
  }
  if (crash_mode) return crash(argv[3]);
  const int id = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
  const int records = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
  for (int i = 0; i < records; ++i)
    // Lengths vary, so a record overwriting another's start would leave a
    // visible tail.
    vyn::log_event(
        vyn::LogLevel::Info, "append",
        vyn::Fields{{"writer", id}, {"i", i}, {"pad", std::string((id * 37 + i) % 150, 'x')}});
  return 0;
}
