#pragma once

// The addon's imports of the host's Node and V8 functions are delay-loaded
// from "node.exe". The desktop application is not named node.exe and may
// carry those exports in its own executable or in "libnode.dll", so the
// delay-load helper is pointed at whichever module really has them.

#include <windows.h>

#include <delayimp.h>

namespace vyn::addon {

// The notification hook: for dliNotePreLoadLibrary of "node.exe" (any letter
// case) the handle of an already loaded "libnode.dll", else of the main
// executable; null for every other name or notification, so the helper goes on
// as usual. Installed as __pfnDliNotifyHook2 by the same translation unit.
FARPROC WINAPI delay_load_hook(unsigned notification, PDelayLoadInfo info);

}  // namespace vyn::addon
