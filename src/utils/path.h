#pragma once
// Windows path helpers that need no system call, written over any character
// type so the same rules serve UTF-16 paths for Win32 and UTF-8 texts in tests.

#include <string>
#include <string_view>

namespace vyn {

template <class C>
constexpr bool is_path_separator(C c) {
  return c == C('\\') || c == C('/');
}

// "C:\x", "C:/x" or anything starting with two separators ("\\server\share",
// "\\?\C:\x") stands on its own; "\x" and "C:x" still depend on the current
// drive or folder and are joined like relative names.
template <class C>
bool is_absolute_path(std::basic_string_view<C> p) {
  if (p.size() >= 2 && is_path_separator(p[0]) && is_path_separator(p[1])) return true;
  return p.size() >= 3 &&
         ((p[0] >= C('A') && p[0] <= C('Z')) || (p[0] >= C('a') && p[0] <= C('z'))) &&
         p[1] == C(':') && is_path_separator(p[2]);
}

// One backslash between base and name, unless base is empty or already ends
// with a separator; an absolute name replaces the base.
template <class C>
std::basic_string<C> join_path(std::basic_string_view<C> base, std::basic_string_view<C> name) {
  if (is_absolute_path(name) || base.empty()) return std::basic_string<C>(name);
  std::basic_string<C> out(base);
  if (!is_path_separator(out.back())) out.push_back(C('\\'));
  out.append(name);
  return out;
}

template <class C>
std::basic_string<C> join_path(const std::basic_string<C>& base, const C* name) {
  return join_path(std::basic_string_view<C>(base), std::basic_string_view<C>(name));
}

// The folder part of a path: everything before the last separator; "." when
// there is none. A root keeps its separator ("C:\" stays "C:\").
template <class C>
std::basic_string<C> parent_path(std::basic_string_view<C> p) {
  const auto pos = p.find_last_of(std::basic_string_view<C>(std::basic_string<C>{C('\\'), C('/')}));
  if (pos == std::basic_string_view<C>::npos) return std::basic_string<C>(1, C('.'));
  if (pos == 2 && p[1] == C(':')) return std::basic_string<C>(p.substr(0, 3));
  if (pos == 0) return std::basic_string<C>(p.substr(0, 1));
  return std::basic_string<C>(p.substr(0, pos));
}

}  // namespace vyn
