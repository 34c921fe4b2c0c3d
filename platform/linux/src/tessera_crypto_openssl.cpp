// The codec's crypto seam on Linux: AES-256-GCM and random bytes through OpenSSL libcrypto.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "tessera/crypto.h"

namespace tessera::crypto {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const noexcept { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

CipherCtx NewContext() {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx)
    throw CryptoFailure("Cannot allocate a cipher context.");
  return ctx;
}

// The cipher is fetched from the provider once; the implicit fetch behind EVP_aes_256_gcm()
// would look it up (under the provider store's lock) on every token.
const EVP_CIPHER* Aes256Gcm() {
  static const EVP_CIPHER* const cipher = [] {
    const EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return fetched != nullptr ? fetched : EVP_aes_256_gcm();
  }();
  return cipher;
}

void CheckSizes(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                std::size_t aad, std::size_t data) {
  if (key.size() != kKeyBytes)
    throw CryptoFailure("AES-256-GCM key must be 32 bytes.");
  if (nonce.size() != kNonceBytes)
    throw CryptoFailure("AES-256-GCM nonce must be 12 bytes.");
  if (aad > INT_MAX || data > INT_MAX)
    throw CryptoFailure("AES-256-GCM input is too large.");
}

// The cipher context wants non-null pointers even for empty inputs.
const unsigned char* Ptr(std::span<const std::uint8_t> s) {
  static const unsigned char kEmpty = 0;
  return s.empty() ? &kEmpty : s.data();
}

void SetUp(EVP_CIPHER_CTX* ctx, bool encrypt, std::span<const std::uint8_t> key,
           std::span<const std::uint8_t> nonce, std::span<const std::uint8_t> aad) {
  const int enc = encrypt ? 1 : 0;
  if (EVP_CipherInit_ex(ctx, Aes256Gcm(), nullptr, nullptr, nullptr, enc) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceBytes), nullptr) !=
          1 ||
      EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), nonce.data(), enc) != 1) {
    throw CryptoFailure("Cannot initialise AES-256-GCM.");
  }
  int outLen = 0;
  if (!aad.empty() &&
      EVP_CipherUpdate(ctx, nullptr, &outLen, aad.data(), static_cast<int>(aad.size())) != 1) {
    throw CryptoFailure("Cannot authenticate the associated data.");
  }
}
}  // namespace

void RandomBytes(std::span<std::uint8_t> out) {
  if (out.size() > INT_MAX || RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    throw CryptoFailure("The random number generator failed.");
  }
}

std::vector<std::uint8_t> SealAes256Gcm(std::span<const std::uint8_t> key,
                                        std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> aad,
                                        std::span<const std::uint8_t> plaintext) {
  CheckSizes(key, nonce, aad.size(), plaintext.size());
  auto ctx = NewContext();
  SetUp(ctx.get(), true, key, nonce, aad);
  std::vector<std::uint8_t> out(plaintext.size() + kTagBytes);
  int len = 0;
  if (!plaintext.empty() && EVP_EncryptUpdate(ctx.get(), out.data(), &len, Ptr(plaintext),
                                              static_cast<int>(plaintext.size())) != 1) {
    throw CryptoFailure("AES-256-GCM encryption failed.");
  }
  int tail = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &tail) != 1 ||
      static_cast<std::size_t>(len + tail) != plaintext.size() ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes),
                          out.data() + plaintext.size()) != 1) {
    throw CryptoFailure("AES-256-GCM encryption failed.");
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> OpenAes256Gcm(std::span<const std::uint8_t> key,
                                                       std::span<const std::uint8_t> nonce,
                                                       std::span<const std::uint8_t> aad,
                                                       std::span<const std::uint8_t> sealed) {
  if (sealed.size() < kTagBytes)
    return std::nullopt;
  const auto cipher = sealed.first(sealed.size() - kTagBytes);
  const auto tag = sealed.last(kTagBytes);
  CheckSizes(key, nonce, aad.size(), cipher.size());
  auto ctx = NewContext();
  SetUp(ctx.get(), false, key, nonce, aad);
  std::vector<std::uint8_t> out(cipher.size() + 1);  // +1: never a zero-size buffer
  int len = 0;
  if (!cipher.empty() && EVP_DecryptUpdate(ctx.get(), out.data(), &len, Ptr(cipher),
                                           static_cast<int>(cipher.size())) != 1) {
    Wipe(out);
    throw CryptoFailure("AES-256-GCM decryption failed.");
  }
  // The control call takes a writable buffer, so the tag goes through a local copy.
  unsigned char tagCopy[kTagBytes];
  std::copy(tag.begin(), tag.end(), tagCopy);
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes), tagCopy) !=
      1) {
    Wipe(out);
    throw CryptoFailure("AES-256-GCM decryption failed.");
  }
  int tail = 0;
  if (EVP_DecryptFinal_ex(ctx.get(), out.data() + len, &tail) != 1) {
    Wipe(out);  // authentication failed: release nothing
    return std::nullopt;
  }
  out.resize(static_cast<std::size_t>(len + tail));
  return out;
}

void Wipe(std::span<std::uint8_t> bytes) noexcept {
  if (!bytes.empty())
    OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace tessera::crypto
