// Stands in for powershell.exe in the Wine prefix the packager tests run
// electron-builder's installer in. Wine's own is a stub that exits 0 for
// every command, and its findstr exits 0 without a match, so each of the
// installer's two ways of finding VYN.exe running "finds" it and the
// installer gives up. This one answers the commands the installer sends as
// PowerShell would: available, not restricted, and for the process check
// (Get-CimInstance, Path.StartsWith('<folder>')) the truth, ending those
// processes when the command is Stop-Process.
#include <windows.h>
#include <tlhelp32.h>

#include <string>

namespace {

// Processes whose program path starts with `folder`, in any case; ended
// when `end`.
bool programs_under(const std::wstring& folder, bool end) {
  bool found = false;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                 entry.th32ProcessID);
    if (!process) continue;
    wchar_t path[MAX_PATH * 4];
    DWORD size = MAX_PATH * 4;
    if (QueryFullProcessImageNameW(process, 0, path, &size) && size >= folder.size() &&
        CompareStringOrdinal(path, static_cast<int>(folder.size()), folder.c_str(),
                             static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL) {
      found = true;
      if (end) TerminateProcess(process, 1);
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

int wmain() {
  const std::wstring line = GetCommandLineW();
  const std::wstring marker = L"StartsWith('";
  const std::size_t start = line.find(marker);
  if (start == std::wstring::npos) return 0;
  const std::size_t from = start + marker.size();
  const std::wstring folder = line.substr(from, line.find(L'\'', from) - from);
  const bool end = line.find(L"Stop-Process") != std::wstring::npos;
  return programs_under(folder, end) || end ? 0 : 1;
}
