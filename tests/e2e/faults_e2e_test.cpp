// The machine in the way: a log that cannot be written, registry values of
// the wrong kind, an application file that is no program. The run goes on
// (or ends early) orderly, with exit code 0, and never hangs.
#include <gtest/gtest.h>

#include "e2e/harness_win.h"

namespace vyn::e2e {
namespace {

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    Installation::unregister();
    inst.copy_program(L"VYN.exe", L"VYN.exe");
    inst.register_install(L"e2e-faults");
    const std::wstring path = record();
    Record scenario = {{"steps", Record::parse(R"([{"pipe":"READY","delayMs":300}])")},
                       {"aliveMs", 0}};
    scenario["record"] = std::string(path.begin(), path.end());
    test::write_file(inst.install_dir + L"\\standin.json", scenario.dump());
  }
  void TearDown() override { Installation::unregister(); }

  std::wstring record() const { return inst.root / L"standin-record.jsonl"; }
  std::wstring log_folder() const {
    CreateDirectoryW((inst.appdata + L"\\VYN").c_str(), nullptr);
    CreateDirectoryW((inst.appdata + L"\\VYN\\logs").c_str(), nullptr);
    return inst.appdata + L"\\VYN\\logs";
  }

  // The application was started and said READY, whatever became of the log.
  void expect_app_ready() const {
    const std::string text = test::read_file(record());
    EXPECT_NE(text.find("\"kind\":\"start\""), std::string::npos);
    EXPECT_NE(text.find("\"reply\":\"OK\\n\""), std::string::npos) << text;
  }

  Installation inst;
};

TEST_F(Faults, ALogThatCannotBeCreatedLeavesTheRunWithoutALog) {
  // A folder where the file should be: as good as a read-only folder or a
  // full disk for the open, and it cannot be undone by running as root.
  log_folder();
  ASSERT_TRUE(CreateDirectoryW(inst.log_path().c_str(), nullptr));
  const RunResult r = run_launcher(inst, {.timeout_ms = 30'000});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.records.empty());
  expect_app_ready();
}

TEST_F(Faults, ALogOpenedExclusivelyElsewhereLeavesTheRunWithoutALog) {
  log_folder();
  test::write_file(inst.log_path(), "");
  HANDLE exclusive = CreateFileW(inst.log_path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  const RunResult r = run_launcher(inst, {.timeout_ms = 30'000});
  CloseHandle(exclusive);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(test::read_file(inst.log_path()), "");
  expect_app_ready();
}

TEST_F(Faults, ALogLockedWholeByAnotherProcessCostsNoTime) {
  log_folder();
  test::write_file(inst.log_path(), "");
  HANDLE locker = CreateFileW(inst.log_path().c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locker, INVALID_HANDLE_VALUE);
  OVERLAPPED whole{};
  ASSERT_TRUE(LockFileEx(locker, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                         MAXDWORD, &whole));
  const DWORD start = GetTickCount();
  const RunResult r = run_launcher(inst, {.timeout_ms = 30'000});
  const DWORD took = GetTickCount() - start;
  UnlockFileEx(locker, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(locker);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_LT(took, 10'000u);
  expect_app_ready();
}

TEST_F(Faults, RegistryValuesOfEveryWrongTypeFallBack) {
  // The launcher's own folder is the fallback installation: the stand-in is
  // there, so the run goes on as usual with the unknown id.
  const DWORD dword = 7;
  const std::string bytes = "\x01\x02\x03";
  const struct {
    DWORD type;
    const void* data;
    DWORD size;
  } values[] = {{REG_DWORD, &dword, sizeof dword},
                {REG_QWORD, "\0\0\0\0\0\0\0\0", 8},
                {REG_BINARY, bytes.data(), 3},
                {REG_NONE, nullptr, 0}};
  for (const auto& v : values) {
    Installation::unregister();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\VYN\\InstallTracking", 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const wchar_t* name : {L"installId", L"installDir"})
      RegSetValueExW(key, name, 0, v.type, static_cast<const BYTE*>(v.data), v.size);
    RegCloseKey(key);
    DeleteFileW(inst.log_path().c_str());
    const RunResult r = run_launcher(inst, {.timeout_ms = 30'000});
    EXPECT_FALSE(r.timed_out) << v.type;
    EXPECT_EQ(r.exit_code, 0u) << v.type;
    ASSERT_TRUE(r.has("launcher_init")) << v.type;
    EXPECT_EQ(r.events("launcher_init").at(0)["installId"], "null") << v.type;
    EXPECT_TRUE(r.has("launcher_exit_on_ready")) << v.type;
  }
}

TEST_F(Faults, AnApplicationFileThatIsNoProgramFailsTheLaunchOrderly) {
  test::write_file(inst.install_dir + L"\\VYN.exe", "this is not a program\r\n");
  const RunResult r = run_launcher(inst, {.timeout_ms = 30'000});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("process_launch_failed"));
  ASSERT_TRUE(r.has("launcher_exit_early"));
  EXPECT_EQ(r.events("launcher_exit_early").at(0)["reason"], "failed_to_launch");
  EXPECT_FALSE(r.has("signal_timeout"));
}

}  // namespace
}  // namespace vyn::e2e
