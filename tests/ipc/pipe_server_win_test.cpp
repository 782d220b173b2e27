#include <windows.h>
// aclapi.h and sddl.h need the types windows.h declares.
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ipc/pipe_server.h"
#include "ipc/ready_waiter.h"
#include "ipc/signal_print.h"
#include "logger/detached_thread_win.h"
#include "logger/log.h"
#include "logger/log_file.h"
#include "support/temp_dir_win.h"
#include "utils/win.h"

namespace vyn {
namespace {

using namespace std::chrono_literals;
using pipe_signal::CreateFailed;
using pipe_signal::Message;
using pipe_signal::Ready;

// The log sink is set once per process, so the whole program shares one file
// and each test picks out the records that carry its own pipe name.
std::wstring g_log_path;

class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    wchar_t dir[MAX_PATH + 1];
    ASSERT_NE(::GetTempPathW(MAX_PATH + 1, dir), 0u);
    g_log_path =
        std::wstring(dir) + L"vyn_tests_ipc_" + std::to_wstring(::GetCurrentProcessId()) + L".log";
    ::DeleteFileW(g_log_path.c_str());
    init_log_context("ipc-test", "0.0.0", ::GetCurrentProcessId());
    open_log_file(g_log_path);
  }
  void TearDown() override { ::DeleteFileW(g_log_path.c_str()); }
};
const auto* const g_log_env = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

// Records of one event whose "pipe" or "endpoint" is the given pipe.
std::vector<Fields> records(std::string_view event, const std::wstring& pipe) {
  std::vector<Fields> out;
  const std::string name = to_utf8(pipe);
  for (const std::string& line : test::split_lines(test::read_file(g_log_path))) {
    if (line.empty()) continue;
    Fields r = Fields::parse(line);
    if (r.value("eventName", "") != event) continue;
    if (r.value("pipe", "") == name || r.value("endpoint", "") == name) out.push_back(r);
  }
  return out;
}

std::vector<std::string> keys_after_header(const Fields& record) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : record.items()) {
    if (key != "level" && key != "installId" && key != "ts" && key != "launcherVersion" &&
        key != "eventName" && key != "processId" && key != "threadId")
      keys.push_back(key);
  }
  return keys;
}

std::wstring test_pipe_name() {
  static std::atomic<int> counter{0};
  return L"\\\\.\\pipe\\VYN_BOOT_test_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
         std::to_wstring(++counter);
}

std::future<PipeSignal> start_server(const std::wstring& name,
                                     PipeAccessRules access = owner_only_access_rules) {
  std::promise<PipeSignal> sender;
  std::future<PipeSignal> report = sender.get_future();
  start_detached_thread([s = std::move(sender), name, access]() mutable {
    run_pipe_server(std::move(s), name, access);
  });
  return report;
}

// Opens the pipe as the application would, retrying while the server has not
// created it yet.
UniqueHandle connect_client(const std::wstring& name) {
  const auto give_up = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    UniqueHandle h(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    if (h || std::chrono::steady_clock::now() > give_up) return h;
    ::Sleep(2);
  }
}

void write_all(HANDLE h, std::string_view bytes) {
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
      << ::GetLastError();
  ASSERT_EQ(written, bytes.size());
}

// Everything the server sends until it disconnects.
std::string read_to_end(HANDLE h) {
  std::string got;
  char buf[64];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) got.append(buf, n);
  return got;
}

template <class T>
T wait_report(std::future<T>& f, std::chrono::milliseconds limit = 5s) {
  if (f.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "no report in time";
    return T{};
  }
  return f.get();
}

TEST(PipeServer, ReadyVariantsGetOkThenTheServerIsGone) {
  for (const std::string msg :
       {"READY", "READY\n", "READY\r\n", "\xFF\xFE\xC0 READY", "booted: READY (v3)"}) {
    const std::wstring name = test_pipe_name();
    auto report = start_server(name);
    UniqueHandle client = connect_client(name);
    ASSERT_TRUE(client) << ::GetLastError();
    write_all(client.get(), msg);
    EXPECT_EQ(read_to_end(client.get()), "OK\n") << msg;
    EXPECT_EQ(wait_report(report), PipeSignal(Ready{})) << msg;
    // The instance was closed before the report: the name is free again.
    client.reset();
    EXPECT_FALSE(UniqueHandle(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr)));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
}

TEST(PipeServer, OtherMessagesGetNoReplyAndReportTheText) {
  for (const std::string msg : {"ready", "Ready", "READ",
                                "REA\xFF"
                                "DY"}) {
    const std::wstring name = test_pipe_name();
    auto report = start_server(name);
    UniqueHandle client = connect_client(name);
    ASSERT_TRUE(client);
    write_all(client.get(), msg);
    EXPECT_EQ(read_to_end(client.get()), "") << msg;
    EXPECT_EQ(wait_report(report), judge_message(msg)) << msg;
  }
}

TEST(PipeServer, ClientThatClosesAtOnceIsAnEmptyMessage) {
  const std::wstring name = test_pipe_name();
  auto report = start_server(name);
  ASSERT_TRUE(connect_client(name));  // closed again right here
  const PipeSignal got = wait_report(report);
  // A client that has come and gone before the server starts listening makes
  // the connect itself fail with ERROR_NO_DATA; either way it is no READY.
  if (const auto* failed = std::get_if<pipe_signal::CreateFailed>(&got))
    EXPECT_NE(failed->error.find("(os error 232)"), std::string::npos) << failed->error;
  else
    EXPECT_EQ(got, PipeSignal(Message{}));
}

TEST(PipeServer, OnlyTheFirst512BytesAreJudged) {
  {
    // 64 KiB of bytes that are never valid UTF-8: one read, then the pipe is
    // cut under the writer.
    const std::wstring name = test_pipe_name();
    auto report = start_server(name);
    UniqueHandle client = connect_client(name);
    ASSERT_TRUE(client);
    std::thread writer([h = client.get()] {
      const std::string garbage(64 * 1024, '\xFF');
      DWORD written = 0;
      ::WriteFile(h, garbage.data(), static_cast<DWORD>(garbage.size()), &written, nullptr);
    });
    const PipeSignal got = wait_report(report);
    writer.join();
    std::string expected;
    for (std::size_t i = 0; i < kPipeReadBufferSize; ++i) expected += "\xEF\xBF\xBD";
    EXPECT_EQ(got, PipeSignal(Message{expected}));
  }
  {
    const std::wstring name = test_pipe_name();
    auto report = start_server(name);
    UniqueHandle client = connect_client(name);
    ASSERT_TRUE(client);
    write_all(client.get(), std::string(kPipeReadBufferSize, '.') + "READY");
    EXPECT_EQ(wait_report(report), PipeSignal(Message{std::string(kPipeReadBufferSize, '.')}));
  }
}

// Wine 8 neither refuses a second FILE_FLAG_FIRST_PIPE_INSTANCE nor checks
// a pipe's DACL, so what rests on those is only checked on Windows.
bool running_under_wine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

void expect_create_failed(std::future<PipeSignal>& report, const std::wstring& name) {
  const PipeSignal got = wait_report(report);
  ASSERT_TRUE(std::holds_alternative<CreateFailed>(got));
  const std::string error = std::get<CreateFailed>(got).error;
  EXPECT_NE(error.find(" (os error "), std::string::npos) << error;

  const auto logged = records("pipe_server_create_failed", name);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["level"], "error");
  EXPECT_EQ(keys_after_header(logged[0]), (std::vector<std::string>{"pipe", "error"}));
  EXPECT_EQ(logged[0]["error"], error);
}

TEST(PipeServer, TakenNameFailsAtOnceWithALogRecord) {
  {
    // A squatter whose one instance is taken fails creation everywhere.
    const std::wstring name = test_pipe_name();
    UniqueHandle squatter(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                             512, 512, 0, nullptr));
    ASSERT_TRUE(squatter) << ::GetLastError();
    auto report = start_server(name);
    expect_create_failed(report, name);
  }
  if (running_under_wine()) GTEST_SKIP() << "Wine shares the name with a second first instance";
  {
    // A squatter that would accept more instances, here a running server:
    // only FILE_FLAG_FIRST_PIPE_INSTANCE keeps us from joining it.
    const std::wstring name = test_pipe_name();
    auto first = start_server(name);
    UniqueHandle first_client = connect_client(name);  // the first server is listening
    ASSERT_TRUE(first_client);
    auto second = start_server(name);
    expect_create_failed(second, name);
    first_client.reset();
    EXPECT_EQ(wait_report(first), PipeSignal(Message{}));
  }
}

// Only this user and LocalSystem may open the pipe. Wine keeps and returns
// the descriptor without enforcing it, so its entries are read back.
TEST(PipeServer, PipeGrantsOnlyTheUserAndLocalSystem) {
  const std::wstring name = test_pipe_name();
  auto report = start_server(name);
  UniqueHandle client = connect_client(name);
  ASSERT_TRUE(client);

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(::GetSecurityInfo(client.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
  UniqueLocalMemory sd_owner(sd);
  ASSERT_NE(dacl, nullptr);

  UniqueHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.out()));
  alignas(TOKEN_USER) unsigned char user_buf[256];
  DWORD size = 0;
  ASSERT_TRUE(::GetTokenInformation(token.get(), TokenUser, user_buf, sizeof user_buf, &size));
  const PSID user = reinterpret_cast<TOKEN_USER*>(user_buf)->User.Sid;
  PSID system = nullptr;
  ASSERT_TRUE(::ConvertStringSidToSidW(L"S-1-5-18", &system));
  UniqueLocalMemory system_owner(system);

  ASSERT_EQ(dacl->AceCount, 2);
  bool saw_user = false, saw_system = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    ASSERT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    const PSID sid = &allowed->SidStart;
    saw_user = saw_user || ::EqualSid(sid, user);
    saw_system = saw_system || ::EqualSid(sid, system);
  }
  EXPECT_TRUE(saw_user);
  EXPECT_TRUE(saw_system);

  write_all(client.get(), "READY");
  EXPECT_EQ(read_to_end(client.get()), "OK\n");
  EXPECT_EQ(wait_report(report), PipeSignal(Ready{}));
}

// Rules that cannot be had (the token unreadable) or that the system cannot
// read leave the pipe with the default security, not without a pipe.
TEST(PipeServer, AccessRulesThatCannotBeBuiltFallBackToTheDefault) {
  const PipeAccessRules unusable[] = {
      []() -> std::optional<std::wstring> { return std::nullopt; },
      []() -> std::optional<std::wstring> { return L"D:(nonsense"; }};
  for (const PipeAccessRules rules : unusable) {
    const std::wstring name = test_pipe_name();
    auto report = start_server(name, rules);
    UniqueHandle client = connect_client(name);
    ASSERT_TRUE(client) << ::GetLastError();
    write_all(client.get(), "READY");
    EXPECT_EQ(read_to_end(client.get()), "OK\n");
    EXPECT_EQ(wait_report(report), PipeSignal(Ready{}));
    EXPECT_TRUE(records("pipe_server_create_failed", name).empty());
  }
}

struct Waiter {
  std::future<ReadyOutcome> outcome;
  std::chrono::steady_clock::time_point started;
};

Waiter start_waiter(const std::wstring& name, std::chrono::milliseconds deadline) {
  std::promise<ReadyOutcome> sender;
  Waiter w{sender.get_future(), std::chrono::steady_clock::now()};
  start_detached_thread([s = std::move(sender), deadline, name]() mutable {
    wait_for_ready_signal(std::move(s), deadline, name);
  });
  return w;
}

std::chrono::milliseconds since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               t);
}

TEST(ReadyWaiter, ReadyInTimeGivesTheElapsedMilliseconds) {
  const std::wstring name = test_pipe_name();
  Waiter w = start_waiter(name, 10s);
  UniqueHandle client = connect_client(name);
  ASSERT_TRUE(client);
  ::Sleep(300);
  write_all(client.get(), "READY\r\n");
  EXPECT_EQ(read_to_end(client.get()), "OK\n");

  const ReadyOutcome got = wait_report(w.outcome);
  const auto upper = since(w.started);
  ASSERT_TRUE(got.has_value());
  EXPECT_GE(*got, 300u);
  EXPECT_LE(*got, static_cast<std::uint64_t>(upper.count()));

  const auto logged = records("signal_received", name);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["level"], "info");
  EXPECT_EQ(keys_after_header(logged[0]),
            (std::vector<std::string>{"transport", "endpoint", "elapsedMs"}));
  EXPECT_EQ(logged[0]["transport"], "named_pipe");
  EXPECT_EQ(logged[0]["elapsedMs"], *got);
  EXPECT_TRUE(records("signal_timeout", name).empty());
}

TEST(ReadyWaiter, NobodyConnectingTimesOutOnceAtTheDeadline) {
  const std::wstring name = test_pipe_name();
  Waiter w = start_waiter(name, 300ms);
  EXPECT_EQ(wait_report(w.outcome), std::nullopt);
  const auto took = since(w.started);
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 2s);

  const auto logged = records("signal_timeout", name);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["level"], "error");
  EXPECT_EQ(keys_after_header(logged[0]),
            (std::vector<std::string>{"transport", "endpoint", "timeoutMs"}));
  EXPECT_EQ(logged[0]["timeoutMs"], 300);

  // A READY after the deadline is still answered, but nobody counts it.
  UniqueHandle late = connect_client(name);
  ASSERT_TRUE(late);
  write_all(late.get(), "READY");
  EXPECT_EQ(read_to_end(late.get()), "OK\n");
  ::Sleep(50);
  EXPECT_TRUE(records("signal_received", name).empty());
  EXPECT_EQ(records("signal_timeout", name).size(), 1u);
}

TEST(ReadyWaiter, SilentClientTimesOut) {
  const std::wstring name = test_pipe_name();
  Waiter w = start_waiter(name, 300ms);
  UniqueHandle client = connect_client(name);
  ASSERT_TRUE(client);
  EXPECT_EQ(wait_report(w.outcome), std::nullopt);
  EXPECT_GE(since(w.started), 300ms);
  EXPECT_EQ(records("signal_timeout", name).size(), 1u);
}

TEST(ReadyWaiter, OtherReportsEndTheWaitAtOnceWithoutALine) {
  {
    const std::wstring name = test_pipe_name();
    Waiter w = start_waiter(name, 10s);
    UniqueHandle client = connect_client(name);
    ASSERT_TRUE(client);
    write_all(client.get(), "ready");
    EXPECT_EQ(wait_report(w.outcome, 2s), std::nullopt);
    EXPECT_TRUE(records("signal_timeout", name).empty());
    EXPECT_TRUE(records("signal_received", name).empty());
  }
  {
    const std::wstring name = test_pipe_name();
    UniqueHandle squatter(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                             512, 512, 0, nullptr));
    ASSERT_TRUE(squatter);
    Waiter w = start_waiter(name, 10s);
    EXPECT_EQ(wait_report(w.outcome, 2s), std::nullopt);
    EXPECT_EQ(records("pipe_server_create_failed", name).size(), 1u);
    EXPECT_TRUE(records("signal_timeout", name).empty());
  }
}

TEST(ReadyWaiter, BootPipeNameByDefault) {
  std::promise<ReadyOutcome> sender;
  std::future<ReadyOutcome> outcome = sender.get_future();
  start_detached_thread([s = std::move(sender)]() mutable { wait_for_ready_signal(std::move(s)); });
  UniqueHandle client = connect_client(kBootPipeName);
  ASSERT_TRUE(client);
  write_all(client.get(), "READY");
  EXPECT_EQ(read_to_end(client.get()), "OK\n");
  EXPECT_TRUE(wait_report(outcome).has_value());
  const auto logged = records("signal_received", kBootPipeName);
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0]["endpoint"], "\\\\.\\pipe\\VYN_BOOT");
}

}  // namespace
}  // namespace vyn
