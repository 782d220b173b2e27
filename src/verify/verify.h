#pragma once
// The background check of app.asar against the encrypted configuration, and
// the thread that runs it from before the launch until the launcher waits
// for it at the end.

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <variant>

#include "verify/verify_config.h"

namespace vyn {

// Below the installation directory.
inline constexpr const wchar_t* kResourcesFolder = L"resources";
inline constexpr const wchar_t* kVerifyConfigName = L"app_verify.config";
inline constexpr const wchar_t* kArchiveName = L"app.asar";

// The archive is read through one buffer of this size; memory stays bounded
// whatever the archive's size.
inline constexpr std::size_t kHashBufferSize = 8192;

// Longest wait for the check at the end of a run; also logged.
inline constexpr std::chrono::milliseconds kVerificationWait{30'000};

enum class ConfigErrorKind { Io, Verification };
struct ConfigError {
  ConfigErrorKind kind;
  std::string text;
};

// Reads, decrypts and decodes app_verify.config. Writes nothing to the log.
std::variant<AppVerifyConfig, ConfigError> load_verify_config(const std::wstring& path);

struct DecryptError {
  std::string text;  // without the "Failed to decrypt config: " lead
};
// The file's bytes to the configuration's JSON text.
std::variant<std::string, DecryptError> decrypt_verify_config(std::string_view data);

// A whole file's bytes, or the system error code of the failure.
std::variant<std::string, std::uint32_t> read_file_bytes(const std::wstring& path);

struct ArchiveHash {
  std::uint64_t size = 0;  // bytes read
  std::string sha256;      // lower-case hex
};
// Streams the file through SHA-256 in kHashBufferSize reads; never holds
// more than one buffer of it. The system error code when opening or a read
// fails.
std::variant<ArchiveHash, std::uint32_t> hash_archive(const std::wstring& path);

enum class VerifyOutcomeKind { Passed, Failed, AsarMissing, IoError };
struct VerifyOutcome {
  VerifyOutcomeKind kind;
  std::string text;  // Failed and IoError only
};

// resources\app_verify.config and resources\app.asar of an installation.
std::wstring verify_config_path(const std::wstring& install_dir);
std::wstring archive_path(const std::wstring& install_dir);

// One check of the installation's archive. Reads files only.
VerifyOutcome verify_app_asar(const std::wstring& install_dir);

using VerifyCheck = VerifyOutcome (*)(const std::wstring& install_dir);

// The verification thread's body: runs the check and writes its one outcome
// event. An internal fault inside the check is logged by the fault handler
// and then as "integrity_verify_thread_panicked"; the thread ends normally.
// `check` is for tests.
void run_integrity_verifier(std::wstring install_dir, VerifyCheck check = verify_app_asar) noexcept;

// The running verification thread, held by the start-up sequence until it
// waits for its end. `ended` carries how the body ended: a value, or the
// fault that escaped it. A holder dropped while its thread is still joinable
// (the main thread unwinding from a fault before the wait) lets the thread
// run on to end with the process, rather than ending the process at once
// and losing the fault's record.
struct IntegrityVerifierThread {
  IntegrityVerifierThread() = default;
  IntegrityVerifierThread(std::thread t, std::future<void> e) noexcept
      : thread(std::move(t)), ended(std::move(e)) {}
  IntegrityVerifierThread(IntegrityVerifierThread&&) noexcept = default;
  IntegrityVerifierThread& operator=(IntegrityVerifierThread&& other) noexcept {
    let_go();
    thread = std::move(other.thread);
    ended = std::move(other.ended);
    return *this;
  }
  ~IntegrityVerifierThread() { let_go(); }

  std::thread thread;
  std::future<void> ended;

 private:
  void let_go() noexcept {
    if (thread.joinable()) thread.detach();
  }
};

// Starts run_integrity_verifier on a new thread with its own copy of the
// installation directory. A failed thread start throws (a fault of the
// caller).
IntegrityVerifierThread start_integrity_verifier(std::wstring install_dir);

// Starts any body as the verification thread; for tests.
IntegrityVerifierThread start_verifier_thread(std::function<void()> body);

enum class VerifierWaitResult { Completed, Panicked, TimedOut, Disconnected };

// Hands the thread to a detached joiner and waits at most `bound` for it to
// report, then writes exactly one of "asar_integrity_verify_thread_completed",
// "asar_integrity_verify_thread_panicked", "asar_integrity_verify_thread_timeout"
// (with "timeout_secs", the bound in whole seconds) or
// "integrity_verify_thread_disconnected". A thread still running after the
// bound is left to end with the process.
VerifierWaitResult await_integrity_verifier(IntegrityVerifierThread verifier,
                                            std::chrono::milliseconds bound = kVerificationWait);

}  // namespace vyn
