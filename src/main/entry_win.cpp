#include <windows.h>

#include "logger/fault.h"
#include "main/launcher.h"

// The fault handling comes first, so a fault anywhere in the run (the log's
// own set-up included) ends it with kExitInternalFault; it is recorded once
// the log is open.
int wmain() {
  vyn::install_fault_handlers();
  return vyn::run_reporting_faults(vyn::run_launcher);
}
