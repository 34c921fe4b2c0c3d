// AES-256-GCM through CNG against published GCM test vectors, and the refusal of altered input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tessera/crypto.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

struct Vector {
  const char* key;
  const char* nonce;
  const char* aad;
  const char* plain;
  const char* cipher;
  const char* tag;
};

// McGrew and Viega's GCM test cases 13, 14 and 16 (AES-256).
const Vector kVectors[] = {
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "", "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18",
     "d0d1c8a799996bf0265b98b5d48ab919"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6"
     "b525b16aedf5aa0de657ba637b39",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b10568"
     "28838c5f61e6393ba7a0abcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
};

TEST(CngAesGcm, MatchesPublishedVectorsBothWays) {
  for (const Vector& v : kVectors) {
    const Bytes key = Hex(v.key), nonce = Hex(v.nonce), aad = Hex(v.aad), plain = Hex(v.plain);
    Bytes expected = Hex(v.cipher);
    const Bytes tag = Hex(v.tag);
    expected.insert(expected.end(), tag.begin(), tag.end());

    EXPECT_EQ(tessera::crypto::SealAes256Gcm(key, nonce, aad, plain), expected) << v.tag;
    const auto opened = tessera::crypto::OpenAes256Gcm(key, nonce, aad, expected);
    ASSERT_TRUE(opened.has_value()) << v.tag;
    EXPECT_EQ(*opened, plain);
  }
}

TEST(CngAesGcm, AlteredCiphertextTagOrAadIsRefused) {
  const Vector& v = kVectors[2];
  const Bytes key = Hex(v.key), nonce = Hex(v.nonce), aad = Hex(v.aad);
  const Bytes sealed = tessera::crypto::SealAes256Gcm(key, nonce, aad, Hex(v.plain));
  for (std::size_t at : {std::size_t{0}, sealed.size() - 1}) {
    Bytes altered = sealed;
    altered[at] ^= 0x01;
    EXPECT_FALSE(tessera::crypto::OpenAes256Gcm(key, nonce, aad, altered).has_value()) << at;
  }
  Bytes otherAad = aad;
  otherAad[0] ^= 0x80;
  EXPECT_FALSE(tessera::crypto::OpenAes256Gcm(key, nonce, otherAad, sealed).has_value());
  EXPECT_FALSE(tessera::crypto::OpenAes256Gcm(key, nonce, aad, Bytes(15, 0)).has_value());
}

TEST(CngAesGcm, WrongSizesThrow) {
  const Bytes shortKey(31, 0), nonce(12, 0), key(32, 0), longNonce(13, 0);
  EXPECT_THROW(tessera::crypto::SealAes256Gcm(shortKey, nonce, {}, {}),
               tessera::crypto::CryptoFailure);
  EXPECT_THROW(tessera::crypto::SealAes256Gcm(key, longNonce, {}, {}),
               tessera::crypto::CryptoFailure);
}

TEST(CngRandom, FillsTheWholeBuffer) {
  Bytes a(64, 0), b(64, 0);
  tessera::crypto::RandomBytes(a);
  tessera::crypto::RandomBytes(b);
  EXPECT_NE(a, Bytes(64, 0));
  EXPECT_NE(a, b);
}

}  // namespace
