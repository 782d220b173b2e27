// A stand-in for the application's bridge library. It appends one line per
// call to the file named by VYN_TEST_BRIDGE_RECORD, so tests see the exact
// bytes and length the addon forwarded:
//   <library> <call number> <export> <hex bytes, or "null"> <length>
// The call number counts calls into this loaded copy of the library, so a
// reload that yields the same library keeps counting.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#define VYN_BRIDGE_EXPORT extern "C" __declspec(dllexport)
#else
#define VYN_BRIDGE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifndef VYN_TEST_BRIDGE_NAME
#error "VYN_TEST_BRIDGE_NAME names the variant in the record"
#endif

namespace {

#ifdef _WIN32
constexpr const wchar_t* kRecordVariable = L"VYN_TEST_BRIDGE_RECORD";
#else
constexpr const char* kRecordVariable = "VYN_TEST_BRIDGE_RECORD";
#endif

unsigned g_calls = 0;

// The host sets the variable after it started, through the system: a C
// runtime's own copy of the environment, taken when it started, on Windows
// may not have it.
std::FILE* open_record() {
#ifdef _WIN32
  wchar_t path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableW(kRecordVariable, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return nullptr;
  }
  return _wfopen(path, L"ab");
#else
  const char* path = std::getenv(kRecordVariable);
  if (path == nullptr || *path == '\0') {
    return nullptr;
  }
  return std::fopen(path, "ab");
#endif
}

void record(const char* export_name, const char* bytes, std::int32_t length) {
  ++g_calls;
  std::FILE* file = open_record();
  if (file == nullptr) {
    return;
  }
  std::fprintf(file, "%s %u %s ", VYN_TEST_BRIDGE_NAME, g_calls, export_name);
  if (bytes == nullptr) {
    std::fputs("null", file);
  } else if (length <= 0) {
    std::fputs("-", file);
  } else {
    for (std::int32_t i = 0; i < length; ++i) {
      std::fprintf(file, "%02x", static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
    }
  }
  std::fprintf(file, " %ld\n", static_cast<long>(length));
  std::fclose(file);
}

}  // namespace

#ifndef VYN_TEST_BRIDGE_BARE

#ifndef VYN_TEST_BRIDGE_NO_INIT
VYN_BRIDGE_EXPORT void vynAddonInit(const char* text, std::int32_t length) {
  record("vynAddonInit", text, length);
}
#endif

VYN_BRIDGE_EXPORT void vynAddonInit2(const char* text, std::int32_t length) {
  record("vynAddonInit2", text, length);
}

VYN_BRIDGE_EXPORT const char* getSystemCache() {
  record("getSystemCache", nullptr, 0);
#if defined(VYN_TEST_BRIDGE_CACHE_NULL)
  return nullptr;
#elif defined(VYN_TEST_BRIDGE_CACHE_EMPTY)
  return "";
#else
  // Kept in step with the text the JavaScript tests expect.
  return "{\"cpu\":\"x86-64\",\"名称\":\"测试机 ✓\"}";
#endif
}

#else

// A library that loads but offers none of the bridge's exports.
VYN_BRIDGE_EXPORT void vynTestBridgeBare() { record("vynTestBridgeBare", nullptr, 0); }

#endif
