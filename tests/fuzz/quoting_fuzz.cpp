// A fuzzer-made program and argument list, formed into a child's command line
// and split again by the documented rules of CommandLineToArgvW, must come
// back element for element. The splitter is written out here from those
// rules (the Windows tests hold the quoting against the real function); it
// also runs with the C runtime's reading of a doubled quote inside quotes, so
// a line that only one of the two splitters reads back is caught as well.
//
// Input: the program, then each argument, separated by NUL bytes (a command
// line cannot hold one). Quotes are taken out of the program, which as a path
// cannot hold one either.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "main/quoting.h"
#include "utils/text.h"

namespace {

void require(bool ok, const char* broken) {
  if (ok) return;
  std::fprintf(stderr, "quoting: %s\n", broken);
  std::abort();
}

enum class Rules {
  Shell,    // CommandLineToArgvW: every unescaped quote switches quoted mode
  Runtime,  // the C runtime: inside quotes, "" stands for one literal quote
};

template <class C>
bool is_blank(C c) {
  return c == C(' ') || c == C('\t');
}

template <class C>
std::vector<std::basic_string<C>> split(std::basic_string_view<C> line, Rules rules) {
  std::vector<std::basic_string<C>> out;
  const std::size_t n = line.size();
  std::size_t i = 0;
  // The program: up to the next quote when it starts with one, and nothing
  // in it escapes; otherwise up to the first blank.
  std::basic_string<C> program;
  if (i < n && line[i] == C('"')) {
    for (++i; i < n && line[i] != C('"'); ++i) program.push_back(line[i]);
    if (i < n) ++i;
    // What follows the closing quote would join the program's element.
    require(i == n || is_blank(line[i]), "the program is not followed by a blank");
  } else {
    for (; i < n && !is_blank(line[i]); ++i) program.push_back(line[i]);
  }
  out.push_back(std::move(program));

  for (;;) {
    while (i < n && is_blank(line[i])) ++i;
    if (i == n) break;
    std::basic_string<C> arg;
    bool quoted = false;
    while (i < n && (quoted || !is_blank(line[i]))) {
      if (line[i] == C('\\')) {
        std::size_t run = 0;
        for (; i < n && line[i] == C('\\'); ++i) ++run;
        if (i < n && line[i] == C('"')) {
          // 2n backslashes before a quote: n of them, and the quote switches
          // the mode; 2n + 1: n of them and a literal quote.
          arg.append(run / 2, C('\\'));
          if (run % 2 == 1) {
            arg.push_back(C('"'));
            ++i;
          }
        } else {
          arg.append(run, C('\\'));
        }
        continue;
      }
      if (line[i] == C('"')) {
        ++i;
        if (quoted && rules == Rules::Runtime && i < n && line[i] == C('"')) {
          arg.push_back(C('"'));
          ++i;
          continue;
        }
        quoted = !quoted;
        continue;
      }
      arg.push_back(line[i++]);
    }
    out.push_back(std::move(arg));
  }
  return out;
}

template <class C>
void check_round_trip(const std::basic_string<C>& program,
                      const std::vector<std::basic_string<C>>& args) {
  std::vector<std::basic_string<C>> expected{program};
  expected.insert(expected.end(), args.begin(), args.end());
  const std::basic_string<C> line = vyn::build_command_line(program, args);
  for (Rules rules : {Rules::Shell, Rules::Runtime})
    require(split(std::basic_string_view<C>(line), rules) == expected,
            "the command line does not split back into its arguments");

  // Each argument on its own, as the launcher also logs it.
  for (const auto& arg : args) {
    std::basic_string<C> one;
    one.push_back(C('"'));
    one += program;
    one.push_back(C('"'));
    one.push_back(C(' '));
    one += vyn::quote_argument(arg);
    const std::vector<std::basic_string<C>> pair{program, arg};
    for (Rules rules : {Rules::Shell, Rules::Runtime})
      require(split(std::basic_string_view<C>(one), rules) == pair,
              "a quoted argument does not split back into itself");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces = vyn::fuzz::split_at_nul(input);
  std::string program;
  for (char c : pieces.front())
    if (c != '"') program.push_back(c);
  const std::vector<std::string> args(pieces.begin() + 1, pieces.end());
  check_round_trip(program, args);

  std::vector<std::u16string> wide_args;
  for (const auto& a : args) wide_args.push_back(vyn::utf8_to_utf16(a));
  check_round_trip(vyn::utf8_to_utf16(program), wide_args);
  return 0;
}
