#include "ipc/pipe_server.h"

#include <windows.h>
// sddl.h needs the types windows.h declares.
#include <sddl.h>

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "logger/fault.h"
#include "logger/log.h"
#include "utils/win.h"

namespace vyn {

namespace {

static_assert(kErrorBrokenPipe == ERROR_BROKEN_PIPE);

// The pipe, its event and the OVERLAPPED that every operation on it shares.
// They are released together, before the report goes out, so the waiter
// never learns of an outcome while the pipe still exists.
struct PipeInstance {
  UniqueHandle pipe;
  UniqueHandle event;
  OVERLAPPED ov{};

  void fresh_overlapped() noexcept {
    ov = OVERLAPPED{};
    ov.hEvent = event.get();
  }
  // Closing the pipe first completes any operation still pending on it, so
  // the event and the OVERLAPPED outlive everything that refers to them.
  void close() noexcept {
    if (pipe) {
      ::FlushFileBuffers(pipe.get());
      ::DisconnectNamedPipe(pipe.get());
      pipe.reset();
    }
    event.reset();
  }
};

// The user's SID as text, from the process token.
std::optional<std::wstring> process_user_sid() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.out())) return std::nullopt;
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  // new[] storage is aligned for any fundamental type, which TOKEN_USER needs.
  std::vector<std::max_align_t> storage(size / sizeof(std::max_align_t) + 1);
  if (!::GetTokenInformation(token.get(), TokenUser, storage.data(),
                             static_cast<DWORD>(storage.size() * sizeof(std::max_align_t)), &size))
    return std::nullopt;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(storage.data());
  wchar_t* sid_text = nullptr;
  if (!::ConvertSidToStringSidW(user->User.Sid, &sid_text)) return std::nullopt;
  UniqueLocalMemory sid_owner(sid_text);
  return std::wstring(sid_text);
}

// The descriptor for the rules; empty when there are none or the system
// cannot read them.
UniqueLocalMemory security_descriptor(const std::optional<std::wstring>& sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!sddl || !::ConvertStringSecurityDescriptorToSecurityDescriptorW(
                   sddl->c_str(), SDDL_REVISION_1, &sd, nullptr))
    return UniqueLocalMemory();
  return UniqueLocalMemory(sd);
}

PipeSignal serve(const std::wstring& name, PipeAccessRules access) {
  const std::string name_utf8 = to_utf8(name);
  PipeInstance inst;

  const auto failed = [&](std::string_view event, DWORD code) {
    inst.close();
    std::string error = os_error_text(code);
    log_event(LogLevel::Error, event, Fields{{"pipe", name_utf8}, {"error", error}});
    return error;
  };
  const auto create_failed = [&](DWORD code) -> PipeSignal {
    return pipe_signal::CreateFailed{failed("pipe_server_create_failed", code)};
  };
  const auto wait_failed = [&](DWORD code) -> PipeSignal {
    return pipe_signal::WaitFailed{failed("pipe_wait_failed", code)};
  };

  // Rules that cannot be had leave the pipe with the system's default
  // security: a pipe others could reach is better than no ready signal.
  UniqueLocalMemory descriptor = security_descriptor(access());
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};

  // FIRST_PIPE_INSTANCE: whoever holds the name already (a squatter, another
  // launcher) makes creation fail instead of sharing the name with us.
  inst.pipe.reset(::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0,
      descriptor ? &security : nullptr));
  if (!inst.pipe) return create_failed(::GetLastError());
  descriptor.reset();

  inst.event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!inst.event) return create_failed(::GetLastError());
  inst.fresh_overlapped();

  const BOOL connect_result = ::ConnectNamedPipe(inst.pipe.get(), &inst.ov);
  const DWORD connect_error = ::GetLastError();
  bool pending = false;
  if (!connect_result && connect_error == ERROR_IO_PENDING) {
    pending = true;
  } else if (!connect_result && connect_error == ERROR_PIPE_CONNECTED) {
    // The client was quicker than us; the wait below must not block.
    if (!::SetEvent(inst.event.get())) return create_failed(::GetLastError());
  } else {
    return create_failed(connect_error);
  }

  if (pending) {
    if (::WaitForSingleObject(inst.event.get(), INFINITE) == WAIT_FAILED) {
      const DWORD error = ::GetLastError();
      ::CancelIoEx(inst.pipe.get(), &inst.ov);
      return wait_failed(error);
    }
    DWORD ignored = 0;
    if (!::GetOverlappedResult(inst.pipe.get(), &inst.ov, &ignored, TRUE))
      return wait_failed(::GetLastError());
  }
  if (!::ResetEvent(inst.event.get())) return wait_failed(::GetLastError());

  inst.fresh_overlapped();
  std::array<char, kPipeReadBufferSize> buffer{};
  DWORD count = 0;
  std::optional<DWORD> read_error;
  if (::ReadFile(inst.pipe.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count,
                 &inst.ov)) {
    if (count == 0) read_error = ::GetLastError();
  } else if (::GetLastError() == ERROR_IO_PENDING) {
    ::WaitForSingleObject(inst.event.get(), INFINITE);
    if (!::GetOverlappedResult(inst.pipe.get(), &inst.ov, &count, TRUE) || count == 0)
      read_error = ::GetLastError();
  } else {
    read_error = ::GetLastError();
  }

  PipeSignal report = read_error ? judge_read_failure(*read_error)
                                 : judge_message(std::string_view(buffer.data(), count));

  if (std::holds_alternative<pipe_signal::Ready>(report)) {
    // Whether the client gets the reply or not, it has said READY; failures
    // here change nothing about the report.
    inst.fresh_overlapped();
    DWORD written = 0;
    if (!::WriteFile(inst.pipe.get(), kReadyReply.data(), static_cast<DWORD>(kReadyReply.size()),
                     &written, &inst.ov) &&
        ::GetLastError() == ERROR_IO_PENDING) {
      ::WaitForSingleObject(inst.event.get(), INFINITE);
      ::GetOverlappedResult(inst.pipe.get(), &inst.ov, &written, TRUE);
    }
    ::FlushFileBuffers(inst.pipe.get());
    ::Sleep(kReplySettleMs);
  }

  inst.close();
  return report;
}

}  // namespace

// Only this user and LocalSystem: with the default descriptor every local
// account could connect and hold the one instance until the launcher gives
// up waiting.
std::optional<std::wstring> owner_only_access_rules() {
  const std::optional<std::wstring> sid = process_user_sid();
  if (!sid) return std::nullopt;
  return boot_pipe_sddl(*sid);
}

void run_pipe_server(std::promise<PipeSignal> signal, std::wstring pipe_name,
                     PipeAccessRules access) noexcept {
  // A fault here drops the promise unsent, which the waiter takes as the
  // server having ended without a report.
  run_guarded([&] { signal.set_value(serve(pipe_name, access)); });
}

}  // namespace vyn
