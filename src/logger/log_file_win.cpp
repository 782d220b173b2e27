#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "logger/append_lock_win.h"
#include "logger/log.h"
#include "logger/log_file.h"
#include "logger/rotation.h"
#include "utils/path.h"
#include "utils/win.h"

namespace vyn {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The log's last bytes, at most the trim window and one byte before it (which
// tells whether the window begins a line); `whole` when that is all of it.
struct LogTail {
  std::string bytes;
  bool whole = true;
};

std::optional<LogTail> read_log_tail(const std::wstring& path) {
  UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return std::nullopt;
  // Another launcher may be appending: read between two of its records.
  const LogAppendLock quiet(f.get());
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(f.get(), &size) || size.QuadPart < 0) return std::nullopt;
  const auto total = static_cast<std::uint64_t>(size.QuadPart);
  LogTail tail;
  tail.whole = total <= kLogTrimWindow;
  const std::uint64_t length = tail.whole ? total : kLogTrimWindow + 1;
  LARGE_INTEGER from{};
  from.QuadPart = static_cast<LONGLONG>(total - length);
  if (!::SetFilePointerEx(f.get(), from, nullptr, FILE_BEGIN)) return std::nullopt;
  tail.bytes.resize(static_cast<std::size_t>(length));
  std::size_t have = 0;
  while (have < tail.bytes.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(tail.bytes.size() - have);
    if (!::ReadFile(f.get(), tail.bytes.data() + have, want, &got, nullptr)) return std::nullopt;
    if (got == 0) break;  // the log shrank meanwhile
    have += got;
  }
  tail.bytes.resize(have);
  return tail;
}

void report_rotation_failure(const std::string& reason) {
  write_std_handle(STD_ERROR_HANDLE, "Failed to rotate log file: " + reason + "\n");
}

// Writes everything or gives the reason it could not.
std::optional<std::string> write_all(HANDLE f, std::string_view data) {
  while (!data.empty()) {
    DWORD written = 0;
    const DWORD chunk = data.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(data.size());
    if (!::WriteFile(f, data.data(), chunk, &written, nullptr))
      return os_error_text(::GetLastError());
    if (written == 0) return std::string("failed to write whole buffer");
    data.remove_prefix(written);
  }
  return std::nullopt;
}

}  // namespace

std::wstring prepare_log_file(const std::wstring& user_data_root) {
  std::wstring folder = user_data_root;
  for (const wchar_t* part : kLogFolderParts) folder = join_path(folder, part);
  const std::wstring file = join_path(folder, kLogFileName);
  create_directories(folder);
  rotate_log_file(file);
  return file;
}

void rotate_log_file(const std::wstring& log_path) {
  const DWORD attributes = ::GetFileAttributesW(log_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  // A launcher that is still writing keeps its handle on the file a
  // replacement would take away from it, and what it wrote afterwards would
  // be lost (or the replacement refused). Trimming waits for a start when
  // nobody writes; until then the log is one run longer.
  {
    UniqueHandle no_writers(::CreateFileW(log_path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!no_writers && ::GetLastError() == ERROR_SHARING_VIOLATION) return;
  }
  std::optional<std::string> trimmed;
  {
    const std::optional<LogTail> tail = read_log_tail(log_path);
    if (!tail) return;
    trimmed = trim_log_segments(tail->bytes, tail->whole);
  }
  if (!trimmed) return;

  // A log the user or an administrator made read-only is not ours to
  // replace, although a rename over it might succeed; refuse with the error a
  // rewrite in place would meet. Asking for write access catches the same
  // refusal when it comes from the file's permissions.
  if (attributes & FILE_ATTRIBUTE_READONLY)
    return report_rotation_failure(os_error_text(ERROR_ACCESS_DENIED));
  {
    UniqueHandle probe(::CreateFileW(log_path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe) return report_rotation_failure(os_error_text(::GetLastError()));
  }

  const std::wstring temp_path =
      log_path + L".rotate-" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
  std::optional<std::string> failure;
  {
    UniqueHandle tmp(::CreateFileW(temp_path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!tmp) return report_rotation_failure(os_error_text(::GetLastError()));
    failure = write_all(tmp.get(), *trimmed);
    if (!failure && !::FlushFileBuffers(tmp.get())) failure = os_error_text(::GetLastError());
  }
  if (!failure && !::MoveFileExW(temp_path.c_str(), log_path.c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    failure = os_error_text(::GetLastError());
  if (failure) {
    ::DeleteFileW(temp_path.c_str());
    report_rotation_failure(*failure);
  }
}

void open_log_file(const std::wstring& log_path) {
  // Read access only for the append lock, which the system grants to
  // handles that can read or write data; without FILE_WRITE_DATA every write
  // still goes to the end.
  const HANDLE h = ::CreateFileW(log_path.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                                 kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  install_log_sink(h);
}

}  // namespace vyn
