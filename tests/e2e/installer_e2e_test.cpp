// The installer's side, run for real: the fixture installer built around
// installer/vyn-launcher.nsh installs one installation into a folder with
// blanks and non-ASCII text, updates it over a running launcher and removes
// it, silently, as electron-builder's installers run.
#include <windows.h>
#include <propsys.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "e2e/harness_win.h"
#include "utils/win.h"

namespace vyn::e2e {
namespace {

constexpr const wchar_t* kTrackingKey = L"Software\\VYN\\InstallTracking";
constexpr const wchar_t* kShellFolders =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

std::wstring registry_text(HKEY root, const wchar_t* key, const wchar_t* name) {
  wchar_t buf[2048];
  DWORD size = sizeof buf;
  return RegGetValueW(root, key, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                      buf, &size) == ERROR_SUCCESS
             ? buf
             : L"";
}

void set_registry_text(const wchar_t* key, const wchar_t* name, const std::wstring& value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_EXPAND_SZ, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Milliseconds the command took; fails the test unless it ended with 0.
long long run_to_end(std::wstring command, const wchar_t* folder = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, &si,
                      &pi))
    throw std::runtime_error("cannot start " + to_utf8(command));
  DWORD code = 999;
  if (WaitForSingleObject(pi.hProcess, 120'000) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u) << to_utf8(command);
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

struct Shortcut {
  std::wstring target, folder, icon, app_id;
};

Shortcut read_shortcut(const std::wstring& path) {
  Shortcut out;
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  IPropertyStore* store = nullptr;
  wchar_t buf[2048];
  int icon = 0;
  CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                   reinterpret_cast<void**>(&link));
  if (link == nullptr) return out;
  if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
    // From the item list: Wine keeps the path itself only in the ANSI code
    // page, which has no room for the folder's Chinese letters.
    PIDLIST_ABSOLUTE items = nullptr;
    if (SUCCEEDED(link->GetIDList(&items)) && SHGetPathFromIDListW(items, buf)) out.target = buf;
    CoTaskMemFree(items);
    if (SUCCEEDED(link->GetWorkingDirectory(buf, 2048))) out.folder = buf;
    if (SUCCEEDED(link->GetIconLocation(buf, 2048, &icon))) out.icon = buf;
    // PKEY_AppUserModel_ID
    const PROPERTYKEY app_id{
        {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(link->QueryInterface(IID_IPropertyStore, reinterpret_cast<void**>(&store))) &&
        SUCCEEDED(store->GetValue(app_id, &value)) && value.vt == VT_LPWSTR)
      out.app_id = value.pwszVal;
    PropVariantClear(&value);
  }
  if (store) store->Release();
  if (file) file->Release();
  link->Release();
  return out;
}

// One installation for the suite, under a desktop, Start menu and
// application data folder of its own: the prefix's real desktop is the host
// user's home folder, and the log must sit where an uninstaller could reach.
class Installer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitialize(nullptr);
    inst = std::make_unique<Installation>();
    inst->install_dir = inst->root / L"VYN T\u00e9st \u4e2d\u6587";
    CreateDirectoryW((inst->root / L"Desktop").c_str(), nullptr);
    CreateDirectoryW((inst->root / L"Programs").c_str(), nullptr);
    const std::pair<const wchar_t*, std::wstring> folders[] = {
        {L"Desktop", inst->root / L"Desktop"},
        {L"Programs", inst->root / L"Programs"},
        {L"AppData", inst->appdata}};
    for (const auto& [name, path] : folders) {
      saved[name] = registry_text(HKEY_CURRENT_USER, kShellFolders, name);
      set_registry_text(kShellFolders, name, path);
    }
    // The installer, launcher and stand-in inherit these; Wine's menu
    // builder would copy the shortcuts into the host's menus.
    SetEnvironmentVariableW(L"APPDATA", inst->appdata.c_str());
    SetEnvironmentVariableW(L"WINEDLLOVERRIDES", L"winemenubuilder.exe=d;mscoree,mshtml=");
    Installation::unregister();
    std::printf("[ timing ] install %lld ms\n", install());
  }
  static void TearDownTestSuite() {
    for (const auto& [name, value] : saved) {
      set_registry_text(kShellFolders, name.c_str(), value);
      // Wine's cache of the resolved paths, made again from the above.
      RegDeleteKeyValueW(HKEY_CURRENT_USER,
                         L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
                         name.c_str());
    }
    Installation::unregister();
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\VYN-fixture");
    inst.reset();
    CoUninitialize();
  }
  static long long install(const std::wstring& extra = L"") {
    return run_to_end(quote_argument(bin_dir() + L"\\vyn_installer_fixture.exe") + L" /S" + extra +
                      L" /D=" + inst->install_dir);
  }
  static std::wstring desktop_link() { return inst->root / L"Desktop\\VYN.lnk"; }
  static std::wstring menu_link() { return inst->root / L"Programs\\VYN.lnk"; }
  static std::wstring file(const wchar_t* name) { return inst->install_dir + L"\\" + name; }
  static void scenario(const wchar_t* json) {
    SetEnvironmentVariableW(L"VYN_STANDIN_SCENARIO", json);
  }

  static inline std::unique_ptr<Installation> inst;
  static inline std::map<std::wstring, std::wstring> saved;
};

TEST_F(Installer, TracksTheInstallationAndPointsBothShortcutsAtTheLauncher) {
  EXPECT_EQ(registry_text(HKEY_CURRENT_USER, kTrackingKey, L"installDir"), inst->install_dir);
  EXPECT_EQ(registry_text(HKEY_CURRENT_USER, kTrackingKey, L"installId").size(), 36u);
  for (const std::wstring& link : {desktop_link(), menu_link()}) {
    const Shortcut s = read_shortcut(link);
    EXPECT_EQ(s.target, inst->launcher()) << to_utf8(link);
    EXPECT_EQ(s.folder, inst->install_dir);
    EXPECT_EQ(s.icon, file(L"VYN.exe"));
    if (!s.app_id.empty()) {
      EXPECT_EQ(s.app_id, L"com.vyn.desktop");
    }
  }
  // Where the link's store drops it (Wine), the store the fixture filled the
  // same way shows what the link was given.
  EXPECT_EQ(registry_text(HKEY_CURRENT_USER, L"Software\\VYN-fixture", L"appUserModelId"),
            L"31:com.vyn.desktop");
}

TEST_F(Installer, TheDesktopShortcutStartsAVerifiedLaunchThatEndsOnReady) {
  scenario(LR"({"steps": [{"pipe": "READY"}], "aliveMs": 500})");
  const Shortcut s = read_shortcut(desktop_link());
  run_to_end(quote_argument(s.target), s.folder.c_str());
  EXPECT_TRUE(wait_for_log_event(*inst, "launcher_exit_on_ready", 0));
  EXPECT_TRUE(wait_for_log_event(*inst, "integrity_verify_passed", 0));
}

TEST_F(Installer, AnUpdateEndsARunningLauncherKeepsTheIdAndReplacesEveryFile) {
  const std::wstring id = registry_text(HKEY_CURRENT_USER, kTrackingKey, L"installId");
  // Marked as the old version (bytes after its image leave it runnable), and
  // kept running: no READY comes.
  test::write_file(inst->launcher(), test::read_file(inst->launcher()) + "old");
  scenario(LR"({"aliveMs": 0})");
  RunningProgram launcher(inst->launcher());
  ASSERT_TRUE(wait_for_log_event(*inst, "process_launch_success"));
  test::write_file(inst->archive(), "changed since");  // the update must bring back its own
  std::printf("[ timing ] update %lld ms\n", install(L" --updated"));
  EXPECT_FALSE(launcher.running());
  EXPECT_TRUE(programs_under(inst->install_dir).empty());
  EXPECT_EQ(registry_text(HKEY_CURRENT_USER, kTrackingKey, L"installId"), id);
  EXPECT_TRUE(test::read_file(inst->launcher()) ==
              test::read_file(bin_dir() + L"\\installer_fixture\\app\\VYN_Launcher.exe"));
  EXPECT_NE(test::read_file(inst->archive()), "changed since");
  // Ended in the middle of its run, the launcher left whole records only.
  for (const std::string& line : test::split_lines(test::read_file(inst->log_path())))
    EXPECT_TRUE(Record::accept(line)) << line;
}

TEST_F(Installer, WithoutTrackingValuesTheInstalledLauncherFindsVynBesideIt) {
  const std::wstring id = registry_text(HKEY_CURRENT_USER, kTrackingKey, L"installId");
  Installation::unregister();  // as for another account's per-machine install
  scenario(LR"({"steps": [{"pipe": "READY"}]})");
  const RunResult r = run_launcher(*inst);
  inst->register_install(id);
  ASSERT_TRUE(r.has("launcher_init"));
  EXPECT_EQ(r.events("launcher_init").back()["installId"], "null");
  EXPECT_TRUE(r.has("launcher_exit_on_ready"));
  EXPECT_TRUE(r.has("integrity_verify_passed"));
}

TEST_F(Installer, UninstallRemovesFilesKeyAndShortcutsButNotTheLog) {
  // As electron-builder runs an uninstaller: a copy outside the folder.
  const std::wstring copy = inst->root / L"uninstall.exe";
  ASSERT_TRUE(CopyFileW(file(L"Uninstall VYN.exe").c_str(), copy.c_str(), FALSE));
  scenario(LR"({"steps": [{"pipe": "READY"}]})");
  if (!test::file_exists(inst->log_path())) run_launcher(*inst);  // run alone: a log to keep
  const std::string log = test::read_file(inst->log_path());
  std::printf("[ timing ] uninstall %lld ms\n",
              run_to_end(quote_argument(copy) + L" /S _?=" + inst->install_dir));
  EXPECT_FALSE(test::file_exists(inst->install_dir));
  EXPECT_FALSE(test::file_exists(desktop_link()));
  EXPECT_FALSE(test::file_exists(menu_link()));
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kTrackingKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_FALSE(log.empty());
  EXPECT_EQ(test::read_file(inst->log_path()), log);
}

}  // namespace
}  // namespace vyn::e2e
