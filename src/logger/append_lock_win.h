#pragma once
// Serialises appends to bootstrap.log across processes. Windows places each
// FILE_APPEND_DATA write at the end as a whole, but not every implementation
// of the API does (Wine lets two processes' writes land at the same offset,
// so one record overwrites the start of another), and a launcher trimming
// the log must not read a record half written. Every writer therefore holds
// a byte-range lock on one byte far beyond any real log size while it
// appends: it never covers data, so readers are never refused.
//
// The lock is advisory for us and bounded in time: a process that holds it
// (or locks the whole file) must not stall the launcher, so after the wait
// the write goes ahead without it, and later records try once only until a
// lock succeeds again.

#include <windows.h>

#include <atomic>
#include <chrono>

namespace vyn {

inline constexpr ULONGLONG kLogAppendLockOffset = 0x7FFFFFFFFFFFFFF0ull;
inline constexpr std::chrono::milliseconds kLogAppendLockWait{50};

class LogAppendLock {
 public:
  // `patient` false: one attempt only.
  LogAppendLock(HANDLE file, bool patient, std::chrono::milliseconds wait = kLogAppendLockWait)
      : file_(file) {
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
      OVERLAPPED at = where();
      if (::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        held_ = true;
        return;
      }
      // Only another holder is worth waiting for; a file system without
      // locks or a handle without the right fails the same way every time.
      if (::GetLastError() != ERROR_LOCK_VIOLATION || !patient ||
          ::GetTickCount64() - start >= static_cast<ULONGLONG>(wait.count()))
        return;
      ::Sleep(1);
    }
  }
  ~LogAppendLock() {
    if (!held_) return;
    OVERLAPPED at = where();
    ::UnlockFileEx(file_, 0, 1, 0, &at);
  }
  LogAppendLock(const LogAppendLock&) = delete;
  LogAppendLock& operator=(const LogAppendLock&) = delete;

  bool held() const { return held_; }

 private:
  static OVERLAPPED where() {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(kLogAppendLockOffset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(kLogAppendLockOffset >> 32);
    return at;
  }

  HANDLE file_;
  bool held_ = false;
};

}  // namespace vyn
