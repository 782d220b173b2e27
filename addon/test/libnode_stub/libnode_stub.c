// A stand-in for the libnode.dll that some hosts carry Node and V8 in. It
// exports what the addon imports (generated thunks, see generate_stub.cmake),
// each jumping to the same function of the main executable, and remembers
// which ones were called. Its getSystemCache, the bridge library's export,
// answers with those names, so a test can ask through the addon itself
// whether the addon's host calls went through this module.
//
// Node unloads a library that is not an addon after refusing it; the test
// loads this one that way, so it pins itself on load.

#include <windows.h>

#include "thunks.inc"

unsigned char vyn_thunk_used[VYN_THUNK_COUNT];
void* vyn_thunk_targets[VYN_THUNK_COUNT];

static char vyn_used_names[64 * 1024];

BOOL WINAPI vyn_stub_entry(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) {
    return TRUE;
  }
  HMODULE pinned = NULL;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                          (LPCWSTR)(void*)module, &pinned)) {
    return FALSE;
  }
  HMODULE host = GetModuleHandleW(NULL);
  for (int i = 0; i < VYN_THUNK_COUNT; ++i) {
    vyn_thunk_targets[i] = (void*)GetProcAddress(host, vyn_thunk_names[i]);
    if (vyn_thunk_targets[i] == NULL) {
      return FALSE;
    }
  }
  return TRUE;
}

// The names of the thunks called so far, one per line, in import order.
const char* getSystemCache(void) {
  char* out = vyn_used_names;
  char* const end = vyn_used_names + sizeof vyn_used_names - 1;
  for (int i = 0; i < VYN_THUNK_COUNT; ++i) {
    if (!vyn_thunk_used[i]) {
      continue;
    }
    for (const char* name = vyn_thunk_names[i]; *name != '\0' && out < end; ++name) {
      *out++ = *name;
    }
    if (out < end) {
      *out++ = '\n';
    }
  }
  *out = '\0';
  return vyn_used_names;
}
