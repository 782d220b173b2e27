#include "delay_load_hook_win.h"

namespace vyn::addon {
namespace {

constexpr const char* kHostModuleName = "node.exe";
constexpr const wchar_t* kSharedNodeModuleName = L"libnode.dll";

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Module names are ASCII here; a locale-aware comparison could fold letters
// differently under some user locales.
bool equals_ignoring_ascii_case(const char* left, const char* right) {
  for (; *left != '\0' && *right != '\0'; ++left, ++right) {
    if (ascii_lower(*left) != ascii_lower(*right)) {
      return false;
    }
  }
  return *left == *right;
}

}  // namespace

FARPROC WINAPI delay_load_hook(unsigned notification, PDelayLoadInfo info) {
  if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr ||
      !equals_ignoring_ascii_case(info->szDll, kHostModuleName)) {
    return nullptr;
  }
  HMODULE module = GetModuleHandleW(kSharedNodeModuleName);
  if (module == nullptr) {
    module = GetModuleHandleW(nullptr);
  }
  return reinterpret_cast<FARPROC>(module);
}

}  // namespace vyn::addon

// The delay-load helper reads this pointer by name. It is declared (with C
// linkage) by delayimp.h, const in the MSVC headers and not in MinGW's, so
// the definition takes its type from that declaration.
decltype(__pfnDliNotifyHook2) __pfnDliNotifyHook2 = vyn::addon::delay_load_hook;
