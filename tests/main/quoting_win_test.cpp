#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "main/quoting.h"
#include "utils/win.h"

namespace vyn {
namespace {

// What the child's own splitting makes of the line.
std::vector<std::wstring> split(const std::wstring& line) {
  int argc = 0;
  UniqueLocalMemory owner(reinterpret_cast<HLOCAL>(::CommandLineToArgvW(line.c_str(), &argc)));
  auto** argv = reinterpret_cast<wchar_t**>(owner.get());
  std::vector<std::wstring> out;
  for (int i = 0; argv && i < argc; ++i) out.emplace_back(argv[i]);
  return out;
}

std::wstring line_for(const std::wstring& program, const std::vector<std::wstring>& args) {
  std::vector<std::u16string> u;
  for (const auto& a : args) u.emplace_back(as_u16(a));
  return std::wstring(as_wide(build_command_line(as_u16(program), u)));
}

TEST(QuotingRoundTrip, GeneratedArgumentListsSurviveSplitting) {
  // Weighted towards the characters the rules are about, so runs of
  // backslashes meet quotes, blanks and the end of an argument often.
  const std::vector<std::wstring> pieces = {L"a",          L"Z",  L"-", L"=", L"\\", L"\\", L"\\\\",
                                            L"\"",         L"\"", L" ", L" ", L"\t", L"é",  L"中",
                                            L"\U0001F600", L"'",  L"^", L"%", L"&",  L"\r", L"\n"};
  const std::vector<std::wstring> programs = {L"C:\\VYN\\VYN.exe",
                                              L"C:\\Program Files\\VYN App\\VYN.exe",
                                              L"C:\\Users\\Zoë\\应用\\VYN.exe", L"C:\\VYN\\"};
  std::mt19937 rng(20240607);
  std::uniform_int_distribution<int> arg_count(0, 7), arg_len(0, 9);
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::uniform_int_distribution<std::size_t> program(0, programs.size() - 1);
  int failures = 0;
  for (int round = 0; round < 5000 && failures < 5; ++round) {
    std::vector<std::wstring> args;
    for (int n = arg_count(rng); n > 0; --n) {
      std::wstring arg;
      for (int len = arg_len(rng); len > 0; --len) arg += pieces[piece(rng)];
      args.push_back(arg);
    }
    const std::wstring& prog = programs[program(rng)];
    const std::wstring line = line_for(prog, args);
    std::vector<std::wstring> expected{prog};
    expected.insert(expected.end(), args.begin(), args.end());
    const std::vector<std::wstring> got = split(line);
    if (got != expected) {
      ++failures;
      ADD_FAILURE() << "round " << round << ": line " << to_utf8(line) << " split into "
                    << got.size() << " elements, expected " << expected.size();
    }
  }
}

TEST(QuotingRoundTrip, HandPickedHardCases) {
  const std::vector<std::wstring> args = {
      L"",  L"\\", L"\\\\", L"\"",       L"\\\"",  L"a b\\",        L"a b\\\\",
      L" ", L"\t", L"\"\"", L"a\\\\\"b", L"\" \\", L"--x=\"y z\"\\"};
  const std::wstring prog = L"C:\\a b\\VYN.exe";
  std::vector<std::wstring> expected{prog};
  expected.insert(expected.end(), args.begin(), args.end());
  EXPECT_EQ(split(line_for(prog, args)), expected);
}

}  // namespace
}  // namespace vyn
