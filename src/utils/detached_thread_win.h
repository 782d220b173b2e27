#pragma once
// Threads that nobody joins. This toolchain's threads library races a
// detached std::thread's exit against other threads' starts and waits: under
// load a future's waiter slept through its wake-up until its deadline, and a
// new thread began with its argument gone (seen under Wine on a busy
// machine: 10 missed wake-ups and a crash in 2,000 starts, none with joined
// threads or with these). A system thread whose handle is closed at once
// leaves nothing behind for that library to release.

#include <windows.h>

#include <memory>
#include <system_error>
#include <utility>

namespace vyn {

namespace detail {

template <class F>
DWORD WINAPI run_detached_body(void* owned) {
  const std::unique_ptr<F> body(static_cast<F*>(owned));
  (*body)();
  return 0;
}

}  // namespace detail

// Runs the body on a new thread that ends on its own. A thread that cannot
// be started throws std::system_error, as std::thread does.
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
