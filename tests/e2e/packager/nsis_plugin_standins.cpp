// Stand-ins for the third-party NSIS plugins electron-builder's installer
// templates call (Nsis7z, StdUtils, WinShell, SpiderBanner, UAC), which
// Debian's NSIS lacks: each does just what the templates ask of it, so the
// tests can build and run electron-builder's own installer. One DLL, copied
// under each plugin's name; every plugin exports all of the functions.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

namespace {

struct Stack {
  Stack* next;
  wchar_t text[1];
};

std::wstring pop(Stack** top) {
  Stack* item = *top;
  if (!item) return L"";
  std::wstring text = item->text;
  *top = item->next;
  GlobalFree(item);
  return text;
}

void push(Stack** top, int size, const std::wstring& text) {
  auto* item = static_cast<Stack*>(GlobalAlloc(GPTR, sizeof(Stack) + size * sizeof(wchar_t)));
  if (!item) return;
  lstrcpynW(item->text, text.c_str(), size);
  item->next = *top;
  *top = item;
}

// $0..$9 are variables 0 to 9; $OUTDIR is 22.
void set_var(wchar_t* vars, int size, int index, const wchar_t* value) {
  lstrcpynW(vars + index * size, value, size);
}

// The installer's option `name` given as /name, -name or --name, with or
// without =value: its value, or nothing when absent.
bool find_option(const std::wstring& name, std::wstring& value) {
  int count = 0;
  wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
  bool found = false;
  for (int i = 1; args && i < count && !found; ++i) {
    std::wstring arg = args[i];
    const std::size_t start = arg.find_first_not_of(L"/-");
    if (start == 0 || start == std::wstring::npos) continue;
    const std::size_t eq = arg.find(L'=', start);
    const std::wstring key = arg.substr(start, eq == std::wstring::npos ? eq : eq - start);
    if (lstrcmpiW(key.c_str(), name.c_str()) == 0) {
      found = true;
      value = eq == std::wstring::npos ? L"" : arg.substr(eq + 1);
    }
  }
  LocalFree(args);
  return found;
}

}  // namespace

#define VYN_PLUGIN(name)                              \
  extern "C" __declspec(dllexport) void __cdecl name( \
      HWND, [[maybe_unused]] int size, [[maybe_unused]] wchar_t* vars, Stack** top, void*)

// Unpacks the archive into $OUTDIR with the real 7-Zip for Windows that
// VYN_TEST_7ZA names (electron-builder's own, from npm).
VYN_PLUGIN(Extract) {
  const std::wstring archive = pop(top);
  wchar_t tool[MAX_PATH] = L"";
  GetEnvironmentVariableW(L"VYN_TEST_7ZA", tool, MAX_PATH);
  std::wstring command = std::wstring(L"\"") + tool + L"\" x -y \"-o" + (vars + 22 * size) +
                         L"\" \"" + archive + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                     nullptr, &si, &pi)) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
}

// ShellExecute as the user: the tests run unelevated, so as is.
VYN_PLUGIN(ExecShellAsUser) {
  const std::wstring args = pop(top);
  const std::wstring verb = pop(top);
  const std::wstring file = pop(top);
  const auto done = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, verb.empty() ? nullptr : verb.c_str(), file.c_str(),
                    args.empty() ? nullptr : args.c_str(), nullptr, SW_SHOWNORMAL));
  push(top, size, done > 32 ? L"ok" : L"error");
}

VYN_PLUGIN(TestParameter) {
  std::wstring value;
  push(top, size, find_option(pop(top), value) ? L"true" : L"false");
}

VYN_PLUGIN(GetParameter) {
  const std::wstring fallback = pop(top);
  std::wstring value;
  push(top, size, find_option(pop(top), value) ? value : fallback);
}

// The command line after the program's name (quoted or not).
VYN_PLUGIN(GetAllParameters) {
  pop(top);
  const wchar_t* line = GetCommandLineW();
  const wchar_t end = *line == L'"' ? L'"' : L' ';
  if (*line == L'"') ++line;
  while (*line && *line != end) ++line;
  if (*line == L'"') ++line;
  while (*line == L' ') ++line;
  push(top, size, line);
}

VYN_PLUGIN(GetParentPath) {
  std::wstring path = pop(top);
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  const std::size_t cut = path.find_last_of(L'\\');
  push(top, size, cut == std::wstring::npos ? L"" : path.substr(0, cut));
}

// Shortcut identities and banners: nothing the tests look at.
VYN_PLUGIN(SetLnkAUMI) {
  pop(top);
  pop(top);
}
VYN_PLUGIN(UninstShortcut) { pop(top); }
VYN_PLUGIN(UninstAppUserModelId) { pop(top); }
VYN_PLUGIN(Show) {
  for (std::wstring arg = pop(top); arg == L"/MODERN" || arg == L"/ICON"; arg = pop(top))
    if (arg == L"/ICON") pop(top);
}

// UAC: 0 elevate (answered "already elevated"), 2 is admin, 3 is the inner
// (elevated) instance, into $0 or, with "s", onto the stack; the rest are
// never reached by a per-user install.
VYN_PLUGIN(_) {
  std::wstring mode = pop(top);
  const bool onto_stack = !mode.empty() && mode.back() == L's';
  if (onto_stack) mode.pop_back();
  const wchar_t* answer = nullptr;
  if (mode == L"0") {
    answer = L"0";
    set_var(vars, size, 1, L"2");
    set_var(vars, size, 3, IsUserAnAdmin() ? L"1" : L"0");
  } else if (mode == L"2") {
    answer = IsUserAnAdmin() ? L"1" : L"0";
  } else if (mode == L"3") {
    answer = L"0";
  }
  if (answer && onto_stack) push(top, size, answer);
  if (answer && !onto_stack) set_var(vars, size, 0, answer);
}
