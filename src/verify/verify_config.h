#pragma once
// The verification configuration as plain data: the decoded records and the
// checks on decrypted bytes. Nothing here touches the system, so the decoder
// runs natively under the sanitizers and fuzzers on untrusted input. The
// decoder lives in verify_config.cpp, the byte checks in verify_checks.cpp.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace vyn {

// File layout: salt and IV (one and the same 16 bytes), then the ciphertext.
inline constexpr std::size_t kConfigSaltSize = 16;
inline constexpr std::size_t kAesBlockSize = 16;
inline constexpr std::size_t kConfigMinSize = kConfigSaltSize + kAesBlockSize;
inline constexpr std::size_t kConfigPassPhraseLength = 26;
inline constexpr std::size_t kConfigKeySize = 32;
inline constexpr unsigned kConfigKdfIterations = 10000;

struct AppAsarInfo {
  std::string path;        // kept, not used: the checked archive is always resources\app.asar
  std::string sha256;      // 64 lower-case hex digits when written by the sealing tool
  std::uint64_t size = 0;  // bytes
  std::string build_time;  // kept, not used

  bool operator==(const AppAsarInfo&) const = default;
};

struct AppVerifyConfig {
  std::string version;  // kept, not used
  AppAsarInfo app_asar;

  bool operator==(const AppVerifyConfig&) const = default;
};

// An error text quotes at most this many bytes of a token or key.
inline constexpr std::size_t kConfigErrorQuoteLimit = 64;

// Decodes the decrypted JSON text. Unknown keys are skipped whatever their
// values; a key repeated in one record, a missing key, a value of another
// type, a "size" that is not a non-negative 64-bit integer and anything after
// the object (a NUL byte included) and a byte-order mark before it are
// errors. Either record may also be an array of its values in declaration
// order. Every error text ends with " at line L column C" of the character
// where it was noticed (1-based, in bytes), is valid UTF-8 and quotes no
// more than kConfigErrorQuoteLimit bytes of the text.
std::variant<AppVerifyConfig, std::string> parse_verify_config(std::string_view json);

// The JSON text the sealing tool writes for a record; parse_verify_config
// reads it back to the same record.
std::string serialize_verify_config(const AppVerifyConfig& config);

// Strips PKCS#7 padding in place: the last byte n must be 1..16 and the last
// n bytes must all be n. False (text untouched) otherwise.
bool pkcs7_unpad(std::string& plaintext);

// Pads to a whole number of blocks (always adds 1..16 bytes).
std::string pkcs7_pad(std::string_view plaintext);

// nullopt when the bytes are valid UTF-8; otherwise what is wrong, as
// "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::optional<std::string> describe_invalid_utf8(std::string_view bytes);

// The part of the configured digest shown in the hash mismatch text: its
// first 16 bytes, or the whole value when those bytes would not end on a
// character boundary (a short or odd value must still be reported, not fail).
std::string_view expected_digest_prefix(std::string_view configured);

// What is wrong with an archive of `counted_size` bytes whose digest text
// is `digest_hex`; nullopt when it matches. The size is compared first, so an
// archive of the wrong size is always reported by its size; the digest is
// compared byte for byte (letter case counts).
std::optional<std::string> archive_mismatch(const AppAsarInfo& expected, std::uint64_t counted_size,
                                            std::string_view digest_hex);

// Lower-case hex, most significant byte first.
std::string hex_lower(const unsigned char* bytes, std::size_t count);

}  // namespace vyn
