// Logs of real launcher runs for the fleet reports to be checked on: two
// users' bootstrap.log, written by the real launcher with the stand-in
// application, one run of each way a run commonly ends (ready, GPU relaunch,
// no READY, activation interleaved with another launcher's run, failed launch,
// second launcher, a failed archive check), a torn line, and the zero bytes
// a crash leaves before the next record.
// Usage: vyn_fleet_corpus <output folder>; writes <folder>\<user>\bootstrap.log.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "e2e/harness_win.h"

namespace vyn::e2e {
namespace {

constexpr const char* kReady =
    R"({"steps":[{"stderr":["[main] starting"]},{"pipe":"READY","delayMs":300}]})";
constexpr const char* kGpuThenReady =
    R"({"gpuFailure":true,"steps":[{"pipe":"READY","delayMs":300}]})";
// The application answers the boot pipe with something other than READY:
// the launcher's wait ends at once, as a missed ready signal.
constexpr const char* kNotReady = R"({"steps":[{"pipe":"HELLO"}]})";
constexpr const char* kSlowReady = R"({"steps":[{"pipe":"READY","delayMs":2500}],"aliveMs":1000})";

void scenario(const Installation& inst, const char* json) {
  test::write_file(inst.install_dir + L"\\standin.json", json);
}

RunResult run_as(const Installation& inst, const std::wstring& appdata) {
  return run_launcher(inst, {.env = {{L"APPDATA", appdata}}});
}

void copy_log(const std::wstring& appdata, const std::wstring& to_dir, const std::string& tail,
              bool crashed = false) {
  CreateDirectoryW(to_dir.c_str(), nullptr);
  std::string log = test::read_file(appdata + L"\\VYN\\logs\\bootstrap.log");
  if (crashed) {
    // A crash can leave zero bytes where its last record was meant to be,
    // and the next launcher's record follows on the same line.
    const std::size_t init = log.rfind("\"eventName\":\"launcher_init\"");
    log.insert(log.rfind('\n', init) + 1, std::string(8, '\0'));
  }
  test::write_file(to_dir + L"\\bootstrap.log", log + tail);
}

int make_corpus(const std::wstring& out) {
  test::remove_tree(out);
  CreateDirectoryW(out.c_str(), nullptr);
  Installation::unregister();
  {
    // The first user: a ready start, a GPU relaunch, no READY, and an
    // activation by a second start while the first still waits.
    Installation a;
    a.copy_program(L"VYN.exe", L"VYN.exe");
    a.register_install(L"fleet-user-a");
    scenario(a, kReady);
    run_as(a, a.appdata);
    scenario(a, kGpuThenReady);
    run_as(a, a.appdata);
    scenario(a, kNotReady);
    run_as(a, a.appdata);
    scenario(a, kSlowReady);
    std::thread first([&] { run_as(a, a.appdata); });
    Sleep(1200);
    run_as(a, a.appdata);
    first.join();
    copy_log(a.appdata, out + L"\\user-a", "", true);
  }
  {
    // The second user: an archive changed after sealing, an installation
    // without its application, and a start while the launcher mutex is
    // held; the log ends in a record torn in mid-write.
    Installation b, broken;
    b.copy_program(L"VYN.exe", L"VYN.exe");
    b.seal("the archive as sealed");
    test::write_file(b.archive(), "the archive as changed by an update");
    b.register_install(L"fleet-user-b");
    scenario(b, kReady);
    run_as(b, b.appdata);
    broken.register_install(L"fleet-user-b-broken");
    run_as(broken, b.appdata);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"VYN_Launcher");
    b.register_install(L"fleet-user-b");
    run_as(b, b.appdata);
    CloseHandle(mutex);
    copy_log(b.appdata, out + L"\\user-b", "{\"level\":\"info\",\"installId\":\"fleet-us\n");
  }
  Installation::unregister();
  return 0;
}

}  // namespace
}  // namespace vyn::e2e

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vyn_fleet_corpus <output folder>\n");
    return 2;
  }
  try {
    return vyn::e2e::make_corpus(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vyn_fleet_corpus: %s\n", e.what());
    return 1;
  }
}
