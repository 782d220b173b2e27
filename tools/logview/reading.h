#pragma once
// Reading whatever pile of files support was sent: which paths can be read
// as logs at all, the text's encoding, and lines of any length read in
// chunks, so that neither a huge log nor an endless line is ever held whole.

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace vyn::logview {

// A line longer than this is damage (the launcher's longest records, stderr
// batches, stay far below it); it is skipped without being held whole.
inline constexpr std::size_t kMaxLineBytes = 4 << 20;
// What is looked at to tell the text's encoding.
inline constexpr std::size_t kEncodingProbeBytes = 4096;

// Length of the UTF-8 character at s[i], or 0 when the bytes there are not
// one (overlongs, surrogates and values above U+10FFFF included).
std::size_t utf8_length(std::string_view s, std::size_t i);

// Why the start of a log is not UTF-8 text ("UTF-16 text (...)" or "not
// UTF-8 text (...)"), or empty. A character cut by the end of `head` is fine.
std::string encoding_problem(std::string_view head);
// UTF-16 cannot be read as lines at all; other bad bytes are damage in place.
bool is_utf16(std::string_view problem);

// Calls `line` with every line (without its line feed) and `overlong` for
// every line beyond `max_line`, which is skipped up to its line feed.
void read_lines(std::istream& in, const std::function<void(std::string_view)>& line,
                const std::function<void()>& overlong, std::size_t max_line = kMaxLineBytes);

std::string utf8(const std::filesystem::path& p);

// Opens a regular file to read as a log; anything else (a folder, a FIFO or a
// device, which could block or never end) is refused. On failure, says why on
// `err` as "vyn-logview: <path>: <reason>, skipped".
std::optional<std::ifstream> open_log(const std::filesystem::path& path, std::ostream& err);

// Every file named, and in the folders named (at any depth, symbolic links
// to folders not followed), every file whose name ends in ".log"; a folder
// or file that cannot be read is named on `err` with its reason and the rest
// is still visited. `read` returns false for a log it could not read.
// Returns false when anything was skipped.
bool for_each_log(const std::vector<std::filesystem::path>& paths,
                  const std::function<bool(const std::filesystem::path&)>& read, std::ostream& err);

}  // namespace vyn::logview
