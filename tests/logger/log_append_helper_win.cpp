// Writes records to a log from a process of its own, for the tests of
// appends by several launchers at once.
// Usage: vyn_log_append_helper <log path> <writer id> <records>
#include <windows.h>

#include <cwchar>
#include <string>

#include "logger/log.h"
#include "logger/log_file.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const int id = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
  const int records = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
  vyn::init_log_context("append-test", "0.0.0", ::GetCurrentProcessId());
  vyn::open_log_file(argv[1]);
  for (int i = 0; i < records; ++i)
    // Lengths vary, so a record overwriting another's start would leave a
    // visible tail.
    vyn::log_event(
        vyn::LogLevel::Info, "append",
        vyn::Fields{{"writer", id}, {"i", i}, {"pad", std::string((id * 37 + i) % 150, 'x')}});
  return 0;
}
