#pragma once
// End-to-end harness: lays out a temporary installation, runs the real
// VYN_Launcher.exe with an environment of its own and hands back what it
// did: exit code, standard streams and the records of bootstrap.log.

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/temp_dir_win.h"

namespace vyn::e2e {

using Record = nlohmann::ordered_json;

// The folder holding the test program and every other built program.
std::wstring bin_dir();

struct Installation {
  Installation();
  ~Installation();

  test::TempDir root;
  std::wstring install_dir;  // holds VYN_Launcher.exe (and VYN.exe when copied)
  std::wstring appdata;
  std::wstring profile;

  std::wstring launcher() const { return install_dir + L"\\VYN_Launcher.exe"; }
  std::wstring log_path() const { return appdata + L"\\VYN\\logs\\bootstrap.log"; }

  // Copies a built program into the installation under another name.
  void copy_program(const std::wstring& built_name, const std::wstring& as_name) const;
  // resources\app.asar with `content`, and app_verify.config sealed for it by
  // the sealing tool or by the JavaScript sealer (see script_sealer_built).
  enum class Sealer { Tool, Script };
  void seal(const std::string& content, Sealer by = Sealer::Tool) const;
  std::wstring archive() const { return install_dir + L"\\resources\\app.asar"; }
  // The installer's key, pointing at this installation (or removed).
  void register_install(const std::wstring& install_id) const;
  static void unregister();
};

struct RunOptions {
  std::vector<std::wstring> args;                // after the program, quoted by the harness
  std::optional<std::wstring> raw_command_tail;  // used as is instead of args
  // Variables set (value) or removed (nullopt) in the launcher's environment;
  // APPDATA and USERPROFILE default to the installation's folders, DEV_MODE
  // and MAIN_ARGS to unset.
  std::map<std::wstring, std::optional<std::wstring>> env;
  DWORD timeout_ms = 60'000;
};

struct RunResult {
  DWORD exit_code = 0;
  bool timed_out = false;
  DWORD pid = 0;
  std::size_t peak_working_set = 0;  // bytes, of the launcher process
  std::string out;
  std::string err;
  std::vector<std::string> lines;  // of bootstrap.log, after the run
  std::vector<Record> records;     // lines that parse as JSON objects

  // Records whose "eventName" is `name`, in file order.
  std::vector<Record> events(const std::string& name) const;
  std::vector<std::string> event_names() const;
  bool has(const std::string& name) const { return !events(name).empty(); }
  // Every entry of the child's error output that the monitor logged, in order.
  std::vector<std::string> stderr_entries() const;
};

RunResult run_launcher(const Installation& inst, const RunOptions& options = {});

// Plays the application's side of the boot pipe from the test: connects
// within `timeout_ms`, writes `message` and returns the reply (empty when
// it could not connect or nothing came back). An empty message closes the
// connection at once without writing.
std::string send_boot_message(const std::string& message, DWORD timeout_ms = 10'000);

// Waits until the installation's log holds `count` records named
// `event_name`.
bool wait_for_log_event(const Installation& inst, const std::string& event_name,
                        DWORD timeout_ms = 30'000, std::size_t count = 1);

// Waits for a process the launcher started to end; true when it has (or
// was gone already).
bool wait_for_process_exit(DWORD pid, DWORD timeout_ms = 10'000);

// A program started by the test itself (a stand-in of another
// installation, say); ended when the object goes.
class RunningProgram {
 public:
  RunningProgram(const std::wstring& exe, const std::vector<std::wstring>& args = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  DWORD pid() const { return pid_; }
  bool running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  DWORD exit_code() const {
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
  }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// A helper program run to its end: exit code and what it wrote.
struct ProgramResult {
  DWORD exit_code = 0;
  std::string out;
  std::string err;
};
ProgramResult run_program(const std::wstring& exe, const std::vector<std::wstring>& args,
                          DWORD timeout_ms = 60'000);

// The JavaScript sealer, run by the Windows Node of the build with the
// launcher's own pass phrase. Only builds that fetched that Node have it.
bool script_sealer_built();
ProgramResult run_script_sealer(const std::vector<std::wstring>& args);

// Processes whose program lies below `folder`, ended first when `end`.
std::vector<DWORD> programs_under(const std::wstring& folder, bool end = false);

// Command-line quoting for the harness's own child processes.
std::wstring quote_argument(const std::wstring& arg);

}  // namespace vyn::e2e
