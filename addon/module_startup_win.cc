// What MSVC's runtime gives every DLL, for builds of the module with clang in
// MSVC mode where that runtime is absent (see cmake/clang-msvc-x86_64.cmake).
// Only the module's own needs are covered: static initialisers (the module
// registers itself with its host from one), the floating-point marker, global
// new and delete, and the delay-load failure hook. An MSVC build takes all of
// them from its runtime and must not compile this file.

#include <windows.h>

#include <delayimp.h>
#include <stdlib.h>

#include <cstddef>
#include <new>

extern "C" {

using StaticInitialiser = void(__cdecl*)();

// ucrtbase runs a table of initialisers, skipping null entries.
void __cdecl _initterm(StaticInitialiser* first, StaticInitialiser* last);

// The compiler places dynamic initialisers in .CRT$XCU; the linker orders the
// .CRT$XC* sections by name, so these two bracket them.
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
__declspec(allocate(".CRT$XCA")) StaticInitialiser vyn_initialisers_begin[] = {nullptr};
__declspec(allocate(".CRT$XCZ")) StaticInitialiser vyn_initialisers_end[] = {nullptr};

// Referenced by every object that uses floating point.
int _fltused = 0;

// A failed delay-load binding has no recovery here: without a hook the helper
// raises the loader's exception, which ends the host with a clear code.
PfnDliHook __pfnDliFailureHook2 = nullptr;

BOOL WINAPI _DllMainCRTStartup(HINSTANCE /*module*/, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    _initterm(vyn_initialisers_begin, vyn_initialisers_end);
  }
  return TRUE;
}

}  // extern "C"

// The module is built without exceptions, so an allocation that fails cannot
// be reported to its caller; ending the process is what an uncaught
// std::bad_alloc would do.
void* operator new(std::size_t size) {
  void* memory = malloc(size != 0 ? size : 1);
  if (memory == nullptr) {
    abort();
  }
  return memory;
}

void operator delete(void* memory) noexcept { free(memory); }

void operator delete(void* memory, std::size_t /*size*/) noexcept { free(memory); }
