#include "process/stderr_collector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vyn {
namespace {

using std::chrono::milliseconds;
using Kind = StderrEventKind;

const MonotonicTime kT0{};

bool same(const StderrEvent& a, const StderrEvent& b) {
  return a.kind == b.kind && a.entries == b.entries && a.message == b.message &&
         a.total_lines == b.total_lines && a.overflow == b.overflow;
}

void move_into(std::vector<StderrEvent>& all, std::vector<StderrEvent> more) {
  for (auto& e : more) all.push_back(std::move(e));
}

std::vector<StderrEvent> collect_in_chunks(std::string_view input, std::size_t chunk) {
  StderrCollector c(kT0);
  std::vector<StderrEvent> all;
  for (std::size_t i = 0; i < input.size(); i += chunk) {
    c.feed(input.substr(i, chunk), kT0);
    move_into(all, c.take_events());
  }
  c.finish(kT0);
  move_into(all, c.take_events());
  return all;
}

// Every way of splitting the output into reads must give the same events, so
// each test checks the one-byte, odd-sized and whole-buffer splits at once.
std::vector<StderrEvent> collect(std::string_view input) {
  const std::vector<StderrEvent> whole = collect_in_chunks(input, input.size() + 1);
  for (std::size_t chunk : {1u, 3u, 7u, 2047u, 8192u}) {
    const std::vector<StderrEvent> split = collect_in_chunks(input, chunk);
    EXPECT_EQ(split.size(), whole.size()) << "chunk " << chunk;
    for (std::size_t i = 0; i < split.size() && i < whole.size(); ++i)
      EXPECT_TRUE(same(split[i], whole[i])) << "chunk " << chunk << ", event " << i;
  }
  return whole;
}

std::vector<std::string> logged_entries(const std::vector<StderrEvent>& events) {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (e.kind == Kind::Batch || e.kind == Kind::Overflow || e.kind == Kind::Final)
      out.insert(out.end(), e.entries.begin(), e.entries.end());
  return out;
}

std::vector<Kind> kinds(const std::vector<StderrEvent>& events) {
  std::vector<Kind> out;
  for (const auto& e : events) out.push_back(e.kind);
  return out;
}

const StderrEvent& finished(const std::vector<StderrEvent>& events) {
  static const StderrEvent kNone{};
  if (events.empty() || events.back().kind != Kind::Finished) {
    ADD_FAILURE() << "no closing summary";
    return kNone;
  }
  return events.back();
}

std::string numbered_lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

TEST(StderrCollectorLines, SplitsAtLineFeedsAndDropsOnlyTheCarriageReturnBeforeThem) {
  const auto events = collect("one\r\ntwo\n\nthree\rfour\n\r\r\nlast\r");
  EXPECT_EQ(logged_entries(events),
            (std::vector<std::string>{"one", "two", "", "three\rfour", "\r", "last\r"}));
  EXPECT_EQ(finished(events).total_lines, 6u);
  EXPECT_FALSE(finished(events).overflow);
}

TEST(StderrCollectorLines, EmptyOutputAndTrailingLineFeedAddNoLine) {
  auto events = collect("");
  EXPECT_EQ(kinds(events), std::vector<Kind>{Kind::Finished});
  EXPECT_EQ(finished(events).total_lines, 0u);

  events = collect("a\n");
  EXPECT_EQ(kinds(events), (std::vector<Kind>{Kind::Final, Kind::Finished}));
  EXPECT_EQ(finished(events).total_lines, 1u);
}

TEST(StderrCollectorCut, KeepsTheCutLengthAndNamesTheFullLength) {
  const std::string exact(kStderrCutLength, 'a');
  const std::string over(kStderrCutLength + 1, 'b');
  const auto entries = logged_entries(collect(exact + "\n" + over + "\r\n"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], exact);
  EXPECT_EQ(entries[1], std::string(kStderrCutLength, 'b') + "...[truncated at 2049 chars]");
}

TEST(StderrCollectorCut, NeverSplitsACharacterAtTheCut) {
  // "€" is three bytes; the one that would straddle byte 2048 is left out
  // whole, and the suffix still counts every byte.
  std::string line(kStderrCutLength - 2, 'x');
  line += "\xE2\x82\xAC\xE2\x82\xAC";
  const auto entries = logged_entries(collect(line + "\n"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], std::string(kStderrCutLength - 2, 'x') + "...[truncated at 2052 chars]");
}

TEST(StderrCollectorCut, EndlessLineStaysBoundedInMemory) {
  StderrCollector c(kT0);
  const std::size_t baseline = c.buffered_capacity();
  const std::string chunk(8192, 'z');
  const std::size_t total = 3u * 1024 * 1024;
  for (std::size_t fed = 0; fed < total; fed += chunk.size()) {
    c.feed(chunk, kT0);
    ASSERT_EQ(c.buffered_capacity(), baseline);
    ASSERT_TRUE(c.take_events().empty());
  }
  c.finish(kT0);
  const auto entries = logged_entries(c.take_events());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], std::string(kStderrCutLength, 'z') + "...[truncated at " +
                            std::to_string(total) + " chars]");
  EXPECT_LE(baseline, 3 * kStderrCutLength + 64);
}

TEST(StderrCollectorUtf8, InvalidLinesAreDroppedUncountedWhereverTheFault) {
  const std::string long_prefix(3000, 'p');
  const auto events = collect(
      "good 1\n"
      "bad \xFF byte\n" +
      long_prefix + "\xC3 lone lead far past the cut\n" +
      "overlong \xC0\xAF\n"
      "surrogate \xED\xA0\x80\n"
      "above max \xF4\x90\x80\x80\n"
      "cut off \xE2\x82\n"
      "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 ok\n"
      "last cut off \xF0\x9F\x98");
  EXPECT_EQ(logged_entries(events),
            (std::vector<std::string>{"good 1", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 ok"}));
  EXPECT_EQ(finished(events).total_lines, 2u);
}

TEST(StderrCollectorBlocks, JoinsABraceBlockWithTrimmedLines) {
  const auto events = collect(
      "[a] [b] config {\n"
      "    \"x\": 1,\n"
      "\t\t\n"
      "\xE3\x80\x80 \"y\": {\"z\": 2}\xE2\x80\x83\r\n"
      "}\n"
      "after\n");
  EXPECT_EQ(logged_entries(events),
            (std::vector<std::string>{"[a] [b] config { \"x\": 1, \"y\": {\"z\": 2} }", "after"}));
  EXPECT_EQ(finished(events).total_lines, 6u);
}

TEST(StderrCollectorBlocks, OpensOnlyWithBracketsAndNothingButSpaceAfterTheFirstBrace) {
  const auto entries =
      logged_entries(collect("[x][y] {a} tail {\n"  // text after the first brace: single entry
                             "no brackets {\n"      // no "] [" or "][": single entry
                             "[x] [y] }{\n"         // balance 0: a one-line block, emitted at once
                             "[p][q] { \xC2\xA0\n"  // opens; no-break space counts as white space
                             "  inner\n"
                             "}\n"));
  EXPECT_EQ(entries, (std::vector<std::string>{"[x][y] {a} tail {", "no brackets {", "[x] [y] }{",
                                               "[p][q] { \xC2\xA0 inner }"}));
}

TEST(StderrCollectorBlocks, UnbalancedBlockClosesAtItsLimitAndTheNextLineStartsAfresh) {
  std::string input = "[a][b] {\n";
  for (int i = 2; i <= 20; ++i) input += " l" + std::to_string(i) + " {\n";
  input += "[c][d] {\n}\n";
  const auto entries = logged_entries(collect(input));
  std::string expected = "[a][b] {";
  for (int i = 2; i <= 20; ++i) expected += " l" + std::to_string(i) + " {";
  EXPECT_EQ(entries, (std::vector<std::string>{expected, "[c][d] { }"}));
}

TEST(StderrCollectorBlocks, LongBlockIsCutWithTheMergedSuffix) {
  // The middle line alone exceeds the cut; the joined length counts every
  // trimmed byte and blank, and the text is cut at a character boundary.
  const std::string head = "[a][b] {";
  std::string body_text;
  for (std::size_t i = 0; i < kStderrCutLength; ++i) body_text += "\xC3\xA9";
  const auto entries = logged_entries(collect(head + "\n   " + body_text + "   \n}\n"));
  ASSERT_EQ(entries.size(), 1u);
  const std::size_t full = head.size() + 1 + body_text.size() + 2;
  std::string kept = head + " ";
  while (kept.size() + 2 <= kStderrCutLength) kept += "\xC3\xA9";
  EXPECT_EQ(entries[0],
            kept + "...[merged 3 lines, truncated at " + std::to_string(full) + " chars]");
}

TEST(StderrCollectorGpu, FindsTheReportInAnyCaseAndOnlyInStoredEntries) {
  const std::string past_cut(kStderrCutLength, '.');
  const auto events =
      collect("[x] GPU Process Isn't Usable. Goodbye.\n" + past_cut + "gpu process isn't usable\n" +
              "[a][b] {\n"
              "  gpu process\n"
              "  ISN'T USABLE\n"
              "}\n");
  std::vector<std::string> messages;
  for (const auto& e : events)
    if (e.kind == Kind::GpuFailure) messages.push_back(e.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"[x] GPU Process Isn't Usable. Goodbye.",
                                                "[a][b] { gpu process ISN'T USABLE }"}));
  // The detection is reported before the batch that carries the entry.
  EXPECT_EQ(kinds(events).front(), Kind::GpuFailure);
}

TEST(StderrCollectorGpu, LowerCasesWithTheFullUnicodeMapping) {
  EXPECT_EQ(unicode_lower("\xC3\x80\xC3\x89 \xCE\xA3\xCE\x91 \xD0\x9F\xD0\xA0 \xF0\x90\x90\x80"),
            "\xC3\xA0\xC3\xA9 \xCF\x83\xCE\xB1 \xD0\xBF\xD1\x80 \xF0\x90\x90\xA8");
  // Capital I with dot above becomes "i" plus a combining dot, so it does not
  // spell the report's "isn't"; the Kelvin sign is a plain "k".
  EXPECT_EQ(unicode_lower("\xC4\xB0"), "i\xCC\x87");
  EXPECT_EQ(unicode_lower("\xE2\x84\xAA"), "k");
  EXPECT_FALSE(check_gpu_failure("GPU PROCESS \xC4\xB0SN'T USABLE"));
  EXPECT_TRUE(check_gpu_failure("\xC3\x89RROR: GPU PROCESS ISN'T USABLE"));
  EXPECT_EQ(unicode_lower("a\xFF"
                          "B"),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(StderrCollectorBatching, FlushesAtFiftyEntriesOrWhenALineFindsTheBatchOld) {
  StderrCollector c(kT0);
  std::string lines = numbered_lines(1, 49);
  c.feed(lines, kT0 + milliseconds(1999));
  EXPECT_TRUE(c.take_events().empty());
  c.feed("line 50\n", kT0 + milliseconds(1999));
  auto events = c.take_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::Batch);
  EXPECT_EQ(events[0].entries.size(), 50u);
  EXPECT_EQ(events[0].entries.back(), "line 50");

  // The age counts from that flush; exactly the limit is not yet too old,
  // and a quiet child leaves the batch waiting for its next line.
  c.feed("a\n", kT0 + milliseconds(2500));
  c.feed("b\n", kT0 + milliseconds(3999));
  EXPECT_TRUE(c.take_events().empty());
  c.feed("c", kT0 + milliseconds(9000));
  EXPECT_TRUE(c.take_events().empty());
  c.feed("\n", kT0 + milliseconds(9000));
  events = c.take_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].entries, (std::vector<std::string>{"a", "b", "c"}));

  // Block continuation lines produce no entry but still run the test.
  c.feed("d\n[a][b] {\n", kT0 + milliseconds(9500));
  c.feed("  x\n", kT0 + milliseconds(11001));
  events = c.take_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].entries, std::vector<std::string>{"d"});
}

TEST(StderrCollectorBatching, AFinalFlushWritesTheYoungBatchAndTheOpenBlockOnce) {
  StderrCollector c(kT0);
  c.feed("one\ntwo\n[a] [b] cfg {\n  \"k\": 1,\npartial", kT0 + milliseconds(10));
  EXPECT_TRUE(c.take_events().empty());
  c.flush_pending(kT0 + milliseconds(20));
  auto events = c.take_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::Batch);
  EXPECT_EQ(events[0].entries, (std::vector<std::string>{"one", "two", "[a] [b] cfg { \"k\": 1,"}));
  // Nothing twice; the unfinished line goes on as usual.
  c.flush_pending(kT0 + milliseconds(30));
  EXPECT_TRUE(c.take_events().empty());
  c.feed(" line\n", kT0 + milliseconds(40));
  c.finish(kT0 + milliseconds(50));
  events = c.take_events();
  EXPECT_EQ(logged_entries(events), std::vector<std::string>{"partial line"});
  EXPECT_EQ(events.back().total_lines, 5u);

  // A line the flush catches inside a block, or that starts after the flush,
  // follows a closed block: nothing of it is trimmed, and it may open a block.
  for (const char* before_flush : {"  [c] [d] ", ""}) {
    StderrCollector split(kT0);
    split.feed(std::string("[a] [b] cfg {\n  \"k\": 1,\n") + before_flush, kT0);
    split.flush_pending(kT0);
    split.take_events();
    split.feed(std::string(*before_flush ? "" : "  [c] [d] ") + "x {\n  y\n}\n  z\n", kT0);
    split.finish(kT0);
    EXPECT_EQ(logged_entries(split.take_events()),
              (std::vector<std::string>{"  [c] [d] x { y }", "  z"}))
        << before_flush;
  }

  // After the overflow nothing more is written.
  StderrCollector full(kT0);
  full.feed(numbered_lines(1, 501), kT0);
  full.take_events();
  full.flush_pending(kT0);
  EXPECT_TRUE(full.take_events().empty());
}

TEST(StderrCollectorCap, LineAfterTheCapLogsTheOverflowAndStopsCollection) {
  // An open block at the cap is closed without a GPU check.
  const std::string input = numbered_lines(1, 498) +
                            "[a][b] {\n  gpu process isn't usable\n"
                            "line 501\n"
                            "GPU process isn't usable\n" +
                            numbered_lines(503, 600);
  const auto events = collect(input);
  ASSERT_GE(events.size(), 2u);
  const StderrEvent& overflow = events[events.size() - 2];
  EXPECT_EQ(overflow.kind, Kind::Overflow);
  ASSERT_EQ(overflow.entries.size(), 498u - 450u + 2u);
  EXPECT_EQ(overflow.entries[overflow.entries.size() - 2], "[a][b] { gpu process isn't usable");
  EXPECT_EQ(overflow.entries.back(),
            "[STDERR OVERFLOW] More than 500 lines detected, stopping collection to prevent "
            "memory issues");
  EXPECT_EQ(finished(events).total_lines, 500u);
  EXPECT_TRUE(finished(events).overflow);
  for (const auto& e : events) EXPECT_NE(e.kind, Kind::GpuFailure);
  EXPECT_EQ(logged_entries(events).size(), 498u + 2u);
}

TEST(StderrCollectorCap, ExactlyTheCapEndsWithAFinalBatch) {
  // A three-line block leaves 498 entries: nine full batches and 48 more.
  const auto events = collect("[a][b] {\n x\n}\n" + numbered_lines(4, 499) + "tail");
  std::vector<Kind> expected(9, Kind::Batch);
  expected.push_back(Kind::Final);
  expected.push_back(Kind::Finished);
  EXPECT_EQ(kinds(events), expected);
  EXPECT_EQ(events[9].entries.size(), 48u);
  EXPECT_EQ(events[9].entries.back(), "tail");
  EXPECT_EQ(finished(events).total_lines, 500u);
  EXPECT_FALSE(finished(events).overflow);

  const auto more = collect(numbered_lines(1, 520));
  EXPECT_EQ(finished(more).total_lines, 500u);
  // Ten full batches, then the overflow with only its text.
  EXPECT_EQ(more[10].kind, Kind::Overflow);
  EXPECT_EQ(more[10].entries.size(), 1u);
}

TEST(StderrCollectorCap, DroppedLinesAndReadFailuresTriggerTheOverflowToo) {
  StderrCollector c(kT0);
  c.feed("a\n", kT0);
  c.read_failed(kT0);  // loses the line being read, is not counted
  c.feed("partial", kT0);
  c.read_failed(kT0);
  c.feed("b\n", kT0);
  c.finish(kT0);
  auto events = c.take_events();
  EXPECT_EQ(logged_entries(events), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(finished(events).total_lines, 2u);

  for (const std::string last : {"bad \xFF\n", ""}) {
    StderrCollector capped(kT0);
    capped.feed(numbered_lines(1, 500), kT0);
    capped.take_events();
    if (last.empty()) {
      capped.read_failed(kT0);
    } else {
      capped.feed(last, kT0);
    }
    events = capped.take_events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Overflow);
    EXPECT_TRUE(capped.overflowed());
  }
}

TEST(StderrCollectorCap, FinishFlushesTheOpenBlockWithACheck) {
  const auto events = collect("x\n[a][b] {\n  GPU process isn't usable");
  EXPECT_EQ(kinds(events), (std::vector<Kind>{Kind::GpuFailure, Kind::Final, Kind::Finished}));
  EXPECT_EQ(events[1].entries,
            (std::vector<std::string>{"x", "[a][b] { GPU process isn't usable"}));
  EXPECT_EQ(finished(events).total_lines, 3u);
}

}  // namespace
}  // namespace vyn
