#pragma once
// Deciding whether two Windows paths name the same file by their text alone.
// The running-instance detection compares final path names this way, so the
// rules here decide which running application counts as "ours".

#include <string>
#include <string_view>

namespace vyn {

// True when both paths have the same sequence of components: an optional
// prefix, an optional root and the names.
//
// Prefixes are \\?\name (verbatim), \\?\UNC\server\share, \\?\C: (verbatim
// disk), \\.\name (device), \\server\share (UNC) and C: (disk). Two prefixes
// are equal only when they are of the same kind with equal parts: drive
// letters ignore case, every other part is compared exactly, so \\?\C:\x
// never equals C:\x. Names are compared code unit for code unit (the file
// system's case folding is not modelled; resolve paths first when it
// matters). Outside verbatim paths '/' separates like '\'; repeated and
// trailing separators and "." after the first component do not count. Inside
// verbatim paths only '\' separates and "." is a name like any other.
bool paths_equal(std::u16string_view a, std::u16string_view b);

// The directory joined with a file name: one '\' between them unless the
// directory is empty, already ends with a separator or is a bare drive ("C:",
// which means that drive's current folder).
std::u16string join_file_name(std::u16string_view dir, std::u16string_view name);

}  // namespace vyn
