#pragma once
// Turns the child's raw error output into log entries and batches. Pure:
// bytes and clock readings go in, events come out, so every rule can be
// exercised without a pipe.
//
// Memory stays bounded whatever the child writes. A line is held only up to
// the cut length (in whole characters); the rest of it is measured for the
// "truncated at" suffix, scanned for braces and brackets, and checked for
// valid UTF-8, but never stored. A child writing one endless line therefore
// costs the launcher a few kilobytes, not the size of the line.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/unicode.h"

namespace vyn {

// Entries longer than this many bytes are cut (the messages call them chars).
inline constexpr std::size_t kStderrCutLength = 2048;
// A block is closed at this many lines even if its braces never balance.
inline constexpr std::size_t kStderrBlockLineLimit = 20;
// A batch is logged as soon as it holds this many entries...
inline constexpr std::size_t kStderrBatchSize = 50;
// ...or, when a line arrives, once its oldest flush is more than this old.
inline constexpr std::chrono::milliseconds kStderrBatchAge{2000};
// After this many lines, collection stops and the rest is only drained.
inline constexpr std::uint64_t kStderrLineCap = 500;
// Searched in the lower-cased entry.
inline constexpr std::string_view kGpuFailureText = "gpu process isn't usable";

using MonotonicTime = std::chrono::steady_clock::time_point;

enum class StderrEventKind {
  Batch,       // "vyn_stderr_batch"
  Overflow,    // "vyn_stderr_overflow"
  Final,       // "vyn_stderr_final"
  GpuFailure,  // "vyn_gpu_process_unusable_detected"
  Finished,    // "stderr_monitor_finished"
};

struct StderrEvent {
  StderrEventKind kind = StderrEventKind::Batch;
  std::vector<std::string> entries;  // Batch, Overflow, Final
  std::string message;               // GpuFailure: the entry as logged
  std::uint64_t total_lines = 0;     // Finished
  bool overflow = false;             // Finished
};

std::string_view stderr_event_name(StderrEventKind kind) noexcept;

// Whether the entry reports the unusable GPU process, in any letter case.
bool check_gpu_failure(std::string_view entry);

// The single-line entry: the text itself, or its held prefix followed by
// "...[truncated at <full length> chars]".
std::string cut_line_entry(std::string_view held, std::uint64_t full_length);

class StderrCollector {
 public:
  // The start counts as the first flush.
  explicit StderrCollector(MonotonicTime start);

  // Any chunk of the output, however it splits lines and characters.
  void feed(std::string_view bytes, MonotonicTime now);

  // A read failed: the line being read is lost, and counts as an arriving
  // line for the line cap.
  void read_failed(MonotonicTime now);

  // End of the output: the last unterminated line, the open block, the
  // remaining batch and the closing summary. Later calls do nothing.
  void finish(MonotonicTime now);

  // Writes out what is waiting, as a batch: the launcher is about to end
  // and nothing of the child's output that was read may be lost. The open
  // block is closed as it stands; a line without its line feed yet stays,
  // and when it ends it is judged whole as a line after a closed block.
  void flush_pending(MonotonicTime now);

  // The events produced since the last call, in order.
  std::vector<StderrEvent> take_events() noexcept;

  std::uint64_t lines_processed() const noexcept { return lines_processed_; }
  bool overflowed() const noexcept { return overflow_; }
  bool finished() const noexcept { return finished_; }

  // Bytes reserved for the line and block being collected; stays near the
  // cut length whatever the input.
  std::size_t buffered_capacity() const noexcept;

 private:
  void begin_line() noexcept;
  void take_char(const char* bytes, std::size_t n, char32_t cp);
  void take_ascii_run(const char* s, std::size_t n);
  void invalidate_line() noexcept;
  void end_line(MonotonicTime now);
  void commit_line(MonotonicTime now);
  void append_to_block(std::string_view held, std::uint64_t full_length);
  void close_block(bool check);
  void append_entry(std::string entry, bool check);
  void flush_test(MonotonicTime now);
  void handle_overflow();
  void emit_batch(StderrEventKind kind);

  // Collection across lines.
  std::vector<std::string> batch_;
  MonotonicTime last_flush_;
  bool block_open_ = false;
  std::string block_text_;  // the joined block, held up to the cut length
  std::uint64_t block_length_ = 0;
  std::size_t block_lines_ = 0;
  std::int64_t block_balance_ = 0;
  bool block_holding_ = true;
  std::uint64_t lines_processed_ = 0;
  bool overflow_ = false;
  bool finished_ = false;
  std::vector<StderrEvent> events_;

  // The line being read, as a line of its own (held_, length_ and the block
  // test) and, when it began inside a block, also as that block's trimmed
  // continuation (piece_): a flush may close the block before the line ends,
  // and the line is then judged as one that follows a closed block.
  std::string held_;
  bool holding_ = true;
  std::uint64_t length_ = 0;
  std::string piece_;
  bool piece_holding_ = true;
  std::uint64_t leading_space_ = 0;
  bool started_ = false;  // any byte of this line arrived
  bool valid_ = true;
  bool skipping_ = false;  // only the line's end still matters
  bool pending_cr_ = false;
  bool trimming_ = false;  // the line began inside a block
  bool in_leading_space_ = true;
  std::uint64_t trailing_space_ = 0;
  std::int64_t balance_ = 0;
  char32_t prev1_ = 0, prev2_ = 0;
  bool bracket_pair_ = false;
  bool seen_brace_ = false;
  bool only_space_after_brace_ = true;
  // A multi-byte character split across reads.
  char partial_[4] = {};
  std::size_t partial_length_ = 0;
  std::size_t need_ = 0;
  char32_t cp_ = 0;
  unsigned char lo_ = 0x80, hi_ = 0xBF;
};

}  // namespace vyn
