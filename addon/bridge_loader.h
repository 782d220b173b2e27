#pragma once

// The thin platform layer between the addon and the bridge library: loading
// by path, looking up exports and the thread's last error code. The addon
// never releases a library, so there is no unload.

#include <cstdint>

namespace vyn::addon {

using LibraryHandle = void*;

// Loads the library whose path is the UTF-8 text [utf8_path, utf8_path +
// length); the path ends at an embedded NUL, as any C string does for the
// system. Returns null on failure, and load_failure_code() then gives the
// reason. An empty path is a failed load: dlopen would hand back the main
// program for it as if a library had been loaded.
LibraryHandle load_library(const char* utf8_path, std::int32_t length);

// The address of the named export, or null when the library lacks it.
void* find_export(LibraryHandle library, const char* name);

// The code to report for "no library": the calling thread's last system error
// (GetLastError on Windows, errno elsewhere), which is the reason right after
// a failed load_library. When the thread holds no error at all (nothing was
// ever loaded in a fresh thread), it is the system's "module not found" code
// instead, because callers read 0 as success.
unsigned long load_failure_code();

}  // namespace vyn::addon
