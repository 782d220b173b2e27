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
// the write goes ahead without it, and later records wait only briefly
// until a lock succeeds again. The wait must outlast any real holder,
// though, or the write it gives up on tears another record: under Wine on a
// loaded machine (two cores, dozens of processes appending) holders were
// seen to keep a writer waiting up to a second. The brief wait still
// outlasts one healthy append, so a holder that comes and goes is waited for
// even then.

#include <windows.h>

#include <algorithm>
#include <chrono>

namespace vyn {

inline constexpr ULONGLONG kLogAppendLockOffset = 0x7FFFFFFFFFFFFFF0ull;
inline constexpr std::chrono::milliseconds kLogAppendLockWait{2000};
// The wait once a full one has run out, until a lock succeeds again.
inline constexpr std::chrono::milliseconds kLogAppendLockImpatientWait{100};

class LogAppendLock {
 public:
  // Waits at most `wait`; zero: one attempt only.
  LogAppendLock(HANDLE file, std::chrono::milliseconds wait = kLogAppendLockWait) : file_(file) {
    const ULONGLONG start = ::GetTickCount64();
    // Polling costs the holder time too (under Wine each attempt is a round
    // trip through the same server the holder's write goes through), so
    // the pause grows while the lock stays taken; but only a little, or
    // newcomers polling at their first short pause win every release and a
    // waiter among many launchers starves for its whole wait.
    DWORD pause_ms = 1;
    for (;;) {
      OVERLAPPED at = where();
      if (::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        held_ = true;
        return;
      }
      // Only another holder is worth waiting for; a file system without
      // locks or a handle without the right fails the same way every time.
      if (::GetLastError() != ERROR_LOCK_VIOLATION ||
          ::GetTickCount64() - start >= static_cast<ULONGLONG>(wait.count()))
        return;
      ::Sleep(pause_ms);
      pause_ms = std::min<DWORD>(pause_ms * 2, kLongestPauseMs);
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

  static constexpr DWORD kLongestPauseMs = 4;

  HANDLE file_;
  bool held_ = false;
};

}  // namespace vyn
