// VYN.exe stand-in: plays the desktop application for tests and the demo.
// It honours what the launcher relies on (the command line, error output,
// READY on the boot pipe) and whatever else a scenario asks of it. It is a
// GUI-subsystem program like the real application, so starting it never
// opens a console window; its standard handles are the ones it is given.
//
// The scenario is JSON, taken from the first that exists of
//   1. the environment variable VYN_STANDIN_SCENARIO (the JSON text itself),
//   2. the file named by the environment variable VYN_STANDIN_SCENARIO_FILE,
//   3. "standin.json" beside this executable,
//   4. the built-in normal start: two lines of error output, READY on the
//      boot pipe after about a second, then alive for 20 seconds.
// Members, all optional:
//   "record": path of a JSON-lines file. Every start appends
//       {"kind":"start","pid":N,"commandLine":"...","program":"...",
//        "args":[...],"cwd":"...","secondInstance":false}
//     (args as CommandLineToArgvW splits the command line, program left
//     out), and every pipe step appends
//       {"kind":"pipe","pid":N,"sentAt":"...","sentAtTicks":N,"reply":"..."}
//     or, when it could not talk to the pipe, {"kind":"pipe","pid":N,"error":"..."},
//     and the end of the steps appends {"kind":"steps","pid":N,"ms":T}
//     (how long they took, for the drain measurements).
//   "singleInstance" (default true): when another stand-in of the same
//     folder runs, record the start with "secondInstance" true and exit 0.
//   "gpuFailure" (default false): unless "--disable-vyn-gpu" is among the
//     arguments, write "GPU process isn't usable. Goodbye." to stderr and
//     exit with "gpuExitCode" (default 1) before any step; with
//     "gpuFailureSpawn": {scenario}, it first starts a copy of itself with
//     that scenario, as the "spawn" step below does.
//   "steps": run in order; each object holds one action:
//     {"stderr": ["line", ...]}            each line and a line feed
//     {"stderrHex": "ff fe 0a"}            raw bytes (blanks ignored)
//     {"stderrBase64": "..."}              raw bytes
//     {"stderrLines": N, "text": "t", "bytes": B}
//                                          N lines "t <i>", or, with B, each
//                                          padded with 'x' to B bytes
//     {"stderrLongLine": B, "newline": false}
//                                          one line of B bytes 'x'
//     {"stderrRandom": B, "seed": S}      B pseudo-random bytes (any value,
//                                          line feeds included)
//     {"spawn": {scenario}}                starts a copy of this program with
//                                          that scenario, handing it this
//                                          one's standard handles, and goes on
//                                          at once (a grandchild of the
//                                          launcher that keeps its pipe open)
//     {"sleepMs": N}
//     {"moveSelf": "name"}                 renames this program's file to
//                                          that name in its folder, so the
//                                          next start of it fails
//     {"pipe": "READY", "name": "\\\\.\\pipe\\VYN_BOOT", "delayMs": N,
//      "connectTimeoutMs": 10000}          or "pipeHex" for raw bytes;
//                                          connects, writes, reads the reply
//     {"exit": code}                       ends here
//   "aliveMs" (default 0): after the steps, stay alive that long.
//   "exitCode" (default 0).
// A scenario that cannot be parsed ends the stand-in with exit code 70
// after one line on stderr.

#include <windows.h>
#include <shellapi.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "logger/record.h"
#include "utils/path.h"
#include "utils/win.h"

namespace {

using json = nlohmann::ordered_json;

constexpr int kBadScenarioExit = 70;
constexpr const char* kGpuFailureLine = "GPU process isn't usable. Goodbye.";
constexpr const wchar_t* kDefaultPipe = L"\\\\.\\pipe\\VYN_BOOT";

const char* const kDefaultScenario = R"({
  "steps": [
    {"stderr": ["stand-in: starting", "stand-in: window created"]},
    {"pipe": "READY", "delayMs": 1000}
  ],
  "aliveMs": 20000
})";

void write_stderr(std::string_view bytes) {
  const HANDLE h = ::GetStdHandle(STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = bytes.size() > (1u << 20) ? (1u << 20) : static_cast<DWORD>(bytes.size());
    if (!::WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return;
    bytes.remove_prefix(written);
  }
}

std::string read_text_file(const std::wstring& path, bool& found) {
  found = false;
  vyn::UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return {};
  found = true;
  std::string out;
  char buf[4096];
  DWORD got = 0;
  while (::ReadFile(f.get(), buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  return out;
}

std::wstring exe_dir() {
  const auto exe = vyn::own_executable_path();
  return exe ? vyn::parent_path(std::wstring_view(*exe)) : std::wstring(L".");
}

std::string load_scenario_text() {
  if (auto text = vyn::get_env_utf8(L"VYN_STANDIN_SCENARIO")) return *text;
  bool found = false;
  if (auto file = vyn::get_env(L"VYN_STANDIN_SCENARIO_FILE")) {
    std::string text = read_text_file(*file, found);
    if (found) return text;
  }
  std::string text = read_text_file(vyn::join_path(exe_dir(), L"standin.json"), found);
  return found ? text : kDefaultScenario;
}

void append_record(const json& scenario, const json& record) {
  if (!scenario.contains("record")) return;
  const std::wstring path = vyn::to_wide(scenario["record"].get<std::string>());
  vyn::UniqueHandle f(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return;
  // One write per record: appends from several stand-ins never interleave.
  const std::string line = record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  DWORD written = 0;
  ::WriteFile(f.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::vector<std::string> split_command_line(std::string& program) {
  int argc = 0;
  vyn::UniqueLocalMemory owner(
      reinterpret_cast<HLOCAL>(::CommandLineToArgvW(::GetCommandLineW(), &argc)));
  auto** argv = reinterpret_cast<wchar_t**>(owner.get());
  std::vector<std::string> args;
  for (int i = 0; argv && i < argc; ++i) {
    if (i == 0)
      program = vyn::to_utf8(argv[0]);
    else
      args.push_back(vyn::to_utf8(argv[i]));
  }
  return args;
}

std::wstring current_dir() {
  std::wstring buf(MAX_PATH, L'\0');
  const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), buf.data());
  buf.resize(n < buf.size() ? n : 0);
  return buf;
}

// The folder's lower-case path hashed (FNV-1a), because a kernel object
// name cannot hold backslashes.
std::wstring instance_mutex_name() {
  std::wstring dir = exe_dir();
  if (!dir.empty()) ::CharLowerBuffW(dir.data(), static_cast<DWORD>(dir.size()));
  std::uint64_t hash = 1469598103934665603ull;
  for (const wchar_t c : dir) {
    hash ^= static_cast<std::uint16_t>(c);
    hash *= 1099511628211ull;
  }
  wchar_t hex[17];
  std::swprintf(hex, 17, L"%016llx", static_cast<unsigned long long>(hash));
  return std::wstring(L"VYN_Standin_Instance_") + hex;
}

std::string decode_hex(const std::string& text) {
  std::string out;
  int high = -1;
  for (const char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

std::string decode_base64(const std::string& text) {
  DWORD size = 0;
  if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr))
    return {};
  std::string out(size, '\0');
  if (!::CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(out.data()), &size, nullptr, nullptr))
    return {};
  out.resize(size);
  return out;
}

void write_generated_lines(std::uint64_t count, const std::string& text, std::uint64_t bytes) {
  std::string chunk;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string line = text + " " + std::to_string(i);
    if (bytes > 0) line.resize(bytes - 1, 'x');
    chunk += line;
    chunk.push_back('\n');
    if (chunk.size() >= (1u << 20)) {
      write_stderr(chunk);
      chunk.clear();
    }
  }
  write_stderr(chunk);
}

void write_long_line(std::uint64_t bytes, bool newline) {
  const std::string block(1u << 20, 'x');
  while (bytes > 0) {
    const std::uint64_t n = bytes < block.size() ? bytes : block.size();
    write_stderr(std::string_view(block.data(), static_cast<std::size_t>(n)));
    bytes -= n;
  }
  if (newline) write_stderr("\n");
}

void write_random(std::uint64_t bytes, std::uint64_t seed) {
  std::uint64_t state = seed ? seed : 0x9E3779B97F4A7C15ull;  // xorshift64
  std::string block(1u << 20, '\0');
  while (bytes > 0) {
    for (std::size_t i = 0; i < block.size(); i += 8) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      for (std::size_t k = 0; k < 8; ++k) block[i + k] = static_cast<char>(state >> (8 * k));
    }
    const std::uint64_t n = bytes < block.size() ? bytes : block.size();
    write_stderr(std::string_view(block.data(), static_cast<std::size_t>(n)));
    bytes -= n;
  }
}

// The copy inherits this program's standard handles, as a helper process of
// the real application would.
void spawn_copy(const json& child_scenario) {
  const auto exe = vyn::own_executable_path();
  if (!exe) return;
  ::SetEnvironmentVariableW(L"VYN_STANDIN_SCENARIO", vyn::to_wide(child_scenario.dump()).c_str());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  HANDLE std_handles[3] = {::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                           ::GetStdHandle(STD_ERROR_HANDLE)};
  for (HANDLE& h : std_handles)
    if (h != nullptr && h != INVALID_HANDLE_VALUE)
      ::DuplicateHandle(::GetCurrentProcess(), h, ::GetCurrentProcess(), &h, 0, TRUE,
                        DUPLICATE_SAME_ACCESS);
  si.hStdInput = std_handles[0];
  si.hStdOutput = std_handles[1];
  si.hStdError = std_handles[2];
  std::wstring cmd = L"\"" + *exe + L"\"";
  PROCESS_INFORMATION pi{};
  if (::CreateProcessW(exe->c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                       &pi)) {
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  }
  ::SetEnvironmentVariableW(L"VYN_STANDIN_SCENARIO", nullptr);
}

std::uint64_t precise_ticks() {
  FILETIME ft;
  ::GetSystemTimePreciseAsFileTime(&ft);
  return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

vyn::UniqueHandle connect_pipe(const std::wstring& name, DWORD timeout_ms, DWORD& error) {
  const ULONGLONG give_up = ::GetTickCount64() + timeout_ms;
  for (;;) {
    vyn::UniqueHandle pipe(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    error = ::GetLastError();
    if (::GetTickCount64() >= give_up) return {};
    if (error == ERROR_PIPE_BUSY)
      ::WaitNamedPipeW(name.c_str(), 100);
    else
      ::Sleep(50);
  }
}

void run_pipe_step(const json& scenario, const json& step) {
  const std::string message = step.contains("pipeHex")
                                  ? decode_hex(step["pipeHex"].get<std::string>())
                                  : step["pipe"].get<std::string>();
  const std::wstring name = step.contains("name") ? vyn::to_wide(step["name"].get<std::string>())
                                                  : std::wstring(kDefaultPipe);
  ::Sleep(step.value("delayMs", 0u));
  json record{{"kind", "pipe"}, {"pid", ::GetCurrentProcessId()}};
  DWORD error = 0;
  vyn::UniqueHandle pipe = connect_pipe(name, step.value("connectTimeoutMs", 10000u), error);
  if (!pipe) {
    record["error"] = vyn::os_error_text(error);
    return append_record(scenario, record);
  }
  const std::uint64_t sent = precise_ticks();
  DWORD written = 0;
  if (!::WriteFile(pipe.get(), message.data(), static_cast<DWORD>(message.size()), &written,
                   nullptr)) {
    record["error"] = vyn::os_error_text(::GetLastError());
    return append_record(scenario, record);
  }
  std::string reply;
  char buf[256];
  DWORD got = 0;
  while (reply.size() < 4096 && ::ReadFile(pipe.get(), buf, sizeof buf, &got, nullptr) && got > 0)
    reply.append(buf, got);
  record["sentAt"] = vyn::format_timestamp(sent);
  record["sentAtTicks"] = sent;
  record["reply"] = reply;
  append_record(scenario, record);
}

// Runs the steps; returns the exit code when a step ends the program.
std::optional<int> run_steps(const json& scenario) {
  if (!scenario.contains("steps")) return std::nullopt;
  for (const json& step : scenario["steps"]) {
    if (step.contains("stderr")) {
      std::string text;
      for (const auto& line : step["stderr"]) text += line.get<std::string>() + "\n";
      write_stderr(text);
    } else if (step.contains("stderrHex")) {
      write_stderr(decode_hex(step["stderrHex"].get<std::string>()));
    } else if (step.contains("stderrBase64")) {
      write_stderr(decode_base64(step["stderrBase64"].get<std::string>()));
    } else if (step.contains("stderrLines")) {
      write_generated_lines(step["stderrLines"].get<std::uint64_t>(), step.value("text", "line"),
                            step.value("bytes", std::uint64_t{0}));
    } else if (step.contains("stderrLongLine")) {
      write_long_line(step["stderrLongLine"].get<std::uint64_t>(), step.value("newline", false));
    } else if (step.contains("stderrRandom")) {
      write_random(step["stderrRandom"].get<std::uint64_t>(), step.value("seed", std::uint64_t{1}));
    } else if (step.contains("spawn")) {
      spawn_copy(step["spawn"]);
    } else if (step.contains("sleepMs")) {
      ::Sleep(step["sleepMs"].get<DWORD>());
    } else if (step.contains("moveSelf")) {
      const std::wstring to =
          vyn::join_path(exe_dir(), vyn::to_wide(step["moveSelf"].get<std::string>()).c_str());
      if (const auto self = vyn::own_executable_path())
        ::MoveFileExW(self->c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
    } else if (step.contains("pipe") || step.contains("pipeHex")) {
      run_pipe_step(scenario, step);
    } else if (step.contains("exit")) {
      return step["exit"].get<int>();
    }
  }
  return std::nullopt;
}

int play(const json& scenario) {
  std::string program;
  const std::vector<std::string> args = split_command_line(program);

  // Held until the process ends, as the real application holds its lock.
  bool second_instance = false;
  if (scenario.value("singleInstance", true)) {
    ::CreateMutexW(nullptr, FALSE, instance_mutex_name().c_str());
    second_instance = ::GetLastError() == ERROR_ALREADY_EXISTS;
  }
  append_record(scenario, json{{"kind", "start"},
                               {"pid", ::GetCurrentProcessId()},
                               {"commandLine", vyn::to_utf8(::GetCommandLineW())},
                               {"program", program},
                               {"args", args},
                               {"cwd", vyn::to_utf8(current_dir())},
                               {"secondInstance", second_instance}});
  if (second_instance) return 0;

  if (scenario.value("gpuFailure", false)) {
    bool gpu_disabled = false;
    for (const auto& a : args) gpu_disabled = gpu_disabled || a == "--disable-vyn-gpu";
    if (!gpu_disabled) {
      if (scenario.contains("gpuFailureSpawn")) spawn_copy(scenario["gpuFailureSpawn"]);
      write_stderr(std::string(kGpuFailureLine) + "\n");
      return scenario.value("gpuExitCode", 1);
    }
  }

  const std::uint64_t steps_start = precise_ticks();
  const std::optional<int> code = run_steps(scenario);
  append_record(scenario, json{{"kind", "steps"},
                               {"pid", ::GetCurrentProcessId()},
                               {"ms", (precise_ticks() - steps_start) / 10'000.0}});
  if (code) return *code;
  ::Sleep(scenario.value("aliveMs", 0u));
  return scenario.value("exitCode", 0);
}

}  // namespace

int wmain() {
  json scenario;
  try {
    scenario = json::parse(load_scenario_text());
    return play(scenario);
  } catch (const std::exception& e) {
    write_stderr(std::string("stand-in: bad scenario: ") + e.what() + "\n");
    return kBadScenarioExit;
  }
}
