#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <map>

#include "process/instance_detection.h"
#include "process/instance_fixture_win.h"
#include "process/path_compare.h"

namespace vyn {
namespace {

using test::LogCursor;
using test::RunningProcess;

std::wstring upper(std::wstring s) {
  std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return std::towupper(c); });
  return s;
}

std::wstring exe_in(const std::wstring& dir) { return join_path(dir, kTargetExeName); }

class InstanceDetection : public ::testing::Test {
 protected:
  void SetUp() override {
    test::program_log_path();
    ours_ = test::make_installation(root_, L"ours");
    other_ = test::make_installation(root_, L"other");
  }

  test::TempDir root_;
  std::wstring ours_;
  std::wstring other_;
};

const std::vector<std::string> kMatchFields = {"pid",           "name",   "exe_path",
                                               "expected_path", "status", "validation"};
const std::vector<std::string> kMismatchFields = {"pid", "name", "exe_path", "expected_path",
                                                  "validation"};

TEST_F(InstanceDetection, SnapshotHoldsThisProcessAndCanonicalFormsResolve) {
  const auto snapshot = snapshot_processes();
  const auto self = std::find_if(snapshot.begin(), snapshot.end(), [](const ProcessEntry& e) {
    return e.pid == ::GetCurrentProcessId();
  });
  ASSERT_NE(self, snapshot.end());
  EXPECT_EQ(self->name, L"tests_process.exe");

  const std::wstring exe = exe_in(ours_);
  const std::wstring canonical = canonical_or_given(exe);
  EXPECT_EQ(canonical.rfind(L"\\\\?\\", 0), 0u) << to_utf8(canonical);
  EXPECT_EQ(canonical_or_given(upper(exe)), canonical);
  EXPECT_EQ(canonical_or_given(ours_).rfind(L"\\\\?\\", 0), 0u);  // a folder opens too
  const std::wstring missing = root_ / L"missing\\VYN.exe";
  EXPECT_EQ(canonical_or_given(missing), missing);
}

TEST_F(InstanceDetection, FindsTheFirstProcessOfThisInstallationOnly) {
  RunningProcess first(exe_in(ours_));
  RunningProcess second(exe_in(ours_));
  LogCursor log;
  EXPECT_TRUE(find_running_vyn(ours_));

  const auto matches = log.named("vyn_process_detected_same_installation");
  ASSERT_EQ(matches.size(), 1u);
  const auto& m = matches[0];
  EXPECT_EQ(test::field_names(m), kMatchFields);
  EXPECT_EQ(m["level"], "info");
  EXPECT_TRUE(m["pid"] == first.pid() || m["pid"] == second.pid());
  EXPECT_EQ(m["name"], "VYN.exe");
  EXPECT_TRUE(
      paths_equal(as_u16(to_wide(m["exe_path"].get<std::string>())), as_u16(exe_in(ours_))));
  EXPECT_EQ(m["expected_path"], to_utf8(exe_in(ours_)));
  EXPECT_EQ(m["status"], "running");
  EXPECT_EQ(m["validation"], "path_matched");
  EXPECT_EQ(log.events().back(), "vyn_process_detected_same_installation");
}

TEST_F(InstanceDetection, AnotherInstallationAloneDoesNotCount) {
  RunningProcess theirs(exe_in(other_));
  LogCursor log;
  EXPECT_FALSE(find_running_vyn(ours_));

  EXPECT_EQ(log.events(), (std::vector<std::string>{"vyn_process_detected_different_path",
                                                    "vyn_process_not_found_in_installation"}));
  const auto r = log.records();
  EXPECT_EQ(test::field_names(r[0]), kMismatchFields);
  EXPECT_EQ(r[0]["level"], "verbose");
  EXPECT_EQ(r[0]["pid"], theirs.pid());
  EXPECT_TRUE(
      paths_equal(as_u16(to_wide(r[0]["exe_path"].get<std::string>())), as_u16(exe_in(other_))));
  EXPECT_EQ(r[0]["expected_path"], to_utf8(exe_in(ours_)));
  EXPECT_EQ(r[0]["validation"], "path_mismatch");
  EXPECT_EQ(test::field_names(r[1]), std::vector<std::string>{"status"});
  EXPECT_EQ(r[1]["status"], "not_running");
  EXPECT_EQ(r[1]["level"], "verbose");
}

TEST_F(InstanceDetection, AnotherInstallationBeforeOursIsReportedThenOursMatches) {
  {
    RunningProcess theirs(exe_in(other_));
    RunningProcess mine(exe_in(ours_));
    LogCursor log;
    EXPECT_TRUE(find_running_vyn(ours_));
    EXPECT_EQ(log.named("vyn_process_detected_same_installation").at(0)["pid"], mine.pid());
  }
  // The system's order is its own, so the order is fixed here by hand.
  const std::map<std::uint32_t, std::wstring> paths = {
      {10, exe_in(other_)}, {20, exe_in(ours_)}, {30, exe_in(ours_)}};
  const std::vector<ProcessEntry> snapshot = {
      {5, L"explorer.exe"}, {10, L"VYN.exe"}, {20, L"VYN.exe"}, {30, L"VYN.exe"}};
  LogCursor log;
  EXPECT_TRUE(find_running_vyn_in(snapshot, ours_, [&](std::uint32_t pid) {
    return std::optional<std::wstring>(paths.at(pid));
  }));
  const auto r = log.records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["eventName"], "vyn_process_detected_different_path");
  EXPECT_EQ(r[0]["pid"], 10);
  EXPECT_EQ(r[1]["eventName"], "vyn_process_detected_same_installation");
  EXPECT_EQ(r[1]["pid"], 20);
}

TEST_F(InstanceDetection, OnlyNamesThatLowerToTheTargetAreCandidates) {
  const std::vector<ProcessEntry> snapshot = {{1, L"Vyn.EXE"},      {2, L"vyn.exe.bak"},
                                              {3, L"vyn"},          {4, L"VYN.exe "},
                                              {5, L"\u0412YN.exe"}, {6, L"vyn.exe"}};
  std::vector<std::uint32_t> asked;
  LogCursor log;
  EXPECT_FALSE(find_running_vyn_in(snapshot, ours_, [&](std::uint32_t pid) {
    asked.push_back(pid);
    return std::optional<std::wstring>(exe_in(other_));
  }));
  EXPECT_EQ(asked, (std::vector<std::uint32_t>{1, 6}));
  const auto r = log.records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0]["name"], "Vyn.EXE");  // reported as the system spells it
}

TEST_F(InstanceDetection, CandidateWithoutPathNeverMatches) {
  LogCursor log;
  EXPECT_FALSE(find_running_vyn_in({{77, L"VYN.exe"}}, ours_,
                                   [](std::uint32_t) { return std::optional<std::wstring>(); }));
  const auto r = log.records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["eventName"], "vyn_process_detected_no_path");
  EXPECT_EQ(test::field_names(r[0]), (std::vector<std::string>{"pid", "name", "validation"}));
  EXPECT_EQ(r[0]["pid"], 77);
  EXPECT_EQ(r[0]["validation"], "path_unavailable");
  EXPECT_EQ(r[1]["eventName"], "vyn_process_not_found_in_installation");

  LogCursor empty;
  EXPECT_FALSE(find_running_vyn_in({}, ours_, process_executable_path));
  EXPECT_EQ(empty.events(), std::vector<std::string>{"vyn_process_not_found_in_installation"});
}

TEST_F(InstanceDetection, InstallDirInOtherLetterCaseMatches) {
  RunningProcess mine(exe_in(ours_));
  const std::wstring shouted = upper(ours_);
  ASSERT_NE(shouted, ours_);
  LogCursor log;
  EXPECT_TRUE(find_running_vyn(shouted));
  const auto m = log.named("vyn_process_detected_same_installation");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0]["expected_path"], to_utf8(exe_in(shouted)));
}

TEST_F(InstanceDetection, InstallDirThatDoesNotExistMatchesNothing) {
  RunningProcess mine(exe_in(ours_));
  const std::wstring missing = root_ / L"missing";
  LogCursor log;
  EXPECT_FALSE(find_running_vyn(missing));
  EXPECT_EQ(log.events(), (std::vector<std::string>{"vyn_process_detected_different_path",
                                                    "vyn_process_not_found_in_installation"}));
  EXPECT_EQ(log.records()[0]["expected_path"], to_utf8(exe_in(missing)));
}

}  // namespace
}  // namespace vyn
