#include "utils/child_process_win.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace vyn {

namespace {

// The attribute list is an opaque, caller-sized block that must be deleted
// with DeleteProcThreadAttributeList before its memory goes.
class AttributeList {
 public:
  // Empty when the list cannot be set up; the reason is in GetLastError.
  explicit AttributeList(std::vector<HANDLE>& handles) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return;
    storage_ = std::make_unique<unsigned char[]>(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    list_ = list;
    if (!::UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                     handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
      const DWORD error = ::GetLastError();
      ::DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
      ::SetLastError(error);
    }
  }
  ~AttributeList() {
    if (list_) ::DeleteProcThreadAttributeList(list_);
  }
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST get() const noexcept { return list_; }

 private:
  std::unique_ptr<unsigned char[]> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

bool is_real_handle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

DWORD last_error_or(DWORD fallback) {
  const DWORD e = ::GetLastError();
  return e != ERROR_SUCCESS ? e : fallback;
}

DWORD create_child_process_impl(const ChildProcessOptions& options, ChildProcess& out) {
  // The same handle may serve as output and error; listing it twice is
  // refused by some Windows versions.
  std::vector<HANDLE> inherited;
  for (HANDLE h : {options.std_input, options.std_output, options.std_error})
    if (is_real_handle(h) && std::find(inherited.begin(), inherited.end(), h) == inherited.end())
      inherited.push_back(h);

  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = options.std_input;
  si.StartupInfo.hStdOutput = options.std_output;
  si.StartupInfo.hStdError = options.std_error;
  if (options.hidden) {
    si.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
    si.StartupInfo.wShowWindow = SW_HIDE;
  }
  DWORD flags = options.creation_flags;

  // With nothing to hand over, inheritance stays off altogether (an empty
  // handle list is refused).
  std::unique_ptr<AttributeList> attributes;
  if (!inherited.empty()) {
    attributes = std::make_unique<AttributeList>(inherited);
    if (!attributes->get()) return last_error_or(ERROR_INVALID_PARAMETER);
    si.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    si.lpAttributeList = attributes->get();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }

  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> command_line(options.command_line.begin(), options.command_line.end());
  command_line.push_back(L'\0');

  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(options.application_name, command_line.data(), nullptr, nullptr,
                        inherited.empty() ? FALSE : TRUE, flags,
                        const_cast<void*>(options.environment), options.working_dir,
                        &si.StartupInfo, &pi))
    return last_error_or(ERROR_GEN_FAILURE);
  out.process.reset(pi.hProcess);
  out.thread.reset(pi.hThread);
  out.pid = pi.dwProcessId;
  return ERROR_SUCCESS;
}

}  // namespace

DWORD create_child_process(const ChildProcessOptions& options, ChildProcess& out) noexcept {
  out = ChildProcess{};
  try {
    return create_child_process_impl(options, out);
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

UniqueHandle open_null_device_for_child(bool for_writing) noexcept {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  return UniqueHandle(::CreateFileW(L"\\\\.\\NUL", for_writing ? GENERIC_WRITE : GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

DWORD create_child_output_pipe(UniqueHandle& read_end, UniqueHandle& child_write_end,
                               DWORD buffer_size) noexcept {
  read_end.reset();
  child_write_end.reset();
  // Both ends are born non-inheritable; only the child's end is then marked.
  // Every child of this process gets an explicit handle list, so the moment
  // in which the write end is inheritable leaks it to nobody.
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!::CreatePipe(&r, &w, nullptr, buffer_size)) return last_error_or(ERROR_GEN_FAILURE);
  UniqueHandle read_owner(r);
  UniqueHandle write_owner(w);
  if (!::SetHandleInformation(w, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
    return last_error_or(ERROR_GEN_FAILURE);
  read_end = std::move(read_owner);
  child_write_end = std::move(write_owner);
  return ERROR_SUCCESS;
}

}  // namespace vyn
