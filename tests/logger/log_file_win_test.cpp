#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <iostream>
#include <thread>

#include "logger/append_lock_win.h"
#include "logger/log.h"
#include "logger/log_file.h"
#include "logger/rotation.h"
#include "support/temp_dir_win.h"
#include "utils/win.h"

namespace vyn {
namespace {

using test::read_file;
using test::split_lines;
using test::TempDir;
using test::write_file;

std::string runs(int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    s += "{\"eventName\":\"launcher_init\",\"run\":" + std::to_string(i) + "}\n{\"x\":1}\n";
  return s;
}

// Captures what the code under test writes to standard error.
class StderrCapture {
 public:
  StderrCapture() : path_(dir_ / L"stderr.txt") {
    file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        CREATE_ALWAYS, 0, nullptr);
    old_ = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, file_);
  }
  ~StderrCapture() {
    SetStdHandle(STD_ERROR_HANDLE, old_);
    CloseHandle(file_);
  }
  std::string text() const { return read_file(path_); }

 private:
  TempDir dir_;
  std::wstring path_;
  HANDLE file_;
  HANDLE old_;
};

TEST(PrepareLogFile, CreatesTheFolderChainUnderTheRoot) {
  TempDir root;
  const std::wstring path = prepare_log_file(root / L"a\\b");
  EXPECT_EQ(path, root.path() + L"\\a\\b\\VYN\\logs\\bootstrap.log");
  const DWORD attrs = GetFileAttributesW((root.path() + L"\\a\\b\\VYN\\logs").c_str());
  ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(test::file_exists(path));
}

TEST(RotateLogFile, TrimsOnDiskAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  write_file(log, runs(25));
  rotate_log_file(log);
  EXPECT_EQ(read_file(log), runs(25).substr(runs(16).size()));
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir.path() + L"\\*.tmp").c_str(), &fd);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) FindClose(h);

  write_file(log, runs(9));
  rotate_log_file(log);
  EXPECT_EQ(read_file(log), runs(9));
  rotate_log_file(dir / L"missing.log");  // nothing to do, nothing created
  EXPECT_FALSE(test::file_exists(dir / L"missing.log"));
}

TEST(RotateLogFile, WaitsWhileAnotherLauncherWritesTheLog) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  write_file(log, runs(25));
  HANDLE writer = CreateFileW(log.c_str(), FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  StderrCapture err;
  rotate_log_file(log);
  EXPECT_EQ(read_file(log), runs(25));  // its later records still reach the file
  EXPECT_EQ(err.text(), "");
  const std::string more = "{\"eventName\":\"late\"}\n";
  DWORD written = 0;
  WriteFile(writer, more.data(), static_cast<DWORD>(more.size()), &written, nullptr);
  CloseHandle(writer);
  EXPECT_EQ(read_file(log), runs(25) + more);

  rotate_log_file(log);  // nobody writes now
  EXPECT_EQ(read_file(log).substr(0, 40), runs(25).substr(runs(16).size()).substr(0, 40));
}

TEST(RotateLogFile, ReadOnlyLogIsReportedAndKept) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  write_file(log, runs(12));
  ASSERT_TRUE(SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_READONLY));
  StderrCapture err;
  rotate_log_file(log);
  EXPECT_EQ(err.text().rfind("Failed to rotate log file: ", 0), 0u) << err.text();
  EXPECT_NE(err.text().find("(os error 5)\n"), std::string::npos) << err.text();
  EXPECT_EQ(read_file(log), runs(12));
  SetFileAttributesW(log.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(RotateLogFile, FailedReplaceKeepsTheOldLogByteForByte) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  const std::string original = runs(11) + "partial line without end";
  write_file(log, original);
  // Another program reading the log without allowing deletion blocks the
  // replacement (but not the writes of a rewrite in place).
  HANDLE reader = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  StderrCapture err;
  rotate_log_file(log);
  CloseHandle(reader);
  EXPECT_EQ(err.text().rfind("Failed to rotate log file: ", 0), 0u) << err.text();
  EXPECT_EQ(read_file(log), original);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir.path() + L"\\*.tmp").c_str(), &fd);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "temporary file left behind";
  if (h != INVALID_HANDLE_VALUE) FindClose(h);
}

TEST(RotateLogFile, ADamagedLogIsTrimmedLikeAnyOther) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  write_file(log, runs(15) + "\xC0\xAF\n");
  StderrCapture err;
  rotate_log_file(log);
  EXPECT_EQ(read_file(log), runs(15).substr(runs(6).size()) + "\xC0\xAF\n");
  EXPECT_EQ(err.text(), "");
}

TEST(RotateLogFile, AHugeLogIsTrimmedFromItsEndInBoundedMemory) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  {
    std::string content;  // a line far longer than the trim window, then 20 runs
    content.reserve((64u << 20) + runs(20).size() + 1);
    write_file(log, content.append(64u << 20, 'x').append("\n").append(runs(20)));
  }
  PROCESS_MEMORY_COUNTERS before{}, after{};
  GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
  rotate_log_file(log);
  GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
  EXPECT_EQ(read_file(log), runs(20).substr(runs(11).size()));
  EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, 3 * kLogTrimWindow);
}

// Starts the append helper on the log with two more arguments; its process
// handle, or null.
// vyn_log_append_helper's exit code for a breakpoint that never fired.
constexpr DWORD kHelperNoTrap = 4;

HANDLE start_append_helper(const std::wstring& log, const std::wstring& a, const std::wstring& b) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring exe(self, n);
  exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"vyn_log_append_helper.exe";
  std::wstring cmd = L"\"" + exe + L"\" \"" + log + L"\" " + a + L" " + b;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi))
    return nullptr;
  CloseHandle(pi.hThread);
  return pi.hProcess;
}

// Starts the append helper `count` times at once and waits for all of them;
// the time it took, in ms.
DWORD run_append_writers(const std::wstring& log, int writers, int records) {
  std::vector<HANDLE> processes;
  const DWORD start = GetTickCount();
  for (int id = 0; id < writers; ++id) {
    const HANDLE p = start_append_helper(log, std::to_wstring(id), std::to_wstring(records));
    if (!p) break;
    processes.push_back(p);
  }
  EXPECT_EQ(processes.size(), static_cast<std::size_t>(writers));
  for (HANDLE p : processes) {
    EXPECT_EQ(WaitForSingleObject(p, 60'000), WAIT_OBJECT_0);
    CloseHandle(p);
  }
  return GetTickCount() - start;
}

// Every line a whole record, and `expected` records of each writer.
void expect_whole_records(const std::wstring& log, int writers, int expected) {
  std::vector<int> counts(writers, 0);
  int torn = 0;
  for (const std::string& line : split_lines(read_file(log))) {
    const Fields r = Fields::parse(line, nullptr, false);
    if (!r.is_object()) {
      ++torn;
      continue;
    }
    ++counts.at(r["writer"].get<int>());
  }
  EXPECT_EQ(torn, 0);
  for (int id = 0; id < writers; ++id) EXPECT_EQ(counts[id], expected) << "writer " << id;
}

TEST(LogWriter, LaunchersAppendingAtOnceLeaveWholeRecords) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  run_append_writers(log, 8, 1000);
  expect_whole_records(log, 8, 1000);
}

// A new log opened as the launcher opens it, for a test to hold the append
// lock on.
HANDLE create_log_for_appending(const std::wstring& log) {
  return CreateFileW(log.c_str(), FILE_APPEND_DATA | FILE_READ_DATA,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                     0, nullptr);
}

// A holder slowed down for a while (as on a loaded machine under Wine) is
// waited for, not written around: the waiting record lands after the
// holder's, not under it.
TEST(LogWriter, ASlowHolderOfTheAppendLockIsWaitedFor) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  const HANDLE holder = create_log_for_appending(log);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  HANDLE writer = nullptr;
  {
    const LogAppendLock held(holder, std::chrono::milliseconds(0));
    ASSERT_TRUE(held.held());
    writer = start_append_helper(log, L"0", L"1");
    ASSERT_NE(writer, nullptr);
    Sleep(1000);
    const std::string line = "{\"writer\":1}\n";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(holder, line.data(), static_cast<DWORD>(line.size()), &written, nullptr));
  }
  EXPECT_EQ(WaitForSingleObject(writer, 30'000), WAIT_OBJECT_0);
  CloseHandle(writer);
  CloseHandle(holder);
  const std::vector<std::string> lines = split_lines(read_file(log));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "{\"writer\":1}");
}

// Once a wait has run out, the next record still waits briefly: a holder
// that lets go soon is waited for, not written over.
TEST(LogWriter, AfterAWaitRanOutAHolderThatLetsGoSoonIsStillWaitedFor) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  const HANDLE holder = create_log_for_appending(log);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  HANDLE writer = nullptr;
  std::size_t written_during_hold = 0;
  {
    const LogAppendLock held(holder, std::chrono::milliseconds(0));
    ASSERT_TRUE(held.held());
    writer = start_append_helper(log, L"0", L"200");
    ASSERT_NE(writer, nullptr);
    const ULONGLONG give_up = GetTickCount64() + 30'000;
    while (read_file(log).empty() && GetTickCount64() < give_up) Sleep(1);
    Sleep(30);  // well inside the brief wait
    written_during_hold = split_lines(read_file(log)).size();
  }
  EXPECT_EQ(WaitForSingleObject(writer, 30'000), WAIT_OBJECT_0);
  CloseHandle(writer);
  CloseHandle(holder);
  EXPECT_EQ(written_during_hold, 1u) << "only the record whose full wait ran out";
  expect_whole_records(log, 1, 200);
}

TEST(LogWriter, AProcessHoldingTheAppendLockCostsBoundedWaitsOnly) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  const HANDLE holder = create_log_for_appending(log);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const LogAppendLock held(holder, std::chrono::milliseconds(0));
  ASSERT_TRUE(held.held());
  constexpr int kRecords = 30;
  const DWORD took = run_append_writers(log, 1, kRecords);
  // One record waits out the full bound; the others only the brief one.
  EXPECT_LT(took,
            kLogAppendLockWait.count() + kRecords * kLogAppendLockImpatientWait.count() + 3'000);
  expect_whole_records(log, 1, kRecords);
  CloseHandle(holder);
}

bool under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// A crash ends the process with 101 within a bounded time and leaves its
// record: after a stack overflow, and when the crashing thread holds the
// log's lock (which the record must then do without). Wine leaves no stack
// to report an overflow with and just ends the thread, which the launcher
// takes as a fault without a message. With a log that takes no write (null:
// no record expected) the main thread's end still ends the process, and so
// does a fault before any log exists. A worker's
// exception is recorded with its own message and ends that thread only.
TEST(LogWriter, AFaultEndsInBoundedTimeWithItsRecord) {
  const struct {
    const wchar_t* how;
    const char* error;
    DWORD exit_code;
  } crashes[] = {
      {L"stack-overflow", under_wine() ? "panic" : "structured exception 0xC00000FD", 101},
      {L"while-appending", "structured exception 0x80000004", 101},
      {L"log-never-read", nullptr, 101},
      {L"before-log", nullptr, 101},
      {L"worker-throws", "no room for the boot pipe", 0}};
  for (const auto& [how, error, exit_code] : crashes) {
    SCOPED_TRACE(testing::Message() << how);
    TempDir dir;
    const std::wstring log = dir / L"bootstrap.log";
    const DWORD start = GetTickCount();
    const HANDLE process = start_append_helper(log, L"crash", how);
    ASSERT_NE(process, nullptr);
    const bool ended = WaitForSingleObject(process, 30'000) == WAIT_OBJECT_0;
    const DWORD took = GetTickCount() - start;
    if (!ended) TerminateProcess(process, 0);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (code == kHelperNoTrap && std::wstring(how) == L"while-appending") {
      std::cout << "  (no hardware breakpoints on this machine: lock-holding crash not run)\n";
      continue;
    }
    EXPECT_TRUE(ended) << "hangs";
    EXPECT_EQ(code, exit_code);
    EXPECT_LT(took, 10'000u);
    if (!error) continue;
    const std::vector<std::string> lines = split_lines(read_file(log));
    ASSERT_FALSE(lines.empty());
    const Fields last = Fields::parse(lines.back());
    EXPECT_EQ(last["eventName"], "launcher_error");
    EXPECT_EQ(last["error"], error);
  }
}

TEST(LogWriter, DropsBeforeInstallThenAppendsWholeLinesFromManyThreads) {
  TempDir dir;
  const std::wstring log = dir / L"bootstrap.log";
  log_event(LogLevel::Info, "before_install");  // no sink yet: silently dropped

  init_log_context("inst-A", "3.0.0", 4242);
  init_log_context("inst-B", "9.9.9", 1);  // later settings are ignored
  open_log_file(log);
  ASSERT_TRUE(test::file_exists(log));
  open_log_file(dir / L"second.log");  // the first sink stays

  log_event(LogLevel::Verbose, "first", Fields{{"devMode", false}});
  constexpr int kPerThread = 10000;
  auto worker = [](int id) {
    for (int i = 0; i < kPerThread; ++i)
      log_event(LogLevel::Info, "burst",
                Fields{{"t", id}, {"i", i}, {"pad", std::string(40, 'x')}});
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  log_stderr_batch("vyn_stderr_batch", {"line one", "\xFF"}, 77);
  log_fault_handler(std::nullopt);
  log_fault_handler(std::string_view("boom"));

  const std::vector<std::string> lines = split_lines(read_file(log));
  ASSERT_EQ(lines.size(), 1u + 2 * kPerThread + 3);
  int counts[3] = {0, 0, 0};
  for (const std::string& line : lines) {
    const Fields r = Fields::parse(line);  // throws on a torn line
    EXPECT_EQ(r["installId"], "inst-A");
    EXPECT_EQ(r["processId"], 4242);
    if (r["eventName"] == "burst") ++counts[r["t"].get<int>()];
  }
  EXPECT_EQ(counts[1], kPerThread);
  EXPECT_EQ(counts[2], kPerThread);
  EXPECT_EQ(lines.front().find("\"eventName\":\"before_install\""), std::string::npos);
  const Fields batch = Fields::parse(lines[lines.size() - 3]);
  EXPECT_EQ(batch["mainPid"], 77);
  EXPECT_EQ(batch["stderrLogs"], Fields::array({"line one", "\xEF\xBF\xBD"}));
  EXPECT_EQ(Fields::parse(lines[lines.size() - 2])["error"], "panic");
  EXPECT_EQ(Fields::parse(lines.back())["error"], "boom");
  EXPECT_EQ(Fields::parse(lines.back())["level"], "error");
  EXPECT_EQ(read_file(dir / L"second.log"), "");
}

}  // namespace
}  // namespace vyn
