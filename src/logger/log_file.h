#pragma once
#include <string>

namespace vyn {

// Below the user data root: VYN\logs\bootstrap.log.
inline constexpr const wchar_t* kLogFolderParts[] = {L"VYN", L"logs"};
inline constexpr const wchar_t* kLogFileName = L"bootstrap.log";

// Forms the log path, creates its folder and trims the old log. Never fails.
std::wstring prepare_log_file(const std::wstring& user_data_root);

// Trims the log to its last segments, reading no more than its last
// kLogTrimWindow bytes. The trimmed text goes to a temporary file that then
// replaces the log, so a failure leaves the old log exactly as it was; the
// failure is told on standard error only.
void rotate_log_file(const std::wstring& log_path);

// Opens the log for appending (shared read, write and delete) and installs it
// as the log writer's file; on failure the run simply has no log.
void open_log_file(const std::wstring& log_path);

}  // namespace vyn
