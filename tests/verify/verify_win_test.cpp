#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "logger/log.h"
#include "logger/log_file.h"
#include "support/temp_dir_win.h"
#include "utils/win.h"
#include "verify/crypto_win.h"
#include "verify/verify.h"

namespace vyn {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::string sha256_hex(std::string_view data) {
  Sha256 sha;
  sha.update(data.data(), data.size());
  const Sha256Digest d = sha.finish();
  return hex_lower(d.data(), d.size());
}

SecretBytes secret(std::string_view text) {
  SecretBytes s(text.size());
  std::copy(text.begin(), text.end(), s.data());
  return s;
}

// The log sink can be installed once per process, so every test shares one
// file and reads what was appended after its own mark.
const std::wstring& log_path() {
  static const std::wstring path = [] {
    static test::TempDir dir;  // outlives the tests; removed at exit
    const std::wstring p = dir / L"bootstrap.log";
    init_log_context("verify-tests", "3.0.0", GetCurrentProcessId());
    open_log_file(p);
    return p;
  }();
  return path;
}

class LogTail {
 public:
  LogTail() : mark_(test::read_file(log_path()).size()) {}
  std::vector<json> records() const {
    std::vector<json> out;
    for (const std::string& line : test::split_lines(test::read_file(log_path()).substr(mark_)))
      if (!line.empty()) out.push_back(json::parse(line));
    return out;
  }
  std::vector<std::string> event_names() const {
    std::vector<std::string> names;
    for (const json& r : records()) names.push_back(r.at("eventName"));
    return names;
  }
  json only(std::string_view event) const {
    std::vector<json> hits;
    for (const json& r : records())
      if (r.at("eventName") == event) hits.push_back(r);
    EXPECT_EQ(hits.size(), 1u) << event;
    return hits.empty() ? json() : hits.front();
  }

 private:
  std::size_t mark_;
};

constexpr char kArchive[] = "the application's code, packed";

class Installation {
 public:
  Installation() { CreateDirectoryW(resources().c_str(), nullptr); }
  std::wstring dir() const { return root_.path(); }
  std::wstring resources() const { return root_ / L"resources"; }
  std::wstring archive() const { return resources() + L"\\app.asar"; }
  std::wstring config() const { return resources() + L"\\app_verify.config"; }

  void write_archive(const std::string& content) const { test::write_file(archive(), content); }
  void write_config_bytes(const std::string& bytes) const { test::write_file(config(), bytes); }
  void write_config_json(const std::string& text) const {
    write_config_bytes(encrypt_verify_config(text));
  }
  // What the sealing tool writes for `content`, with the record adjusted.
  static AppVerifyConfig record_for(const std::string& content) {
    return AppVerifyConfig{
        "3.0.0",
        {"resources/app.asar", sha256_hex(content), content.size(), "2026-12-09T05:00:00.000Z"}};
  }
  void seal(const std::string& content, const AppVerifyConfig& record) const {
    write_archive(content);
    write_config_json(serialize_verify_config(record));
  }
  void seal(const std::string& content) const { seal(content, record_for(content)); }

 private:
  test::TempDir root_;
};

// Runs the thread body as the launcher would and returns its one event.
json verifier_event(const Installation& inst) {
  LogTail tail;
  run_integrity_verifier(inst.dir());
  const std::vector<json> records = tail.records();
  EXPECT_EQ(records.size(), 1u);
  return records.empty() ? json() : records.back();
}

void expect_failed(const Installation& inst, const std::string& error_prefix) {
  const json e = verifier_event(inst);
  EXPECT_EQ(e.value("eventName", ""), "integrity_verify_failed");
  EXPECT_EQ(e.value("level", ""), "error");
  const std::string error = e.value("error", "");
  EXPECT_EQ(error.rfind(error_prefix, 0), 0u) << error;
}

// --- the CNG primitives, against published vectors and the openssl tool ---

TEST(Crypto, Sha256MatchesPublishedDigestsAndStreams) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Sha256 split;
  split.update("a", 1);
  split.update("", 0);
  split.update("bc", 2);
  const Sha256Digest d = split.finish();
  EXPECT_EQ(hex_lower(d.data(), d.size()), sha256_hex("abc"));
}

TEST(Crypto, KeyDerivationIsPbkdf2HmacSha512With10000Rounds) {
  // Reference value from `openssl kdf -keylen 32 -kdfopt digest:SHA512
  // -kdfopt pass:password -kdfopt salt:saltsaltsaltsalt -kdfopt iter:10000 PBKDF2`.
  const std::string salt = "saltsaltsaltsalt";
  const SecretBytes key = derive_config_key(
      secret("password"), reinterpret_cast<const unsigned char*>(salt.data()), salt.size());
  EXPECT_EQ(hex_lower(key.data(), key.size()),
            "68b0d0227ddb0d4dbe8acd476e4af9be05865aa5f350bf8a5fde861d63c63364");
}

TEST(Crypto, AesCbcMatchesTheNistVectorAndRoundTrips) {
  // SP 800-38A F.2.5/F.2.6, CBC-AES256, first two blocks.
  const SecretBytes key =
      secret(from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"));
  unsigned char iv[16];
  for (unsigned char i = 0; i < 16; ++i) iv[i] = i;
  const std::string plain =
      from_hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
  const std::string cipher =
      from_hex("f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d");
  EXPECT_EQ(aes256_cbc_encrypt(key, iv, plain), cipher);
  EXPECT_EQ(aes256_cbc_decrypt(key, iv, cipher), plain);
}

TEST(Crypto, PassPhraseIsBuiltAtRunTimeAndAbsentFromTheBinaries) {
  const SecretBytes phrase = config_pass_phrase();
  ASSERT_EQ(phrase.size(), 26u);
  const std::string text(reinterpret_cast<const char*>(phrase.data()), phrase.size());
  for (char c : text) EXPECT_TRUE(c >= 0x20 && c <= 0x7e);
  const std::wstring self = own_executable_path().value();
  const std::wstring bin = self.substr(0, self.find_last_of(L'\\') + 1);
  int searched = 0;
  for (const std::wstring& exe : {self, bin + L"VYN_Launcher.exe", bin + L"vyn-seal.exe"}) {
    if (!test::file_exists(exe)) continue;
    ++searched;
    const std::string bytes = test::read_file(exe);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.find(text), std::string::npos) << to_utf8(exe);
    // Nor half of it in one piece.
    EXPECT_EQ(bytes.find(text.substr(0, 13)), std::string::npos) << to_utf8(exe);
    EXPECT_EQ(bytes.find(text.substr(13)), std::string::npos) << to_utf8(exe);
  }
  EXPECT_GE(searched, 1);
}

// --- reading the configuration file ---

std::string load_error(const Installation& inst, ConfigErrorKind kind) {
  auto r = load_verify_config(inst.config());
  auto* e = std::get_if<ConfigError>(&r);
  if (!e) return "<loaded>";
  EXPECT_EQ(e->kind, kind);
  return e->text;
}

TEST(LoadVerifyConfig, ReadsWhatWasSealed) {
  Installation inst;
  const AppVerifyConfig record = Installation::record_for(kArchive);
  inst.seal(kArchive, record);
  auto r = load_verify_config(inst.config());
  ASSERT_TRUE(std::holds_alternative<AppVerifyConfig>(r)) << std::get<ConfigError>(r).text;
  EXPECT_EQ(std::get<AppVerifyConfig>(r), record);
  // A fresh salt each time: sealing twice never gives the same file.
  EXPECT_NE(encrypt_verify_config("{}"), encrypt_verify_config("{}"));
}

TEST(LoadVerifyConfig, TellsEachWayTheBytesCanBeWrong) {
  Installation inst;
  inst.write_config_bytes(std::string(31, 'x'));
  EXPECT_EQ(load_error(inst, ConfigErrorKind::Verification),
            "Failed to decrypt config: Encrypted data too short!");
  inst.write_config_bytes(std::string(40, 'x'));
  EXPECT_EQ(load_error(inst, ConfigErrorKind::Verification),
            "Failed to decrypt config: Decryption failed: Unpad Error");

  // 32 bytes holding one block of padding only: an empty text.
  inst.write_config_json("");
  ASSERT_EQ(test::read_file(inst.config()).size(), 32u);
  const std::string empty = load_error(inst, ConfigErrorKind::Verification);
  EXPECT_EQ(empty.rfind("Failed to parse config: ", 0), 0u) << empty;
  EXPECT_NE(empty.find("end of input"), std::string::npos) << empty;
  EXPECT_EQ(empty.substr(empty.size() - 19), " at line 1 column 1");

  inst.write_config_json("\xff{}");
  EXPECT_EQ(load_error(inst, ConfigErrorKind::Verification),
            "Failed to decrypt config: Invalid UTF-8 in decrypted data: invalid utf-8 sequence of "
            "1 bytes from index 0");
  inst.write_config_json("{\"a\":\"\xe2\x82");
  EXPECT_EQ(load_error(inst, ConfigErrorKind::Verification),
            "Failed to decrypt config: Invalid UTF-8 in decrypted data: incomplete utf-8 byte "
            "sequence from index 6");
}

TEST(LoadVerifyConfig, RejectsAnotherPassPhraseOrSalt) {
  Installation inst;
  const std::string json_text = serialize_verify_config(Installation::record_for(kArchive));
  unsigned char salt[16];
  for (unsigned char i = 0; i < 16; ++i) salt[i] = static_cast<unsigned char>(0xA0 + i);
  const SecretBytes other_key = derive_config_key(secret("another-pass-phrase-of-26!"), salt, 16);
  inst.write_config_bytes(std::string(reinterpret_cast<char*>(salt), 16) +
                          aes256_cbc_encrypt(other_key, salt, pkcs7_pad(json_text)));
  EXPECT_EQ(load_error(inst, ConfigErrorKind::Verification),
            "Failed to decrypt config: Decryption failed: Unpad Error");

  // The right file with its first block changed: salt and IV no longer fit.
  std::string sealed = encrypt_verify_config(json_text);
  sealed[0] = static_cast<char>(sealed[0] ^ 1);
  inst.write_config_bytes(sealed);
  EXPECT_EQ(load_error(inst, ConfigErrorKind::Verification).rfind("Failed to ", 0), 0u);
}

TEST(LoadVerifyConfig, AMissingFileIsAnIoFailureWithTheSystemText) {
  Installation inst;
  EXPECT_EQ(load_error(inst, ConfigErrorKind::Io),
            "Failed to read encrypted config: " + os_error_text(ERROR_FILE_NOT_FOUND));
  EXPECT_NE(os_error_text(ERROR_FILE_NOT_FOUND).find("(os error 2)"), std::string::npos);
}

// --- the check and its one event ---

TEST(IntegrityCheck, PassesAMatchingArchive) {
  Installation inst;
  inst.seal(kArchive);
  const json e = verifier_event(inst);
  EXPECT_EQ(e.value("eventName", ""), "integrity_verify_passed");
  EXPECT_EQ(e.value("level", ""), "info");
  EXPECT_EQ(e.value("status", ""), "completed");
}

TEST(IntegrityCheck, PassesAnEmptyArchiveOfSizeZero) {
  Installation inst;
  inst.seal("");
  EXPECT_EQ(verifier_event(inst).value("eventName", ""), "integrity_verify_passed");
}

TEST(IntegrityCheck, PassesAnArchiveLargerThanTheBuffer) {
  Installation inst;
  std::string big(3 * kHashBufferSize + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  inst.seal(big);
  EXPECT_EQ(verify_app_asar(inst.dir()).kind, VerifyOutcomeKind::Passed);
}

TEST(IntegrityCheck, AMissingArchiveIsReportedBeforeTheConfiguration) {
  Installation inst;
  for (const char* config : {static_cast<const char*>(nullptr), "", "damaged"}) {
    if (config) inst.write_config_bytes(config);
    const json e = verifier_event(inst);
    EXPECT_EQ(e.value("eventName", ""), "integrity_verify_failed_asar_missing");
    EXPECT_EQ(e.value("error", ""), "app.asar file not found");
  }
}

TEST(IntegrityCheck, AMissingConfigurationIsAnIoError) {
  Installation inst;
  inst.write_archive(kArchive);
  const json e = verifier_event(inst);
  EXPECT_EQ(e.value("eventName", ""), "integrity_verify_io_error");
  EXPECT_EQ(e.value("error", ""),
            "Failed to read encrypted config: " + os_error_text(ERROR_FILE_NOT_FOUND));
}

TEST(IntegrityCheck, ADirectoryNamedAppAsarCannotBeRead) {
  Installation inst;
  inst.write_config_json(serialize_verify_config(Installation::record_for(kArchive)));
  ASSERT_TRUE(CreateDirectoryW(inst.archive().c_str(), nullptr));
  const json e = verifier_event(inst);
  EXPECT_EQ(e.value("eventName", ""), "integrity_verify_io_error");
  EXPECT_EQ(e.value("error", "").rfind("Failed to read app.asar: ", 0), 0u) << e.dump();
  EXPECT_NE(e.value("error", "").find("(os error "), std::string::npos) << e.dump();
}

TEST(IntegrityCheck, ReportsTheSizeBeforeTheDigest) {
  Installation inst;
  const std::string content = kArchive;
  inst.seal(content);
  inst.write_archive(content + "!");
  expect_failed(inst, "File size mismatch: expected " + std::to_string(content.size()) + ", got " +
                          std::to_string(content.size() + 1));
  EXPECT_EQ(verify_app_asar(inst.dir()).text,
            "File size mismatch: expected 30, got 31");  // the exact text, nothing after
}

TEST(IntegrityCheck, ReportsOtherContentOfTheSameSizeByDigestPrefixes) {
  Installation inst;
  std::string other = kArchive;
  other[0] = 'T';
  inst.seal(kArchive);
  inst.write_archive(other);
  expect_failed(inst, "SHA256 hash mismatch: expected " + sha256_hex(kArchive).substr(0, 16) +
                          ", got " + sha256_hex(other).substr(0, 16));
  EXPECT_EQ(verify_app_asar(inst.dir()).text.size(),
            std::string("SHA256 hash mismatch: expected , got ").size() + 32);
}

TEST(IntegrityCheck, AnUpperCaseDigestDoesNotMatch) {
  Installation inst;
  AppVerifyConfig record = Installation::record_for(kArchive);
  for (char& c : record.app_asar.sha256) c = static_cast<char>(toupper(c));
  inst.seal(kArchive, record);
  const std::string lower = sha256_hex(kArchive).substr(0, 16);
  expect_failed(inst, "SHA256 hash mismatch: expected " + record.app_asar.sha256.substr(0, 16) +
                          ", got " + lower);
}

TEST(IntegrityCheck, AShortOrOddDigestIsShownWhole) {
  Installation inst;
  for (const std::string& digest : {std::string("abc"), std::string("0123456789abcde\xc3\xa9z")}) {
    AppVerifyConfig record = Installation::record_for(kArchive);
    record.app_asar.sha256 = digest;
    inst.seal(kArchive, record);
    expect_failed(inst, "SHA256 hash mismatch: expected " + digest + ", got " +
                            sha256_hex(kArchive).substr(0, 16));
  }
}

TEST(IntegrityCheck, AcceptsExtraKeysAtEitherLevel) {
  Installation inst;
  const AppVerifyConfig r = Installation::record_for(kArchive);
  inst.write_archive(kArchive);
  inst.write_config_json(R"({"comment":"release 3","version":"3.0.0","appAsar":{"path":"p",)"
                         R"("sha256":")" +
                         r.app_asar.sha256 + R"(","note":{"x":[1,2]},"size":)" +
                         std::to_string(r.app_asar.size) + R"(,"buildTime":"t"},"extra":null})");
  EXPECT_EQ(verifier_event(inst).value("eventName", ""), "integrity_verify_passed");
}

TEST(IntegrityCheck, RejectsAConfigurationOfTheWrongShape) {
  Installation inst;
  inst.write_archive(kArchive);
  const std::string digest = sha256_hex(kArchive);
  const auto with = [&](const std::string& asar_body) {
    return R"({"version":"3.0.0","appAsar":{"path":"p","sha256":")" + digest + "\"," + asar_body +
           "}}";
  };
  for (const std::string& text :
       {with(R"("size":"30","buildTime":"t")"), with(R"("size":-30,"buildTime":"t")"),
        with(R"("size":30.0,"buildTime":"t")"), with(R"("size":30)"),
        with(R"("size":30,"buildTime":"t","size":30)"), with(R"("size":30,"buildTime":"t"} x)")}) {
    inst.write_config_json(text);
    expect_failed(inst, "Failed to parse config: ");
    const std::string error = verify_app_asar(inst.dir()).text;
    EXPECT_NE(error.find(" at line 1 column "), std::string::npos) << error;
  }
}

VerifyOutcome faulting_check(const std::wstring&) { throw std::runtime_error("disk on fire"); }

TEST(IntegrityCheck, AFaultInsideTheCheckIsLoggedThenReportedAsPanicked) {
  LogTail tail;
  run_integrity_verifier(L"C:\\nowhere", faulting_check);
  const std::vector<json> records = tail.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].value("eventName", ""), "launcher_error");
  EXPECT_EQ(records[0].value("error", ""), "disk on fire");
  EXPECT_EQ(records[1].value("eventName", ""), "integrity_verify_thread_panicked");
  EXPECT_EQ(records[1].value("level", ""), "error");
  EXPECT_EQ(records[1].value("error", ""), "Background verification thread panicked");
}

// --- the thread and the bounded wait for it ---

TEST(VerifierWait, ReportsACompletedCheckAfterItsOutcome) {
  Installation inst;
  inst.seal(kArchive);
  LogTail tail;
  const VerifierWaitResult r = await_integrity_verifier(start_integrity_verifier(inst.dir()));
  EXPECT_EQ(r, VerifierWaitResult::Completed);
  EXPECT_EQ(tail.event_names(),
            (std::vector<std::string>{"integrity_verify_passed",
                                      "asar_integrity_verify_thread_completed"}));
  const json e = tail.only("asar_integrity_verify_thread_completed");
  EXPECT_EQ(e.value("level", ""), "verbose");
  EXPECT_EQ(e.value("action", ""), "waited_for_completion");
}

TEST(VerifierWait, GivesUpAfterTheBoundAndLeavesTheCheckRunning) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> finished;
  std::future<void> done = finished.get_future();
  LogTail tail;
  const auto start = std::chrono::steady_clock::now();
  const VerifierWaitResult r =
      await_integrity_verifier(start_verifier_thread([released, &finished] {
                                 released.wait();
                                 finished.set_value();
                               }),
                               1s);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r, VerifierWaitResult::TimedOut);
  EXPECT_GE(waited, 1s);
  EXPECT_LT(waited, 3s);
  const json e = tail.only("asar_integrity_verify_thread_timeout");
  EXPECT_EQ(e.value("level", ""), "error");
  EXPECT_EQ(e.at("timeout_secs"), 1);
  EXPECT_EQ(e.value("action", ""), "timeout_continue_exit");
  EXPECT_EQ(tail.records().size(), 1u);
  // The check goes on after the wait; let it end before the program does.
  release.set_value();
  EXPECT_EQ(done.wait_for(10s), std::future_status::ready);
}

TEST(VerifierWait, ReportsAThreadThatEndedByAFault) {
  LogTail tail;
  const VerifierWaitResult r = await_integrity_verifier(
      start_verifier_thread([] { throw std::runtime_error("escaped the guard"); }));
  EXPECT_EQ(r, VerifierWaitResult::Panicked);
  EXPECT_EQ(tail.event_names(),
            (std::vector<std::string>{"launcher_error", "asar_integrity_verify_thread_panicked"}));
  EXPECT_EQ(tail.only("launcher_error").value("error", ""), "escaped the guard");
  EXPECT_EQ(tail.only("asar_integrity_verify_thread_panicked").value("action", ""),
            "panic_handled");
}

TEST(VerifierWait, ReportsAJoinerThatCouldNotJoin) {
  LogTail tail;
  // No thread to join: the joiner faults and drops its sender.
  EXPECT_EQ(await_integrity_verifier(IntegrityVerifierThread{}), VerifierWaitResult::Disconnected);
  const json e = tail.only("integrity_verify_thread_disconnected");
  EXPECT_EQ(e.value("level", ""), "verbose");
  EXPECT_EQ(e.value("action", ""), "unexpected_disconnect");
}

TEST(VerifierWait, ABoundTooLargeForTheClockMeansNoDeadline) {
  LogTail tail;
  EXPECT_EQ(await_integrity_verifier(start_verifier_thread([] { Sleep(50); }),
                                     std::chrono::milliseconds::max()),
            VerifierWaitResult::Completed);
  EXPECT_EQ(tail.event_names(),
            (std::vector<std::string>{"asar_integrity_verify_thread_completed"}));
}

}  // namespace
}  // namespace vyn
