#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "main/launch.h"
#include "support/event_log_win.h"
#include "support/temp_dir_win.h"
#include "utils/child_process_win.h"
#include "utils/path.h"
#include "utils/profile_mask.h"
#include "utils/win.h"

namespace vyn {
namespace {

using json = nlohmann::ordered_json;
using std::chrono::milliseconds;

constexpr const wchar_t* kScenarioVar = L"VYN_STANDIN_SCENARIO";

std::wstring standin_path() {
  return join_path(parent_path(std::wstring_view(*own_executable_path())), L"VYN.exe");
}

// Sets a variable of this process (and so of every child launch_target
// starts) for one test.
class ScopedEnv {
 public:
  ScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name), old_(get_env(name)) {
    ::SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedEnv() { ::SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::optional<std::wstring> old_;
};

std::wstring scenario_text(json scenario, const std::wstring& record) {
  scenario["record"] = to_utf8(record);
  scenario["singleInstance"] = false;
  return to_wide(scenario.dump());
}

std::vector<json> read_records(const std::wstring& path, std::string_view kind = "start") {
  std::vector<json> out;
  for (const auto& line : test::split_lines(test::read_file(path)))
    if (!line.empty()) {
      json r = json::parse(line);
      if (r["kind"] == kind) out.push_back(std::move(r));
    }
  return out;
}

// The caller's fields of a log record, without the header and identity.
json event_fields(const json& record) {
  json out = json::object();
  for (const auto& [key, value] : record.items())
    if (key != "level" && key != "installId" && key != "ts" && key != "launcherVersion" &&
        key != "eventName" && key != "processId" && key != "threadId")
      out[key] = value;
  return out;
}

bool wait_for_exit(HANDLE process, DWORD ms = 20000) {
  return ::WaitForSingleObject(process, ms) == WAIT_OBJECT_0;
}

// Reads the pipe until every write end is gone; false when that has not
// happened by the deadline (a write end lives on somewhere).
bool drain_to_end(HANDLE pipe, milliseconds deadline, std::string* got = nullptr) {
  const auto give_up = std::chrono::steady_clock::now() + deadline;
  char buf[4096];
  while (std::chrono::steady_clock::now() < give_up) {
    DWORD avail = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr))
      return ::GetLastError() == ERROR_BROKEN_PIPE;
    if (avail == 0) {
      ::Sleep(5);
      continue;
    }
    DWORD n = 0;
    if (!::ReadFile(pipe, buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr))
      return ::GetLastError() == ERROR_BROKEN_PIPE;
    if (got) got->append(buf, n);
  }
  return false;
}

class LaunchTest : public ::testing::Test {
 protected:
  void SetUp() override { test::test_log_path(); }
  test::TempDir dir_;
  const std::wstring record_ = dir_ / L"record.jsonl";
};

TEST_F(LaunchTest, ChildGetsMarkerThenExactlyTheArguments) {
  ScopedEnv scenario(kScenarioVar, scenario_text(json::object(), record_));
  const std::vector<std::string> args = {"plain",    "with space",    "",          "quote\"in",
                                         "trail\\",  "trail space\\", "tab\there", "ünï 中文 😀",
                                         "\\\\\"\\", "--by-launcher"};
  LaunchContext context(standin_path(), dir_.path());
  test::LogCursor log;

  const LaunchResult result = launch_target(context, args);
  ASSERT_TRUE(result.ok);
  EXPECT_NE(result.pid, 0u);
  EXPECT_EQ(context.child_pid(), result.pid);
  ASSERT_TRUE(wait_for_exit(context.child_process()));

  const auto starts = read_records(record_);
  ASSERT_EQ(starts.size(), 1u);
  std::vector<std::string> expected{"--by-launcher"};
  expected.insert(expected.end(), args.begin(), args.end());
  EXPECT_EQ(starts[0]["args"].get<std::vector<std::string>>(), expected);
  EXPECT_EQ(starts[0]["program"], to_utf8(standin_path()));
  EXPECT_EQ(starts[0]["pid"], result.pid);
  EXPECT_EQ(ascii_lower(starts[0]["cwd"].get<std::string>()), ascii_lower(to_utf8(dir_.path())));

  EXPECT_EQ(log.event_names(),
            (std::vector<std::string>{"process_launch_command", "process_launch_success"}));
  const json command = event_fields(log.events("process_launch_command").at(0));
  EXPECT_EQ(command.dump(), json({{"exe", mask_user_profile(to_utf8(standin_path()))},
                                  {"workingDir", mask_user_profile(to_utf8(dir_.path()))},
                                  {"args", args}})
                                .dump());
  EXPECT_EQ(event_fields(log.events("process_launch_success").at(0)).dump(),
            json({{"pid", result.pid}}).dump());
}

TEST_F(LaunchTest, NoArgumentsGivesQuotedProgramAndMarkerOnly) {
  ScopedEnv scenario(kScenarioVar, scenario_text(json::object(), record_));
  LaunchContext context(standin_path(), dir_.path());
  test::LogCursor log;

  ASSERT_TRUE(launch_target(context, {}).ok);
  ASSERT_TRUE(wait_for_exit(context.child_process()));

  const auto starts = read_records(record_);
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0]["commandLine"], "\"" + to_utf8(standin_path()) + "\" --by-launcher");
  EXPECT_EQ(log.events("process_launch_command").at(0)["args"], json::array());
}

TEST_F(LaunchTest, FailedLaunchIsReportedTwiceAndKeepsThePreviousChild) {
  // An installation of our own, so its executable can be taken away.
  const std::wstring target = dir_ / L"VYN.exe";
  ASSERT_TRUE(::CopyFileW(standin_path().c_str(), target.c_str(), FALSE));
  ScopedEnv scenario(kScenarioVar, scenario_text(json::object(), record_));
  // The profile is the folder above ours, so the logged paths are masked.
  const std::wstring profile = parent_path(std::wstring_view(dir_.path()));
  ASSERT_EQ(profile.rfind(L"C:\\", 0), 0u) << "the mask needs a profile on drive C";
  ScopedEnv user_profile(L"USERPROFILE", profile);
  const std::string profile_arg = to_utf8(profile) + "\\x";

  LaunchContext context(target, dir_.path());
  ASSERT_TRUE(launch_target(context, {}).ok);
  const std::uint32_t first_pid = context.child_pid();
  ASSERT_TRUE(wait_for_exit(context.child_process()));
  ASSERT_TRUE(::DeleteFileW(target.c_str()));

  test::LogCursor log;
  const LaunchResult result = launch_target(context, {profile_arg});
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(context.child_pid(), first_pid);
  EXPECT_NE(context.child_process(), nullptr);

  EXPECT_EQ(log.event_names(),
            (std::vector<std::string>{"process_launch_command", "process_launch_failed",
                                      "process_launch_failed_detail"}));
  const std::string masked_dir =
      "C:\\Users\\<USER>" + to_utf8(dir_.path()).substr(to_utf8(profile).size());
  const json command = event_fields(log.events("process_launch_command").at(0));
  EXPECT_EQ(command["exe"], masked_dir + "\\VYN.exe");
  EXPECT_EQ(command["workingDir"], masked_dir);
  EXPECT_EQ(command["args"], json::array({profile_arg}));

  const std::string text = "Process launch failed: Failed to launch VYN.exe: " + os_error_text(2);
  for (const char* name : {"process_launch_failed", "process_launch_failed_detail"}) {
    const auto events = log.events(name);
    ASSERT_EQ(events.size(), 1u) << name;
    EXPECT_EQ(events[0]["level"], "error");
    EXPECT_EQ(event_fields(events[0]).dump(), json({{"error", text}}).dump()) << name;
  }
}

TEST_F(LaunchTest, ContextClosesHandlesButLeavesChildrenRunning) {
  ScopedEnv scenario(kScenarioVar, scenario_text(json{{"aliveMs", 30000}}, record_));
  std::uint32_t first_pid = 0, second_pid = 0;
  {
    LaunchContext context(standin_path(), dir_.path());
    ASSERT_TRUE(launch_target(context, {}).ok);
    first_pid = context.child_pid();
    const HANDLE first_process = context.child_process();
    UniqueHandle first_pipe = context.take_stderr_pipe();
    EXPECT_TRUE(first_pipe);
    EXPECT_FALSE(context.take_stderr_pipe()) << "the pipe is handed over once";

    ASSERT_TRUE(launch_target(context, {}).ok);
    second_pid = context.child_pid();
    EXPECT_NE(second_pid, first_pid);
    // The new handles were opened before the old ones were closed, so the
    // old value cannot have been reused for them.
    DWORD flags = 0;
    EXPECT_FALSE(::GetHandleInformation(first_process, &flags))
        << "the first child's process handle stays open";
    EXPECT_TRUE(context.take_stderr_pipe());
  }
  for (const std::uint32_t pid : {first_pid, second_pid}) {
    UniqueHandle process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
    ASSERT_TRUE(process) << pid;
    EXPECT_EQ(::WaitForSingleObject(process.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT))
        << "child " << pid << " ended with its context";
    ::TerminateProcess(process.get(), 0);
  }
}

// A wait on the child that fails (here: a handle without the right to wait)
// says nothing about the child; it counts as ended rather than as running
// for ever.
TEST_F(LaunchTest, AChildThatCannotBeWaitedOnCountsAsEnded) {
  ScopedEnv scenario(kScenarioVar, scenario_text(json{{"aliveMs", 30000}}, record_));
  LaunchContext context(standin_path(), dir_.path());
  ASSERT_TRUE(launch_target(context, {}).ok);
  EXPECT_FALSE(context.child_has_exited());
  const std::uint32_t pid = context.child_pid();
  UniqueHandle running(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
  HANDLE unwaitable = nullptr;
  ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), context.child_process(),
                                ::GetCurrentProcess(), &unwaitable,
                                PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0));
  context.store_child(UniqueHandle(unwaitable), UniqueHandle(), UniqueHandle(), pid);
  ASSERT_EQ(::WaitForSingleObject(unwaitable, 0), WAIT_FAILED);
  EXPECT_TRUE(context.child_has_exited());
  ::TerminateProcess(running.get(), 0);
}

// The handle list is what keeps a pipe end of one child out of another: a
// child created with inheritance on but a list of its standard handles must
// not hold an inheritable handle outside the list, while one created the
// plain way does (which shows the probe can see a leak on this system).
TEST_F(LaunchTest, ChildInheritsOnlyTheListedHandles) {
  const std::wstring exe = standin_path();
  std::wstring command_line = L"\"" + exe + L"\"";
  ScopedEnv scenario(kScenarioVar, scenario_text(json{{"aliveMs", 30000}}, record_));
  UniqueHandle in = open_null_device_for_child(false);
  UniqueHandle out = open_null_device_for_child(true);

  UniqueHandle listed_read, listed_write;
  ASSERT_EQ(create_child_output_pipe(listed_read, listed_write), 0u);
  ChildProcessOptions options;
  options.application_name = exe.c_str();
  options.command_line = command_line;
  options.std_input = in.get();
  options.std_output = out.get();
  options.std_error = out.get();
  ChildProcess listed;
  ASSERT_EQ(create_child_process(options, listed), 0u);
  listed_write.reset();
  EXPECT_TRUE(drain_to_end(listed_read.get(), milliseconds(2000)))
      << "a handle outside the list was inherited";

  UniqueHandle plain_read, plain_write;
  ASSERT_EQ(create_child_output_pipe(plain_read, plain_write), 0u);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in.get();
  si.hStdOutput = out.get();
  si.hStdError = out.get();
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &si, &pi));
  UniqueHandle plain_process(pi.hProcess), plain_thread(pi.hThread);
  plain_write.reset();
  EXPECT_FALSE(drain_to_end(plain_read.get(), milliseconds(1000)))
      << "plain inheritance did not pass the handle on; the probe sees nothing here";

  ::TerminateProcess(listed.process.get(), 0);
  ::TerminateProcess(plain_process.get(), 0);
}

// Children started on another thread at the same moment, as the machine
// description starts its tools while a launch (or a relaunch) happens.
class SiblingSpawner {
 public:
  // Each sibling is a stand-in with the given scenario; with a pipe of its
  // own for output when `capture` is set, whose end is checked after it exits.
  SiblingSpawner(const std::string& scenario, bool capture) {
    std::wstring env;
    for (const wchar_t* p = env_block_.get(); *p; p += wcslen(p) + 1)
      if (_wcsnicmp(p, L"VYN_STANDIN_SCENARIO=", 21) != 0) env.append(p).push_back(L'\0');
    env += L"VYN_STANDIN_SCENARIO=" + to_wide(scenario);
    env.push_back(L'\0');
    env_ = std::move(env);
    thread_ = std::thread([this, capture] { run(capture); });
  }
  ~SiblingSpawner() { stop(); }

  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (auto& child : children_) ::TerminateProcess(child.process.get(), 0);
    for (auto& child : children_) ::WaitForSingleObject(child.process.get(), 5000);
  }
  int started() const { return started_; }
  int unended_pipes() const { return unended_; }
  DWORD last_error() const { return last_error_; }

 private:
  void run(bool capture) {
    while (!stop_ && started_ < 40) {
      UniqueHandle in = open_null_device_for_child(false);
      UniqueHandle out_read, out_write;
      if (capture)
        create_child_output_pipe(out_read, out_write);
      else
        out_write = open_null_device_for_child(true);
      ChildProcessOptions options;
      const std::wstring exe = standin_path();
      options.application_name = exe.c_str();
      options.command_line = L"\"" + exe + L"\" --sibling";
      options.creation_flags = CREATE_UNICODE_ENVIRONMENT;
      options.environment = env_.c_str();
      options.std_input = in.get();
      options.std_output = out_write.get();
      options.std_error = out_write.get();
      options.hidden = true;
      ChildProcess child;
      if (const DWORD e = create_child_process(options, child)) {
        last_error_ = e;
        return;
      }
      ++started_;
      out_write.reset();
      if (capture) {
        if (!wait_for_exit(child.process.get()) ||
            !drain_to_end(out_read.get(), milliseconds(3000)))
          ++unended_;
      }
      children_.push_back(std::move(child));
    }
  }

  struct EnvBlock {
    void operator()(wchar_t* p) const { ::FreeEnvironmentStringsW(p); }
  };
  std::unique_ptr<wchar_t, EnvBlock> env_block_{::GetEnvironmentStringsW()};
  std::wstring env_;
  std::atomic<bool> stop_{false};
  std::atomic<int> started_{0};
  std::atomic<int> unended_{0};
  std::atomic<DWORD> last_error_{0};
  std::vector<ChildProcess> children_;
  std::thread thread_;
};

TEST_F(LaunchTest, StderrPipeEndsWithTheChildWhileSiblingsAreCreated) {
  ScopedEnv scenario(kScenarioVar,
                     scenario_text(json::parse(R"({"steps":[{"stderr":["one line"]}]})"), record_));
  LaunchContext context(standin_path(), dir_.path());
  SiblingSpawner siblings(R"({"singleInstance":false,"aliveMs":60000})", false);
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(launch_target(context, {}).ok);
    UniqueHandle pipe = context.take_stderr_pipe();
    ASSERT_TRUE(wait_for_exit(context.child_process()));
    std::string text;
    EXPECT_TRUE(drain_to_end(pipe.get(), milliseconds(3000), &text))
        << "launch " << i << ": a sibling holds the stderr write end";
    EXPECT_EQ(text, "one line\n");
  }
  siblings.stop();
  EXPECT_EQ(siblings.last_error(), 0u);
  EXPECT_GT(siblings.started(), 0);
}

TEST_F(LaunchTest, SiblingPipesEndWhileTheTargetIsLaunched) {
  ScopedEnv scenario(kScenarioVar, scenario_text(json{{"aliveMs", 60000}}, record_));
  std::vector<UniqueHandle> targets;
  {
    SiblingSpawner siblings(R"({"singleInstance":false,"steps":[{"stderr":["x"]}]})", true);
    LaunchContext context(standin_path(), dir_.path());
    for (int i = 0; i < 8; ++i) {
      ASSERT_TRUE(launch_target(context, {}).ok);
      targets.emplace_back(
          ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, context.child_pid()));
    }
    while (siblings.started() < 8 && siblings.last_error() == 0) ::Sleep(50);
    siblings.stop();
    EXPECT_EQ(siblings.last_error(), 0u);
    EXPECT_EQ(siblings.unended_pipes(), 0) << "a launched target holds a sibling's pipe";
  }
  for (auto& t : targets) ::TerminateProcess(t.get(), 0);
}

}  // namespace
}  // namespace vyn
