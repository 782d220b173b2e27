#include "logger/fault.h"

namespace vyn {

std::optional<std::string> fault_message(const std::exception_ptr& e) noexcept {
  if (!e) return std::nullopt;
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    try {
      return std::string(ex.what());
    } catch (...) {
      return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace vyn
