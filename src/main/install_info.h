#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vyn {

struct InstallInfo {
  std::string install_id;    // "null" when the registry lookup fell back
  std::wstring install_dir;  // every installation path derives from it
};

inline constexpr const wchar_t* kInstallKeyPath = L"Software\\VYN\\InstallTracking";
inline constexpr const wchar_t* kInstallIdValue = L"installId";
inline constexpr const wchar_t* kInstallDirValue = L"installDir";
inline constexpr std::string_view kFallbackInstallId = "null";

// Registry value types that hold text (winnt.h numbering).
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegMultiSz = 7;

// The text of a registry value: UTF-16 data with every trailing NUL removed
// and, for a multi-string, the remaining NULs turned into line feeds.
// nullopt for a type that does not hold text. An odd last byte is ignored.
std::optional<std::u16string> decode_registry_text(std::uint32_t type, std::string_view data);

// Reads the installation from the registry, falling back to the launcher's
// own folder. Never fails and logs nothing (the log is not open yet).
InstallInfo read_install_info();

}  // namespace vyn
