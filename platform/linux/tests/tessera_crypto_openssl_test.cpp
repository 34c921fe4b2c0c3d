#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessera/crypto.h"

namespace tessera::crypto {
namespace {

std::vector<std::uint8_t> Hex(const std::string& hex) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// The published AES-256-GCM test case with associated data (96-bit IV).
const auto kKey = Hex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
const auto kNonce = Hex("cafebabefacedbaddecaf888");
const auto kAad = Hex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
const auto kPlain = Hex(
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6"
    "b525b16aedf5aa0de657ba637b39");
const auto kSealed =
    Hex("522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056"
        "828838c5f61e6393ba7a0abcc9f662"
        "76fc6ece0f4e1768cddf8853bb2d551b");

TEST(TesseraCryptoTest, KnownAnswer) {
  EXPECT_EQ(SealAes256Gcm(kKey, kNonce, kAad, kPlain), kSealed);
  EXPECT_EQ(OpenAes256Gcm(kKey, kNonce, kAad, kSealed), kPlain);
}

TEST(TesseraCryptoTest, AnyChangeFailsAuthentication) {
  auto key = kKey, nonce = kNonce, aad = kAad, sealed = kSealed, tag = kSealed;
  key[0] ^= 1;
  nonce[0] ^= 1;
  aad[0] ^= 1;
  sealed[0] ^= 1;
  tag.back() ^= 1;
  EXPECT_FALSE(OpenAes256Gcm(key, kNonce, kAad, kSealed));
  EXPECT_FALSE(OpenAes256Gcm(kKey, nonce, kAad, kSealed));
  EXPECT_FALSE(OpenAes256Gcm(kKey, kNonce, aad, kSealed));
  EXPECT_FALSE(OpenAes256Gcm(kKey, kNonce, kAad, sealed));
  EXPECT_FALSE(OpenAes256Gcm(kKey, kNonce, kAad, tag));
  EXPECT_FALSE(OpenAes256Gcm(kKey, kNonce, kAad, std::span(kSealed).first(kTagBytes - 1)));
}

TEST(TesseraCryptoTest, EmptyPlaintextAndBadSizes) {
  const auto sealed = SealAes256Gcm(kKey, kNonce, {}, {});
  EXPECT_EQ(sealed.size(), kTagBytes);
  EXPECT_EQ(OpenAes256Gcm(kKey, kNonce, {}, sealed), std::vector<std::uint8_t>{});
  EXPECT_THROW(SealAes256Gcm(std::span(kKey).first(16), kNonce, {}, kPlain), CryptoFailure);
  EXPECT_THROW(SealAes256Gcm(kKey, std::span(kNonce).first(8), {}, kPlain), CryptoFailure);
}

TEST(TesseraCryptoTest, RandomBytesAreFresh) {
  std::vector<std::uint8_t> a(32), b(32);
  RandomBytes(a);
  RandomBytes(b);
  EXPECT_NE(a, b);
  Wipe(a);
  EXPECT_EQ(a, std::vector<std::uint8_t>(32, 0));
}

}  // namespace
}  // namespace tessera::crypto
