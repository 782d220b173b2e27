#pragma once
// Readable failure messages for the pipe signals; gtest finds these by ADL.

#include <ostream>

#include "ipc/ready_protocol.h"

namespace vyn::pipe_signal {
inline void PrintTo(const Message& m, std::ostream* os) { *os << "Message{\"" << m.text << "\"}"; }
inline void PrintTo(const CreateFailed& m, std::ostream* os) {
  *os << "CreateFailed{" << m.error << "}";
}
inline void PrintTo(const WaitFailed& m, std::ostream* os) {
  *os << "WaitFailed{" << m.error << "}";
}
inline void PrintTo(const ReadFailed& m, std::ostream* os) {
  *os << "ReadFailed{" << m.error << "}";
}
inline void PrintTo(const ReadTimedOut&, std::ostream* os) { *os << "ReadTimedOut"; }
inline void PrintTo(const Ready&, std::ostream* os) { *os << "Ready"; }
}  // namespace vyn::pipe_signal
