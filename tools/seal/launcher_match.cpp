#include "seal/launcher_match.h"

namespace vyn {

LauncherVerdict judge_launcher(std::string_view launcher_path,
                               const std::optional<LauncherMark>& launcher,
                               std::string_view own_fingerprint) {
  const std::string path(launcher_path);
  if (!launcher)
    return {false, "cannot read the version resource of " + path +
                       ": the installation must hold VYN_Launcher.exe, or name it with "
                       "--launcher <exe>"};
  if (launcher->fingerprint.empty())
    return {false, path +
                       " names no pass phrase fingerprint: it is not a launcher of this "
                       "release; take the launcher and vyn-seal from one release"};
  if (launcher->fingerprint != own_fingerprint)
    return {false, "this vyn-seal's pass phrase (fingerprint " + std::string(own_fingerprint) +
                       ") is not the one of " + path + " (fingerprint " + launcher->fingerprint +
                       "); use the vyn-seal built with that launcher"};
  if (own_fingerprint != kDevelopmentPhraseFingerprint) return {true, ""};
  if (launcher->build_kind == kReleaseBuild)
    return {false, path +
                       " is a release build with the public development pass phrase; build "
                       "the release with a phrase of your own"};
  return {true, "warning: the public development pass phrase, accepted only because " + path +
                    " is a development build"};
}

}  // namespace vyn
