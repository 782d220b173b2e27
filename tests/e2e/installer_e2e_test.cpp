// The installer's side, run for real, silently: the fixture installer around
// installer/vyn-launcher.nsh ("Fixture/"), and the installer electron-builder
// builds with it ("Packaged/", the packager test), install into a folder with
// blanks and non-ASCII text, update over a running launcher and uninstall.
#include <windows.h>
#include <propsys.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "e2e/harness_win.h"
#include "utils/win.h"

// Built with the packaged installer: its 7-Zip for Windows, from bin/.
#ifndef VYN_E2E_7ZA
#define VYN_E2E_7ZA ""
#endif

namespace vyn::e2e {
namespace {

const std::wstring kTracking = L"Software\\VYN\\InstallTracking";
const std::wstring kFolders = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";

std::wstring reg_text(const std::wstring& key, const wchar_t* name) {
  wchar_t buf[2048];
  DWORD size = sizeof buf;
  const DWORD types = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  return RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, types, nullptr, buf, &size) ? L"" : buf;
}

// Milliseconds taken; the command line goes as is (NSIS reads /D= and _?=
// only unquoted) and must end with 0.
ULONGLONG run_to_end(std::wstring command, const wchar_t* folder = nullptr) {
  const ULONGLONG start = GetTickCount64();
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  DWORD code = 999;
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, 0, 0, nullptr, folder, &si, &pi)) {
    if (WaitForSingleObject(pi.hProcess, 120'000) == WAIT_OBJECT_0)
      GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  EXPECT_EQ(code, 0u) << to_utf8(command);
  return GetTickCount64() - start;
}

// The same file under another spelling: under Wine its Z: drive, which
// reaches the prefix's C: drive through the host's file system; elsewhere its
// 8.3 short name.
std::wstring other_spelling(const std::wstring& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
  wchar_t buf[2048];
  if (!unix_name) return GetShortPathNameW(path.c_str(), buf, 2048) ? buf : path;
  char* name = unix_name(path.c_str());
  std::wstring out = L"Z:" + to_wide(name ? name : "");
  HeapFree(GetProcessHeap(), 0, name);
  std::replace(out.begin(), out.end(), L'/', L'\\');
  return out;
}

// Target (from the item list: Wine keeps the path itself only in the ANSI
// code page, with no room for Chinese), working folder, icon and the
// AppUserModelID, which Wine's links do not keep.
std::vector<std::wstring> read_shortcut(const std::wstring& path) {
  std::vector<std::wstring> out(4);
  IShellLinkW* link = nullptr;
  CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link));
  IPersistFile* file = nullptr;
  IPropertyStore* store = nullptr;
  wchar_t buf[2048];
  int icon = 0;
  PIDLIST_ABSOLUTE items = nullptr;
  PROPVARIANT id;
  PropVariantInit(&id);
  const PROPERTYKEY app_id{
      {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};
  if (link && SUCCEEDED(link->QueryInterface(IID_PPV_ARGS(&file))) &&
      SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
    if (SUCCEEDED(link->GetIDList(&items)) && SHGetPathFromIDListW(items, buf)) out[0] = buf;
    if (SUCCEEDED(link->GetWorkingDirectory(buf, 2048))) out[1] = buf;
    if (SUCCEEDED(link->GetIconLocation(buf, 2048, &icon))) out[2] = buf;
    if (SUCCEEDED(link->QueryInterface(IID_PPV_ARGS(&store))) &&
        SUCCEEDED(store->GetValue(app_id, &id)) && id.vt == VT_LPWSTR)
      out[3] = id.pwszVal;
  }
  PropVariantClear(&id);
  CoTaskMemFree(items);
  for (IUnknown* p :
       {static_cast<IUnknown*>(store), static_cast<IUnknown*>(file), static_cast<IUnknown*>(link)})
    if (p) p->Release();
  return out;
}

// One installation for the suite, with a desktop, Start menu and application
// data of its own: the prefix's desktop is the host user's home folder, and
// the log must sit where an uninstaller could reach it.
class Installer : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  static void SetUpTestSuite() {
    // The instantiation's name, known here where its parameter is not.
    packaged = std::string(testing::UnitTest::GetInstance()->current_test_suite()->name())
                   .rfind("Packaged/", 0) == 0;
    installer =
        bin_dir() + (packaged ? L"\\vyn_packaged_installer.exe" : L"\\vyn_installer_fixture.exe");
    built_launcher =
        bin_dir() +
        (packaged ? L"\\packaged_installer\\app\\vendor\\vyn" : L"\\installer_fixture\\app") +
        L"\\VYN_Launcher.exe";
    if (!test::file_exists(installer)) return;
    CoInitialize(nullptr);
    if (packaged) use_packaging_standins();
    inst = std::make_unique<Installation>();
    inst->install_dir = inst->root / L"VYN T\u00e9st \u4e2d\u6587";
    for (const wchar_t* name : {L"Desktop", L"Programs", L"AppData"}) {
      saved[name] = reg_text(kFolders + L"User Shell Folders", name);
      const std::wstring path =
          name == std::wstring(L"AppData") ? inst->appdata : inst->root / name;
      CreateDirectoryW(path.c_str(), nullptr);
      set_folder(name, path);
    }
    // Inherited by installer, launcher and stand-in; Wine's menu builder
    // would copy the shortcuts into the host's menus.
    set_env(L"APPDATA", inst->appdata.c_str());
    set_env(L"WINEDLLOVERRIDES", L"winemenubuilder.exe=d;mscoree,mshtml=");
    Installation::unregister();
    std::printf("[ timing ] install %llu ms\n", install());
  }
  void SetUp() override {
    if (!inst) GTEST_SKIP() << "not built: " << to_utf8(installer);
  }
  static void TearDownTestSuite() {
    if (!inst) return;
    if (packaged) MoveFileExW((powershell() + L".wine").c_str(), powershell().c_str(), 1);
    for (const auto& [name, value] : saved) set_folder(name.c_str(), value);
    // The next suites' stand-ins read their own scenarios.
    for (const auto& [name, value] : env)
      SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
    Installation::unregister();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VYN-fixture");
    inst.reset();
    env.clear();
    saved.clear();
    CoUninitialize();
  }
  // electron-builder's installer unpacks its archive with 7-Zip (the real
  // one for Windows, through the plugin's stand-in), and asks PowerShell
  // whether VYN.exe runs, which Wine's stub cannot answer.
  static void use_packaging_standins() {
    set_env(L"VYN_TEST_7ZA", (bin_dir() + L"\\" + to_wide(VYN_E2E_7ZA)).c_str());
    MoveFileExW(powershell().c_str(), (powershell() + L".wine").c_str(), 0);
    CopyFileW((bin_dir() + L"\\vyn_powershell_standin.exe").c_str(), powershell().c_str(), 0);
  }
  static std::wstring powershell() {
    return system_folder().value_or(L"") + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
  }
  static void set_folder(const wchar_t* name, const std::wstring& path) {
    RegSetKeyValueW(HKEY_CURRENT_USER, (kFolders + L"User Shell Folders").c_str(), name,
                    REG_EXPAND_SZ, path.c_str(), DWORD((path.size() + 1) * sizeof(wchar_t)));
    // Wine's cache of the resolved paths, made again from the above.
    RegDeleteKeyValueW(HKEY_CURRENT_USER, (kFolders + L"Shell Folders").c_str(), name);
  }
  static ULONGLONG install(const std::wstring& extra = L"") {
    return run_to_end(quote_argument(installer) + L" /S" + extra + L" /D=" + inst->install_dir);
  }
  static void set_env(const wchar_t* name, const wchar_t* value) {
    if (!env.count(name)) env[name] = get_env(name);
    SetEnvironmentVariableW(name, value);
  }
  static void scenario(const wchar_t* json) { set_env(L"VYN_STANDIN_SCENARIO", json); }
  static std::wstring link(const wchar_t* folder) { return inst->root / folder + L"\\VYN.lnk"; }

  static inline bool packaged = false;
  static inline std::wstring installer;
  static inline std::wstring built_launcher;
  static inline std::unique_ptr<Installation> inst;
  static inline std::map<std::wstring, std::wstring> saved;
  static inline std::map<std::wstring, std::optional<std::wstring>> env;
};

TEST_P(Installer, TracksTheInstallationAndPointsBothShortcutsAtTheLauncher) {
  EXPECT_EQ(reg_text(kTracking, L"installDir"), inst->install_dir);
  EXPECT_EQ(reg_text(kTracking, L"installId").size(), 36u);
  for (const wchar_t* folder : {L"Desktop", L"Programs"}) {
    const auto s = read_shortcut(link(folder));
    EXPECT_EQ(s[0], inst->launcher());
    EXPECT_EQ(s[1], inst->install_dir);
    EXPECT_EQ(s[2], inst->install_dir + L"\\VYN.exe");
    EXPECT_TRUE(s[3].empty() || s[3] == L"com.vyn.desktop");
  }
  // Where the link's store drops it, the fixture's in-memory store filled the
  // same way shows what the link was given.
  if (!packaged) {
    EXPECT_EQ(reg_text(L"Software\\VYN-fixture", L"appUserModelId"), L"31:com.vyn.desktop");
  }
}

TEST_P(Installer, TheDesktopShortcutStartsAVerifiedLaunchThatEndsOnReady) {
  scenario(LR"({"steps": [{"pipe": "READY"}], "aliveMs": 500})");
  const auto s = read_shortcut(link(L"Desktop"));
  run_to_end(quote_argument(s[0]), s[1].c_str());
  EXPECT_TRUE(wait_for_log_event(*inst, "launcher_exit_on_ready", 0));
  EXPECT_TRUE(wait_for_log_event(*inst, "integrity_verify_passed", 0));
}

TEST_P(Installer, AnUpdateEndsARunningLauncherKeepsTheIdAndReplacesEveryFile) {
  const std::wstring id = reg_text(kTracking, L"installId");
  // Marked as the old one (bytes after its image leave it runnable), and kept
  // waiting: no READY comes. Started by another spelling of its path, it is
  // still this installation's launcher.
  test::write_file(inst->launcher(), test::read_file(inst->launcher()) + "old");
  scenario(LR"({"aliveMs": 0})");
  const std::wstring spelling = other_spelling(inst->launcher());
  ASSERT_NE(spelling, inst->launcher());
  RunningProgram launcher(spelling);
  ASSERT_TRUE(wait_for_log_event(*inst, "process_launch_success"));
  test::write_file(inst->archive(), "changed since");
  std::printf("[ timing ] update %llu ms\n", install(L" --updated"));
  EXPECT_FALSE(launcher.running());
  EXPECT_TRUE(programs_under(inst->install_dir).empty());
  EXPECT_EQ(reg_text(kTracking, L"installId"), id);
  EXPECT_TRUE(test::read_file(inst->launcher()) == test::read_file(built_launcher));
  EXPECT_NE(test::read_file(inst->archive()), "changed since");
  // Ended in the middle of its run, the launcher left whole records only.
  for (const std::string& line : test::split_lines(test::read_file(inst->log_path())))
    EXPECT_TRUE(Record::accept(line)) << line;
}

// electron-builder starts the application after a silent update run with
// --force-run through the Start-menu shortcut, or VYN.exe itself when there is
// no shortcut: either way it must be the launcher that starts it.
TEST_P(Installer, TheStartAfterAnUpdateGoesThroughTheLauncherWithOrWithoutAShortcut) {
  const std::wstring record = inst->root / L"starts.jsonl";
  Record s = Record::parse(R"({"steps": [{"pipe": "READY"}]})");
  s["record"] = to_utf8(record);
  scenario(to_wide(s.dump()).c_str());
  for (const bool shortcut : {true, false}) {
    if (!shortcut) DeleteFileW(link(L"Programs").c_str());
    DeleteFileW(record.c_str());
    install(L" --updated --force-run");
    Record start;
    for (int i = 0; i < 300 && start.empty(); ++i, Sleep(100))
      for (const std::string& line : test::split_lines(test::read_file(record)))
        if (Record::accept(line) && Record::parse(line)["kind"] == "start")
          start = Record::parse(line);
    ASSERT_FALSE(start.empty()) << "shortcut " << shortcut;
    EXPECT_EQ(start["args"], Record::parse(R"(["--by-launcher", "--updated"])")) << start.dump();
    programs_under(inst->install_dir, true);
  }
}

TEST_P(Installer, WithoutTrackingValuesTheInstalledLauncherFindsVynBesideIt) {
  const std::wstring id = reg_text(kTracking, L"installId");
  Installation::unregister();  // as for another account's per-machine install
  scenario(LR"({"steps": [{"pipe": "READY"}]})");
  const RunResult r = run_launcher(*inst);
  inst->register_install(id);
  ASSERT_TRUE(r.has("launcher_init"));
  EXPECT_EQ(r.events("launcher_init").back()["installId"], "null");
  EXPECT_TRUE(r.has("launcher_exit_on_ready") && r.has("integrity_verify_passed"));
}

TEST_P(Installer, UninstallRemovesFilesKeyAndShortcutsButNotTheLog) {
  scenario(LR"({"steps": [{"pipe": "READY"}]})");
  if (!test::file_exists(inst->log_path())) run_launcher(*inst);  // run alone: a log to keep
  const std::string log = test::read_file(inst->log_path());
  // As electron-builder runs an uninstaller: a copy outside the folder.
  const std::wstring copy = inst->root / L"uninstall.exe";
  ASSERT_TRUE(CopyFileW((inst->install_dir + L"\\Uninstall VYN.exe").c_str(), copy.c_str(), 0));
  std::printf("[ timing ] uninstall %llu ms\n",
              run_to_end(quote_argument(copy) + L" /S _?=" + inst->install_dir));
  for (const std::wstring& gone : {inst->install_dir, link(L"Desktop"), link(L"Programs")})
    EXPECT_FALSE(test::file_exists(gone)) << to_utf8(gone);
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kTracking.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(test::read_file(inst->log_path()), log);
}

INSTANTIATE_TEST_SUITE_P(Fixture, Installer, testing::Values(L"fixture"));
INSTANTIATE_TEST_SUITE_P(Packaged, Installer, testing::Values(L"electron-builder"));

}  // namespace
}  // namespace vyn::e2e
