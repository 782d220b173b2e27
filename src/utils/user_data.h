#pragma once
#include <optional>
#include <string>

#include "utils/path.h"

namespace vyn {

// The per-user folder under which the launcher keeps its log: "APPDATA" as it
// is (even empty), else "USERPROFILE"\AppData\Roaming, else "." so the log at
// least lands somewhere. Each input is nullopt when the variable is missing
// or not valid Unicode.
template <class C>
std::basic_string<C> user_data_root_from(const std::optional<std::basic_string<C>>& appdata,
                                         const std::optional<std::basic_string<C>>& userprofile) {
  if (appdata) return *appdata;
  if (userprofile) {
    const C app_data[] = {'A', 'p', 'p', 'D', 'a', 't', 'a', 0};
    const C roaming[] = {'R', 'o', 'a', 'm', 'i', 'n', 'g', 0};
    return join_path(join_path(*userprofile, app_data), roaming);
  }
  return std::basic_string<C>(1, C('.'));
}

}  // namespace vyn
