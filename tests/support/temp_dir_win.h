#pragma once
// Test helpers for Windows tests: a temporary folder removed afterwards, and
// whole-file reads and writes.

#include <windows.h>

#include <string>
#include <vector>

namespace vyn::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

void remove_tree(const std::wstring& path);
std::string read_file(const std::wstring& path);
void write_file(const std::wstring& path, const std::string& content);
bool file_exists(const std::wstring& path);
std::vector<std::string> split_lines(const std::string& content);

}  // namespace vyn::test
