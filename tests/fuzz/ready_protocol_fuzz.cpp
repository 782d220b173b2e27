// Whatever a client writes to the boot pipe, and whatever error a read ends
// with, the server's judgement must hold: READY in the bytes is the ready
// signal however the bytes around it are broken, anything else is a message
// of valid UTF-8 that keeps every valid byte, and the deadline arithmetic
// neither overflows nor moves the moment.
//
// Input: the client's bytes. Its last 20 bytes, when there are that many,
// also give a read error code, a clock reading and a wait.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <variant>

#include "ipc/ready_protocol.h"
#include "utils/text.h"

namespace {

namespace sig = vyn::pipe_signal;
using Clock = std::chrono::steady_clock;

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "ready protocol: %s\n", broken);
  std::abort();
}

template <class T>
T take(const std::uint8_t*& p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return v;
}

void check_message(std::string_view bytes) {
  const vyn::PipeSignal s = vyn::judge_message(bytes);
  if (bytes.find(vyn::kReadyWord) != std::string_view::npos) {
    require(std::holds_alternative<sig::Ready>(s), "READY in the bytes but no ready signal");
    return;
  }
  // Replacement characters are not ASCII, so they can never complete the
  // word: without READY in the raw bytes there is no ready signal.
  require(!std::holds_alternative<sig::Ready>(s), "a ready signal without READY in the bytes");
  const auto* m = std::get_if<sig::Message>(&s);
  require(m != nullptr, "a message judged as something else");
  require(vyn::is_valid_utf8(m->text), "the message text is not valid UTF-8");
  if (vyn::is_valid_utf8(bytes)) require(m->text == bytes, "a valid message was changed");
  require(m->text.size() <= 3 * bytes.size(), "the message text grew beyond its replacements");
}

void check_read_failure(std::uint32_t code) {
  const vyn::PipeSignal s = vyn::judge_read_failure(code);
  if (code == vyn::kErrorBrokenPipe) {
    require(s == vyn::PipeSignal(sig::Message{}), "a closed client is not an empty message");
  } else if (vyn::is_timeout_error(code)) {
    require(std::holds_alternative<sig::ReadTimedOut>(s), "a time-out not reported as one");
  } else {
    require(s == vyn::PipeSignal(sig::ReadFailed{code}), "a failure not reported with its code");
  }
}

void check_deadline(Clock::rep now_ticks, std::chrono::milliseconds::rep wait_ms) {
  // The clock counts from an arbitrary start, but never reads before it.
  const Clock::time_point now{Clock::duration(now_ticks)};
  const std::chrono::milliseconds wait(wait_ms);
  const auto deadline = vyn::deadline_after(now, wait);
  if (wait_ms <= 0) {
    require(deadline == now, "a wait of nothing does not end now");
    return;
  }
  using Wide = __int128;
  constexpr Wide kTicksPerMs =
      std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(1)).count();
  const Wide end = Wide(now_ticks) + Wide(wait_ms) * kTicksPerMs;
  const Wide last = std::numeric_limits<Clock::rep>::max();
  if (!deadline) {
    require(end > last, "no deadline for a moment the clock can hold");
    return;
  }
  require(end <= last && Wide(deadline->time_since_epoch().count()) == end,
          "the deadline is not the moment after the wait");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_message(bytes);
  // The one read the server makes.
  check_message(bytes.substr(0, vyn::kPipeReadBufferSize));

  if (size >= 20) {
    const std::uint8_t* p = data + size - 20;
    check_read_failure(take<std::uint32_t>(p));
    auto now = take<std::int64_t>(p);
    if (now < 0) now = -(now + 1);
    check_deadline(now, take<std::int64_t>(p));
  }
  return 0;
}
