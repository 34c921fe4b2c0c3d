// The codec's crypto seam on Windows: AES-256-GCM and random bytes through CNG (bcrypt).
#include <windows.h>

// bcrypt.h needs the base types of windows.h.
#include <bcrypt.h>

#include <climits>
#include <memory>

#include "tessera/crypto.h"

namespace tessera::crypto {
namespace {

constexpr NTSTATUS kAuthTagMismatch = static_cast<NTSTATUS>(0xC000A002L);

bool Ok(NTSTATUS status) {
  return status >= 0;
}

// One AES provider in GCM mode for the whole process; algorithm handles may be shared by threads,
// key handles are made per call.
BCRYPT_ALG_HANDLE AesGcm() {
  static const BCRYPT_ALG_HANDLE handle = [] {
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (!Ok(BCryptOpenAlgorithmProvider(&alg, BCRYPT_AES_ALGORITHM, nullptr, 0)))
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    wchar_t mode[] = BCRYPT_CHAIN_MODE_GCM;
    if (!Ok(BCryptSetProperty(alg, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(mode),
                              sizeof(mode), 0))) {
      BCryptCloseAlgorithmProvider(alg, 0);
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return alg;
  }();
  if (handle == nullptr)
    throw CryptoFailure("Cannot open the AES-GCM provider.");
  return handle;
}

struct KeyDestroy {
  void operator()(void* key) const noexcept {
    BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key));
  }
};
using Key = std::unique_ptr<void, KeyDestroy>;

void CheckSizes(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce,
                std::size_t aad, std::size_t data) {
  if (key.size() != kKeyBytes)
    throw CryptoFailure("AES-256-GCM key must be 32 bytes.");
  if (nonce.size() != kNonceBytes)
    throw CryptoFailure("AES-256-GCM nonce must be 12 bytes.");
  if (aad > ULONG_MAX || data > ULONG_MAX - kTagBytes)
    throw CryptoFailure("AES-256-GCM input is too large.");
}

Key MakeKey(std::span<const std::uint8_t> key) {
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!Ok(BCryptGenerateSymmetricKey(AesGcm(), &handle, nullptr, 0, const_cast<PUCHAR>(key.data()),
                                     static_cast<ULONG>(key.size()), 0))) {
    throw CryptoFailure("Cannot create the AES key.");
  }
  return Key(handle);
}

// CNG takes non-const pointers for inputs it does not change.
PUCHAR In(std::span<const std::uint8_t> s) {
  static std::uint8_t empty = 0;
  return s.empty() ? &empty : const_cast<PUCHAR>(s.data());
}

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO ModeInfo(std::span<const std::uint8_t> nonce,
                                               std::span<const std::uint8_t> aad, PUCHAR tag) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = In(nonce);
  info.cbNonce = static_cast<ULONG>(nonce.size());
  info.pbAuthData = aad.empty() ? nullptr : In(aad);
  info.cbAuthData = static_cast<ULONG>(aad.size());
  info.pbTag = tag;
  info.cbTag = static_cast<ULONG>(kTagBytes);
  return info;
}

}  // namespace

void RandomBytes(std::span<std::uint8_t> out) {
  if (out.empty())
    return;
  if (out.size() > ULONG_MAX ||
      !Ok(BCryptGenRandom(nullptr, out.data(), static_cast<ULONG>(out.size()),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    throw CryptoFailure("The random number generator failed.");
  }
}

std::vector<std::uint8_t> SealAes256Gcm(std::span<const std::uint8_t> key,
                                        std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> aad,
                                        std::span<const std::uint8_t> plaintext) {
  CheckSizes(key, nonce, aad.size(), plaintext.size());
  const Key k = MakeKey(key);
  std::vector<std::uint8_t> out(plaintext.size() + kTagBytes);
  auto info = ModeInfo(nonce, aad, out.data() + plaintext.size());
  ULONG written = 0;
  const NTSTATUS status = BCryptEncrypt(
      static_cast<BCRYPT_KEY_HANDLE>(k.get()), plaintext.empty() ? nullptr : In(plaintext),
      static_cast<ULONG>(plaintext.size()), &info, nullptr, 0,
      plaintext.empty() ? nullptr : out.data(), static_cast<ULONG>(plaintext.size()), &written, 0);
  if (!Ok(status) || written != plaintext.size())
    throw CryptoFailure("AES-256-GCM encryption failed.");
  return out;
}

std::optional<std::vector<std::uint8_t>> OpenAes256Gcm(std::span<const std::uint8_t> key,
                                                       std::span<const std::uint8_t> nonce,
                                                       std::span<const std::uint8_t> aad,
                                                       std::span<const std::uint8_t> sealed) {
  if (sealed.size() < kTagBytes)
    return std::nullopt;
  const std::size_t dataBytes = sealed.size() - kTagBytes;
  CheckSizes(key, nonce, aad.size(), dataBytes);
  const Key k = MakeKey(key);
  std::uint8_t tag[kTagBytes];
  std::copy(sealed.begin() + static_cast<std::ptrdiff_t>(dataBytes), sealed.end(), tag);
  auto info = ModeInfo(nonce, aad, tag);
  std::vector<std::uint8_t> out(dataBytes);
  ULONG written = 0;
  const NTSTATUS status = BCryptDecrypt(static_cast<BCRYPT_KEY_HANDLE>(k.get()),
                                        dataBytes == 0 ? nullptr : In(sealed.first(dataBytes)),
                                        static_cast<ULONG>(dataBytes), &info, nullptr, 0,
                                        dataBytes == 0 ? nullptr : out.data(),
                                        static_cast<ULONG>(dataBytes), &written, 0);
  if (status == kAuthTagMismatch) {
    Wipe(out);
    return std::nullopt;
  }
  if (!Ok(status) || written != dataBytes) {
    Wipe(out);
    throw CryptoFailure("AES-256-GCM decryption failed.");
  }
  return out;
}

void Wipe(std::span<std::uint8_t> bytes) noexcept {
  if (!bytes.empty())
    SecureZeroMemory(bytes.data(), bytes.size());
}

}  // namespace tessera::crypto
