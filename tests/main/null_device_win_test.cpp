#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "main/null_device.h"
#include "support/temp_dir_win.h"
#include "utils/path.h"
#include "utils/win.h"

namespace vyn {
namespace {

// A name in the device namespace that no driver provides.
constexpr const wchar_t* kMissingDevice = L"\\\\.\\VynNoSuchDevice";
constexpr DWORD kProbeTimeoutMs = 30000;

struct ProbeRun {
  DWORD exit_code = 0;
  std::vector<nlohmann::json> records;
  std::string dialog;  // what the stand-in dialog recorded; empty if never shown
};

class NullDeviceProbe : public ::testing::Test {
 protected:
  // Runs the check in the helper program, which ends the way the launcher
  // would.
  ProbeRun run_probe(const std::wstring& device, const std::wstring& system_folder) {
    const std::wstring exe =
        join_path(parent_path(std::wstring_view(*own_executable_path())), L"vyn_null_probe.exe");
    std::wstring cmd = L"\"" + exe + L"\"";
    for (const std::wstring& arg : {device, system_folder, log_path_, record_path_})
      cmd += L" \"" + arg + L"\"";

    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ProbeRun run;
    wchar_t* env = ::GetEnvironmentStringsW();
    const BOOL started = ::CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE,
                                          CREATE_UNICODE_ENVIRONMENT, env, nullptr, &si, &pi);
    ::FreeEnvironmentStringsW(env);
    if (!started) {
      ADD_FAILURE() << "cannot start the probe: " << os_error_text(::GetLastError());
      return run;
    }
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    EXPECT_EQ(::WaitForSingleObject(process.get(), kProbeTimeoutMs), WAIT_OBJECT_0);
    ::GetExitCodeProcess(process.get(), &run.exit_code);
    for (const std::string& line : test::split_lines(test::read_file(log_path_)))
      run.records.push_back(nlohmann::json::parse(line));
    run.dialog = test::read_file(record_path_);
    return run;
  }

  // What the stand-in must have been shown: log lines so far, then the text.
  static std::string dialog_record(std::size_t lines_before, NullDeviceError cause) {
    return std::to_string(lines_before) + "\n" +
           utf16_to_utf8(fatal_dialog_text(cause, dialog_language(::GetUserDefaultUILanguage())));
  }

  static void expect_record(const nlohmann::json& record, const char* event,
                            const nlohmann::json& fields) {
    EXPECT_EQ(record["eventName"], event);
    EXPECT_EQ(record["level"], "error");
    for (const auto& [key, value] : fields.items()) EXPECT_EQ(record[key], value) << key;
  }

  test::TempDir dir_;
  std::wstring log_path_ = dir_ / L"bootstrap.log";
  std::wstring record_path_ = dir_ / L"dialog.txt";
};

TEST(NullDeviceCheck, WorkingDeviceReturnsWithoutDialog) {
  bool shown = false;
  check_null_device(kNullDeviceName, "C:\\nowhere", [&](std::u16string_view) { shown = true; });
  EXPECT_FALSE(shown);
}

TEST(NullDeviceCheck, SystemDirectoryIsAnAbsoluteFolder) {
  const std::string folder = system_directory();
  EXPECT_TRUE(is_absolute_path(std::string_view(folder))) << folder;
  EXPECT_NE(::GetFileAttributesW(to_wide(folder).c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(NullDeviceProbe, WorkingDeviceLogsNothing) {
  const ProbeRun run = run_probe(kNullDeviceName, dir_.path());
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_TRUE(run.records.empty());
  EXPECT_TRUE(run.dialog.empty());
}

TEST_F(NullDeviceProbe, MissingDriverFileEndsWithCodeOne) {
  const std::wstring system = dir_ / L"System32";
  ASSERT_TRUE(::CreateDirectoryW(system.c_str(), nullptr));
  // A drivers folder without the file is still a missing driver.
  ASSERT_TRUE(::CreateDirectoryW((system + L"\\drivers").c_str(), nullptr));

  const ProbeRun run = run_probe(kMissingDevice, system);
  EXPECT_EQ(run.exit_code, 1u);
  ASSERT_EQ(run.records.size(), 3u);
  expect_record(run.records[0], "launcher_null_device_check_failed",
                {{"system32", to_utf8(system)}});
  expect_record(run.records[1], "launcher_null_device_sys_missing", nlohmann::json::object());
  // No fields: the record ends with the writer's own members.
  EXPECT_FALSE(run.records[1].contains("reason"));
  expect_record(run.records[2], "launcher_null_device_fatal",
                {{"error", "null.sys driver file is missing"}});
  EXPECT_EQ(run.dialog, dialog_record(2, NullDeviceError::SysMissing));
}

TEST_F(NullDeviceProbe, PresentDriverFileMeansTheServiceIsOff) {
  // A non-ASCII folder checks that the logged UTF-8 and the path asked for
  // are the same folder.
  const std::wstring system = dir_ / L"Syst\u00E8me\u7CFB\u7EDF";
  ASSERT_TRUE(::CreateDirectoryW(system.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW((system + L"\\drivers").c_str(), nullptr));
  test::write_file(system + L"\\drivers\\null.sys", "MZ");

  const ProbeRun run = run_probe(kMissingDevice, system);
  EXPECT_EQ(run.exit_code, 1u);
  ASSERT_EQ(run.records.size(), 3u);
  expect_record(run.records[0], "launcher_null_device_check_failed",
                {{"system32", to_utf8(system)}});
  expect_record(run.records[1], "launcher_null_device_unavailable",
                {{"reason", "null_service_disabled_or_stopped"}});
  expect_record(run.records[2], "launcher_null_device_fatal",
                {{"error", "NUL device unavailable (null service disabled or not started)"}});
  EXPECT_EQ(run.dialog, dialog_record(2, NullDeviceError::ServiceUnavailable));
}

}  // namespace
}  // namespace vyn
