#include <windows.h>

#include <utility>

#include "logger/log.h"
#include "main/launch.h"
#include "main/quoting.h"
#include "process/stderr_monitor.h"
#include "utils/child_process_win.h"
#include "utils/path.h"
#include "utils/profile_mask.h"

namespace vyn {

LaunchContext::LaunchContext(std::wstring target_path, std::wstring working_dir)
    : target_path_(std::move(target_path)), working_dir_(std::move(working_dir)) {}

HANDLE LaunchContext::child_process() const noexcept {
  return child_ ? child_->process.get() : nullptr;
}

std::uint32_t LaunchContext::child_pid() const noexcept { return child_ ? child_->pid : 0; }

bool LaunchContext::child_has_exited() const noexcept {
  // A wait that fails tells nothing about the child, and asking again would
  // fail the same way: such a child is not watched for ever as running.
  return child_ && ::WaitForSingleObject(child_->process.get(), 0) != WAIT_TIMEOUT;
}

UniqueHandle LaunchContext::take_stderr_pipe() noexcept {
  return child_ ? std::move(child_->stderr_pipe) : UniqueHandle();
}

void LaunchContext::store_child(UniqueHandle process, UniqueHandle thread, UniqueHandle stderr_pipe,
                                std::uint32_t pid) noexcept {
  child_.reset();
  child_.emplace(Child{std::move(process), std::move(thread), std::move(stderr_pipe), pid});
}

LaunchContext launch_context_for(const std::wstring& install_dir) {
  return LaunchContext(join_path(install_dir, kTargetExeName), install_dir);
}

LaunchError launch_failed(DWORD os_error) {
  return LaunchError{"Failed to launch VYN.exe: " + os_error_text(os_error)};
}

namespace {

LaunchResult report_failure(DWORD os_error) {
  const std::string text = launch_failed(os_error).display_text();
  log_event(LogLevel::Error, "process_launch_failed", Fields{{"error", text}});
  log_event(LogLevel::Error, "process_launch_failed_detail", Fields{{"error", text}});
  return {};
}

DWORD error_or(DWORD fallback) {
  const DWORD e = ::GetLastError();
  return e != ERROR_SUCCESS ? e : fallback;
}

}  // namespace

LaunchResult launch_target(LaunchContext& context, const std::vector<std::string>& args) {
  Fields logged_args = Fields::array();
  for (const auto& arg : args) logged_args.push_back(sanitize_utf8(arg));
  log_event(LogLevel::Info, "process_launch_command",
            Fields{{"exe", mask_user_profile(to_utf8(context.target_path()))},
                   {"workingDir", mask_user_profile(to_utf8(context.working_dir()))},
                   {"args", std::move(logged_args)}});

  // The child's ends live only until the process has been created: once
  // this process lets go of the write end, the pipe ends with the child.
  UniqueHandle input = open_null_device_for_child(false);
  if (!input) return report_failure(error_or(ERROR_GEN_FAILURE));
  UniqueHandle output = open_null_device_for_child(true);
  if (!output) return report_failure(error_or(ERROR_GEN_FAILURE));
  UniqueHandle stderr_read;
  UniqueHandle stderr_write;
  if (const DWORD e = create_child_output_pipe(stderr_read, stderr_write, kStderrPipeBufferSize))
    return report_failure(e);

  std::vector<std::u16string> child_args;
  child_args.reserve(args.size() + 1);
  child_args.emplace_back(utf8_to_utf16(kByLauncherArg));
  for (const auto& arg : args) child_args.push_back(utf8_to_utf16(arg));

  ChildProcessOptions options;
  options.application_name = context.target_path().c_str();
  options.command_line =
      std::wstring(as_wide(build_command_line(as_u16(context.target_path()), child_args)));
  options.working_dir = context.working_dir().c_str();
  options.creation_flags = CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT;
  options.std_input = input.get();
  options.std_output = output.get();
  options.std_error = stderr_write.get();

  ChildProcess child;
  if (const DWORD e = create_child_process(options, child)) return report_failure(e);
  stderr_write.reset();

  DWORD pid = ::GetProcessId(child.process.get());
  if (pid == 0) pid = child.pid;
  context.store_child(std::move(child.process), std::move(child.thread), std::move(stderr_read),
                      pid);
  // The user started us, so we may bring a window forward; passing that on
  // lets the application (or the running instance it wakes) come to the
  // front instead of flashing in the taskbar. Nothing depends on it.
  ::AllowSetForegroundWindow(pid);
  log_event(LogLevel::Info, "process_launch_success", Fields{{"pid", pid}});
  return {true, pid};
}

void start_stderr_monitor(LaunchContext& context) {
  if (!context.has_child()) return;
  UniqueHandle pipe = context.take_stderr_pipe();
  if (!pipe) return;
  start_stderr_monitor(std::move(pipe), context.child_pid());
}

}  // namespace vyn
