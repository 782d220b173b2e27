#include <windows.h>

#include "main/launcher.h"

int wmain() { return vyn::run_reporting_faults(vyn::run_launcher); }
