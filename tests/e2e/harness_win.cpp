#include "e2e/harness_win.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>

#include <stdexcept>
#include <thread>

#include "utils/win.h"
#include "verify/crypto_win.h"

namespace vyn::e2e {

namespace {

constexpr const wchar_t* kInstallKey = L"Software\\VYN\\InstallTracking";

std::wstring make_dir(const std::wstring& path) {
  CreateDirectoryW(path.c_str(), nullptr);
  return path;
}

// Reads a pipe to its end on a thread of its own, so a child writing a lot
// to one stream never blocks on the other.
class PipeDrain {
 public:
  explicit PipeDrain(HANDLE read_end)
      : thread_([this, read_end] {
          char buf[8192];
          DWORD got = 0;
          while (ReadFile(read_end, buf, sizeof buf, &got, nullptr) && got > 0)
            text_.append(buf, got);
          CloseHandle(read_end);
        }) {}
  std::string finish() {
    thread_.join();
    return text_;
  }

 private:
  std::string text_;
  std::thread thread_;
};

std::wstring build_environment(const Installation& inst, const RunOptions& options) {
  std::map<std::wstring, std::wstring, std::less<>> vars;
  std::map<std::wstring, std::wstring> names;  // upper-case name -> spelling
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::wstring entry = p;
    const auto eq = entry.find(L'=', 1);
    if (eq == std::wstring::npos) continue;
    vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  FreeEnvironmentStringsW(block);
  auto erase_ci = [&](const std::wstring& name) {
    for (auto it = vars.begin(); it != vars.end();)
      it = _wcsicmp(it->first.c_str(), name.c_str()) == 0 ? vars.erase(it) : std::next(it);
  };
  std::map<std::wstring, std::optional<std::wstring>> wanted = {{L"APPDATA", inst.appdata},
                                                                {L"USERPROFILE", inst.profile},
                                                                {L"DEV_MODE", std::nullopt},
                                                                {L"MAIN_ARGS", std::nullopt}};
  for (const auto& [k, v] : options.env) wanted[k] = v;
  for (const auto& [k, v] : wanted) {
    erase_ci(k);
    if (v) vars[k] = *v;
  }
  std::wstring out;
  for (const auto& [k, v] : vars) {
    out += k + L"=" + v;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

}  // namespace

std::wstring bin_dir() {
  const auto exe = own_executable_path();
  if (!exe) throw std::runtime_error("own path unknown");
  return exe->substr(0, exe->find_last_of(L"\\/"));
}

Installation::Installation()
    : install_dir(make_dir(root / L"install")),
      appdata(make_dir(root / L"appdata")),
      profile(make_dir(root / L"profile")) {
  copy_program(L"VYN_Launcher.exe", L"VYN_Launcher.exe");
}

// The applications a test started outlive its launcher by design; they must
// not outlive the test, or the next one (in this program or another) finds
// them running.
Installation::~Installation() { programs_under(install_dir, true); }

std::vector<DWORD> programs_under(const std::wstring& folder, bool end) {
  std::vector<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  const std::wstring prefix = folder + L"\\";
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                    entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD size = static_cast<DWORD>(std::size(image));
    if (QueryFullProcessImageNameW(process, 0, image, &size) &&
        _wcsnicmp(image, prefix.c_str(), prefix.size()) == 0) {
      found.push_back(entry.th32ProcessID);
      if (end) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 5000);
      }
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return found;
}

void Installation::copy_program(const std::wstring& built_name, const std::wstring& as_name) const {
  const std::wstring from = bin_dir() + L"\\" + built_name;
  if (!CopyFileW(from.c_str(), (install_dir + L"\\" + as_name).c_str(), FALSE))
    throw std::runtime_error("cannot copy " + to_utf8(from));
}

void Installation::seal(const std::string& content, Sealer by) const {
  CreateDirectoryW((install_dir + L"\\resources").c_str(), nullptr);
  test::write_file(archive(), content);
  const ProgramResult r =
      by == Sealer::Script
          ? run_script_sealer({L"--version", L"3.0.0", install_dir})
          : run_program(bin_dir() + L"\\vyn-seal.exe",
                        {L"seal", L"--archive", archive(), L"--output",
                         install_dir + L"\\resources\\app_verify.config", L"--version", L"3.0.0"});
  if (r.exit_code != 0) throw std::runtime_error("sealing failed: " + r.err);
}

void Installation::register_install(const std::wstring& install_id) const {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kInstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create the install key");
  auto set = [&](const wchar_t* name, const std::wstring& v) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                   static_cast<DWORD>((v.size() + 1) * sizeof(wchar_t)));
  };
  set(L"installId", install_id);
  set(L"installDir", install_dir);
  RegCloseKey(key);
}

void Installation::unregister() { RegDeleteTreeW(HKEY_CURRENT_USER, kInstallKey); }

namespace {

// A child's standard input from NUL and its output and error output on pipes
// that the harness drains; the child's ends are closed once it has them.
struct ChildStreams {
  HANDLE out_r = nullptr, out_w = nullptr, err_r = nullptr, err_w = nullptr, nul = nullptr;
  STARTUPINFOW si{};
  ChildStreams() {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&out_r, &out_w, &inherit, 0) || !CreatePipe(&err_r, &err_w, &inherit, 0))
      throw std::runtime_error("CreatePipe failed");
    SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);
    nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                      OPEN_EXISTING, 0, nullptr);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = out_w;
    si.hStdError = err_w;
  }
  void close_child_ends() {
    CloseHandle(out_w);
    CloseHandle(err_w);
    CloseHandle(nul);
  }
};

}  // namespace

ProgramResult run_program(const std::wstring& exe, const std::vector<std::wstring>& args,
                          DWORD timeout_ms) {
  std::wstring cmd = quote_argument(exe);
  for (const auto& a : args) cmd += L" " + quote_argument(a);
  ChildStreams io;
  PROCESS_INFORMATION pi{};
  const BOOL created = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &io.si, &pi);
  io.close_child_ends();
  PipeDrain out(io.out_r), err(io.err_r);
  ProgramResult result;
  if (!created) {
    out.finish();
    err.finish();
    throw std::runtime_error("cannot start " + to_utf8(exe));
  }
  if (WaitForSingleObject(pi.hProcess, timeout_ms) != WAIT_OBJECT_0)
    TerminateProcess(pi.hProcess, 999);
  WaitForSingleObject(pi.hProcess, 5000);
  GetExitCodeProcess(pi.hProcess, &result.exit_code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  result.out = out.finish();
  result.err = err.finish();
  return result;
}

#if defined(VYN_E2E_NODE) && defined(VYN_E2E_SEALER_SCRIPT)
bool script_sealer_built() { return true; }

ProgramResult run_script_sealer(const std::vector<std::wstring>& args) {
  const SecretBytes phrase = config_pass_phrase();
  const std::string text(reinterpret_cast<const char*>(phrase.data()), phrase.size());
  SetEnvironmentVariableW(L"VYN_VERIFY_PASSPHRASE", to_wide(text).c_str());
  // Both paths are relative to the programs' folder.
  std::vector<std::wstring> node_args{bin_dir() + L"\\" + to_wide(VYN_E2E_SEALER_SCRIPT)};
  node_args.insert(node_args.end(), args.begin(), args.end());
  return run_program(bin_dir() + L"\\" + to_wide(VYN_E2E_NODE), node_args);
}
#else
bool script_sealer_built() { return false; }
ProgramResult run_script_sealer(const std::vector<std::wstring>&) {
  throw std::runtime_error("this build has no Windows Node to run the JavaScript sealer");
}
#endif

std::wstring quote_argument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

std::string send_boot_message(const std::string& message, DWORD timeout_ms) {
  const wchar_t* name = L"\\\\.\\pipe\\VYN_BOOT";
  const DWORD start = GetTickCount();
  HANDLE pipe = INVALID_HANDLE_VALUE;
  while (GetTickCount() - start < timeout_ms) {
    pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    if (GetLastError() == ERROR_PIPE_BUSY) WaitNamedPipeW(name, 200);
    Sleep(20);
  }
  if (pipe == INVALID_HANDLE_VALUE) return {};
  if (message.empty()) {  // connect and go at once
    CloseHandle(pipe);
    return {};
  }
  DWORD done = 0;
  WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &done, nullptr);
  std::string reply;
  char buf[256];
  while (ReadFile(pipe, buf, sizeof buf, &done, nullptr) && done > 0) reply.append(buf, done);
  CloseHandle(pipe);
  return reply;
}

bool wait_for_log_event(const Installation& inst, const std::string& event_name, DWORD timeout_ms,
                        std::size_t count) {
  const std::string needle = "\"eventName\":\"" + event_name + "\"";
  const DWORD start = GetTickCount();
  do {
    const std::string log = test::read_file(inst.log_path());
    std::size_t found = 0;
    for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1))
      ++found;
    if (found >= count) return true;
    Sleep(50);
  } while (GetTickCount() - start < timeout_ms);
  return false;
}

bool wait_for_process_exit(DWORD pid, DWORD timeout_ms) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

RunningProgram::RunningProgram(const std::wstring& exe, const std::vector<std::wstring>& args) {
  std::wstring cmd = quote_argument(exe);
  for (const auto& a : args) cmd += L" " + quote_argument(a);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    throw std::runtime_error("cannot start " + to_utf8(exe));
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = pi.dwProcessId;
}

RunningProgram::~RunningProgram() {
  TerminateProcess(process_, 0);
  WaitForSingleObject(process_, 5000);
  CloseHandle(process_);
}

std::vector<Record> RunResult::events(const std::string& name) const {
  std::vector<Record> out;
  for (const Record& r : records)
    if (r.contains("eventName") && r["eventName"] == name) out.push_back(r);
  return out;
}

std::vector<std::string> RunResult::stderr_entries() const {
  std::vector<std::string> out;
  for (const Record& rec : records)
    if (rec.contains("stderrLogs"))
      for (const auto& e : rec["stderrLogs"]) out.push_back(e.get<std::string>());
  return out;
}

std::vector<std::string> RunResult::event_names() const {
  std::vector<std::string> out;
  for (const Record& r : records)
    if (r.contains("eventName") && r["eventName"].is_string()) out.push_back(r["eventName"]);
  return out;
}

RunResult run_launcher(const Installation& inst, const RunOptions& options) {
  std::wstring cmd = quote_argument(inst.launcher());
  if (options.raw_command_tail) {
    cmd += L" " + *options.raw_command_tail;
  } else {
    for (const auto& a : options.args) cmd += L" " + quote_argument(a);
  }
  std::wstring env = build_environment(inst, options);

  ChildStreams io;

  PROCESS_INFORMATION pi{};
  const BOOL created =
      CreateProcessW(inst.launcher().c_str(), cmd.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT, env.data(), inst.install_dir.c_str(), &io.si, &pi);
  const DWORD create_error = GetLastError();
  io.close_child_ends();
  PipeDrain out(io.out_r), err(io.err_r);
  if (!created) {
    out.finish();
    err.finish();
    throw std::runtime_error("CreateProcessW failed: " + std::to_string(create_error));
  }
  RunResult result;
  result.pid = pi.dwProcessId;
  // Sampled while it runs: some systems (Wine) cannot tell the counters of
  // a process that has ended.
  auto sample_peak = [&] {
    PROCESS_MEMORY_COUNTERS memory{};
    if (GetProcessMemoryInfo(pi.hProcess, &memory, sizeof memory))
      result.peak_working_set = std::max(result.peak_working_set, memory.PeakWorkingSetSize);
  };
  const ULONGLONG give_up = GetTickCount64() + options.timeout_ms;
  DWORD waited = WAIT_TIMEOUT;
  while (waited == WAIT_TIMEOUT && GetTickCount64() < give_up) {
    sample_peak();
    waited = WaitForSingleObject(pi.hProcess, 20);
  }
  if (waited != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(pi.hProcess, 999);
    WaitForSingleObject(pi.hProcess, 5000);
  }
  GetExitCodeProcess(pi.hProcess, &result.exit_code);
  sample_peak();
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // The application the launcher started may still hold inherited copies of
  // nothing of ours: the pipes reach their end when the launcher has gone.
  result.out = out.finish();
  result.err = err.finish();
  result.lines = test::split_lines(test::read_file(inst.log_path()));
  for (const std::string& line : result.lines) {
    try {
      Record r = Record::parse(line);
      if (r.is_object()) result.records.push_back(std::move(r));
    } catch (const std::exception&) {
    }
  }
  return result;
}

}  // namespace vyn::e2e
