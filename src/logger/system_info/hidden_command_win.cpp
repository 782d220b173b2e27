#include <windows.h>

#include <algorithm>
#include <atomic>

#include "logger/system_info/hidden_command.h"
#include "logger/system_info/system_info.h"
#include "utils/child_process_win.h"
#include "utils/path.h"
#include "utils/win.h"

namespace vyn {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPipeBufferSize = 64 * 1024;
constexpr DWORD kReadChunk = 16 * 1024;
// The exit code given to a tool that ran out of time; nobody reads it.
constexpr UINT kTerminatedExitCode = 1;
// TerminateProcess only starts the end; this bounds the wait for it.
constexpr DWORD kTerminateWaitMs = 2'000;

std::atomic<unsigned> g_pipe_serial{0};

DWORD remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1));
}

// An anonymous pipe cannot be read with a time-out, so the output goes
// through a one-instance named pipe whose read end is overlapped. Its name is
// unique to this process; the first-instance flag makes creation fail rather
// than attach to a pipe someone else prepared under that name.
bool create_output_pipe(UniqueHandle& read_end, UniqueHandle& child_write_end) {
  const std::wstring name = L"\\\\.\\pipe\\vyn_tool_output_" +
                            std::to_wstring(::GetCurrentProcessId()) + L"_" +
                            std::to_wstring(++g_pipe_serial);
  read_end.reset(::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0,
      kPipeBufferSize, 0, nullptr));
  if (!read_end) return false;
  // Inheritable for the handle list only: every child of this process is
  // created with an explicit list, so no sibling picks it up.
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  child_write_end.reset(::CreateFileW(name.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, &sa,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(child_write_end);
}

// Reads until every writer has closed the pipe. False when the deadline came
// first; the pending read is cancelled before returning, since it writes into
// this frame.
bool read_to_end(HANDLE pipe, Clock::time_point deadline, std::string& out) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  std::string chunk(kReadChunk, '\0');
  for (;;) {
    OVERLAPPED ov{};
    ov.hEvent = event.get();
    if (!::ReadFile(pipe, chunk.data(), kReadChunk, nullptr, &ov)) {
      const DWORD error = ::GetLastError();
      // A broken pipe is the end of the output; any other failure ends it
      // too, and what was read so far is the output.
      if (error != ERROR_IO_PENDING) return true;
      if (::WaitForSingleObject(event.get(), remaining_ms(deadline)) != WAIT_OBJECT_0) {
        DWORD ignored = 0;
        ::CancelIoEx(pipe, &ov);
        ::GetOverlappedResult(pipe, &ov, &ignored, TRUE);
        return false;
      }
    }
    DWORD n = 0;
    if (!::GetOverlappedResult(pipe, &ov, &n, FALSE)) return true;
    const std::size_t room = kMaxCapturedOutput - std::min(out.size(), kMaxCapturedOutput);
    out.append(chunk.data(), std::min<std::size_t>(n, room));
  }
}

// Ends a tool that is given up, on every way out of run_hidden_command.
class TerminateUnlessReleased {
 public:
  explicit TerminateUnlessReleased(HANDLE process) : process_(process) {}
  ~TerminateUnlessReleased() {
    if (!process_) return;
    ::TerminateProcess(process_, kTerminatedExitCode);
    ::WaitForSingleObject(process_, kTerminateWaitMs);
  }
  TerminateUnlessReleased(const TerminateUnlessReleased&) = delete;
  TerminateUnlessReleased& operator=(const TerminateUnlessReleased&) = delete;
  void release() { process_ = nullptr; }

 private:
  HANDLE process_;
};

}  // namespace

std::optional<std::string> run_hidden_command(const std::wstring& program_path,
                                              const std::vector<std::wstring>& args,
                                              std::chrono::milliseconds time_limit) {
  // A partial name would be completed from the current folder.
  if (!is_absolute_path(std::wstring_view(program_path))) return std::nullopt;
  const auto deadline = Clock::now() + time_limit;
  UniqueHandle output_read, output_write;
  if (!create_output_pipe(output_read, output_write)) return std::nullopt;
  UniqueHandle input = open_null_device_for_child(false);
  UniqueHandle error = open_null_device_for_child(true);
  if (!input || !error) return std::nullopt;

  ChildProcessOptions launch;
  launch.application_name = program_path.c_str();
  launch.command_line = build_command_line(std::wstring_view(program_path), args);
  launch.creation_flags = CREATE_NO_WINDOW;
  launch.std_input = input.get();
  launch.std_output = output_write.get();
  launch.std_error = error.get();
  ChildProcess child;
  if (create_child_process(launch, child) != ERROR_SUCCESS) return std::nullopt;
  TerminateUnlessReleased guard(child.process.get());
  // The pipe reports its end only once no copy of the write end is left here.
  output_write.reset();
  input.reset();
  error.reset();
  child.thread.reset();

  std::string out;
  if (!read_to_end(output_read.get(), deadline, out)) return std::nullopt;
  if (::WaitForSingleObject(child.process.get(), remaining_ms(deadline)) != WAIT_OBJECT_0)
    return std::nullopt;
  guard.release();
  return sanitize_utf8(out);
}

CommandRunner hidden_command_runner(std::wstring tools_folder,
                                    std::chrono::milliseconds time_limit) {
  return [time_limit, tools_folder = std::move(tools_folder)](
             const std::string& tool,
             const std::vector<std::string>& args) -> std::optional<std::string> {
    std::vector<std::wstring> wide_args;
    wide_args.reserve(args.size());
    for (const auto& a : args) wide_args.push_back(to_wide(a));
    // Without a folder the path is not a full one, and nothing is started.
    const std::wstring file = to_wide(tool);
    return run_hidden_command(join_path(std::wstring_view(tools_folder), std::wstring_view(file)),
                              wide_args, time_limit);
  };
}

CommandRunner hidden_command_runner() {
  return hidden_command_runner(system_folder().value_or(std::wstring()));
}

}  // namespace vyn
