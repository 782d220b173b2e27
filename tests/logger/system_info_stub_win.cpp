// Stand-in for the machine-description tools. Started with a query's own
// arguments it answers as the real tool would on a typical laptop, after
// sleeping VYN_STUB_SLEEP_MS_<QUERY> (else VYN_STUB_SLEEP_MS) milliseconds.
// A few extra modes let tests probe the runner itself:
//   sleep <ms>      sleep, then print "slept"
//   flood <bytes>   print that many bytes at once
//   echo <args...>  print each argument (UTF-8) on a line of its own
//   stderr          print "out" here and a lot on standard error
//   stdin           read standard input to its end, print the byte count
//   bad-utf8        print bytes that are not UTF-8

#include <windows.h>

#include <cwctype>
#include <string>
#include <string_view>
#include <vector>

namespace {

void write_all(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD n = 0;
    if (!::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) || n == 0)
      return;
    bytes.remove_prefix(n);
  }
}

void out(std::string_view bytes) { write_all(::GetStdHandle(STD_OUTPUT_HANDLE), bytes); }

std::string utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
  return s;
}

DWORD env_ms(const std::wstring& name, DWORD fallback) {
  wchar_t buf[32];
  const DWORD n = ::GetEnvironmentVariableW(name.c_str(), buf, 32);
  if (n == 0 || n >= 32) return fallback;
  return static_cast<DWORD>(std::wcstoul(buf, nullptr, 10));
}

std::wstring lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

std::string wmic_list(std::initializer_list<std::string_view> properties) {
  std::string s = "\r\r\n\r\r\n";
  for (auto p : properties) s.append(p).append("\r\r\n");
  return s + "\r\r\n\r\r\n\r\r\n\r\r\n";
}

// Which query the arguments belong to, and its answer.
std::wstring query_of(const std::vector<std::wstring>& a) {
  if (a.empty()) return L"";
  if (a[0] == L"-NoProfile") return L"POWERSHELL";
  if (a[0] == L"query") return L"REG";
  if (a[0] == L"cpu") return L"CPU";
  if (a[0] == L"systemenclosure") return L"CHASSIS";
  if (a[0] == L"computersystem" && a.size() > 2) return a[2] == L"Model" ? L"MODEL" : L"MAKER";
  if (a[0] == L"path" && a.size() > 1) {
    const std::wstring cls = lower(a[1]);
    if (cls == L"win32_videocontroller") return L"GPU";
    if (cls == L"win32_battery") return L"BATTERY";
    if (cls == L"win32_pnpentity") return L"TOUCH";
  }
  return L"";
}

std::string answer_for(const std::wstring& query) {
  if (query == L"GPU")
    return wmic_list({"Name=NVIDIA GeForce GTX 1650"}) +
           wmic_list({"Name=Intel(R) UHD Graphics 630"});
  if (query == L"CPU")
    return wmic_list({"Architecture=9", "Manufacturer=GenuineIntel",
                      "Name=Intel(R) Core(TM) i7-9750H CPU @ 2.60GHz"});
  if (query == L"MAKER") return wmic_list({"Manufacturer=ASUSTeK COMPUTER INC."});
  if (query == L"MODEL") return wmic_list({"Model=ROG Strix G531GT_G531GT"});
  if (query == L"BATTERY") return wmic_list({"Status=OK"});
  if (query == L"CHASSIS") return wmic_list({"ChassisTypes=10"});
  if (query == L"TOUCH") return "\r\r\n";
  if (query == L"POWERSHELL") return "0\r\n";
  if (query == L"REG")
    return "\r\nHKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\ImmersiveShell"
           "\r\n    TabletMode    REG_DWORD    0x1\r\n\r\n";
  return "";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring> args(argv + 1, argv + argc);
  const std::wstring mode = args.empty() ? L"" : args[0];
  if (mode == L"sleep" && args.size() > 1) {
    ::Sleep(static_cast<DWORD>(std::wcstoul(args[1].c_str(), nullptr, 10)));
    out("slept");
    return 0;
  }
  if (mode == L"flood" && args.size() > 1) {
    out(std::string(std::wcstoul(args[1].c_str(), nullptr, 10), 'x'));
    return 0;
  }
  if (mode == L"echo") {
    for (std::size_t i = 1; i < args.size(); ++i) out(utf8(args[i]) + "\n");
    return 0;
  }
  if (mode == L"stderr") {
    write_all(::GetStdHandle(STD_ERROR_HANDLE), std::string(256 * 1024, 'e'));
    out("out");
    return 0;
  }
  if (mode == L"stdin") {
    std::size_t total = 0;
    char buf[4096];
    DWORD n = 0;
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    while (in && in != INVALID_HANDLE_VALUE && ::ReadFile(in, buf, sizeof buf, &n, nullptr) && n)
      total += n;
    out(std::to_string(total));
    return 0;
  }
  if (mode == L"bad-utf8") {
    out("ok \xFF\xC3 end");
    return 0;
  }
  const std::wstring query = query_of(args);
  ::Sleep(env_ms(L"VYN_STUB_SLEEP_MS_" + query, env_ms(L"VYN_STUB_SLEEP_MS", 0)));
  out(answer_for(query));
  return 0;
}
