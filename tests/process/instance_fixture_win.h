#pragma once
// Shared by the instance tests and the cost measurement: a log file for the
// whole test program, stand-in processes and temporary installations.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "logger/log.h"
#include "logger/log_file.h"
#include "process/instance_detection.h"
#include "support/temp_dir_win.h"
#include "utils/child_process_win.h"
#include "utils/path.h"
#include "utils/win.h"

namespace vyn::test {

// The log can be installed once per process, so every test of the program
// shares this file and reads only what was appended after its own mark.
inline const std::wstring& program_log_path() {
  static const std::wstring path = [] {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, base);
    std::wstring p = std::wstring(base, n) + L"vyn-tests-process-" +
                     std::to_wstring(::GetCurrentProcessId()) + L".log";
    ::DeleteFileW(p.c_str());
    init_log_context("test-install", "3.0.0", ::GetCurrentProcessId());
    open_log_file(p);
    return p;
  }();
  return path;
}

class LogCursor {
 public:
  LogCursor() : start_(read_file(program_log_path()).size()) {}

  // The records appended since the cursor was made, in order.
  std::vector<nlohmann::ordered_json> records() const {
    std::vector<nlohmann::ordered_json> out;
    for (const std::string& line : split_lines(read_file(program_log_path()).substr(start_))) {
      if (!line.empty()) out.push_back(nlohmann::ordered_json::parse(line));
    }
    return out;
  }

  // Just the event names, which is what most expectations are about.
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const auto& r : records()) out.push_back(r.at("eventName").get<std::string>());
    return out;
  }

  // The records of one event.
  std::vector<nlohmann::ordered_json> named(std::string_view event) const {
    std::vector<nlohmann::ordered_json> out;
    for (const auto& r : records())
      if (r.at("eventName") == event) out.push_back(r);
    return out;
  }

 private:
  std::size_t start_;
};

// The member names of a record after the header, which the writer adds.
inline std::vector<std::string> field_names(const nlohmann::ordered_json& record) {
  static const std::vector<std::string> header = {
      "level", "installId", "ts", "launcherVersion", "eventName", "processId", "threadId"};
  std::vector<std::string> out;
  for (const auto& item : record.items())
    if (std::find(header.begin(), header.end(), item.key()) == header.end())
      out.push_back(item.key());
  return out;
}

inline std::wstring helper_exe_path() {
  const std::wstring self = own_executable_path().value();
  return join_path(parent_path(std::wstring_view(self)), L"vyn_instance_helper.exe");
}

// A folder holding a copy of the stand-in under the target's name.
inline std::wstring make_installation(const TempDir& root, const std::wstring& name) {
  const std::wstring dir = root / name;
  if (!::CreateDirectoryW(dir.c_str(), nullptr)) throw std::runtime_error("CreateDirectoryW");
  const std::wstring exe = join_path(dir, kTargetExeName);
  if (!::CopyFileW(helper_exe_path().c_str(), exe.c_str(), FALSE))
    throw std::runtime_error("CopyFileW");
  return dir;
}

// A running stand-in, ended when the test is done with it.
class RunningProcess {
 public:
  RunningProcess(const std::wstring& exe, const std::wstring& args = L"") {
    ChildProcessOptions request;
    request.application_name = exe.c_str();
    request.command_line = L"\"" + exe + L"\" " + args;
    request.creation_flags = CREATE_NO_WINDOW;
    if (create_child_process(request, child_) != ERROR_SUCCESS)
      throw std::runtime_error("create_child_process");
    // Until the loader has mapped the image, the system has no path to give.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!process_executable_path(child_.pid)) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("child not up");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~RunningProcess() {
    if (child_.process) {
      ::TerminateProcess(child_.process.get(), 0);
      ::WaitForSingleObject(child_.process.get(), 10000);
    }
  }
  RunningProcess(RunningProcess&&) = default;
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  std::uint32_t pid() const { return child_.pid; }

 private:
  ChildProcess child_;
};

}  // namespace vyn::test
