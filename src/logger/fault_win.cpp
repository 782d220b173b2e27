#include <windows.h>

#include <cstdio>
#include <exception>

#include "logger/fault.h"

namespace vyn {

namespace {

[[noreturn]] void end_process_after_fault() noexcept {
  // TerminateProcess rather than exit(): after a fault, other threads may
  // hold locks that atexit handlers or DLL detach code would wait for.
  ::TerminateProcess(::GetCurrentProcess(), kExitInternalFault);
  std::abort();
}

void on_terminate() noexcept {
  log_fault_handler(fault_message(std::current_exception()));
  end_process_after_fault();
}

LONG WINAPI on_unhandled_exception(EXCEPTION_POINTERS* info) {
  char text[64];
  const DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
  std::snprintf(text, sizeof text, "structured exception 0x%08lX",
                static_cast<unsigned long>(code));
  log_fault_handler(std::string_view(text));
  end_process_after_fault();
}

}  // namespace

void install_fault_handlers() noexcept {
  std::set_terminate(on_terminate);
  ::SetUnhandledExceptionFilter(on_unhandled_exception);
}

}  // namespace vyn
