#include "process/stderr_collector.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "utils/text.h"
#include "utils/unicode.h"
#include "utils/word_scan.h"

namespace vyn {

using namespace word_scan;

namespace {

constexpr std::string_view kOverflowText =
    "[STDERR OVERFLOW] More than 500 lines detected, stopping collection to prevent memory "
    "issues";
static_assert(kStderrLineCap == 500, "the overflow text names the line cap");

bool is_continuation_byte(char c) noexcept {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Holds a line's bytes up to the cut length, whole characters only: once one
// does not fit, none after it may be held either, or the prefix would have a
// hole. A run of ASCII may be cut anywhere.
void hold(std::string& held, bool& holding, const char* bytes, std::size_t n, bool ascii) {
  if (!holding) return;
  const std::size_t room = kStderrCutLength - held.size();
  if (n <= room) {
    held.append(bytes, n);
  } else {
    if (ascii) held.append(bytes, room);
    holding = false;
  }
}

}  // namespace

std::string_view stderr_event_name(StderrEventKind kind) noexcept {
  switch (kind) {
    case StderrEventKind::Batch:
      return "vyn_stderr_batch";
    case StderrEventKind::Overflow:
      return "vyn_stderr_overflow";
    case StderrEventKind::Final:
      return "vyn_stderr_final";
    case StderrEventKind::GpuFailure:
      return "vyn_gpu_process_unusable_detected";
    case StderrEventKind::Finished:
      return "stderr_monitor_finished";
  }
  return "";
}

bool check_gpu_failure(std::string_view entry) {
  return unicode_lower(entry).find(kGpuFailureText) != std::string::npos;
}

std::string cut_line_entry(std::string_view held, std::uint64_t full_length) {
  std::string entry(held);
  if (full_length > kStderrCutLength) {
    entry += "...[truncated at ";
    entry += std::to_string(full_length);
    entry += " chars]";
  }
  return entry;
}

StderrCollector::StderrCollector(MonotonicTime start) : last_flush_(start) {
  held_.reserve(kStderrCutLength);
  piece_.reserve(kStderrCutLength);
  block_text_.reserve(kStderrCutLength);
  batch_.reserve(kStderrBatchSize);
  begin_line();
}

std::size_t StderrCollector::buffered_capacity() const noexcept {
  return held_.capacity() + piece_.capacity() + block_text_.capacity() + sizeof partial_;
}

std::vector<StderrEvent> StderrCollector::take_events() noexcept {
  return std::exchange(events_, {});
}

void StderrCollector::begin_line() noexcept {
  held_.clear();
  holding_ = true;
  length_ = 0;
  started_ = false;
  valid_ = true;
  // A line past the cap only triggers the overflow when it ends; nothing in
  // it matters.
  skipping_ = lines_processed_ >= kStderrLineCap;
  pending_cr_ = false;
  trimming_ = block_open_;
  piece_.clear();
  piece_holding_ = true;
  in_leading_space_ = true;
  leading_space_ = 0;
  trailing_space_ = 0;
  balance_ = 0;
  prev1_ = prev2_ = 0;
  bracket_pair_ = false;
  seen_brace_ = false;
  only_space_after_brace_ = true;
  partial_length_ = 0;
  need_ = 0;
}

void StderrCollector::invalidate_line() noexcept {
  valid_ = false;
  skipping_ = true;
  pending_cr_ = false;
  need_ = 0;
}

void StderrCollector::take_char(const char* bytes, std::size_t n, char32_t cp) {
  if (cp == '{') {
    ++balance_;
  } else if (cp == '}') {
    --balance_;
  }
  const bool space = is_unicode_white_space(cp);
  // The block test: "] [" or "][" somewhere, and nothing but white space
  // after the first "{".
  if (cp == '[' && (prev1_ == ']' || (prev1_ == ' ' && prev2_ == ']'))) bracket_pair_ = true;
  prev2_ = prev1_;
  prev1_ = cp;
  if (seen_brace_) {
    if (!space) only_space_after_brace_ = false;
  } else if (cp == '{') {
    seen_brace_ = true;
  }
  length_ += n;
  hold(held_, holding_, bytes, n, false);
  if (trimming_) {
    if (in_leading_space_) {
      if (space) {
        leading_space_ += n;
        return;
      }
      in_leading_space_ = false;
    }
    trailing_space_ = space ? trailing_space_ + n : 0;
    hold(piece_, piece_holding_, bytes, n, false);
  }
}

void StderrCollector::take_ascii_run(const char* s, std::size_t n) {
  // The same rules as take_char, for n ASCII characters without CR or LF.
  // One pass over the run gathers what the rules look for (braces, the
  // first "{", every "[" while no bracket pair is known): a long line is
  // read once, not once per rule.
  const bool want_brackets = !bracket_pair_;
  const bool want_open = only_space_after_brace_ && !seen_brace_;
  const char32_t before1 = prev1_, before2 = prev2_;
  auto bracket_at = [&](std::size_t i) {
    const char32_t a1 = i >= 1 ? static_cast<unsigned char>(s[i - 1]) : before1;
    const char32_t a2 = i >= 2 ? static_cast<unsigned char>(s[i - 2]) : i == 1 ? before1 : before2;
    if (a1 == ']' || (a1 == ' ' && a2 == ']')) bracket_pair_ = true;
  };
  std::int64_t opens = 0, closes = 0;
  const char* first_open = nullptr;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t w = load_word(s + i);
    const std::uint64_t mo = equal_bytes(w, '{'), mc = equal_bytes(w, '}');
    // Most words hold no brace; a popcount can be a library call.
    if ((mo | mc) != 0) {
      opens += std::popcount(mo);
      closes += std::popcount(mc);
      if (want_open && !first_open && mo != 0) first_open = s + i + std::countr_zero(mo) / 8;
    }
    if (want_brackets && !bracket_pair_)
      for (std::uint64_t m = equal_bytes(w, '['); m != 0 && !bracket_pair_; m &= m - 1)
        bracket_at(i + static_cast<std::size_t>(std::countr_zero(m)) / 8);
  }
  for (; i < n; ++i) {
    const char c = s[i];
    if (c == '{') {
      ++opens;
      if (want_open && !first_open) first_open = s + i;
    } else if (c == '}') {
      ++closes;
    } else if (c == '[' && want_brackets && !bracket_pair_) {
      bracket_at(i);
    }
  }
  balance_ += opens - closes;

  prev2_ = n >= 2 ? static_cast<unsigned char>(s[n - 2]) : before1;
  prev1_ = static_cast<unsigned char>(s[n - 1]);
  if (only_space_after_brace_) {
    std::size_t k = n;
    if (seen_brace_) {
      k = 0;
    } else if (first_open) {
      seen_brace_ = true;
      k = static_cast<std::size_t>(first_open - s) + 1;
    }
    for (; k < n; ++k) {
      if (!is_ascii_space(static_cast<unsigned char>(s[k]))) {
        only_space_after_brace_ = false;
        break;
      }
    }
  }
  length_ += n;
  hold(held_, holding_, s, n, true);
  if (!trimming_) return;

  const char* body = s;
  std::size_t length = n;
  if (in_leading_space_) {
    std::size_t k = 0;
    while (k < length && is_ascii_space(static_cast<unsigned char>(body[k]))) ++k;
    leading_space_ += k;
    body += k;
    length -= k;
    if (length == 0) return;
    in_leading_space_ = false;
  }
  std::size_t last = length;
  while (last > 0 && is_ascii_space(static_cast<unsigned char>(body[last - 1]))) --last;
  trailing_space_ = last == 0 ? trailing_space_ + length : length - last;
  hold(piece_, piece_holding_, body, length, true);
}

void StderrCollector::feed(std::string_view bytes, MonotonicTime now) {
  if (finished_ || overflow_) return;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p < end) {
    if (skipping_) {
      started_ = true;
      const char* nl = find_byte(p, static_cast<std::size_t>(end - p), '\n');
      if (!nl) return;
      p = nl + 1;
      end_line(now);
      if (overflow_) return;
      continue;
    }
    if (need_ == 0 && !pending_cr_) {
      // Plain ASCII is nearly all the child ever writes; take it a run at a
      // time rather than a character at a time.
      const char* q = skip_plain_words(p, end);
      while (q < end) {
        const auto b = static_cast<unsigned char>(*q);
        if (b >= 0x80 || b == '\n' || b == '\r') break;
        ++q;
      }
      if (q != p) {
        started_ = true;
        take_ascii_run(p, static_cast<std::size_t>(q - p));
        p = q;
        continue;
      }
    }
    const char c = *p++;
    const auto b = static_cast<unsigned char>(c);
    started_ = true;
    if (pending_cr_) {
      pending_cr_ = false;
      if (b == '\n') {
        end_line(now);
        if (overflow_) return;
        continue;
      }
      // Only a "\r" right before the "\n" belongs to the line end.
      take_char("\r", 1, '\r');
    }
    if (b == '\n') {
      end_line(now);
      if (overflow_) return;
      continue;
    }
    if (need_ == 0) {
      if (b < 0x80) {
        if (b == '\r') {
          pending_cr_ = true;
        } else {
          take_char(&c, 1, b);
        }
        continue;
      }
      if (!utf8_lead(b, need_, cp_, lo_, hi_)) {
        invalidate_line();
        continue;
      }
      partial_[0] = c;
      partial_length_ = 1;
      continue;
    }
    if (b < lo_ || b > hi_) {
      invalidate_line();
      continue;
    }
    partial_[partial_length_++] = c;
    cp_ = (cp_ << 6) | (b & 0x3F);
    lo_ = 0x80;
    hi_ = 0xBF;
    if (--need_ == 0) {
      take_char(partial_, partial_length_, cp_);
      partial_length_ = 0;
    }
  }
}

void StderrCollector::flush_pending(MonotonicTime now) {
  if (finished_ || overflow_) return;
  if (block_open_) close_block(true);
  if (batch_.empty()) return;
  emit_batch(StderrEventKind::Batch);
  last_flush_ = now;
}

void StderrCollector::read_failed(MonotonicTime now) {
  if (finished_ || overflow_) return;
  invalidate_line();
  end_line(now);
}

void StderrCollector::finish(MonotonicTime now) {
  if (finished_) return;
  if (!overflow_ && started_) {
    if (pending_cr_) {
      // Without a "\n" after it, a final "\r" is text of the line.
      pending_cr_ = false;
      take_char("\r", 1, '\r');
    }
    end_line(now);
  }
  if (block_open_) close_block(true);
  if (!batch_.empty()) emit_batch(StderrEventKind::Final);
  StderrEvent done;
  done.kind = StderrEventKind::Finished;
  done.total_lines = lines_processed_;
  done.overflow = overflow_;
  events_.push_back(std::move(done));
  finished_ = true;
}

void StderrCollector::end_line(MonotonicTime now) {
  // A character cut off by the line end makes the line invalid.
  if (need_ != 0) valid_ = false;
  commit_line(now);
  begin_line();
}

void StderrCollector::commit_line(MonotonicTime now) {
  if (overflow_) return;
  if (lines_processed_ >= kStderrLineCap) {
    handle_overflow();
    return;
  }
  if (!valid_) return;

  if (block_open_) {
    const std::uint64_t trimmed = length_ - leading_space_ - trailing_space_;
    if (piece_.size() > trimmed) piece_.resize(static_cast<std::size_t>(trimmed));
    if (trimmed > 0) append_to_block(piece_, trimmed);
    ++block_lines_;
    block_balance_ += balance_;
    if (block_balance_ <= 0 || block_lines_ >= kStderrBlockLineLimit) close_block(true);
  } else if (bracket_pair_ && seen_brace_ && only_space_after_brace_) {
    block_open_ = true;
    block_text_.assign(held_);
    block_length_ = length_;
    block_holding_ = held_.size() == length_;
    block_lines_ = 1;
    block_balance_ = balance_;
    if (block_balance_ <= 0) close_block(true);
  } else {
    append_entry(cut_line_entry(held_, length_), true);
  }
  flush_test(now);
  ++lines_processed_;
}

void StderrCollector::append_to_block(std::string_view held, std::uint64_t full_length) {
  block_length_ += 1 + full_length;
  if (!block_holding_) return;
  if (block_text_.size() >= kStderrCutLength) {
    block_holding_ = false;
    return;
  }
  block_text_.push_back(' ');
  std::size_t take = std::min(kStderrCutLength - block_text_.size(), held.size());
  if (take < held.size()) {
    while (take > 0 && is_continuation_byte(held[take])) --take;
  }
  block_text_.append(held.substr(0, take));
  if (take < full_length) block_holding_ = false;
}

void StderrCollector::close_block(bool check) {
  std::string entry = std::move(block_text_);
  if (block_length_ > kStderrCutLength) {
    entry += "...[merged ";
    entry += std::to_string(block_lines_);
    entry += " lines, truncated at ";
    entry += std::to_string(block_length_);
    entry += " chars]";
  }
  block_open_ = false;
  block_text_.clear();
  block_text_.reserve(kStderrCutLength);
  block_length_ = 0;
  block_lines_ = 0;
  block_balance_ = 0;
  block_holding_ = true;
  append_entry(std::move(entry), check);
}

void StderrCollector::append_entry(std::string entry, bool check) {
  if (check && check_gpu_failure(entry)) {
    StderrEvent gpu;
    gpu.kind = StderrEventKind::GpuFailure;
    gpu.message = entry;
    events_.push_back(std::move(gpu));
  }
  batch_.push_back(std::move(entry));
}

void StderrCollector::flush_test(MonotonicTime now) {
  if (batch_.size() >= kStderrBatchSize ||
      (!batch_.empty() && now - last_flush_ > kStderrBatchAge)) {
    emit_batch(StderrEventKind::Batch);
    last_flush_ = now;
  }
}

void StderrCollector::handle_overflow() {
  if (block_open_) close_block(false);
  batch_.emplace_back(kOverflowText);
  emit_batch(StderrEventKind::Overflow);
  overflow_ = true;
}

void StderrCollector::emit_batch(StderrEventKind kind) {
  StderrEvent event;
  event.kind = kind;
  event.entries = std::move(batch_);
  batch_.clear();
  batch_.reserve(kStderrBatchSize);
  events_.push_back(std::move(event));
}

}  // namespace vyn
