// The launcher's start-up through the real binary: command line, install
// lookup, log location and the first records of a run.
#include <gtest/gtest.h>

#include "e2e/harness_win.h"

namespace vyn::e2e {
namespace {

class Startup : public ::testing::Test {
 protected:
  void SetUp() override { Installation::unregister(); }
  void TearDown() override { Installation::unregister(); }
  Installation inst;
};

TEST_F(Startup, HelpAndVersionPrintAndEndWithZeroWithoutALog) {
  RunResult r = run_launcher(inst, {.args = {L"--version"}});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(r.out, "VYN_Launcher 0.1.0\n");
  r = run_launcher(inst, {.args = {L"-h"}});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_NE(r.out.find("Development mode flag (release build always uses VYN.exe)"),
            std::string::npos);
  EXPECT_NE(r.out.find("\xE4\xBC\xA0\xE9\x80\x92"), std::string::npos);  // the Chinese help text
  EXPECT_TRUE(r.lines.empty());
}

TEST_F(Startup, UsageErrorsEndWithTwoBeforeAnyLog) {
  for (const RunOptions& o : {RunOptions{.args = {L"--dev-mode", L"--dev-mode"}},
                              RunOptions{.env = {{L"DEV_MODE", L"1"}}}}) {
    const RunResult r = run_launcher(inst, o);
    EXPECT_EQ(r.exit_code, 2u);
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty());
    EXPECT_TRUE(r.lines.empty());
  }
}

TEST_F(Startup, OrderlyRunLogsInitAndBannerWithTheRegisteredId) {
  inst.register_install(L"install-\u4e2d");
  const RunResult r = run_launcher(inst, {.args = {L"--dev-mode", L"--inspect=9229"}});
  EXPECT_EQ(r.exit_code, 0u);
  ASSERT_GE(r.records.size(), 2u);
  const Record& init = r.records[0];
  EXPECT_EQ(init["eventName"], "launcher_init");
  EXPECT_EQ(init["level"], "verbose");
  EXPECT_EQ(init["devMode"], true);
  EXPECT_EQ(init["installId"], "install-\xE4\xB8\xAD");
  EXPECT_EQ(init["launcherVersion"], "3.0.0");
  EXPECT_EQ(init["processId"], r.pid);
  EXPECT_EQ(r.events("launcher_banner_prod").at(0)["mode"], "production");
  EXPECT_EQ(r.events("launcher_banner_prod").at(0)["target"], "VYN.exe");
  // Wine refuses the per-monitor context; whatever the answer, at most one
  // failure is logged and start-up goes on.
  EXPECT_LE(r.events("launcher_dpi_setup_failed").size(), 1u);
  for (const std::string& line : r.lines) EXPECT_EQ(line.find('\r'), std::string::npos);
}

TEST_F(Startup, MissingKeyFallsBackAndDevModeComesFromTheEnvironment) {
  const RunResult r = run_launcher(inst, {.env = {{L"DEV_MODE", L"true"}}});
  EXPECT_EQ(r.exit_code, 0u);
  ASSERT_FALSE(r.records.empty());
  EXPECT_EQ(r.records[0]["installId"], "null");
  EXPECT_EQ(r.records[0]["devMode"], true);
}

TEST_F(Startup, WithoutAppDataTheLogGoesUnderTheProfile) {
  const RunResult r = run_launcher(inst, {.env = {{L"APPDATA", std::nullopt}}});
  EXPECT_EQ(r.exit_code, 0u);
  const std::string log =
      test::read_file(inst.profile + L"\\AppData\\Roaming\\VYN\\logs\\bootstrap.log");
  EXPECT_NE(log.find("\"launcher_init\""), std::string::npos);
}

TEST_F(Startup, OldRunsAreTrimmedToTheLastNineBeforeTheNewOne) {
  CreateDirectoryW((inst.appdata + L"\\VYN").c_str(), nullptr);
  CreateDirectoryW((inst.appdata + L"\\VYN\\logs").c_str(), nullptr);
  std::string old;
  for (int i = 0; i < 12; ++i)
    old += "{\"eventName\":\"launcher_init\",\"old\":" + std::to_string(i) + "}\r\n";
  test::write_file(inst.log_path(), old);
  const RunResult r = run_launcher(inst);
  EXPECT_EQ(r.exit_code, 0u);
  ASSERT_GE(r.records.size(), 10u);
  EXPECT_EQ(r.records[0]["old"], 3);
  EXPECT_EQ(r.records[8]["old"], 11);
  EXPECT_FALSE(r.records[9].contains("old"));
  EXPECT_EQ(r.records[9]["eventName"], "launcher_init");
}

TEST_F(Startup, ArgumentsFromTheWindowsCommandLineRules) {
  // Quoted text with an escaped quote and a trailing backslash still parses;
  // a first unknown option is passed through rather than rejected.
  const RunResult r = run_launcher(inst, {.raw_command_tail = L"--unknown \"a \\\"b\\\" c\\\\\""});
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_TRUE(r.has("launcher_init"));
}

}  // namespace
}  // namespace vyn::e2e
