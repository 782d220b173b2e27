// The C runtime's stdlib.h, plus two locale-aware conversions that libc++'s
// Windows support calls, that ucrtbase exports and that MinGW-w64's headers
// do not declare.
#include_next <stdlib.h>

#ifndef VYN_CLANG_MSVC_STDLIB_H
#define VYN_CLANG_MSVC_STDLIB_H

#ifdef __cplusplus
extern "C" {
#endif

_CRTIMP float __cdecl _strtof_l(const char* text, char** end, _locale_t locale);
_CRTIMP long double __cdecl _strtold_l(const char* text, char** end, _locale_t locale);

#ifdef __cplusplus
}
#endif

#endif  // VYN_CLANG_MSVC_STDLIB_H
