#pragma once
// Starting a child that inherits exactly the handles it is given. Handle
// inheritance is process-wide: a child created with plain inheritance takes
// every inheritable handle of the parent, including pipe ends meant for a
// sibling being created on another thread at the same moment, and a pipe
// whose write end lives on in a stranger never reaches its end. Every child
// of this process is therefore created through here, with an explicit list.

#include <windows.h>

#include <string>

#include "utils/win.h"

namespace vyn {

struct ChildProcess {
  UniqueHandle process;
  UniqueHandle thread;
  DWORD pid = 0;
};

struct ChildProcessOptions {
  // nullptr lets the system take the program from the command line (and
  // search for it); otherwise this exact file is started.
  const wchar_t* application_name = nullptr;
  std::wstring command_line;
  // nullptr: the parent's current folder.
  const wchar_t* working_dir = nullptr;
  // EXTENDED_STARTUPINFO_PRESENT is added when a handle list is passed.
  DWORD creation_flags = 0;
  // nullptr: the parent's environment. A block must match the creation flags
  // (CREATE_UNICODE_ENVIRONMENT for UTF-16).
  const void* environment = nullptr;
  // The child's standard handles; each must be inheritable. These are the
  // only handles the child inherits. A null one is left out.
  HANDLE std_input = nullptr;
  HANDLE std_output = nullptr;
  HANDLE std_error = nullptr;
  // Starts the child's first window hidden (SW_HIDE).
  bool hidden = false;
};

// Creates the process. Returns ERROR_SUCCESS and fills `out`, or the Win32
// error code and leaves `out` empty.
DWORD create_child_process(const ChildProcessOptions& options, ChildProcess& out) noexcept;

// "\\.\NUL" for reading or for writing, inheritable so it can be handed to a
// child. Empty on failure, with the reason in GetLastError.
UniqueHandle open_null_device_for_child(bool for_writing) noexcept;

// A pipe the child writes to and this process reads: the read end is not
// inheritable, the write end is (for the handle list only). Returns
// ERROR_SUCCESS or the Win32 error code. buffer_size 0 takes the system's.
DWORD create_child_output_pipe(UniqueHandle& read_end, UniqueHandle& child_write_end,
                               DWORD buffer_size = 0) noexcept;

}  // namespace vyn
