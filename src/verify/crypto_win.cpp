#include "verify/crypto_win.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "verify/pass_phrase_pieces.h"

namespace vyn {

namespace {

constexpr std::size_t phrase_pieces_length() {
  std::size_t n = 0;
  for (const detail::PhrasePiece* p : detail::kPhrasePieces) n += p->length;
  return n;
}
static_assert(phrase_pieces_length() == kConfigPassPhraseLength);

void check(NTSTATUS status, const char* what) {
  if (BCRYPT_SUCCESS(status)) return;
  char text[96];
  std::snprintf(text, sizeof text, "%s failed with status 0x%08lX", what,
                static_cast<unsigned long>(status));
  throw std::runtime_error(text);
}

ULONG to_ulong(std::size_t n) {
  if (n > std::numeric_limits<ULONG>::max()) throw std::length_error("buffer too large for CNG");
  return static_cast<ULONG>(n);
}

// CNG takes non-const pointers even for what it only reads.
PUCHAR in_ptr(const void* p) { return static_cast<PUCHAR>(const_cast<void*>(p)); }

UniqueBcryptAlgorithm open_algorithm(const wchar_t* name, ULONG flags = 0) {
  UniqueBcryptAlgorithm alg;
  check(::BCryptOpenAlgorithmProvider(alg.out(), name, nullptr, flags),
        "BCryptOpenAlgorithmProvider");
  return alg;
}

struct AesKey {
  UniqueBcryptAlgorithm algorithm;
  UniqueBcryptKey key;
};

AesKey aes256_cbc_key(const SecretBytes& key) {
  AesKey k{open_algorithm(BCRYPT_AES_ALGORITHM), {}};
  check(::BCryptSetProperty(k.algorithm.get(), BCRYPT_CHAINING_MODE, in_ptr(BCRYPT_CHAIN_MODE_CBC),
                            sizeof(BCRYPT_CHAIN_MODE_CBC), 0),
        "BCryptSetProperty(BCRYPT_CHAINING_MODE)");
  check(::BCryptGenerateSymmetricKey(k.algorithm.get(), k.key.out(), nullptr, 0, in_ptr(key.data()),
                                     to_ulong(key.size()), 0),
        "BCryptGenerateSymmetricKey");
  return k;
}

void require_whole_blocks(std::string_view text) {
  if (text.size() % kAesBlockSize != 0) throw std::invalid_argument("not a whole number of blocks");
}

}  // namespace

SecretBytes config_pass_phrase() {
  SecretBytes phrase(kConfigPassPhraseLength);
  for (const detail::PhrasePiece* piece : detail::kPhrasePieces) {
    // Volatile reads keep the compiler from folding the pieces back into the
    // plain phrase at build time.
    const volatile unsigned char* masked = piece->masked;
    const volatile unsigned char* mask = piece->mask;
    for (std::size_t i = 0; i < piece->length; ++i)
      phrase.data()[piece->offset + i] = static_cast<unsigned char>(masked[i] ^ mask[i]);
  }
  return phrase;
}

SecretBytes derive_config_key(const SecretBytes& pass_phrase, const unsigned char* salt,
                              std::size_t salt_size) {
  const UniqueBcryptAlgorithm prf =
      open_algorithm(BCRYPT_SHA512_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  SecretBytes key(kConfigKeySize);
  check(::BCryptDeriveKeyPBKDF2(prf.get(), in_ptr(pass_phrase.data()), to_ulong(pass_phrase.size()),
                                in_ptr(salt), to_ulong(salt_size), kConfigKdfIterations, key.data(),
                                to_ulong(key.size()), 0),
        "BCryptDeriveKeyPBKDF2");
  return key;
}

std::string aes256_cbc_decrypt(const SecretBytes& key, const unsigned char (&iv)[kAesBlockSize],
                               std::string_view ciphertext) {
  require_whole_blocks(ciphertext);
  AesKey k = aes256_cbc_key(key);
  unsigned char chain[kAesBlockSize];  // CNG advances the IV it is given
  std::copy(std::begin(iv), std::end(iv), chain);
  std::string plain(ciphertext.size(), '\0');
  ULONG written = 0;
  check(::BCryptDecrypt(k.key.get(), in_ptr(ciphertext.data()), to_ulong(ciphertext.size()),
                        nullptr, chain, sizeof chain, in_ptr(plain.data()), to_ulong(plain.size()),
                        &written, 0),
        "BCryptDecrypt");
  plain.resize(written);
  return plain;
}

std::string aes256_cbc_encrypt(const SecretBytes& key, const unsigned char (&iv)[kAesBlockSize],
                               std::string_view plaintext) {
  require_whole_blocks(plaintext);
  AesKey k = aes256_cbc_key(key);
  unsigned char chain[kAesBlockSize];
  std::copy(std::begin(iv), std::end(iv), chain);
  std::string out(plaintext.size(), '\0');
  ULONG written = 0;
  check(::BCryptEncrypt(k.key.get(), in_ptr(plaintext.data()), to_ulong(plaintext.size()), nullptr,
                        chain, sizeof chain, in_ptr(out.data()), to_ulong(out.size()), &written, 0),
        "BCryptEncrypt");
  out.resize(written);
  return out;
}

Sha256::Sha256() : algorithm_(open_algorithm(BCRYPT_SHA256_ALGORITHM)) {
  check(::BCryptCreateHash(algorithm_.get(), hash_.out(), nullptr, 0, nullptr, 0, 0),
        "BCryptCreateHash");
}

void Sha256::update(const void* data, std::size_t size) {
  check(::BCryptHashData(hash_.get(), in_ptr(data), to_ulong(size), 0), "BCryptHashData");
}

Sha256Digest Sha256::finish() {
  Sha256Digest digest{};
  check(::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0),
        "BCryptFinishHash");
  return digest;
}

void random_bytes(unsigned char* out, std::size_t size) {
  check(::BCryptGenRandom(nullptr, out, to_ulong(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG),
        "BCryptGenRandom");
}

std::string encrypt_verify_config(std::string_view json_text) {
  unsigned char salt[kConfigSaltSize];
  random_bytes(salt, sizeof salt);
  const SecretBytes key = [&] {
    const SecretBytes phrase = config_pass_phrase();
    return derive_config_key(phrase, salt, sizeof salt);
  }();
  std::string file(reinterpret_cast<const char*>(salt), sizeof salt);
  file += aes256_cbc_encrypt(key, salt, pkcs7_pad(json_text));
  return file;
}

}  // namespace vyn
