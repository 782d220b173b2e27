#include <windows.h>

#include <array>
#include <cstring>
#include <memory>

#include "logger/detached_thread_win.h"
#include "logger/fault.h"
#include "logger/log.h"
#include "utils/path.h"
#include "utils/win.h"
#include "verify/crypto_win.h"
#include "verify/verify.h"

namespace vyn {

namespace {

// Never lock others out of the archive: the application opens it while we
// hash, and an updater may want to replace it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

constexpr std::string_view kDecryptFailed = "Decryption failed: Unpad Error";
constexpr std::string_view kArchiveMissingText = "app.asar file not found";
constexpr std::string_view kPanickedText = "Background verification thread panicked";

// Metadata of the archive, following links: a dangling link is as missing
// as no file at all. A directory counts as present (it fails later, when read).
bool archive_present(const std::wstring& path) {
  UniqueHandle h(::CreateFileW(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return static_cast<bool>(h);
}

VerifyOutcome archive_read_error(DWORD code) {
  return {VerifyOutcomeKind::IoError, "Failed to read app.asar: " + os_error_text(code)};
}

void log_outcome(const VerifyOutcome& outcome) {
  switch (outcome.kind) {
    case VerifyOutcomeKind::Passed:
      log_event(LogLevel::Info, "integrity_verify_passed", Fields{{"status", "completed"}});
      return;
    case VerifyOutcomeKind::Failed:
      log_event(LogLevel::Error, "integrity_verify_failed", Fields{{"error", outcome.text}});
      return;
    case VerifyOutcomeKind::AsarMissing:
      log_event(LogLevel::Error, "integrity_verify_failed_asar_missing",
                Fields{{"error", kArchiveMissingText}});
      return;
    case VerifyOutcomeKind::IoError:
      log_event(LogLevel::Error, "integrity_verify_io_error", Fields{{"error", outcome.text}});
      return;
  }
}

// What the joiner hands over, and what it keeps alive while it waits. When
// the joiner cannot start or fails, the holder lets the verification thread
// go.
struct JoinState {
  IntegrityVerifierThread verifier;
  std::promise<VerifierWaitResult> joined;
};

void log_wait_result(VerifierWaitResult result, std::chrono::milliseconds bound) {
  switch (result) {
    case VerifierWaitResult::Completed:
      log_event(LogLevel::Verbose, "asar_integrity_verify_thread_completed",
                Fields{{"action", "waited_for_completion"}});
      return;
    case VerifierWaitResult::Panicked:
      log_event(LogLevel::Verbose, "asar_integrity_verify_thread_panicked",
                Fields{{"action", "panic_handled"}});
      return;
    case VerifierWaitResult::TimedOut:
      log_event(
          LogLevel::Error, "asar_integrity_verify_thread_timeout",
          Fields{{"timeout_secs", std::chrono::duration_cast<std::chrono::seconds>(bound).count()},
                 {"action", "timeout_continue_exit"}});
      return;
    case VerifierWaitResult::Disconnected:
      log_event(LogLevel::Verbose, "integrity_verify_thread_disconnected",
                Fields{{"action", "unexpected_disconnect"}});
      return;
  }
}

}  // namespace

std::variant<std::string, std::uint32_t> read_file_bytes(const std::wstring& path) {
  UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return static_cast<std::uint32_t>(::GetLastError());
  std::string content;
  std::array<char, 4096> buf;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(f.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr))
      return static_cast<std::uint32_t>(::GetLastError());
    if (got == 0) return content;
    content.append(buf.data(), got);
  }
}

std::variant<ArchiveHash, std::uint32_t> hash_archive(const std::wstring& path) {
  UniqueHandle f(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!f) return static_cast<std::uint32_t>(::GetLastError());
  Sha256 sha;
  std::uint64_t counted = 0;
  std::array<unsigned char, kHashBufferSize> buf;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(f.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr))
      return static_cast<std::uint32_t>(::GetLastError());
    if (got == 0) break;
    sha.update(buf.data(), got);
    counted += got;
  }
  const Sha256Digest digest = sha.finish();
  return ArchiveHash{counted, hex_lower(digest.data(), digest.size())};
}

std::variant<std::string, DecryptError> decrypt_verify_config(std::string_view data) {
  if (data.size() < kConfigMinSize) return DecryptError{"Encrypted data too short!"};
  // A partial block cannot be decrypted; it reads as the bad padding it
  // would be for anyone decrypting the whole blocks.
  if (data.size() % kAesBlockSize != 0) return DecryptError{std::string(kDecryptFailed)};
  unsigned char iv[kConfigSaltSize];
  std::memcpy(iv, data.data(), sizeof iv);
  const SecretBytes key = [&] {
    const SecretBytes phrase = config_pass_phrase();
    return derive_config_key(phrase, iv, sizeof iv);
  }();
  std::string plain = aes256_cbc_decrypt(key, iv, data.substr(kConfigSaltSize));
  if (!pkcs7_unpad(plain)) return DecryptError{std::string(kDecryptFailed)};
  if (auto bad = describe_invalid_utf8(plain))
    return DecryptError{"Invalid UTF-8 in decrypted data: " + *bad};
  return plain;
}

std::variant<AppVerifyConfig, ConfigError> load_verify_config(const std::wstring& path) {
  auto data = read_file_bytes(path);
  if (auto* code = std::get_if<std::uint32_t>(&data))
    return ConfigError{ConfigErrorKind::Io,
                       "Failed to read encrypted config: " + os_error_text(*code)};
  auto text = decrypt_verify_config(std::get<std::string>(data));
  if (auto* e = std::get_if<DecryptError>(&text))
    return ConfigError{ConfigErrorKind::Verification, "Failed to decrypt config: " + e->text};
  auto parsed = parse_verify_config(std::get<std::string>(text));
  if (auto* e = std::get_if<std::string>(&parsed))
    return ConfigError{ConfigErrorKind::Verification, "Failed to parse config: " + *e};
  return std::get<AppVerifyConfig>(std::move(parsed));
}

std::wstring verify_config_path(const std::wstring& install_dir) {
  return join_path(join_path(install_dir, kResourcesFolder), kVerifyConfigName);
}

std::wstring archive_path(const std::wstring& install_dir) {
  return join_path(join_path(install_dir, kResourcesFolder), kArchiveName);
}

VerifyOutcome verify_app_asar(const std::wstring& install_dir) {
  const std::wstring archive = archive_path(install_dir);
  if (!archive_present(archive)) return {VerifyOutcomeKind::AsarMissing, {}};

  auto loaded = load_verify_config(verify_config_path(install_dir));
  if (auto* e = std::get_if<ConfigError>(&loaded)) {
    return {e->kind == ConfigErrorKind::Io ? VerifyOutcomeKind::IoError : VerifyOutcomeKind::Failed,
            std::move(e->text)};
  }
  const AppAsarInfo& expected = std::get<AppVerifyConfig>(loaded).app_asar;

  auto hashed = hash_archive(archive);
  if (auto* code = std::get_if<std::uint32_t>(&hashed)) return archive_read_error(*code);
  const ArchiveHash& actual = std::get<ArchiveHash>(hashed);
  if (auto mismatch = archive_mismatch(expected, actual.size, actual.sha256))
    return {VerifyOutcomeKind::Failed, std::move(*mismatch)};
  return {VerifyOutcomeKind::Passed, {}};
}

void run_integrity_verifier(std::wstring install_dir, VerifyCheck check) noexcept {
  VerifyOutcome outcome{VerifyOutcomeKind::Passed, {}};
  // run_guarded has the fault handler log the fault first.
  if (!run_guarded([&] { outcome = check(install_dir); })) {
    log_event(LogLevel::Error, "integrity_verify_thread_panicked",
              Fields{{"error", kPanickedText}});
    return;
  }
  log_outcome(outcome);
}

IntegrityVerifierThread start_verifier_thread(std::function<void()> body) {
  std::promise<void> ended;
  IntegrityVerifierThread v{std::thread(), ended.get_future()};
  v.thread = std::thread([body = std::move(body), ended = std::move(ended)]() mutable {
    try {
      body();
      ended.set_value();
    } catch (...) {
      const std::exception_ptr fault = std::current_exception();
      log_fault_handler(fault_message(fault));
      ended.set_exception(fault);
    }
  });
  return v;
}

IntegrityVerifierThread start_integrity_verifier(std::wstring install_dir) {
  return start_verifier_thread(
      [dir = std::move(install_dir)]() mutable { run_integrity_verifier(std::move(dir)); });
}

VerifierWaitResult await_integrity_verifier(IntegrityVerifierThread verifier,
                                            std::chrono::milliseconds bound) {
  auto state = std::make_unique<JoinState>();
  state->verifier = std::move(verifier);
  std::future<VerifierWaitResult> joined = state->joined.get_future();

  // The joiner owns the state alone, so if it fails before reporting, its
  // promise goes with it and the wait below sees the sender gone.
  start_detached_thread([state = std::move(state)]() mutable {
    state->verifier.thread.join();
    bool faulted = false;
    if (state->verifier.ended.valid()) {
      try {
        state->verifier.ended.get();
      } catch (...) {
        faulted = true;  // the payload is not needed, only that there was one
      }
    }
    state->joined.set_value(faulted ? VerifierWaitResult::Panicked : VerifierWaitResult::Completed);
  });

  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - start);
  std::future_status status = std::future_status::ready;
  if (bound < room) {
    status = joined.wait_until(start + bound);
  } else {
    joined.wait();  // a deadline that cannot be represented: no deadline
  }

  VerifierWaitResult result = VerifierWaitResult::TimedOut;
  if (status == std::future_status::ready) {
    try {
      result = joined.get();
    } catch (const std::future_error&) {
      result = VerifierWaitResult::Disconnected;
    }
  }
  log_wait_result(result, bound);
  return result;
}

}  // namespace vyn
