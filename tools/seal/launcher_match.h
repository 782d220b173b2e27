#pragma once
// Whether vyn-seal may seal for a launcher: the launcher names the
// fingerprint of its pass phrase and its kind of build in its version
// resource, and a file sealed with another phrase fails in it on every start
// of every user. Plain text in, verdict out; reading the resource is the
// caller's.

#include <optional>
#include <string>
#include <string_view>

namespace vyn {

// The names of the version-resource values (cmake/vyn.cmake writes them).
inline constexpr std::string_view kFingerprintValue = "PassPhraseFingerprint";
inline constexpr std::string_view kBuildKindValue = "VynBuild";
inline constexpr std::string_view kReleaseBuild = "release";
// The fingerprint of the public development phrase "VYN-dev-integrity-key-2026",
// the default of every development build.
inline constexpr std::string_view kDevelopmentPhraseFingerprint =
    "pbkdf2-sha256:c7b6765e9a3bbd531492c36556b13f06";

struct LauncherMark {
  std::string fingerprint;  // empty: the launcher names none
  std::string build_kind;
};

struct LauncherVerdict {
  bool accepted = false;
  std::string message;  // the refusal, or a warning to print when accepted
};

// `launcher` is nullopt when `launcher_path` could not be read as a program
// with a version resource; `own_fingerprint` is that of the sealing tool's
// own phrase.
LauncherVerdict judge_launcher(std::string_view launcher_path,
                               const std::optional<LauncherMark>& launcher,
                               std::string_view own_fingerprint);

}  // namespace vyn
