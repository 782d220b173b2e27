#include "ipc/ready_protocol.h"

#include <algorithm>
#include <array>

#include "utils/text.h"

namespace vyn {

namespace {
// Every Windows error whose meaning is "ran out of time" or "was cut short",
// kept sorted for the binary search.
constexpr std::array<std::uint32_t, 17> kTimeoutErrors{121,  258,   594,   995,   1053, 1121,
                                                       1460, 5910,  7012,  7040,  8014, 8226,
                                                       9705, 10060, 13805, 15402, 15403};
static_assert(std::is_sorted(kTimeoutErrors.begin(), kTimeoutErrors.end()));
}  // namespace

PipeSignal judge_message(std::string_view bytes) {
  std::string text = sanitize_utf8(bytes);
  if (text.find(kReadyWord) != std::string::npos) return pipe_signal::Ready{};
  return pipe_signal::Message{std::move(text)};
}

bool is_timeout_error(std::uint32_t code) noexcept {
  return std::binary_search(kTimeoutErrors.begin(), kTimeoutErrors.end(), code);
}

PipeSignal judge_read_failure(std::uint32_t code) {
  if (code == kErrorBrokenPipe) return pipe_signal::Message{};
  if (is_timeout_error(code)) return pipe_signal::ReadTimedOut{};
  return pipe_signal::ReadFailed{code};
}

std::optional<std::chrono::steady_clock::time_point> deadline_after(
    std::chrono::steady_clock::time_point now, std::chrono::milliseconds wait) noexcept {
  using Clock = std::chrono::steady_clock;
  if (wait <= std::chrono::milliseconds::zero()) return now;
  // Compare in milliseconds first: converting a huge wait to the clock's
  // finer ticks would itself overflow.
  const auto room = std::chrono::floor<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (wait > room) return std::nullopt;
  return now + std::chrono::duration_cast<Clock::duration>(wait);
}

std::wstring boot_pipe_sddl(std::wstring_view user_sid) {
  // "P" keeps inherited entries out; GA covers reading, writing and creating
  // the instance. The owner stays the creator's default.
  std::wstring sddl = L"D:P(A;;GA;;;";
  sddl += user_sid;
  sddl += L")(A;;GA;;;SY)";
  return sddl;
}

}  // namespace vyn
