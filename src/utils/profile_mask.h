#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace vyn {

// What the user's profile path is replaced with in logged texts.
inline constexpr std::string_view kMaskedProfile = "C:\\Users\\<USER>";

// Replaces every occurrence of `profile` in `text` (left to right,
// non-overlapping, byte for byte) by kMaskedProfile. Only profiles on drive C
// are masked; any other or missing profile leaves the text as it is.
std::string mask_profile_in(std::string_view text, const std::optional<std::string>& profile);

// mask_profile_in with the current "USERPROFILE" (read on every call, ignored
// when it is not valid Unicode).
std::string mask_user_profile(std::string_view text);

}  // namespace vyn
