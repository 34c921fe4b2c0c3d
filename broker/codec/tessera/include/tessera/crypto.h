// The codec's only door to cryptography: AES-256-GCM and a secure random source. The portable
// core declares it; each platform layer implements it (OpenSSL libcrypto on Linux, CNG on
// Windows). Every function reports failure by throwing CryptoFailure, never by returning junk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

namespace tessera::crypto {

inline constexpr std::size_t kKeyBytes = 32;    // AES-256
inline constexpr std::size_t kNonceBytes = 12;  // 96-bit GCM nonce
inline constexpr std::size_t kTagBytes = 16;    // full 128-bit GCM tag

// The platform's crypto library failed in a way that is not the caller's fault.
class CryptoFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Fills `out` with cryptographically secure random bytes.
void RandomBytes(std::span<std::uint8_t> out);

// Encrypts `plaintext` under `key` and `nonce`, authenticating `aad` as well. Returns the
// ciphertext followed by the kTagBytes tag. `key` must be kKeyBytes, `nonce` kNonceBytes.
std::vector<std::uint8_t> SealAes256Gcm(std::span<const std::uint8_t> key,
                                        std::span<const std::uint8_t> nonce,
                                        std::span<const std::uint8_t> aad,
                                        std::span<const std::uint8_t> plaintext);

// Verifies and decrypts `sealed` (ciphertext followed by the tag). Returns nullopt when the tag
// does not match (wrong key, altered data or altered `aad`); no plaintext is released then.
std::optional<std::vector<std::uint8_t>> OpenAes256Gcm(std::span<const std::uint8_t> key,
                                                       std::span<const std::uint8_t> nonce,
                                                       std::span<const std::uint8_t> aad,
                                                       std::span<const std::uint8_t> sealed);

// Overwrites `bytes` with zeros in a way the optimiser cannot drop (for key material).
void Wipe(std::span<std::uint8_t> bytes) noexcept;

}  // namespace tessera::crypto
