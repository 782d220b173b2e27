#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <variant>

#include "ipc/ready_waiter.h"
#include "logger/detached_thread_win.h"
#include "logger/fault.h"
#include "logger/log.h"
#include "logger/log_file.h"
#include "logger/system_info/system_info.h"
#include "main/command_line.h"
#include "main/install_info.h"
#include "main/launch.h"
#include "main/launcher.h"
#include "main/null_device.h"
#include "process/instance_guard.h"
#include "process/stderr_monitor.h"
#include "utils/profile_mask.h"
#include "utils/win.h"
#include "verify/verify.h"

namespace vyn {

namespace {

// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2, spelled out because older SDK
// headers lack it and the function itself is looked up at run time.
const DPI_AWARENESS_CONTEXT kPerMonitorAwareV2 = reinterpret_cast<DPI_AWARENESS_CONTEXT>(-4);

using SetDpiAwarenessContextFn = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);

void log_dpi_failure(const char* reason) {
  log_event(LogLevel::Error, "launcher_dpi_setup_failed", Fields{{"reason", reason}});
}

}  // namespace

std::vector<std::string> process_arguments() {
  int argc = 0;
  UniqueLocalMemory argv_owner(
      reinterpret_cast<HLOCAL>(::CommandLineToArgvW(::GetCommandLineW(), &argc)));
  auto** argv = reinterpret_cast<wchar_t**>(argv_owner.get());
  std::vector<std::string> args;
  for (int i = 1; argv && i < argc; ++i) args.push_back(to_utf8(argv[i]));
  return args;
}

void setup_dpi_awareness(const char* library, const char* function) {
  // Deliberately never freed: the awareness stays set for the process.
  const HMODULE user32 = ::LoadLibraryA(library);
  if (!user32) return log_dpi_failure("user32_load_failed");
  const auto set_context = reinterpret_cast<SetDpiAwarenessContextFn>(
      reinterpret_cast<void*>(::GetProcAddress(user32, function)));
  if (!set_context) return log_dpi_failure("api_not_available");
  if (!set_context(kPerMonitorAwareV2)) log_dpi_failure("set_dpi_context_failed");
}

namespace {

// Runs one launch of the application for as long as it needs watching and
// reports how it went: the ready loop with its one GPU relaunch.
struct ReadyWait {
  bool ready = false;
  bool launch_ok = true;
  std::uint32_t child_pid = 0;
};

ReadyWait wait_for_ready(LaunchContext& context, std::vector<std::string>& main_args,
                         bool has_gpu_option, std::uint32_t child_pid) {
  ReadyWait result{false, true, child_pid};
  std::promise<ReadyOutcome> sender;
  std::future<ReadyOutcome> ready = sender.get_future();
  start_detached_thread([s = std::move(sender)]() mutable { wait_for_ready_signal(std::move(s)); });
  start_stderr_monitor(context);

  bool retried = false;
  for (;;) {
    if (ready.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
      try {
        result.ready = ready.get().has_value();
      } catch (const std::future_error&) {
        result.ready = false;  // the waiter ended without a word
      }
      return result;
    }
    if (context.child_has_exited() && gpu_failure_flag().load(std::memory_order_relaxed) &&
        !has_gpu_option && !retried) {
      main_args.emplace_back(kDisableGpuArg);
      log_event(LogLevel::Info, "launcher_gpu_incompatible_retry",
                Fields{{"reason", "stderr_gpu_process_unusable_detected"}});
      const LaunchResult relaunch = launch_target(context, main_args);
      if (!relaunch.ok) {
        log_event(LogLevel::Error, "target_process_launch_failed",
                  Fields{{"reason", "gpu_incompatible_retry_failed"}});
        result.ready = false;
        result.launch_ok = false;
        return result;
      }
      result.child_pid = relaunch.pid;
      start_stderr_monitor(context);
      retried = true;
      has_gpu_option = true;
    }
    std::this_thread::sleep_for(kReadyPollInterval);
  }
}

void write_exit_event(bool activation, const ReadyWait& wait, const InstallInfo& install) {
  if (activation && wait.launch_ok) {
    std::this_thread::sleep_for(kActivationSettleDelay);
    log_event(LogLevel::Info, "launcher_exit_after_trigger_activation",
              Fields{{"reason", "triggered_vyn_activation"}});
  } else if (wait.ready && wait.launch_ok) {
    log_event(LogLevel::Info, "launcher_exit_on_ready",
              Fields{{"reason", "vyn_ready_signal_received"},
                     {"isLaunchStartSuccess", true},
                     {"installId", install.install_id},
                     {"mainPid", wait.child_pid}});
  } else {
    log_event(LogLevel::Error, "launcher_exit_early",
              Fields{{"reason", wait.launch_ok ? "ready_signal_timeout" : "failed_to_launch"}});
  }
}

}  // namespace

int run_launcher() {
  // Parsing: before any log exists, so its only output is the streams.
  auto parsed = parse_command_line(process_arguments(), [](std::string_view name) {
    return get_env_utf8(to_wide(name).c_str());
  });
  if (auto* exit = std::get_if<CommandLineExit>(&parsed)) {
    write_std_handle(STD_OUTPUT_HANDLE, exit->out);
    write_std_handle(STD_ERROR_HANDLE, exit->err);
    return exit->code;
  }
  Args args = std::get<Args>(std::move(parsed));

  // Installation and log set-up.
  const InstallInfo install = read_install_info();
  const std::wstring log_path = prepare_log_file(user_data_root());
  init_log_context(install.install_id, std::string(kLauncherLogVersion), ::GetCurrentProcessId());
  open_log_file(log_path);

  // Announcement.
  log_event(LogLevel::Verbose, "launcher_init", Fields{{"devMode", args.dev_mode}});
  setup_dpi_awareness();
  log_event(LogLevel::Verbose, "launcher_banner_prod",
            Fields{{"mode", "production"}, {"target", "VYN.exe"}});

  // Instance check: a second launcher steps aside; a running application of
  // this installation is launched once more, which brings it forward.
  SingleInstanceGuard guard(install.install_dir);
  bool activation = false;
  switch (guard.acquire()) {
    case InstanceCheckResult::Acquired:
      log_event(LogLevel::Info, "single_instance_acquired", Fields{{"action", "continue_startup"}});
      break;
    case InstanceCheckResult::LauncherAlreadyRunning:
      log_event(LogLevel::Info, "launcher_already_running", Fields{{"action", "exit"}});
      return 0;
    case InstanceCheckResult::VynAlreadyRunning:
      log_event(LogLevel::Info, "vyn_already_running",
                Fields{{"action", "continue_launch_to_trigger_activation"},
                       {"description", "VYN process detected, will trigger Electron activation"}});
      activation = true;
      break;
  }

  check_null_device();

  // Launch.
  log_event(LogLevel::Verbose, "launcher_ready",
            Fields{{"installDir", mask_user_profile(to_utf8(install.install_dir))}});
  LaunchContext context = launch_context_for(install.install_dir);
  IntegrityVerifierThread verifier = start_integrity_verifier(install.install_dir);
  gpu_failure_flag().store(false, std::memory_order_relaxed);
  const bool has_gpu_option = std::find(args.main_args.begin(), args.main_args.end(),
                                        kDisableGpuArg) != args.main_args.end();
  const LaunchResult first = launch_target(context, args.main_args);
  if (!first.ok) log_event(LogLevel::Error, "target_process_launch_failed");
  std::future<SystemInfo> machine = std::async(
      std::launch::async, [dir = install.install_dir] { return collect_system_info(dir); });

  // Ready wait, only for a child of our own.
  ReadyWait wait{false, first.ok, first.pid};
  if (first.ok && !activation)
    wait = wait_for_ready(context, args.main_args, has_gpu_option, first.pid);

  // Reporting.
  try {
    const SystemInfo info = machine.get();
    log_event(
        LogLevel::Info, "launcher_env",
        launcher_env_fields(
            wait.launch_ok ? std::optional<std::uint32_t>(wait.child_pid) : std::nullopt, info));
  } catch (...) {
    // The fault was this worker's own; it only costs the description.
    log_fault_handler(fault_message(std::current_exception()));
  }
  flush_stderr_monitors();  // the child's output read so far, before we go
  write_exit_event(activation, wait, install);

  await_integrity_verifier(std::move(verifier));
  return 0;  // the context and the guard release their handles; the child runs on
}

int run_reporting_faults(const std::function<int()>& body) noexcept {
  try {
    return body();
  } catch (...) {
    log_fault_handler(fault_message(std::current_exception()));
    return kExitInternalFault;
  }
}

}  // namespace vyn
