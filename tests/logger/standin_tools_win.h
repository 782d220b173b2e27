#pragma once
// A tools folder laid out as the system folder keeps the machine-description
// tools, with the stand-in (vyn_sysinfo_stub.exe, built beside the test
// programs) as every one of them. The collector is given this folder; it
// never finds a tool by searching.

#include <windows.h>

#include <string>
#include <string_view>

#include "logger/system_info/system_info.h"
#include "utils/path.h"
#include "utils/win.h"

namespace vyn::test {

inline std::wstring stand_in_tool_path() {
  const std::wstring exe = own_executable_path().value_or(std::wstring());
  return join_path(parent_path(std::wstring_view(exe)), L"vyn_sysinfo_stub.exe");
}

// Copies the stand-in to `tool` (one of kWmic, kReg, kPowerShell) below
// `folder`; false when it could not.
inline bool place_stand_in(const std::wstring& folder, std::string_view tool) {
  const std::wstring file = to_wide(tool);
  const std::wstring target = join_path(std::wstring_view(folder), std::wstring_view(file));
  create_directories(parent_path(std::wstring_view(target)));
  return ::CopyFileW(stand_in_tool_path().c_str(), target.c_str(), FALSE) != 0;
}

// All three tools below `folder`.
inline bool place_stand_in_tools(const std::wstring& folder) {
  return place_stand_in(folder, kWmic) && place_stand_in(folder, kReg) &&
         place_stand_in(folder, kPowerShell);
}

}  // namespace vyn::test
