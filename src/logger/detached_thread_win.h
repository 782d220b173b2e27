#pragma once
// Threads that nobody joins. This toolchain's threads library races a
// detached std::thread's exit against other threads' starts and waits: under
// load a future's waiter slept through its wake-up until its deadline, and a
// new thread began with its argument gone (seen under Wine on a busy
// machine: 10 missed wake-ups and a crash in 2,000 starts, none with joined
// threads or with these). A system thread whose handle is closed at once
// leaves nothing behind for that library to release.
//
// The body runs under the fault guard, as every worker does: an exception
// escaping it is recorded with its message and ends this thread only. Run
// bare, it would reach the process filter as a foreign structured exception
// and the record would name that instead.

#include <windows.h>

#include <memory>
#include <system_error>
#include <utility>

#include "logger/fault.h"

namespace vyn {

namespace detail {

template <class F>
DWORD WINAPI run_detached_body(void* owned) {
  const std::unique_ptr<F> body(static_cast<F*>(owned));
  run_guarded(*body);
  return 0;
}

}  // namespace detail

// Runs the body on a new thread that ends on its own. A thread that cannot
// be started throws std::system_error, as std::thread does. Whatever the
// body needs that may fault (default arguments included) belongs inside it.
template <class F>
void start_detached_thread(F body) {
  auto owned = std::make_unique<F>(std::move(body));
  const HANDLE thread =
      ::CreateThread(nullptr, 0, &detail::run_detached_body<F>, owned.get(), 0, nullptr);
  if (thread == nullptr)
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "CreateThread");
  owned.release();
  ::CloseHandle(thread);
}

}  // namespace vyn
