#pragma once
// Contract (owner: target launch). Keep these signatures; add freely.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "utils/win.h"

namespace vyn {

// The application's executable inside the installation folder.
inline constexpr const wchar_t* kTargetExeName = L"VYN.exe";
// The first argument of every child, telling it who started it.
inline constexpr std::string_view kByLauncherArg = "--by-launcher";
// Appended once when the child reported an unusable GPU process.
inline constexpr std::string_view kDisableGpuArg = "--disable-vyn-gpu";
// Room for bursts of error output while the monitor is busy logging.
inline constexpr DWORD kStderrPipeBufferSize = 64 * 1024;

// The target and the handles of the current child. Owns them; never
// terminates the child.
class LaunchContext {
 public:
  LaunchContext(std::wstring target_path, std::wstring working_dir);
  LaunchContext(LaunchContext&&) noexcept = default;
  LaunchContext& operator=(LaunchContext&&) noexcept = default;
  LaunchContext(const LaunchContext&) = delete;
  LaunchContext& operator=(const LaunchContext&) = delete;

  const std::wstring& target_path() const noexcept { return target_path_; }
  const std::wstring& working_dir() const noexcept { return working_dir_; }

  bool has_child() const noexcept { return child_.has_value(); }
  // Process handle of the current child (nullptr when none).
  HANDLE child_process() const noexcept;
  // Process id of the current child (0 when none).
  std::uint32_t child_pid() const noexcept;
  // True when there is a child and it has ended, or when asking fails (the
  // child then counts as ended); never waits.
  bool child_has_exited() const noexcept;
  // The read end of the current child's stderr pipe, leaving none behind.
  UniqueHandle take_stderr_pipe() noexcept;

  // Makes a newly started child the current one. Whatever the context still
  // holds of the previous child is closed first; that child runs on.
  void store_child(UniqueHandle process, UniqueHandle thread, UniqueHandle stderr_pipe,
                   std::uint32_t pid) noexcept;

 private:
  struct Child {
    UniqueHandle process;
    UniqueHandle thread;
    UniqueHandle stderr_pipe;
    std::uint32_t pid = 0;
  };
  std::wstring target_path_;
  std::wstring working_dir_;
  std::optional<Child> child_;
};

// The context for an installation: its VYN.exe, started in its folder.
LaunchContext launch_context_for(const std::wstring& install_dir);

struct LaunchResult {
  bool ok = false;
  std::uint32_t pid = 0;  // meaningful only when ok
};

// A failed launch attempt as it is reported.
struct LaunchError {
  std::string message;  // "Failed to launch VYN.exe: " and the system error text
  std::string display_text() const { return "Process launch failed: " + message; }
};
LaunchError launch_failed(DWORD os_error);

LaunchResult launch_target(LaunchContext& context, const std::vector<std::string>& args);

// Hands the current child's stderr pipe to a new monitor thread; nothing when
// there is no child or its pipe was taken already.
void start_stderr_monitor(LaunchContext& context);

}  // namespace vyn
