// The child's error output through the collector, read in fuzzer-chosen
// pieces while the clock moves by fuzzer-chosen steps. Whatever the child
// writes, the log must stay bounded and readable: no entry beyond the cut
// length plus its suffix, no batch beyond its size, no line counted beyond
// the cap, only valid UTF-8, and every reported GPU failure among the
// entries. The same bytes read in other pieces must give the same events,
// wherever the flush before the exit event falls.
//
// Input: one byte k, then k control bytes, then the output text. Each control
// byte below 0xF0 reads that many bytes of the text; 0xF0 v advances the
// clock by v * 20 ms, 0xF1 v by v seconds; 0xF2 is a failed read; 0xF3 r
// makes the next read deliver its bytes r + 1 times (so short inputs reach
// the line cap and the cut length); 0xF4 is the flush before the exit event.
// Text left over is read in one piece.
// A seed of plain output is therefore the byte 0 followed by the output.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/stderr_collector.h"
#include "utils/text.h"

namespace {

using vyn::StderrCollector;
using vyn::StderrEvent;
using Kind = vyn::StderrEventKind;
using std::chrono::milliseconds;

constexpr std::string_view kOverflowNotice =
    "[STDERR OVERFLOW] More than 500 lines detected, stopping collection to prevent memory "
    "issues";
// Beyond this much output an input adds run time but no new behaviour.
constexpr std::size_t kMaxFedBytes = 64 * 1024;

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "stderr collector: %s\n", broken);
  std::abort();
}

struct Step {
  enum { Read, ReadFailed, Flush } what = Read;
  std::string bytes;
  vyn::MonotonicTime now;
};

std::vector<Step> decode(const std::uint8_t* data, std::size_t size, vyn::MonotonicTime& end) {
  std::vector<Step> steps;
  if (size == 0) return steps;
  const std::size_t control_size = std::min<std::size_t>(data[0], size - 1);
  const std::uint8_t* control = data + 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1 + control_size),
                              size - 1 - control_size);
  vyn::MonotonicTime now{};
  std::size_t pos = 0, fed = 0;
  unsigned repeat = 1;
  for (std::size_t i = 0; i < control_size; ++i) {
    const std::uint8_t b = control[i];
    if (b < 0xF0) {
      const std::string_view piece = text.substr(pos, b);
      pos += piece.size();
      std::string bytes;
      for (unsigned r = 0; r < repeat && fed + piece.size() <= kMaxFedBytes; ++r) {
        bytes += piece;
        fed += piece.size();
      }
      repeat = 1;
      steps.push_back({Step::Read, std::move(bytes), now});
    } else if (b == 0xF0 || b == 0xF1) {
      if (++i == control_size) break;
      now += b == 0xF0 ? milliseconds(20 * control[i]) : milliseconds(1000 * control[i]);
    } else if (b == 0xF2) {
      steps.push_back({Step::ReadFailed, {}, now});
    } else if (b == 0xF4) {
      steps.push_back({Step::Flush, {}, now});
    } else if (b == 0xF3) {
      if (++i == control_size) break;
      repeat = control[i] + 1u;
    }
  }
  if (pos < text.size()) steps.push_back({Step::Read, std::string(text.substr(pos)), now});
  end = now;
  return steps;
}

// A decimal number written without sign or leading zeros.
std::optional<std::uint64_t> decimal(std::string_view s) {
  if (s.empty() || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  std::uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// "...[truncated at N chars]" or "...[merged M lines, truncated at N chars]"
// with N beyond the cut length; the full length it names.
bool is_cut_suffix(std::string_view s) {
  constexpr std::string_view kLine = "...[truncated at ";
  constexpr std::string_view kBlock = "...[merged ";
  constexpr std::string_view kLines = " lines, truncated at ";
  constexpr std::string_view kEnd = " chars]";
  if (!s.ends_with(kEnd)) return false;
  s.remove_suffix(kEnd.size());
  std::string_view full;
  if (s.starts_with(kLine)) {
    full = s.substr(kLine.size());
  } else if (s.starts_with(kBlock)) {
    s.remove_prefix(kBlock.size());
    const std::size_t gap = s.find(kLines);
    if (gap == std::string_view::npos) return false;
    const auto lines = decimal(s.substr(0, gap));
    if (!lines || *lines < 1 || *lines > vyn::kStderrBlockLineLimit) return false;
    full = s.substr(gap + kLines.size());
  } else {
    return false;
  }
  const auto length = decimal(full);
  return length && *length > vyn::kStderrCutLength;
}

void check_entry(const std::string& entry) {
  require(vyn::is_valid_utf8(entry), "an entry is not valid UTF-8");
  if (entry.size() <= vyn::kStderrCutLength) return;
  const std::size_t cut = entry.rfind("...[");
  require(cut != std::string::npos && is_cut_suffix(std::string_view(entry).substr(cut)),
          "an entry beyond the cut length carries no cut suffix");
  require(cut <= vyn::kStderrCutLength, "an entry keeps more than the cut length");
  // Only a character that would straddle the cut may be left out.
  require(cut + 3 >= vyn::kStderrCutLength, "a cut entry keeps less than it could");
}

// Checks one run's events as a whole and returns them for the comparison.
void check_events(const std::vector<StderrEvent>& events) {
  bool overflow = false, done = false;
  std::vector<std::string> entries, gpu_reports;
  std::string overflow_last_entry;  // the block the overflow closes goes unchecked
  for (const StderrEvent& e : events) {
    require(!done, "an event after the closing summary");
    switch (e.kind) {
      case Kind::Batch:
      case Kind::Final:
        require(!overflow, "a batch after the overflow");
        require(!e.entries.empty(), "an empty batch");
        require(e.entries.size() <= vyn::kStderrBatchSize, "a batch over its size");
        break;
      case Kind::Overflow:
        require(!overflow, "a second overflow");
        overflow = true;
        require(!e.entries.empty() && e.entries.back() == kOverflowNotice,
                "the overflow batch does not end with its notice");
        // The notice comes on top of what the output gave.
        require(e.entries.size() - 1 <= vyn::kStderrBatchSize, "the overflow batch over its size");
        if (e.entries.size() >= 2) overflow_last_entry = e.entries[e.entries.size() - 2];
        break;
      case Kind::GpuFailure:
        require(!overflow, "a GPU report after the overflow");
        require(vyn::check_gpu_failure(e.message), "a GPU report without the failure text");
        check_entry(e.message);
        gpu_reports.push_back(e.message);
        break;
      case Kind::Finished:
        done = true;
        require(e.total_lines <= vyn::kStderrLineCap, "more lines counted than the cap");
        require(e.overflow == overflow, "the summary misreports the overflow");
        require(!overflow || e.total_lines == vyn::kStderrLineCap,
                "an overflow before the cap was reached");
        break;
    }
    if (e.kind == Kind::Batch || e.kind == Kind::Final || e.kind == Kind::Overflow) {
      for (std::size_t i = 0; i < e.entries.size(); ++i) {
        check_entry(e.entries[i]);
        if (e.kind != Kind::Overflow || i + 1 < e.entries.size()) entries.push_back(e.entries[i]);
      }
    }
  }
  require(done, "no closing summary");
  require(entries.size() <= events.back().total_lines, "more entries than lines counted");

  // Every entry that holds the failure text was reported, in order, except
  // perhaps the one the overflow closed.
  std::vector<std::string> expected, expected_without_last;
  for (const std::string& entry : entries) {
    if (!vyn::check_gpu_failure(entry)) continue;
    expected.push_back(entry);
  }
  expected_without_last = expected;
  if (!overflow_last_entry.empty() && !expected_without_last.empty() &&
      expected_without_last.back() == overflow_last_entry)
    expected_without_last.pop_back();
  require(gpu_reports == expected || gpu_reports == expected_without_last,
          "the GPU reports differ from the entries holding the failure text");
}

bool same(const StderrEvent& a, const StderrEvent& b) {
  return a.kind == b.kind && a.entries == b.entries && a.message == b.message &&
         a.total_lines == b.total_lines && a.overflow == b.overflow;
}

std::vector<StderrEvent> run(const std::vector<Step>& steps, vyn::MonotonicTime end) {
  StderrCollector c(vyn::MonotonicTime{});
  const std::size_t capacity = c.buffered_capacity();
  std::vector<StderrEvent> events;
  auto take = [&] {
    for (StderrEvent& e : c.take_events()) events.push_back(std::move(e));
    require(c.lines_processed() <= vyn::kStderrLineCap, "more lines counted than the cap");
    require(c.buffered_capacity() <= capacity, "the held line or block grew");
  };
  for (const Step& s : steps) {
    if (s.what == Step::Read) {
      c.feed(s.bytes, s.now);
    } else if (s.what == Step::Flush) {
      c.flush_pending(s.now);
    } else {
      c.read_failed(s.now);
    }
    take();
  }
  c.finish(end);
  take();
  require(c.finished(), "finish did not finish");
  // Once finished, nothing more comes out.
  c.feed("late\n", end);
  c.read_failed(end);
  c.finish(end);
  require(c.take_events().empty(), "events after the end");
  return events;
}

// The same bytes at the same times, read in other pieces.
std::vector<Step> joined(const std::vector<Step>& steps) {
  std::vector<Step> out;
  for (const Step& s : steps) {
    if (s.what == Step::Read && !out.empty() && out.back().what == Step::Read &&
        out.back().now == s.now) {
      out.back().bytes += s.bytes;
    } else {
      out.push_back(s);
    }
  }
  return out;
}

std::vector<Step> bytewise(const std::vector<Step>& steps) {
  std::vector<Step> out;
  for (const Step& s : steps) {
    if (s.what != Step::Read) {
      out.push_back(s);
      continue;
    }
    for (char c : s.bytes) out.push_back({Step::Read, std::string(1, c), s.now});
  }
  return out;
}

void require_same(const std::vector<StderrEvent>& a, const std::vector<StderrEvent>& b) {
  require(a.size() == b.size(), "other read pieces give another number of events");
  for (std::size_t i = 0; i < a.size(); ++i)
    require(same(a[i], b[i]), "other read pieces give other events");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vyn::MonotonicTime end{};
  const std::vector<Step> steps = decode(data, size, end);
  const std::vector<StderrEvent> events = run(steps, end);
  check_events(events);
  require_same(events, run(joined(steps), end));
  std::size_t total = 0;
  for (const Step& s : steps) total += s.bytes.size();
  if (total <= 4096) require_same(events, run(bytewise(steps), end));
  return 0;
}
