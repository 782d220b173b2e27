#include "main/quoting.h"

#include <cstddef>

namespace vyn {

namespace {

template <class C>
bool needs_quotes(std::basic_string_view<C> arg) {
  if (arg.empty()) return true;
  for (const C c : arg)
    if (c == C(' ') || c == C('\t')) return true;
  return false;
}

template <class C>
void append_argument(std::basic_string<C>& out, std::basic_string_view<C> arg) {
  const bool quoted = needs_quotes(arg);
  if (quoted) out.push_back(C('"'));
  // Backslashes mean nothing to the splitter unless a double quote follows
  // them, so a run is only decided once the character after it is known.
  std::size_t backslashes = 0;
  for (const C c : arg) {
    if (c == C('\\')) {
      ++backslashes;
      continue;
    }
    if (c == C('"')) {
      out.append(backslashes * 2 + 1, C('\\'));
    } else {
      out.append(backslashes, C('\\'));
    }
    backslashes = 0;
    out.push_back(c);
  }
  if (quoted) {
    out.append(backslashes * 2, C('\\'));
    out.push_back(C('"'));
  } else {
    out.append(backslashes, C('\\'));
  }
}

template <class C>
std::basic_string<C> quote_one(std::basic_string_view<C> arg) {
  std::basic_string<C> out;
  append_argument(out, arg);
  return out;
}

template <class C>
std::basic_string<C> build_line(std::basic_string_view<C> program,
                                const std::vector<std::basic_string<C>>& args) {
  std::basic_string<C> out;
  out.push_back(C('"'));
  out.append(program);
  out.push_back(C('"'));
  for (const auto& arg : args) {
    out.push_back(C(' '));
    append_argument(out, std::basic_string_view<C>(arg));
  }
  return out;
}

}  // namespace

std::string quote_argument(std::string_view arg) { return quote_one(arg); }
std::u16string quote_argument(std::u16string_view arg) { return quote_one(arg); }

std::string build_command_line(std::string_view program, const std::vector<std::string>& args) {
  return build_line(program, args);
}

std::u16string build_command_line(std::u16string_view program,
                                  const std::vector<std::u16string>& args) {
  return build_line(program, args);
}

}  // namespace vyn
