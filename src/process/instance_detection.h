#pragma once
// Finding a VYN.exe of this installation among the running processes, so a
// second start activates the running application instead of racing it.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vyn {

inline constexpr const wchar_t* kTargetExeName = L"VYN.exe";

struct ProcessEntry {
  std::uint32_t pid = 0;
  std::wstring name;  // image file name, in the case the system reports
};

// The executable path of a process; nullopt when the system will not say.
using ExePathReader = std::function<std::optional<std::wstring>(std::uint32_t pid)>;

// Ids and image names of every running process, in the system's order; empty
// when the system gives no list.
std::vector<ProcessEntry> snapshot_processes();

// The full Win32 path of the process's executable.
std::optional<std::wstring> process_executable_path(std::uint32_t pid);

// The file's final path name (\\?\C:\... with the case stored on disk), or
// the path unchanged when the file cannot be opened or its name read.
std::wstring canonical_or_given(const std::wstring& path);

// Scans the entries in order and reports each VYN.exe candidate to the log;
// stops at the first whose executable is install_dir\VYN.exe. Paths are read
// only for candidates, so unrelated processes cost nothing but the name test.
bool find_running_vyn_in(const std::vector<ProcessEntry>& snapshot, const std::wstring& install_dir,
                         const ExePathReader& read_path);

// find_running_vyn_in over a fresh snapshot of the running processes.
bool find_running_vyn(const std::wstring& install_dir);

}  // namespace vyn
