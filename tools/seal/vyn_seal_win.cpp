// vyn-seal: writes app_verify.config for an app.asar, as a release pipeline
// runs it, and reads one back for support. Built with the launcher's pass
// phrase, so what it seals is what the launcher accepts.

#include <windows.h>

#include <CLI/CLI.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "logger/record.h"
#include "seal/launcher_match.h"
#include "utils/path.h"
#include "utils/win.h"
#include "verify/crypto_win.h"
#include "verify/verify.h"

namespace {

using namespace vyn;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void out(std::string_view text) { write_std_handle(STD_OUTPUT_HANDLE, text); }
void err(std::string_view text) { write_std_handle(STD_ERROR_HANDLE, text); }

std::string now_rfc3339() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return format_timestamp((static_cast<FileTimeTicks>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

// Writes beside the target and then swaps it in, so a failure at any point
// leaves either the old file or none, never a part of the new one.
std::optional<std::string> replace_file(const std::wstring& target, std::string_view bytes) {
  const std::wstring temp = target + L".tmp-" + std::to_wstring(::GetCurrentProcessId());
  const auto fail = [&](DWORD code) -> std::optional<std::string> {
    ::DeleteFileW(temp.c_str());
    return os_error_text(code);
  };
  {
    UniqueHandle f(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return os_error_text(::GetLastError());
    while (!bytes.empty()) {
      DWORD written = 0;
      if (!::WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return fail(::GetLastError());
      bytes.remove_prefix(written);
    }
    if (!::FlushFileBuffers(f.get())) return fail(::GetLastError());
  }
  if (!::MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return fail(::GetLastError());
  return std::nullopt;
}

// One string value of a program's version resource, in the first language
// the resource lists; nullopt when the file has no version resource.
std::optional<std::wstring> version_string(const std::wstring& file, std::string_view name) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> info(size);
  if (!::GetFileVersionInfoW(file.c_str(), 0, size, info.data())) return std::nullopt;
  void* found = nullptr;
  UINT length = 0;
  wchar_t table[16] = L"040904b0";
  if (::VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &found, &length) &&
      length >= 4) {
    const auto* language = static_cast<const WORD*>(found);
    swprintf(table, std::size(table), L"%04x%04x", language[0], language[1]);
  }
  const std::wstring query = L"\\StringFileInfo\\" + std::wstring(table) + L"\\" + to_wide(name);
  if (!::VerQueryValueW(info.data(), query.c_str(), &found, &length)) return std::wstring();
  const auto* text = static_cast<const wchar_t*>(found);
  return std::wstring(text, wcsnlen(text, length));
}

std::optional<LauncherMark> launcher_mark(const std::wstring& file) {
  const auto fingerprint = version_string(file, kFingerprintValue);
  if (!fingerprint) return std::nullopt;
  return LauncherMark{to_utf8(*fingerprint),
                      to_utf8(version_string(file, kBuildKindValue).value_or(L""))};
}

// The launcher the files are sealed for must have been built with this
// tool's pass phrase, which its own version resource names.
bool launcher_accepted(const std::wstring& launcher) {
  const auto self = own_executable_path();
  const auto own = self ? launcher_mark(*self) : std::nullopt;
  if (!own || own->fingerprint.empty()) {
    err("vyn-seal: cannot read its own pass phrase fingerprint\n");
    return false;
  }
  const LauncherVerdict v =
      judge_launcher(to_utf8(launcher), launcher_mark(launcher), own->fingerprint);
  if (!v.message.empty()) err("vyn-seal: " + v.message + "\n");
  return v.accepted;
}

// The launcher beside the installation's resources folder, unless named.
std::wstring launcher_for(const std::string& named, const std::wstring& install_dir) {
  if (!named.empty()) return to_wide(named);
  return join_path(install_dir, L"VYN_Launcher.exe");
}

struct SealOptions {
  std::string archive;
  std::string output;
  std::string version;
  std::string path = "resources/app.asar";
  std::string build_time;
  std::string launcher;
};

int seal(const SealOptions& o) {
  const std::wstring archive = to_wide(o.archive);
  const std::wstring resources = parent_path(std::wstring_view(archive));
  if (!launcher_accepted(launcher_for(o.launcher, parent_path(std::wstring_view(resources)))))
    return kExitFailure;
  auto hashed = hash_archive(to_wide(o.archive));
  if (auto* code = std::get_if<std::uint32_t>(&hashed)) {
    err("vyn-seal: cannot read " + o.archive + ": " + os_error_text(*code) + "\n");
    return kExitFailure;
  }
  const ArchiveHash& h = std::get<ArchiveHash>(hashed);
  const AppVerifyConfig record{
      o.version, {o.path, h.sha256, h.size, o.build_time.empty() ? now_rfc3339() : o.build_time}};
  const std::string json_text = serialize_verify_config(record);
  if (auto e = replace_file(to_wide(o.output), encrypt_verify_config(json_text))) {
    err("vyn-seal: cannot write " + o.output + ": " + *e + "\n");
    return kExitFailure;
  }
  out("sealed " + o.archive + " (" + std::to_string(h.size) + " bytes, sha256 " + h.sha256 +
      ") into " + o.output + "\n");
  return kExitOk;
}

int decrypt(const std::string& config) {
  auto data = read_file_bytes(to_wide(config));
  if (auto* code = std::get_if<std::uint32_t>(&data)) {
    err("vyn-seal: Failed to read encrypted config: " + os_error_text(*code) + "\n");
    return kExitFailure;
  }
  auto text = decrypt_verify_config(std::get<std::string>(data));
  if (auto* e = std::get_if<DecryptError>(&text)) {
    err("vyn-seal: Failed to decrypt config: " + e->text + "\n");
    return kExitFailure;
  }
  const std::string& json_text = std::get<std::string>(text);
  out(json_text);
  if (json_text.empty() || json_text.back() != '\n') out("\n");
  // Support wants to know whether the launcher would accept it, too.
  auto parsed = parse_verify_config(json_text);
  if (auto* e = std::get_if<std::string>(&parsed)) {
    err("vyn-seal: the launcher would reject this: Failed to parse config: " + *e + "\n");
    return kExitFailure;
  }
  return kExitOk;
}

int check(const std::string& install_dir, const std::string& launcher) {
  if (!launcher_accepted(launcher_for(launcher, to_wide(install_dir)))) return kExitFailure;
  const VerifyOutcome o = verify_app_asar(to_wide(install_dir));
  switch (o.kind) {
    case VerifyOutcomeKind::Passed:
      out("passed\n");
      return kExitOk;
    case VerifyOutcomeKind::Failed:
      out("failed: " + o.text + "\n");
      break;
    case VerifyOutcomeKind::AsarMissing:
      out("failed: app.asar file not found\n");
      break;
    case VerifyOutcomeKind::IoError:
      out("io error: " + o.text + "\n");
      break;
  }
  return kExitFailure;
}

int run(int argc, char** argv) {
  CLI::App app{"Seals app.asar into app_verify.config, or reads such a file back.", "vyn-seal"};
  app.require_subcommand(1);

  SealOptions seal_opts;
  CLI::App* seal_cmd = app.add_subcommand("seal", "hash an archive and write its configuration");
  seal_cmd->add_option("--archive", seal_opts.archive, "the app.asar to seal")->required();
  seal_cmd->add_option("--output", seal_opts.output, "the app_verify.config to write")->required();
  seal_cmd->add_option("--version", seal_opts.version, "the version text to record")->required();
  seal_cmd->add_option("--path", seal_opts.path, "the path text to record")->capture_default_str();
  seal_cmd->add_option("--build-time", seal_opts.build_time,
                       "the build time to record (RFC 3339; default: now, UTC)");
  seal_cmd->add_option("--launcher", seal_opts.launcher,
                       "the launcher sealed for (default: VYN_Launcher.exe in the folder "
                       "above the archive's)");

  std::string decrypt_input;
  CLI::App* decrypt_cmd =
      app.add_subcommand("decrypt", "print the JSON text of an app_verify.config");
  decrypt_cmd->add_option("config", decrypt_input, "the file to read")->required();

  std::string install_dir;
  CLI::App* check_cmd =
      app.add_subcommand("check", "run the launcher's archive check on an installation");
  check_cmd->add_option("install_dir", install_dir, "the installation folder")->required();
  std::string check_launcher;
  check_cmd->add_option("--launcher", check_launcher,
                        "the launcher checked for (default: VYN_Launcher.exe in the folder)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream o, er;
    const int code = app.exit(e, o, er);
    out(o.str());
    err(er.str());
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (seal_cmd->parsed()) return seal(seal_opts);
  if (decrypt_cmd->parsed()) return decrypt(decrypt_input);
  return check(install_dir, check_launcher);
}

}  // namespace

int wmain(int argc, wchar_t** wargv) {
  try {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(to_utf8(wargv[i]));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    return run(argc, argv.data());
  } catch (const std::exception& e) {
    err(std::string("vyn-seal: ") + e.what() + "\n");
    return kExitFailure;
  }
}
