#include <windows.h>

#include <array>
#include <cstring>

#include "logger/system_info/output_parse.h"
#include "logger/system_info/system_info.h"
#include "utils/win.h"

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#define VYN_CPUID_MSVC 1
#elif defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#define VYN_CPUID_GNU 1
#endif

namespace vyn {

namespace {

constexpr DWORD kInitialValueBuffer = 2048;
constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr wchar_t kFirstProcessorKey[] = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

// A value's raw bytes, whatever its type; the buffer grows for as long as
// the system says it is too small.
std::optional<std::string> read_registry_bytes(HKEY root, const wchar_t* path,
                                               const wchar_t* name) {
  UniqueRegKey key;
  if (::RegOpenKeyExW(root, path, 0, KEY_READ, key.out()) != ERROR_SUCCESS) return std::nullopt;
  std::string buf(kInitialValueBuffer, '\0');
  for (;;) {
    DWORD size = static_cast<DWORD>(buf.size());
    const LSTATUS rc = ::RegQueryValueExW(key.get(), name, nullptr, nullptr,
                                          reinterpret_cast<BYTE*>(buf.data()), &size);
    if (rc == ERROR_SUCCESS) {
      buf.resize(std::min<std::size_t>(size, buf.size()));
      return buf;
    }
    if (rc != ERROR_MORE_DATA) return std::nullopt;
    // A value that grew between two reads can report a size we already had.
    buf.resize(std::max<std::size_t>(size, buf.size() * 2));
  }
}

// The brand the processor reports about itself (CPUID leaves
// 0x80000002-0x80000004); empty when it has none.
std::string cpuid_brand() {
  std::array<unsigned, 12> regs{};
#if defined(VYN_CPUID_MSVC)
  int r[4] = {};
  __cpuid(r, static_cast<int>(0x80000000));
  if (static_cast<unsigned>(r[0]) < 0x80000004u) return {};
  for (unsigned i = 0; i < 3; ++i) {
    __cpuid(r, static_cast<int>(0x80000002u + i));
    std::memcpy(&regs[i * 4], r, sizeof r);
  }
#elif defined(VYN_CPUID_GNU)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(0x80000000u, &a, &b, &c, &d) || a < 0x80000004u) return {};
  for (unsigned i = 0; i < 3; ++i)
    __get_cpuid(0x80000002u + i, &regs[i * 4], &regs[i * 4 + 1], &regs[i * 4 + 2],
                &regs[i * 4 + 3]);
#else
  return {};
#endif
  const char* text = reinterpret_cast<const char*>(regs.data());
  return sanitize_utf8(std::string_view(text, strnlen(text, sizeof regs)));
}

std::uint64_t total_physical_memory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

}  // namespace

std::string os_release_text() {
  const auto bytes =
      read_registry_bytes(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CurrentBuildNumber");
  return os_release_from(bytes ? text_from_registry_bytes(*bytes) : std::string(kUnknownOsRelease));
}

MachineFacts read_machine_facts() {
  MachineFacts facts;
  if (auto bytes =
          read_registry_bytes(HKEY_LOCAL_MACHINE, kCurrentVersionKey, L"CurrentBuildNumber"))
    facts.os_release_source = text_from_registry_bytes(*bytes);
  facts.cpu_brand = cpuid_brand();
  // Only the first logical processor's brand is ever consulted, so only it is
  // read; Windows keeps it per processor under the hardware description.
  if (auto bytes =
          read_registry_bytes(HKEY_LOCAL_MACHINE, kFirstProcessorKey, L"ProcessorNameString"))
    facts.logical_cpu_brands.push_back(text_from_registry_bytes(*bytes));
  facts.logical_cpus = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  facts.total_memory_bytes = total_physical_memory();
  return facts;
}

SystemInfo collect_system_info(std::wstring install_dir) {
  return collect_system_info_with(to_utf8(install_dir), read_machine_facts(),
                                  hidden_command_runner(), process_wmic_cells());
}

Fields launcher_env_fields(std::optional<std::uint32_t> main_pid, const SystemInfo& info) {
  return launcher_env_fields(main_pid, info, get_env_utf8(L"USERPROFILE"));
}

}  // namespace vyn
