#pragma once
// Contract (owner: target launch). Keep these signatures; add freely.
#include <cstdint>
#include <string>
#include <vector>

#include "utils/win.h"

namespace vyn {

// The target and the handles of the current child. Owns them; never
// terminates the child.
class LaunchContext {
 public:
  LaunchContext(std::wstring target_path, std::wstring working_dir);
  // Process handle of the current child (nullptr when none).
  HANDLE child_process() const noexcept;
  // The read end of the current child's stderr pipe, leaving none behind.
  UniqueHandle take_stderr_pipe() noexcept;
  // ... owner adds the rest
};

struct LaunchResult {
  bool ok = false;
  std::uint32_t pid = 0;  // meaningful only when ok
};

LaunchResult launch_target(LaunchContext& context, const std::vector<std::string>& args);

// Hands the current child's stderr pipe to a new monitor thread; nothing when
// there is no child or its pipe was taken already.
void start_stderr_monitor(LaunchContext& context);

}  // namespace vyn
