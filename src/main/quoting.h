#pragma once
// Forming a child's command line so that the standard argument splitting
// (CommandLineToArgvW and the C runtime's) gives back exactly the elements
// it was formed from. Pure; the same rules serve UTF-8 texts and the UTF-16
// line handed to CreateProcessW.

#include <string>
#include <string_view>
#include <vector>

namespace vyn {

// One argument as it stands in a command line, without the blank before it:
// bare when it is non-empty and holds no blank or tab, else in double quotes.
// A double quote becomes \" with the backslashes just before it doubled; an
// enclosed argument also has its trailing backslashes doubled.
std::string quote_argument(std::string_view arg);
std::u16string quote_argument(std::u16string_view arg);

// The program in double quotes (a path cannot hold one, so nothing inside is
// escaped), then each argument after one blank.
std::string build_command_line(std::string_view program, const std::vector<std::string>& args);
std::u16string build_command_line(std::u16string_view program,
                                  const std::vector<std::u16string>& args);

}  // namespace vyn
