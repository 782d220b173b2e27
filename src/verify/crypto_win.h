#pragma once
// The cryptography of the verification configuration and the archive check,
// on Windows CNG. A CNG call that fails is not an outcome the check can
// report: it throws std::runtime_error, an internal fault of the caller.

#include <windows.h>

#include <bcrypt.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "utils/win.h"
#include "verify/verify_config.h"

namespace vyn {

struct BcryptAlgorithmTraits {
  using value_type = BCRYPT_ALG_HANDLE;
  static BCRYPT_ALG_HANDLE none() noexcept { return nullptr; }
  static bool is_none(BCRYPT_ALG_HANDLE h) noexcept { return h == nullptr; }
  static void close(BCRYPT_ALG_HANDLE h) noexcept { ::BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueBcryptAlgorithm = UniqueResource<BcryptAlgorithmTraits>;

struct BcryptKeyTraits {
  using value_type = BCRYPT_KEY_HANDLE;
  static BCRYPT_KEY_HANDLE none() noexcept { return nullptr; }
  static bool is_none(BCRYPT_KEY_HANDLE h) noexcept { return h == nullptr; }
  static void close(BCRYPT_KEY_HANDLE h) noexcept { ::BCryptDestroyKey(h); }
};
using UniqueBcryptKey = UniqueResource<BcryptKeyTraits>;

struct BcryptHashTraits {
  using value_type = BCRYPT_HASH_HANDLE;
  static BCRYPT_HASH_HANDLE none() noexcept { return nullptr; }
  static bool is_none(BCRYPT_HASH_HANDLE h) noexcept { return h == nullptr; }
  static void close(BCRYPT_HASH_HANDLE h) noexcept { ::BCryptDestroyHash(h); }
};
using UniqueBcryptHash = UniqueResource<BcryptHashTraits>;

// Bytes that must not outlive their use (the pass phrase, the key): wiped
// with SecureZeroMemory, which the optimiser may not drop, when destroyed.
class SecretBytes {
 public:
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  SecretBytes(SecretBytes&&) noexcept = default;
  SecretBytes& operator=(SecretBytes&& o) noexcept {
    wipe();
    bytes_ = std::move(o.bytes_);
    return *this;
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { wipe(); }

  unsigned char* data() noexcept { return bytes_.data(); }
  const unsigned char* data() const noexcept { return bytes_.data(); }
  std::size_t size() const noexcept { return bytes_.size(); }
  void wipe() noexcept {
    if (!bytes_.empty()) ::SecureZeroMemory(bytes_.data(), bytes_.size());
  }

 private:
  std::vector<unsigned char> bytes_;
};

using Sha256Digest = std::array<unsigned char, 32>;

// The configuration pass phrase, assembled from its masked pieces into a
// fresh buffer; the caller lets it go (and so wipes it) once the key exists.
SecretBytes config_pass_phrase();

// PBKDF2-HMAC-SHA512, kConfigKdfIterations rounds, kConfigKeySize bytes.
SecretBytes derive_config_key(const SecretBytes& pass_phrase, const unsigned char* salt,
                              std::size_t salt_size);

// AES-256-CBC over whole blocks, no padding either way (PKCS#7 is ours).
std::string aes256_cbc_decrypt(const SecretBytes& key, const unsigned char (&iv)[kAesBlockSize],
                               std::string_view ciphertext);
std::string aes256_cbc_encrypt(const SecretBytes& key, const unsigned char (&iv)[kAesBlockSize],
                               std::string_view plaintext);

// Streaming SHA-256.
class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t size);
  Sha256Digest finish();

 private:
  UniqueBcryptAlgorithm algorithm_;
  UniqueBcryptHash hash_;
};

// Bytes from the system's preferred random number generator.
void random_bytes(unsigned char* out, std::size_t size);

// The configuration file for a JSON text: a fresh salt/IV, then the
// ciphertext, as the sealing tool writes it.
std::string encrypt_verify_config(std::string_view json_text);

}  // namespace vyn
