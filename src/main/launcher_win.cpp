#include <windows.h>
#include <shellapi.h>

#include <variant>

#include "logger/fault.h"
#include "logger/log.h"
#include "logger/log_file.h"
#include "main/command_line.h"
#include "main/install_info.h"
#include "main/launcher.h"
#include "utils/win.h"

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
  install_fault_handlers();

  return 0;
}

}  // namespace vyn
