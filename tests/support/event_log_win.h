#pragma once
// The log of a test program. The writer's file is set once per process, so
// every test of a program shares one file and reads only what was written
// after the cursor it took.

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "logger/log.h"
#include "logger/log_file.h"
#include "support/temp_dir_win.h"

namespace vyn::test {

inline const std::wstring& test_log_path() {
  static const std::wstring path = [] {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    std::wstring p = std::wstring(base, n) + L"vyn-test-log-" +
                     std::to_wstring(::GetCurrentProcessId()) + L".log";
    ::DeleteFileW(p.c_str());
    init_log_context("test-install", "0.0.0-test", ::GetCurrentProcessId());
    open_log_file(p);
    return p;
  }();
  return path;
}

class LogCursor {
 public:
  LogCursor() : offset_(read_file(test_log_path()).size()) {}

  // The records written since the cursor was taken, in order.
  std::vector<nlohmann::ordered_json> records() const {
    std::vector<nlohmann::ordered_json> out;
    const std::string text = read_file(test_log_path());
    for (const auto& line : split_lines(text.substr(offset_ < text.size() ? offset_ : text.size())))
      if (!line.empty()) out.push_back(nlohmann::ordered_json::parse(line));
    return out;
  }

  std::vector<std::string> event_names() const {
    std::vector<std::string> out;
    for (const auto& r : records()) out.push_back(r.value("eventName", ""));
    return out;
  }

  std::vector<nlohmann::ordered_json> events(std::string_view name) const {
    std::vector<nlohmann::ordered_json> out;
    for (auto& r : records())
      if (r.value("eventName", "") == name) out.push_back(std::move(r));
    return out;
  }

 private:
  std::size_t offset_;
};

}  // namespace vyn::test
