#pragma once
// Running a command-line tool hidden and reading what it prints.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyn {

// How long one tool may run before it is terminated and counts as not started.
inline constexpr std::chrono::milliseconds kToolTimeLimit{10'000};

// More than any tool asked here prints; output beyond it is read and dropped so
// a runaway tool cannot fill memory.
inline constexpr std::size_t kMaxCapturedOutput = 4 * 1024 * 1024;

// Appends one argument so that CommandLineToArgvW and the C runtime give it
// back unchanged: quoted when empty or holding blanks or quotes, with the
// backslashes before a quote (or the closing quote) doubled.
template <class C>
void append_quoted_argument(std::basic_string<C>& line, std::basic_string_view<C> arg) {
  const bool needs_quotes =
      arg.empty() || arg.find_first_of(std::basic_string<C>{C(' '), C('\t'), C('\n'), C('\v'),
                                                            C('"')}) != arg.npos;
  if (!needs_quotes) {
    line.append(arg);
    return;
  }
  line.push_back(C('"'));
  std::size_t backslashes = 0;
  for (const C c : arg) {
    if (c == C('\\')) {
      ++backslashes;
      continue;
    }
    if (c == C('"')) backslashes = backslashes * 2 + 1;
    line.append(backslashes, C('\\'));
    backslashes = 0;
    line.push_back(c);
  }
  line.append(backslashes * 2, C('\\'));
  line.push_back(C('"'));
}

// The program followed by its arguments, separated by single spaces.
template <class C>
std::basic_string<C> build_command_line(std::basic_string_view<C> program,
                                        const std::vector<std::basic_string<C>>& args) {
  std::basic_string<C> line;
  append_quoted_argument(line, program);
  for (const auto& a : args) {
    line.push_back(C(' '));
    append_quoted_argument(line, std::basic_string_view<C>(a));
  }
  return line;
}

// Starts the program file at `program_path` without a window, standard input
// from the null device, standard error discarded, and only those handles
// inherited. The path is taken as it stands: nothing is searched, so a
// program of the same name in the current folder, beside this program or on
// PATH is never started in its place; a path that is not a full one is not
// started at all. Waits for the program to end and returns its standard
// output as UTF-8 (invalid sequences replaced). nullopt when it cannot be
// started or has not finished with its output within `time_limit`; such a
// tool is terminated before this returns. Windows only.
std::optional<std::string> run_hidden_command(
    const std::wstring& program_path, const std::vector<std::wstring>& args,
    std::chrono::milliseconds time_limit = kToolTimeLimit);

}  // namespace vyn
