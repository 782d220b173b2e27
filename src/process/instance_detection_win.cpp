#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "logger/log.h"
#include "process/instance_detection.h"
#include "process/path_compare.h"
#include "utils/unicode.h"
#include "utils/win.h"

namespace vyn {
namespace {

using NtQuerySystemInformationFn = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
// Room for a few hundred processes at the first try; the list grows between
// the size query and the copy, so a retry adds headroom on top.
constexpr ULONG kInitialSnapshotBytes = 256 * 1024;
constexpr ULONG kSnapshotHeadroomBytes = 64 * 1024;
constexpr int kSnapshotAttempts = 8;
// Longest path the Win32 wide-character functions return.
constexpr DWORD kMaxWidePath = 32768;

NtQuerySystemInformationFn resolve_query() {
  // ntdll is mapped into every process, so no load and nothing to free.
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return nullptr;
  return reinterpret_cast<NtQuerySystemInformationFn>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQuerySystemInformation")));
}

// Full Unicode lower-casing, the same the stderr monitor matches with, so a
// name counts whatever case the system reports it in.
std::string lower_case(std::wstring_view name) { return unicode_lower(to_utf8(name)); }

std::wstring expected_exe_path(const std::wstring& install_dir) {
  return std::wstring(as_wide(join_file_name(as_u16(install_dir), as_u16(kTargetExeName))));
}

}  // namespace

std::vector<ProcessEntry> snapshot_processes() {
  static const NtQuerySystemInformationFn query = resolve_query();
  std::vector<ProcessEntry> out;
  if (!query) return out;

  // 8-byte elements keep the records, which hold pointers, aligned.
  std::vector<std::uint64_t> buf;
  ULONG bytes = kInitialSnapshotBytes;
  ULONG filled = 0;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kSnapshotAttempts) return out;
    buf.assign((bytes + 7) / 8, 0);
    ULONG needed = 0;
    const LONG status = query(kSystemProcessInformation, buf.data(), bytes, &needed);
    if (status >= 0) {
      filled = needed != 0 && needed <= bytes ? needed : bytes;
      break;
    }
    if (status != kStatusInfoLengthMismatch && status != kStatusBufferTooSmall) return out;
    bytes = std::max<ULONG>(needed + kSnapshotHeadroomBytes, bytes * 2);
  }

  const auto* base = reinterpret_cast<const std::byte*>(buf.data());
  for (std::size_t offset = 0; offset + sizeof(SYSTEM_PROCESS_INFORMATION) <= filled;) {
    const auto* info = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(base + offset);
    ProcessEntry entry;
    entry.pid = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(info->UniqueProcessId));
    if (info->ImageName.Buffer && info->ImageName.Length > 0)
      entry.name.assign(info->ImageName.Buffer, info->ImageName.Length / sizeof(wchar_t));
    out.push_back(std::move(entry));
    if (info->NextEntryOffset == 0) break;
    offset += info->NextEntryOffset;
  }
  return out;
}

std::optional<std::wstring> process_executable_path(std::uint32_t pid) {
  const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return std::nullopt;
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(buf.size());
    if (::QueryFullProcessImageNameW(process.get(), 0, buf.data(), &size)) {
      buf.resize(size);
      return buf;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || buf.size() >= kMaxWidePath)
      return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

std::wstring canonical_or_given(const std::wstring& path) {
  // No access rights needed to ask for a name, and backup semantics let a
  // directory open as well as a file.
  const UniqueHandle file(
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return path;
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        ::GetFinalPathNameByHandleW(file.get(), buf.data(), static_cast<DWORD>(buf.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return path;
    if (n < buf.size()) {
      buf.resize(n);
      return buf;
    }
    if (n > kMaxWidePath) return path;
    buf.resize(n);  // n counts the terminator when the buffer was too small
  }
}

bool find_running_vyn_in(const std::vector<ProcessEntry>& snapshot, const std::wstring& install_dir,
                         const ExePathReader& read_path) {
  const std::string target = lower_case(kTargetExeName);
  const std::wstring expected = expected_exe_path(install_dir);
  for (const ProcessEntry& entry : snapshot) {
    if (lower_case(entry.name) != target) continue;
    const std::optional<std::wstring> exe_path = read_path(entry.pid);
    if (!exe_path) {
      log_event(LogLevel::Verbose, "vyn_process_detected_no_path",
                Fields{{"pid", entry.pid},
                       {"name", to_utf8(entry.name)},
                       {"validation", "path_unavailable"}});
      continue;
    }
    // Resolved afresh per candidate: the installation may be moved or
    // replaced while the scan runs, and candidates are few.
    if (paths_equal(as_u16(canonical_or_given(*exe_path)), as_u16(canonical_or_given(expected)))) {
      log_event(LogLevel::Info, "vyn_process_detected_same_installation",
                Fields{{"pid", entry.pid},
                       {"name", to_utf8(entry.name)},
                       {"exe_path", to_utf8(*exe_path)},
                       {"expected_path", to_utf8(expected)},
                       {"status", "running"},
                       {"validation", "path_matched"}});
      return true;
    }
    log_event(LogLevel::Verbose, "vyn_process_detected_different_path",
              Fields{{"pid", entry.pid},
                     {"name", to_utf8(entry.name)},
                     {"exe_path", to_utf8(*exe_path)},
                     {"expected_path", to_utf8(expected)},
                     {"validation", "path_mismatch"}});
  }
  log_event(LogLevel::Verbose, "vyn_process_not_found_in_installation",
            Fields{{"status", "not_running"}});
  return false;
}

bool find_running_vyn(const std::wstring& install_dir) {
  return find_running_vyn_in(snapshot_processes(), install_dir, process_executable_path);
}

}  // namespace vyn
