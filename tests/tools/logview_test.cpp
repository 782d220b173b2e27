#include "logview/timeline.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "logview/arguments.h"
#include "logview/fleet.h"
#include "logview/reading.h"
#include "logview/report.h"
#include "logview/summary.h"

namespace vyn::logview {
namespace {

std::string rec(const std::string& ts, const std::string& event, const std::string& extra = "") {
  return "{\"level\":\"info\",\"installId\":\"i\",\"ts\":\"2025-03-04T05:06:" + ts +
         "Z\",\"launcherVersion\":\"3.0.0\",\"eventName\":\"" + event + "\"" + extra +
         ",\"processId\":1,\"threadId\":2}\n";
}

TEST(Timeline, OneBlockPerRunWithAVerdict) {
  const std::string log = rec("07.000", "launcher_init", ",\"devMode\":false") +
                          rec("07.100", "launcher_gpu_incompatible_retry") +
                          rec("08.250", "launcher_exit_on_ready", ",\"mainPid\":7") +
                          rec("09.000", "launcher_init") +
                          rec("09.010", "launcher_already_running", ",\"action\":\"exit\"");
  const std::string out = render_timeline(log);
  EXPECT_NE(out.find("Run 1 (pid 1"), std::string::npos);
  EXPECT_NE(out.find("=> ready after 1250 ms, GPU fallback"), std::string::npos) << out;
  EXPECT_NE(out.find("=> second launcher"), std::string::npos) << out;
  EXPECT_NE(out.find("devMode=false"), std::string::npos);
  EXPECT_EQ(out.find("threadId"), std::string::npos);  // header members stay out of the way
}

TEST(Timeline, DamagedLinesAreShownAndCounted) {
  const std::string log = rec("07.000", "launcher_init") + "{\"level\":\"in\n" + "\xFF\xFE\n" +
                          rec("07.500", "launcher_exit_early", ",\"reason\":\"failed_to_launch\"");
  const std::string out = render_timeline(log);
  EXPECT_NE(out.find("=> launch failed, 2 damaged line(s)"), std::string::npos) << out;
  EXPECT_EQ(render_timeline(""), "(empty log)\n");
  EXPECT_NE(render_timeline("garbage").find("1 damaged line(s)"), std::string::npos);
}

TEST(Timeline, StderrBatchesListTheirLines) {
  const std::string out = render_timeline(
      rec("07.000", "vyn_stderr_batch", ",\"mainPid\":3,\"stderrLogs\":[\"a\",\"b\"]"));
  EXPECT_NE(out.find("stderrLogs=[2 lines]"), std::string::npos);
  EXPECT_NE(out.find("| b"), std::string::npos);
}

// A record of launcher process `pid` at second `sec` of 05:06.
std::string at(int pid, const std::string& sec, const std::string& event,
               const std::string& extra = "") {
  return "{\"level\":\"info\",\"installId\":\"i\",\"ts\":\"2025-03-04T05:06:" + sec +
         "Z\",\"launcherVersion\":\"3.0.0\",\"eventName\":\"" + event + "\"" + extra +
         ",\"processId\":" + std::to_string(pid) + ",\"threadId\":2}\n";
}

// The verdict lines of a rendered log, in run order.
std::vector<std::string> verdicts(const std::string& out) {
  std::vector<std::string> v;
  for (std::size_t p = out.find("  => "); p != std::string::npos; p = out.find("  => ", p + 1))
    v.push_back(out.substr(p + 5, out.find('\n', p) - p - 5));
  return v;
}

TEST(Timeline, InterleavedLaunchersAreSplitByProcessId) {
  // A second launcher started while the first waits: their records share the
  // file, line by line.
  const std::string log =
      at(10, "07.000", "launcher_init") + at(10, "07.100", "process_launch_success") +
      at(20, "08.000", "launcher_init") + at(20, "08.010", "vyn_already_running") +
      at(10, "09.000", "signal_received", ",\"elapsedMs\":1900") +
      at(20, "09.100", "launcher_exit_after_trigger_activation") +
      at(10, "09.300", "launcher_exit_on_ready") + at(10, "09.400", "integrity_verify_passed");
  const std::string out = render_timeline(log);
  EXPECT_EQ(verdicts(out),
            (std::vector<std::string>{"ready after 2000 ms", "activated the running application"}))
      << out;
  EXPECT_NE(out.find("Run 2 (pid 20, install i, from 2025-03-04T05:06:08.000Z)"), std::string::npos)
      << out;
  // The first run keeps its own late records and clock.
  const std::size_t second = out.find("Run 2 (");
  EXPECT_LT(out.find("integrity_verify_passed"), second);
  EXPECT_NE(out.find("+2400ms info    integrity_verify_passed"), std::string::npos) << out;
}

TEST(Timeline, ReadyIsTimedAtTheSignalNotAtTheExit) {
  // The machine description between the two can take seconds.
  std::string log = at(1, "07.000", "launcher_init") +
                    at(1, "08.500", "signal_received", ",\"elapsedMs\":1400") +
                    at(1, "19.000", "launcher_exit_on_ready");
  EXPECT_EQ(verdicts(render_timeline(log)), std::vector<std::string>{"ready after 1500 ms"});

  // Without its start (trimmed away) the run is timed by the waiter.
  log = at(1, "07.000", "vyn_process_not_found_in_installation") +
        at(1, "08.500", "signal_received", ",\"elapsedMs\":1400") +
        at(1, "19.000", "launcher_exit_on_ready");
  const std::string out = render_timeline(log);
  EXPECT_EQ(verdicts(out), std::vector<std::string>{"ready after 1400 ms"});
  EXPECT_NE(out.find("(the start of this run is not in the log)"), std::string::npos);

  // A run across midnight still counts forwards.
  log =
      "{\"ts\":\"2025-03-04T23:59:59.900Z\",\"eventName\":\"launcher_init\",\"processId\":1}\n"
      "{\"ts\":\"2025-03-05T00:00:00.300Z\",\"eventName\":\"signal_received\",\"processId\":1}\n"
      "{\"ts\":\"2025-03-05T00:00:00.400Z\",\"eventName\":\"launcher_exit_on_ready\","
      "\"processId\":1}\n";
  EXPECT_EQ(verdicts(render_timeline(log)), std::vector<std::string>{"ready after 400 ms"});
}

TEST(Timeline, EveryWayARunEndsHasItsVerdict) {
  const std::string init = at(1, "07.000", "launcher_init");
  const struct {
    std::string events;
    std::string verdict;
  } cases[] = {
      {at(1, "07.100", "launcher_already_running", ",\"action\":\"exit\""),
       "second launcher: another launcher was running, this one stepped aside"},
      {at(1, "07.100", "mutex_creation_failed") + at(1, "07.200", "launcher_already_running"),
       "second launcher: the launcher mutex could not be created, stepped aside"},
      {at(1, "07.100", "launcher_null_device_check_failed") +
           at(1, "09.000", "launcher_null_device_fatal"),
       "stopped: the NUL device is unusable (fatal dialog shown)"},
      {at(1, "07.100", "vyn_already_running") + at(1, "07.200", "process_launch_failed") +
           at(1, "07.300", "launcher_exit_early", ",\"reason\":\"failed_to_launch\""),
       "activation failed: the launch meant to bring it forward failed"},
      {at(1, "07.100", "launcher_gpu_incompatible_retry") +
           at(1, "07.200", "target_process_launch_failed",
              ",\"reason\":\"gpu_incompatible_retry_failed\"") +
           at(1, "07.300", "launcher_exit_early", ",\"reason\":\"failed_to_launch\""),
       "launch failed: the relaunch without GPU failed"},
      {at(1, "07.100", "signal_timeout", ",\"timeoutMs\":120000") +
           at(1, "07.200", "launcher_exit_early", ",\"reason\":\"ready_signal_timeout\""),
       "timeout: no ready signal within 120 s"},
      {at(1, "07.100", "pipe_server_create_failed") +
           at(1, "07.200", "launcher_exit_early", ",\"reason\":\"ready_signal_timeout\""),
       "no ready signal: the boot pipe could not be served"},
      {at(1, "07.200", "launcher_exit_early", ",\"reason\":\"ready_signal_timeout\""),
       "no ready signal: the boot pipe exchange ended without READY"},
      {at(1, "07.200", "launcher_exit_on_ready") +
           at(1, "07.300", "integrity_verify_failed",
              ",\"error\":\"File size mismatch: expected 1, got 2\""),
       "ready after 200 ms, integrity failed (File size mismatch: expected 1, got 2)"},
      {at(1, "07.200", "launcher_exit_on_ready") +
           at(1, "07.300", "asar_integrity_verify_thread_timeout"),
       "ready after 200 ms, integrity check unfinished at exit"},
      {at(1, "07.200", "launcher_exit_on_ready") +
           at(1, "07.300", "integrity_verify_thread_disconnected"),
       "ready after 200 ms, integrity check result lost"},
      {at(1, "07.200", "launcher_error", ",\"error\":\"bad_alloc\""),
       "incomplete run (no exit event), internal fault (bad_alloc)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(verdicts(render_timeline(init + c.events)), std::vector<std::string>{c.verdict})
        << c.events;
}

TEST(Timeline, ARecordAppendedToATornLineIsStillRead) {
  // A launcher killed in mid-write leaves a line without its end; the next
  // run's first record then follows on the same line.
  const std::string torn = at(1, "07.000", "launcher_init") + "{\"level\":\"info\",\"inst";
  const std::string log = torn + at(2, "09.000", "launcher_init") + "\0\0\0" +
                          at(2, "09.500", "launcher_exit_on_ready");
  const std::string out = render_timeline(std::string(log.data(), log.size()));
  EXPECT_EQ(verdicts(out),
            (std::vector<std::string>{"incomplete run (no exit event), 1 damaged line(s)",
                                      "ready after 500 ms"}))
      << out;
}

TEST(Timeline, OddValuesAreShownSafelyAndNeverStopTheReading) {
  // Fields of unexpected types, control characters that a terminal would act
  // on, and bytes that are not UTF-8.
  const std::string log =
      at(1, "07.000", "launcher_init", ",\"x\":\"\\u001b[31mred\\r\\n\\u0085\"") +
      "{\"eventName\":\"launcher_exit_early\",\"reason\":5,\"ts\":7,\"processId\":\"p\","
      "\"level\":[1]}\n" +
      "\x1b]0;title\x07\xC3(\xF0\x9F\x98\n";
  const std::string out = render_timeline(log);
  EXPECT_NE(out.find("x=\\x1b[31mred\\r\\n\\u0085"), std::string::npos) << out;
  EXPECT_NE(out.find("bytes: \\x1b]0;title\\x07\\xc3(\\xf0\\x9f\\x98)"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(out.find('\x07'), std::string::npos);
  EXPECT_NE(out.find("??:??:??.???"), std::string::npos);
  // The odd exit event ends the run it came after.
  EXPECT_EQ(verdicts(out), std::vector<std::string>{
                               "no ready signal: the boot pipe exchange ended without READY, 1 "
                               "damaged line(s)"});
}

// Launchers 1..n, each with only its start.
std::string splitter_log(std::size_t n) {
  std::string log;
  for (std::size_t pid = 1; pid <= n; ++pid)
    log += at(static_cast<int>(pid), "07.000", "launcher_init");
  return log;
}

// The rows of a log, in the order the runs started.
std::vector<RunRow> rows_of(const std::string& log, std::size_t* damaged = nullptr) {
  RunSplitter splitter("f.log");
  std::istringstream in(log);
  split_stream(in, splitter);
  std::vector<RunRow> rows;
  splitter.finish([&](RunRow r) { rows.push_back(std::move(r)); });
  if (damaged) *damaged = splitter.damaged_lines();
  return rows;
}

TEST(Runs, EachEndingDecidesTheOutcomeAndItsColumns) {
  const std::string init = at(1, "07.000", "launcher_init");
  const struct {
    std::string events, outcome, gpu, integrity;
  } cases[] = {
      {at(1, "07.040", "process_launch_success") + at(1, "07.900", "signal_received") +
           at(1, "09.000", "launcher_exit_on_ready") + at(1, "09.100", "integrity_verify_passed"),
       "ready", "none", "passed"},
      {at(1, "07.040", "launcher_gpu_incompatible_retry") +
           at(1, "07.050", "integrity_verify_failed", ",\"error\":\"File size mismatch\"") +
           at(1, "07.300", "launcher_exit_on_ready"),
       "ready", "ready", "failed"},
      {at(1, "07.040", "launcher_gpu_incompatible_retry") +
           at(1, "07.200", "launcher_exit_early", ",\"reason\":\"ready_signal_timeout\"") +
           at(1, "07.300", "asar_integrity_verify_thread_timeout"),
       "ready_timeout", "not_ready", "unfinished"},
      {at(1, "07.100", "target_process_launch_failed",
          ",\"reason\":\"gpu_incompatible_retry_failed\"") +
           at(1, "07.040", "launcher_gpu_incompatible_retry") +
           at(1, "07.200", "launcher_exit_early", ",\"reason\":\"failed_to_launch\""),
       "launch_failed", "launch_failed", "none"},
      {at(1, "07.100", "vyn_already_running") +
           at(1, "07.600", "launcher_exit_after_trigger_activation"),
       "activated", "none", "none"},
      {at(1, "07.010", "launcher_already_running", ",\"reason\":\"mutex_already_exists\"") +
           at(1, "07.020", "launcher_already_running", ",\"action\":\"exit\""),
       "second_launcher", "none", "none"},
      {at(1, "09.000", "launcher_null_device_fatal"), "nul_device", "none", "none"},
      {at(1, "07.100", "launcher_error", ",\"error\":\"panic\""), "internal_fault", "none", "none"},
      {at(1, "07.100", "launcher_error") + at(1, "07.300", "launcher_exit_on_ready"), "ready",
       "none", "none"},
      {at(1, "07.100", "process_launch_success"), "unknown", "none", "none"},
  };
  for (const auto& c : cases) {
    const auto rows = rows_of(init + c.events);
    ASSERT_EQ(rows.size(), 1u) << c.events;
    EXPECT_EQ(rows[0].outcome, c.outcome) << c.events;
    EXPECT_EQ(rows[0].gpu_relaunch, c.gpu) << c.events;
    EXPECT_EQ(rows[0].integrity, c.integrity) << c.events;
    EXPECT_EQ(rows[0].exit_event.empty(), c.outcome == "unknown") << c.events;
  }
  // Ready is timed at the signal, the launch at the first start.
  const auto ready =
      rows_of(init + at(1, "07.040", "process_launch_success") +
              at(1, "07.900", "signal_received") + at(1, "09.000", "launcher_exit_on_ready"))[0];
  EXPECT_EQ(ready.launch_ms, 40);
  EXPECT_EQ(ready.ready_ms, 900);
  // The description's members after a nested value are still its own.
  const auto env = rows_of(init + at(1, "08.000", "launcher_env",
                                     ",\"env\":{\"gpu\":{\"a\":[1]},\"osRelease\":\"22631\"}"));
  EXPECT_EQ(env[0].facts.os_release, "22631");
}

TEST(Runs, InterleavedReusedAndTrimmedRunsAreKeptApart) {
  std::size_t damaged = 0;
  const auto rows = rows_of(
      at(5, "06.000", "signal_received") + at(5, "06.100", "launcher_exit_on_ready") +  // trimmed
          at(10, "07.000", "launcher_init") + at(20, "07.500", "launcher_init") +
          "{\"level\":\"info\",\"inst\n" +  // torn by a killed launcher
          at(20, "07.600", "launcher_exit_after_trigger_activation") +
          "{\"eventName\":\"launcher_exit_early\",\"ts\":\"x\"}\n" +  // no process id
          at(10, "08.000", "signal_received") + at(10, "08.100", "launcher_exit_on_ready") +
          at(10, "09.000", "launcher_init") + "\r\n" + "{\"level\":\"x\"," + at(1, "1", "x"),
      &damaged);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].outcome, "ready");
  EXPECT_TRUE(rows[0].facts.init_ts.empty());
  EXPECT_EQ(rows[0].ready_ms, std::nullopt);  // its start is not in the log
  EXPECT_EQ(rows[1].facts.pid, 10u);
  EXPECT_EQ(rows[1].ready_ms, 1000);
  EXPECT_EQ(rows[2].outcome, "activated");
  EXPECT_EQ(rows[2].facts.damaged_lines, 2u);
  EXPECT_EQ(rows[3].outcome, "unknown");  // the id's next run
  EXPECT_EQ(rows[4].facts.pid, 1u);       // read after the torn start on its line
  EXPECT_EQ(damaged, 3u);
}

TEST(Runs, LinesBeyondTheLimitAreOneDamagedLineEachAndRowsQuoteForCsv) {
  std::size_t damaged = 0;
  const std::string huge(kMaxLineBytes + 10, 'x');
  const auto rows = rows_of(at(1, "07.000", "launcher_init") + huge + "\n" + huge, &damaged);
  EXPECT_EQ(damaged, 2u);
  ASSERT_EQ(rows.size(), 1u);
  RunRow row = rows[0];
  row.facts.fault = true;
  row.facts.fault_message = "a \"b\",\nc";
  const std::string csv = row_csv(row);
  EXPECT_NE(csv.find(",\"a \"\"b\"\",\\nc\","), std::string::npos) << csv;
  const std::string header = csv_header();
  EXPECT_EQ(std::count(header.begin(), header.end(), ','),
            std::count(csv.begin(), csv.end(), ',') - 1);
}

TEST(Runs, OpenRunsAreBoundedAndTheOldestIsJudgedFirst) {
  // A hostile log: a new launcher on every line, none of them ending.
  std::vector<RunRow> early;
  RunSplitter splitter("f.log", [&](RunRow r) { early.push_back(std::move(r)); });
  for (std::size_t pid = 1; pid <= kMaxOpenRuns + 1; ++pid)
    splitter.line(at(static_cast<int>(pid), "07.000", "launcher_init"));
  ASSERT_EQ(early.size(), 1u);
  EXPECT_EQ(early[0].facts.pid, 1u);
  splitter.line(at(1, "08.000", "launcher_exit_on_ready"));  // its own run now, without a start
  std::vector<RunRow> rest;
  splitter.finish([&](RunRow r) { rest.push_back(std::move(r)); });
  EXPECT_EQ(early.size(), 2u);  // the next oldest made room for it
  ASSERT_EQ(rest.size(), kMaxOpenRuns);
  EXPECT_EQ(rest.back().outcome, "ready");
  EXPECT_FALSE(rest.back().facts.has_init);
  const std::string timeline = render_timeline(splitter_log(kMaxOpenRuns + 1));
  EXPECT_LT(timeline.find("=> incomplete run"), timeline.find("Run 2 ")) << timeline.substr(0, 400);
}

TEST(Runs, CsvCellsAreDefusedForSpreadsheets) {
  const struct {
    std::string text, cell;
  } cases[] = {
      {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
      {"+1", "\"'+1\""},
      {"-2", "\"'-2\""},
      {"@SUM(A1)", "\"'@SUM(A1)\""},
      {"\tx", "\"'\\tx\""},
      {"\rx", "\"'\\rx\""},
      {"a\x1b[31mb\x7f", "a\\u001b[31mb\\u007f"},
      {"plain text", "plain text"},
  };
  for (const auto& c : cases) {
    RunRow row;
    row.facts.fault = true;
    row.facts.fault_message = c.text;
    row.launch_ms = -5;  // a clock set back: still a number
    const std::string csv = row_csv(row);
    EXPECT_NE(csv.find("," + c.cell + ","), std::string::npos) << c.text << " -> " << csv;
    EXPECT_NE(csv.find(",-5,"), std::string::npos) << csv;
  }
}

TEST(Reading, EncodingsAndEndlessLinesAreNamed) {
  const struct {
    std::string head, problem;
  } cases[] = {
      {"\xFF\xFE{\0\"\0", "UTF-16 text (byte order mark FF FE)"},
      {std::string("{\0\"\0l\0e\0v\0", 10), "UTF-16 text (little-endian, no byte order mark)"},
      {"{\"a\":\"caf\xE9\"}\n", "not UTF-8 text (byte 0xE9 at offset 9)"},
      {std::string("{}\n\0\0\0\0\0\0{}\n", 12), ""},  // a crash's zero padding
      {"{\"a\":\"\xC3\xA9\"}\n\xE2\x82", ""},         // a character the probe cut
  };
  for (const auto& c : cases) EXPECT_EQ(encoding_problem(c.head), c.problem);

  std::istringstream in("abc\n" + std::string(100, 'x') + "\nok\n" + std::string(100, 'y'));
  std::vector<std::string> lines;
  int overlong = 0;
  read_lines(
      in, [&](std::string_view l) { lines.emplace_back(l); }, [&] { ++overlong; }, 50);
  EXPECT_EQ(lines, (std::vector<std::string>{"abc", "ok"}));
  EXPECT_EQ(overlong, 2);
}

TEST(Reading, WhatCannotBeReadIsNamedWithItsReasonAndTheRestIsRead) {
  namespace fs = std::filesystem;
  const fs::path dir =
      fs::temp_directory_path() /
      ("logview-pile-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  fs::remove_all(dir);
  fs::create_directories(dir / "locked");
  const auto write = [&](const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary) << text;
  };
  write(dir / "good.log", at(1, "07.000", "launcher_init"));
  write(dir / "locked" / "hidden.log", at(2, "07.000", "launcher_init"));
  write(dir / "wide.log", "\xFF\xFE{\0");
  struct Case {
    fs::path path;
    std::string reason;
  };
  std::vector<Case> cases = {{dir / "wide.log", "UTF-16 text"},
                             {dir / "missing.log", "No such file or directory"}};
#ifndef _WIN32
  ASSERT_EQ(::mkfifo((dir / "pipe.log").c_str(), 0600), 0);
  fs::create_symlink("loop.log", dir / "loop.log");
  cases.push_back({dir / "pipe.log", "not a regular file"});
  cases.push_back({dir / "loop.log", "Too many levels of symbolic links"});
  fs::permissions(dir / "locked", fs::perms::none);
  if (::geteuid() != 0) cases.push_back({dir / "locked", "Permission denied"});
#endif
  std::ostringstream err;
  std::size_t rows = 0;
  const bool all = read_fleet({dir, dir / "missing.log", dir / "pipe.log"},
                              {[&](RunRow) { ++rows; }, nullptr}, err);
  fs::permissions(dir / "locked", fs::perms::owner_all);
  fs::remove_all(dir);
  EXPECT_FALSE(all);
  EXPECT_GE(rows, 1u);
  for (const auto& c : cases)
    EXPECT_NE(err.str().find(utf8(c.path) + ": " + c.reason), std::string::npos) << c.reason << "\n"
                                                                                 << err.str();
}

TEST(Summary, PercentilesAreNearestRankAndListsRankByCount) {
  Summary s;
  RunSplitter none("x");
  for (int ms = 1; ms <= 20; ++ms) {
    RunRow r;
    r.outcome = ms <= 18 ? "ready" : "ready_timeout";
    if (ms <= 18) r.ready_ms = ms * 10;
    r.gpu_relaunch = ms == 1 ? "ready" : "none";
    r.integrity = ms % 2 ? "passed" : "io_error";
    r.facts.first_launch_ts = "t";
    r.facts.has_env = ms > 1;
    r.facts.os_release = ms > 10 ? "22631" : "19045";
    s.add(r);
  }
  s.add_file(none);
  const auto j = s.to_json();
  EXPECT_EQ(j["readyMs"],
            nlohmann::ordered_json::parse(R"({"runs":18,"p50":90,"p90":170,"p99":180})"));
  EXPECT_EQ(j["outcomes"][0]["outcome"], "ready");
  EXPECT_EQ(j["outcomes"][0]["share"], 0.9);
  EXPECT_EQ(j["integrity"][0]["result"], "io_error");  // ten each: by name
  EXPECT_EQ(j["gpuFallback"]["rate"], 0.05);
  EXPECT_EQ(j["byOsRelease"].size(), 3u);
  EXPECT_EQ(j["byOsRelease"][2]["osRelease"], nullptr);  // no description, last
  EXPECT_NE(s.to_table().find("p90                                             170 ms"),
            std::string::npos)
      << s.to_table();
}

TEST(Report, TimesKeepTwoDigitsAndEveryBoundHolds) {
  const struct {
    std::int64_t ms, shown;
  } times[] = {{-5, 0},      {99, 99},         {100, 100},
               {1234, 1200}, {99'999, 99'000}, {ReadyTimes::kMaxMs * 3, 9'900'000}};
  for (const auto& t : times) {
    ReadyTimes one;
    one.add(t.ms);
    EXPECT_EQ(one.percentile(50), t.shown) << t.ms;
  }
  Report report;
  constexpr std::size_t kRuns = kReportMaxDays + kReportMaxGroups;
  for (std::size_t i = 0; i < kRuns; ++i) {
    RunRow row;
    row.outcome = "ready";
    row.ready_ms = static_cast<std::int64_t>(i);
    char day[32];  // a day of its own for each run
    std::snprintf(day, sizeof day, "%04zu-%02zu-%02zuT05:06:07.000Z", 2000 + i / 336,
                  1 + i / 28 % 12, 1 + i % 28);
    row.facts.init_ts = i % 10 ? day : "x";
    row.facts.version = "3.0.0";
    row.facts.has_env = true;
    row.facts.os_release = "r" + std::to_string(i);
    row.integrity = i % 3 ? "passed" : "io_error";  // unreadable files count as a failure
    row.facts.install_id = i % 2 ? "null" : "inst";
    row.file = "user" + std::to_string(i % 4) + ".log";
    row.facts.integrity_error = "a";
    for (int k = 0; k < 1000; ++k) row.facts.integrity_error += "\xC3\xA9";  // a long text
    report.add(row);
  }
  const auto j = report.to_json();
  EXPECT_EQ(j["days"].size(), kReportMaxDays);
  EXPECT_EQ(j["days"][0]["day"], "2000-03-04");  // the newest days stay
  EXPECT_EQ(j["undatedRuns"], 47u);
  EXPECT_EQ(j["earlierRuns"], kRuns - 47 - kReportMaxDays);
  const auto& by_os = j["readyByOsRelease"];
  ASSERT_EQ(by_os.size(), kReportShownGroups + 1);
  EXPECT_EQ(by_os.back()["group"], "(other)");
  EXPECT_EQ(by_os.back()["runs"], kRuns - kReportShownGroups);
  EXPECT_EQ(j["readyByVersion"][0]["p50"], 230);  // 232, to two digits
  // One id, and the runs without one told apart by their logs.
  ASSERT_EQ(j["integrityFailures"].size(), 3u);
  EXPECT_EQ(j["integrityFailures"][0]["installId"], "inst");
  EXPECT_EQ(j["integrityFailures"][0]["failures"], 78u);
  EXPECT_EQ(j["integrityFailures"][0]["error"].get<std::string>().size(), 299u + 3);
  EXPECT_EQ(j["integrityFailures"][1]["file"], "user1.log");
  EXPECT_EQ(script_safe_json({{"e", "</script><!--"}}), R"({"e":"\u003c/script>\u003c!--"})");
}

TEST(Summary, GroupsReadyWithinAndFailedChecksPerInstallation) {
  Summary s({"installation", 100});
  const struct {
    std::string install_id, install_dir, outcome, integrity;
    std::optional<std::int64_t> ready_ms;
  } runs[] = {
      {"null", "D:\\VYN", "ready", "io_error", 80},  // no id: told apart by its folder
      {"null", "D:\\VYN", "ready", "passed", 300},
      {"abc", "", "ready_timeout", "failed", std::nullopt},
      {"abc", "", "activated", "none", std::nullopt},  // never waits: no start
  };
  for (const auto& r : runs) {
    RunRow row;
    row.facts.has_init = true;
    row.facts.install_id = r.install_id;
    row.facts.install_dir = r.install_dir;
    row.outcome = r.outcome;
    row.integrity = r.integrity;
    row.ready_ms = r.ready_ms;
    s.add(row);
  }
  const auto j = s.to_json();
  EXPECT_EQ(j["readyWithin"], nlohmann::ordered_json::parse(
                                  R"({"ms":100,"starts":3,"ready":1,"share":0.3333333333333333})"));
  EXPECT_EQ(j["integrityFailedBy"], nlohmann::ordered_json::parse(
                                        R"([{"installation":"D:\\VYN","runs":1},
                                            {"installation":"abc","runs":1}])"));
  ASSERT_EQ(j["groups"].size(), 2u);
  EXPECT_EQ(j["groups"][0]["installation"], "D:\\VYN");
  EXPECT_EQ(j["groups"][0]["p90"], 300);
  EXPECT_EQ(j["groups"][0]["share"], 0.5);
}

TEST(Arguments, HelpPrintsTheUsageAndAnythingElseNamesTheLog) {
  for (const char* flag : {"--help", "-h"}) {
    const auto r = parse_logview_arguments({flag});
    ASSERT_TRUE(std::holds_alternative<ExitNow>(r)) << flag;
    EXPECT_EQ(std::get<ExitNow>(r).code, 0) << flag;
    EXPECT_NE(std::get<ExitNow>(r).out.find("Usage: vyn-logview"), std::string::npos) << flag;
  }
  EXPECT_EQ(std::get<ReadLog>(parse_logview_arguments({"D:\\logs\\bootstrap.log"})).path,
            "D:\\logs\\bootstrap.log");
  EXPECT_EQ(std::get<ReadLog>(parse_logview_arguments({})).path, std::nullopt);
  EXPECT_EQ(std::get<ExitNow>(parse_logview_arguments({"a.log", "b.log"})).code, 2);
  const auto runs = std::get<ReadFleet>(parse_logview_arguments({"runs", "--csv", "a", "dir"}));
  EXPECT_EQ(runs.paths, (std::vector<std::string>{"a", "dir"}));
  EXPECT_TRUE(runs.csv);
  const auto summary = std::get<ReadFleet>(parse_logview_arguments({"summary", "--json", "d"}));
  EXPECT_EQ(summary.report, ReadFleet::Report::summary);
  EXPECT_TRUE(summary.json);
  EXPECT_EQ(std::get<ExitNow>(parse_logview_arguments({"summary"})).code, 2);
  const auto page = std::get<ReadFleet>(parse_logview_arguments({"report", "--html", "p", "d"}));
  EXPECT_EQ(page.report, ReadFleet::Report::html);
  EXPECT_EQ(page.html, "p");
  EXPECT_EQ(page.paths, std::vector<std::string>{"d"});
  EXPECT_EQ(std::get<ExitNow>(parse_logview_arguments({"report", "d"})).code, 2);
  const auto range = std::get<ReadFleet>(
      parse_logview_arguments({"summary", "--since", "2025-03-04", "--until",
                               "2025-03-04T05:06:07.000Z", "--by", "day", "d"}));
  EXPECT_EQ(range.since_ms, 1741046400000);
  EXPECT_EQ(range.until_ms, 1741046400000 + ((5 * 60 + 6) * 60 + 7) * 1000);
  for (const char* wrong : {"2025-03-04T05:06:07+01:00", "yesterday"})
    EXPECT_EQ(std::get<ExitNow>(parse_logview_arguments({"runs", "--since", wrong, "d"})).code, 2);
  EXPECT_EQ(std::get<ExitNow>(parse_logview_arguments({"summary", "--by", "user", "d"})).code, 2);
}

}  // namespace
}  // namespace vyn::logview
