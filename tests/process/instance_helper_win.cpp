// A stand-in process for the instance tests: copied as VYN.exe into a
// temporary installation it is the application to be found, started under
// its own name it is an unrelated process, and with --mutex it plays a
// launcher that holds the single-instance name.
//
//   vyn_instance_helper [--mutex NAME] [--sleep-ms N]

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  DWORD sleep_ms = 60000;
  HANDLE mutex = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    if (option == L"--sleep-ms") {
      sleep_ms = static_cast<DWORD>(std::wcstoul(argv[i + 1], nullptr, 10));
    } else if (option == L"--mutex") {
      mutex = ::CreateMutexW(nullptr, TRUE, argv[i + 1]);
      if (!mutex) return 2;
    } else {
      return 2;
    }
  }
  ::Sleep(sleep_ms);
  if (mutex) ::CloseHandle(mutex);
  return 0;
}
