#include <windows.h>

#include "logger/fault.h"
#include "main/launcher.h"

int wmain() {
  try {
    return vyn::run_launcher();
  } catch (...) {
    vyn::log_fault_handler(vyn::fault_message(std::current_exception()));
    return vyn::kExitInternalFault;
  }
}
