#include "process/path_compare.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace vyn {
namespace {

using View = std::u16string_view;

bool is_any_separator(char16_t c) { return c == u'\\' || c == u'/'; }

bool is_ascii_alpha(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char16_t ascii_upper(char16_t c) {
  return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

enum class PrefixKind { None, Verbatim, VerbatimUnc, VerbatimDisk, Device, Unc, Disk };

struct Prefix {
  PrefixKind kind = PrefixKind::None;
  View first;            // name, server or device; empty for the disk kinds
  View second;           // share, for the UNC kinds
  char16_t drive = 0;    // upper case, for the disk kinds
  std::size_t size = 0;  // code units of the path the prefix takes up

  bool verbatim() const {
    return kind == PrefixKind::Verbatim || kind == PrefixKind::VerbatimUnc ||
           kind == PrefixKind::VerbatimDisk;
  }
  bool operator==(const Prefix& o) const {
    return kind == o.kind && first == o.first && second == o.second && drive == o.drive;
  }
};

// The text up to the next separator and the text after it.
std::pair<View, View> split_next(View s, bool verbatim) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == u'\\' || (!verbatim && s[i] == u'/')) return {s.substr(0, i), s.substr(i + 1)};
  }
  return {s, View()};
}

char16_t parse_drive(View s) {
  return (s.size() >= 2 && is_ascii_alpha(s[0]) && s[1] == u':') ? ascii_upper(s[0]) : 0;
}

// Inside a verbatim path "C:" is a drive only when nothing but '\' follows.
char16_t parse_drive_exact(View s) { return (s.size() <= 2 || s[2] == u'\\') ? parse_drive(s) : 0; }

// The introducers (\\, ?\, .\, UNC\) are recognised with either separator in
// the first eight code units, but a path only counts as verbatim when its
// first four are written with backslashes: \\?\ is the one form the system
// passes on without normalising it, and //?/ is not that form.
bool introducer_at(View p, std::size_t at, View literal) {
  constexpr std::size_t kSeparatorInsensitive = 8;
  if (p.size() < at + literal.size()) return false;
  for (std::size_t i = 0; i < literal.size(); ++i) {
    char16_t c = p[at + i];
    if (at + i < kSeparatorInsensitive && c == u'/') c = u'\\';
    if (c != literal[i]) return false;
  }
  return true;
}

Prefix parse_prefix(View p) {
  Prefix out;
  if (!introducer_at(p, 0, u"\\\\")) {
    if ((out.drive = parse_drive(p)) != 0) {
      out.kind = PrefixKind::Disk;
      out.size = 2;
    }
    return out;
  }
  const bool backslashes_only = p.substr(0, 4).find(u'/') == View::npos;
  if (introducer_at(p, 2, u"?\\") && backslashes_only) {
    if (introducer_at(p, 4, u"UNC\\")) {
      const auto [server, rest] = split_next(p.substr(8), true);
      const View share = split_next(rest, true).first;
      out.kind = PrefixKind::VerbatimUnc;
      out.first = server;
      out.second = share;
      out.size = 8 + server.size() + (share.empty() ? 0 : 1 + share.size());
    } else if ((out.drive = parse_drive_exact(p.substr(4))) != 0) {
      out.kind = PrefixKind::VerbatimDisk;
      out.size = 6;
    } else {
      out.kind = PrefixKind::Verbatim;
      out.first = split_next(p.substr(4), true).first;
      out.size = 4 + out.first.size();
    }
  } else if (introducer_at(p, 2, u".\\")) {
    out.kind = PrefixKind::Device;
    out.first = split_next(p.substr(4), false).first;
    out.size = 4 + out.first.size();
  } else {
    const auto [server, rest] = split_next(p.substr(2), false);
    const View share = split_next(rest, false).first;
    if (!server.empty() && !share.empty()) {
      out.kind = PrefixKind::Unc;
      out.first = server;
      out.second = share;
      out.size = 2 + server.size() + 1 + share.size();
    }
  }
  return out;
}

enum class ComponentKind { Prefix, Root, CurrentDir, ParentDir, Name };

struct Component {
  ComponentKind kind;
  Prefix prefix;  // for ComponentKind::Prefix
  View name;      // for ComponentKind::Name

  bool operator==(const Component& o) const {
    if (kind != o.kind) return false;
    if (kind == ComponentKind::Prefix) return prefix == o.prefix;
    return kind != ComponentKind::Name || name == o.name;
  }
};

std::vector<Component> components(View p) {
  std::vector<Component> out;
  const Prefix prefix = parse_prefix(p);
  const bool verbatim = prefix.verbatim();
  View rest = p.substr(prefix.size);
  const auto is_separator = [verbatim](char16_t c) {
    return c == u'\\' || (!verbatim && c == u'/');
  };

  if (prefix.kind != PrefixKind::None) out.push_back({ComponentKind::Prefix, prefix, {}});
  // A root written out counts with either separator, even after a verbatim
  // prefix; a UNC or device prefix implies one, a verbatim prefix does not.
  if (!rest.empty() && is_any_separator(rest[0])) {
    out.push_back({ComponentKind::Root, {}, {}});
    rest.remove_prefix(1);
  } else if (prefix.kind != PrefixKind::None) {
    if (prefix.kind != PrefixKind::Disk && !verbatim) out.push_back({ComponentKind::Root, {}, {}});
  } else if (!rest.empty() && rest[0] == u'.' && (rest.size() == 1 || is_separator(rest[1]))) {
    // A leading "." keeps a relative path apart from the bare name.
    out.push_back({ComponentKind::CurrentDir, {}, {}});
    rest.remove_prefix(1);
  }

  while (!rest.empty()) {
    std::size_t end = 0;
    while (end < rest.size() && !is_separator(rest[end])) ++end;
    const View piece = rest.substr(0, end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    if (piece.empty()) continue;
    if (piece == u".") {
      if (verbatim) out.push_back({ComponentKind::CurrentDir, {}, {}});
    } else if (piece == u"..") {
      out.push_back({ComponentKind::ParentDir, {}, {}});
    } else {
      out.push_back({ComponentKind::Name, {}, piece});
    }
  }
  return out;
}

}  // namespace

bool paths_equal(std::u16string_view a, std::u16string_view b) {
  return a == b || components(a) == components(b);
}

std::u16string join_file_name(std::u16string_view dir, std::u16string_view name) {
  std::u16string out(dir);
  const bool bare_drive = dir.size() == 2 && is_ascii_alpha(dir[0]) && dir[1] == u':';
  if (!dir.empty() && !is_any_separator(dir.back()) && !bare_drive) out.push_back(u'\\');
  out.append(name);
  return out;
}

}  // namespace vyn
