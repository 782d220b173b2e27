// Runs the null-device check in a process of its own, since a failed check
// ends the process. Arguments: device, system folder, log file, dialog
// record. The stand-in dialog writes to the record how many log lines exist
// when it is shown, then the text it was given (UTF-8), and returns at once.
//
// Exit codes: whatever the check ends with, 0 when the check returned, 64
// for wrong arguments.

#include <windows.h>

#include <string>

#include "logger/log.h"
#include "logger/log_file.h"
#include "main/null_device.h"
#include "utils/win.h"

namespace {

std::size_t count_lines(const std::wstring& path) {
  vyn::UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
  std::size_t lines = 0;
  char buf[4096];
  DWORD got = 0;
  while (f && ::ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got > 0)
    for (DWORD i = 0; i < got; ++i) lines += buf[i] == '\n';
  return lines;
}

void append_record(const std::wstring& path, const std::string& data) {
  vyn::UniqueHandle f(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (f) ::WriteFile(f.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 64;
  const std::wstring device = argv[1];
  const std::string system_folder = vyn::to_utf8(argv[2]);
  const std::wstring log_path = argv[3];
  const std::wstring record_path = argv[4];

  vyn::init_log_context("probe-install", "3.0.0", ::GetCurrentProcessId());
  vyn::open_log_file(log_path);

  vyn::check_null_device(device.c_str(), system_folder, [&](std::u16string_view text) {
    append_record(record_path,
                  std::to_string(count_lines(log_path)) + "\n" + vyn::utf16_to_utf8(text));
  });
  return 0;
}
