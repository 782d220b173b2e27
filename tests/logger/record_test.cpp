#include "logger/record.h"

#include <gtest/gtest.h>

#include "logger/rotation.h"

namespace vyn {
namespace {

// 2025-03-04T05:06:07Z in FILETIME ticks.
constexpr FileTimeTicks kSample = 133855383670000000ULL;

std::vector<std::string> keys(const Fields& record) {
  std::vector<std::string> out;
  for (auto it = record.begin(); it != record.end(); ++it) out.push_back(it.key());
  return out;
}

TEST(Timestamp, TruncatesToMilliseconds) {
  EXPECT_EQ(format_timestamp(kSample + 89 * 10'000), "2025-03-04T05:06:07.089Z");
  EXPECT_EQ(format_timestamp(kSample + 5 * 10'000), "2025-03-04T05:06:07.005Z");
  EXPECT_EQ(format_timestamp(kSample + 9'999'999), "2025-03-04T05:06:07.999Z");
  EXPECT_EQ(format_timestamp(0), "1601-01-01T00:00:00.000Z");
  // Leap day and the last millisecond of a year.
  EXPECT_EQ(format_timestamp(133537248000000000ULL), "2024-03-01T00:00:00.000Z");
  EXPECT_EQ(format_timestamp(133537247999990000ULL), "2024-02-29T23:59:59.999Z");
}

TEST(BuildRecord, HeaderThenFieldsThenProcessAndThread) {
  const LogIdentity id{"inst-1", "3.0.0"};
  Fields f = Fields::object();
  f["devMode"] = false;
  const std::string line = serialize_log_line(
      build_log_record(LogLevel::Verbose, "launcher_init", f, id, kSample + 89 * 10'000), 42, 7);
  EXPECT_EQ(line,
            "{\"level\":\"verbose\",\"installId\":\"inst-1\",\"ts\":\"2025-03-04T05:06:07.089Z\","
            "\"launcherVersion\":\"3.0.0\",\"eventName\":\"launcher_init\",\"devMode\":false,"
            "\"processId\":42,\"threadId\":7}\n");
}

TEST(BuildRecord, NoFieldsAndUnsetIdentity) {
  const Fields r = build_log_record(LogLevel::Error, "x", Fields(), LogIdentity{}, kSample);
  EXPECT_EQ(keys(r),
            (std::vector<std::string>{"level", "installId", "ts", "launcherVersion", "eventName"}));
  EXPECT_EQ(r["installId"], "uninitialized");
  EXPECT_EQ(r["launcherVersion"], "3.0.0");
  EXPECT_EQ(r["level"], "error");
}

TEST(BuildRecord, CollisionsReplaceInPlaceAndStderrLogsGoesLast) {
  Fields f = Fields::object();
  f["stderrLogs"] = Fields::array({"a"});
  f["level"] = "custom";
  f["mainPid"] = 9;
  f["processId"] = "mine";
  const Fields r = build_log_record(LogLevel::Info, "e", f, LogIdentity{}, kSample);
  EXPECT_EQ(keys(r), (std::vector<std::string>{"level", "installId", "ts", "launcherVersion",
                                               "eventName", "mainPid", "processId", "stderrLogs"}));
  EXPECT_EQ(r["level"], "custom");
  // The writer's processId keeps the caller's position but not its value.
  const Fields written = Fields::parse(serialize_log_line(r, 5, 6));
  EXPECT_EQ(keys(written).back(), "threadId");
  EXPECT_EQ(written["processId"], 5);
  EXPECT_EQ(keys(written)[6], "processId");
}

TEST(Serialize, EscapesExactlyTheControlCharactersQuoteAndBackslash) {
  Fields f = Fields::object();
  f["t"] = std::string("q\"b\\n\nu\x01/\xC3\xA9\x7F\b\f\r\t\x1F");
  const std::string line = serialize_log_line(f, 1, 2);
  EXPECT_EQ(line,
            "{\"t\":\"q\\\"b\\\\n\\nu\\u0001/\xC3\xA9\x7F\\b\\f\\r\\t\\u001f\",\"processId\":1,"
            "\"threadId\":2}\n");
}

TEST(Serialize, InvalidUtf8IsReplacedNotDropped) {
  Fields f = Fields::object();
  f["bad\xFF"] = std::string("x\xE4\xB8");
  const std::string line = serialize_log_line(f, 1, 2);
  ASSERT_FALSE(line.empty());
  EXPECT_NE(line.find("bad\xEF\xBF\xBD"), std::string::npos);
  EXPECT_NE(line.find("x\xEF\xBF\xBD"), std::string::npos);
}

TEST(Serialize, NumbersAndNonObjects) {
  Fields f = Fields::object();
  f["neg"] = -3;
  f["half"] = 0.5;
  f["inf"] = std::numeric_limits<double>::infinity();
  EXPECT_EQ(serialize_log_line(f, 1, 2),
            "{\"neg\":-3,\"half\":0.5,\"inf\":null,\"processId\":1,\"threadId\":2}\n");
  EXPECT_EQ(serialize_log_line(Fields::array({1, 2}), 1, 2), "[1,2]\n");
}

// Builds a log of `n` runs of two lines each.
std::string runs(int n, const char* eol = "\n") {
  std::string s;
  for (int i = 0; i < n; ++i) {
    s += "{\"eventName\":\"launcher_init\",\"run\":" + std::to_string(i) + "}" + eol;
    s += "{\"eventName\":\"other\",\"run\":" + std::to_string(i) + "}" + eol;
  }
  return s;
}

TEST(Rotation, KeepsTheLastNineOfTenOrMore) {
  EXPECT_FALSE(trim_log_segments(runs(9)));
  const auto ten = trim_log_segments(runs(10));
  ASSERT_TRUE(ten);
  EXPECT_EQ(*ten, runs(10).substr(runs(1).size()));
  const auto many = trim_log_segments(runs(25));
  ASSERT_TRUE(many);
  EXPECT_EQ(many->find("\"run\":15}"), std::string::npos);
  EXPECT_EQ(many->rfind("{\"eventName\":\"launcher_init\",\"run\":16}", 0), 0u);
}

TEST(Rotation, LinesBeforeTheFirstMarkerFormASegment) {
  EXPECT_FALSE(trim_log_segments("stray\n" + runs(8)));
  const auto t = trim_log_segments("stray\n" + runs(9));
  ASSERT_TRUE(t);
  EXPECT_EQ(*t, runs(9));
}

TEST(Rotation, MarkersCountOnlyAsQuotedTextAndBothNamesCount) {
  EXPECT_FALSE(trim_log_segments(runs(9) + "launcher_init bare\n"));
  std::string s = runs(9) + "{\"note\":\"launcher_init\"}\n" + "launcher_init bare\n";
  const auto t = trim_log_segments(s);
  ASSERT_TRUE(t);  // 9 + the quoted note = 10 segments; the bare word starts none
  EXPECT_EQ(t->rfind("{\"eventName\":\"launcher_init\",\"run\":1}", 0), 0u);
  EXPECT_FALSE(trim_log_segments(runs(8) + "{\"eventName\":\"vyn_process_not_found\"}\n"));
  EXPECT_TRUE(
      trim_log_segments(runs(9) + "{\"eventName\":\"vyn_process_not_found_in_installation\"}\n"));
}

TEST(Rotation, RewritesCrLfAndAddsTheMissingFinalLineFeed) {
  std::string s = runs(12, "\r\n");
  s.resize(s.size() - 2);  // last line without its ending
  const auto t = trim_log_segments(s);
  ASSERT_TRUE(t);
  EXPECT_EQ(t->find('\r'), std::string::npos);
  EXPECT_EQ(t->back(), '\n');
  EXPECT_EQ(*t, runs(12).substr(3 * runs(1).size()));
  // A lone CR that is not before a line feed stays.
  const auto cr = trim_log_segments(runs(10) + "a\rb\n");
  ASSERT_TRUE(cr);
  EXPECT_NE(cr->find("a\rb\n"), std::string::npos);
}

TEST(Rotation, DamagedBytesAreTrimmedAndKeptAsTheyAreEmptyLogsLeftAlone) {
  const auto t = trim_log_segments("\xFF\n" + runs(9) + "\xC0\xAF\n");
  ASSERT_TRUE(t);
  EXPECT_EQ(*t, runs(9) + "\xC0\xAF\n");
  EXPECT_FALSE(trim_log_segments(""));
  EXPECT_FALSE(trim_log_segments("\n\n\n\n\n\n\n\n\n\n\n\n"));
}

TEST(Rotation, TheEndOfALongerLogKeepsWholeLinesFromASegmentStartIfAny) {
  // With nine segments in it, as if the whole log had been read.
  EXPECT_EQ(trim_log_segments("\"launcher_init\" cut short\n" + runs(12), false),
            runs(12).substr(3 * runs(1).size()));
  // Fewer: the ones that start in it. None: every whole line, if any.
  EXPECT_EQ(trim_log_segments("ail\nend of a run\n" + runs(2), false), runs(2));
  EXPECT_EQ(trim_log_segments("ail\nend\r\nlast", false), "end\nlast\n");
  EXPECT_EQ(trim_log_segments("inside one long line", false), "");
}

}  // namespace
}  // namespace vyn
