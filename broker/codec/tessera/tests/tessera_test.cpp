#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <type_traits>

#include "tessera/tessera.h"

namespace tessera {
namespace {

using std::chrono::seconds;
using std::chrono::sys_days;
using std::chrono::sys_seconds;

static_assert(!std::is_base_of_v<TokenException, TokenExpiredException>,
              "expiry must not be caught as a general token failure");

std::string KeyText(std::uint8_t fill) {
  std::array<std::uint8_t, crypto::kKeyBytes> key{};
  for (std::size_t i = 0; i < key.size(); ++i)
    key[i] = static_cast<std::uint8_t>(fill + i);
  return format::Base64UrlEncode(key);
}

std::string Properties(const std::string& extra = "", const std::string& writeKey = "k1") {
  return "# test\nTokenLifetime=300\nClockSkew=30\nKey.k1=" + KeyText(1) +
         "\nKey.k2=" + KeyText(2) + "\nWriteKeyId=" + writeKey + "\n" + extra;
}

AgentConfiguration Config(const std::string& text) {
  return AgentConfiguration::FromText(text, "test.properties");
}

const sys_seconds kT0 = sys_days(std::chrono::year{2026} / 12 / 10) + seconds{3 * 3600 + 15 * 60};

class TesseraTest : public ::testing::Test {
 protected:
  sys_seconds now_ = kT0;
  Clock clock_ = [this] { return now_; };
  AgentConfiguration config_ = Config(Properties());
  Agent agent_{config_, clock_};

  // A token with `payload` as its plaintext, sealed correctly: reaches the payload parser.
  std::string SealRaw(const std::vector<std::uint8_t>& payload, std::uint8_t version = 1) {
    std::vector<std::uint8_t> header{version, 2, 'k', '1'};
    std::vector<std::uint8_t> nonce(crypto::kNonceBytes, 7);
    const auto sealed =
        crypto::SealAes256Gcm(config_.FindKey("k1")->bytes(), nonce, header, payload);
    auto raw = header;
    raw.insert(raw.end(), nonce.begin(), nonce.end());
    raw.insert(raw.end(), sealed.begin(), sealed.end());
    return format::Base64UrlEncode(raw);
  }
};

TEST_F(TesseraTest, RoundTripKeepsOrderValuesAndUnicode) {
  MultiStringDictionary in;
  in.Add(u"subject", u"jdoe@EXAMPLE.ORG");
  in.Add(u"groups", u"a");
  in.Add(u"groups", u"b,c");
  in.Add(u"display", u"Zo\u00eb \u4e2d\U0001F600");
  in.Add(u"empty-value", u"");
  in.Set(u"no-values", {});
  const std::string token = agent_.WriteToken(in);

  const auto out = agent_.ReadTokenMultiStringDictionary(token);
  auto expected = in;
  expected.Set(kNotOnOrAfter, {u"2026-12-10T03:20:00Z"});
  EXPECT_EQ(out, expected);
  EXPECT_EQ(
      token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
      std::string::npos);
  EXPECT_NE(agent_.WriteToken(in), token) << "every token gets a fresh nonce";
}

TEST_F(TesseraTest, WriteRefusesUnpairedSurrogate) {
  MultiStringDictionary in;
  in.Add(u"x", std::u16string(1, char16_t{0xD800}));
  EXPECT_THROW(agent_.WriteToken(in), TokenException);
}

TEST_F(TesseraTest, UnacceptableTokensRaiseTokenException) {
  MultiStringDictionary in;
  in.Add(u"subject", u"jdoe");
  const std::string good = agent_.WriteToken(in);
  const auto raw = *format::Base64UrlDecode(good);
  // header: version [0], key-id length [1], key id [2..3]; nonce [4..15]; tag = last 16 bytes.
  const auto flip = [&](std::size_t at) {
    auto copy = raw;
    copy[at] ^= 0x01;
    return format::Base64UrlEncode(copy);
  };
  const auto cut = [&](std::size_t keep) {
    return format::Base64UrlEncode(std::span<const std::uint8_t>(raw).first(keep));
  };
  const AgentConfiguration otherKeys =
      Config("TokenLifetime=300\nKey.k1=" + KeyText(9) + "\nWriteKeyId=k1\n");
  const AgentConfiguration onlyK2 =
      Config("TokenLifetime=300\nKey.k2=" + KeyText(2) + "\nWriteKeyId=k2\n");
  struct Case {
    const char* what;
    std::string token;
    const AgentConfiguration* config;
    const char* message;
  };
  const Case cases[] = {
      {"version byte", flip(0), &config_, "Token version 0 is not supported."},
      {"key-id length", flip(1), &config_, nullptr},
      {"key id", flip(2), &config_, "Token key id is not configured."},
      {"nonce", flip(6), &config_, "Token authentication failed."},
      {"ciphertext", flip(18), &config_, "Token authentication failed."},
      {"tag", flip(raw.size() - 1), &config_, "Token authentication failed."},
      {"truncated by one byte", cut(raw.size() - 1), &config_, "Token authentication failed."},
      {"truncated to the header", cut(4), &config_, "Token is truncated."},
      {"truncated inside the key id", cut(3), &config_, "Token is truncated."},
      {"wrong key", good, &otherKeys, "Token authentication failed."},
      {"unknown key id", good, &onlyK2, "Token key id is not configured."},
      {"garbage", "this is not a token", &config_, "Token is not valid base64url."},
      {"padding", good + "=", &config_, "Token is not valid base64url."},
      {"non-canonical tail", "AB", &config_, "Token is not valid base64url."},
      {"empty", "", &config_, "Token is empty."},
      {"over-long", std::string(kMaxTokenChars + 1, 'A'), &config_, "Token is too long."},
      {"wrong version", SealRaw({0, 0}, 2), &config_, "Token version 2 is not supported."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Agent agent(*c.config, clock_);
    try {
      agent.ReadTokenMultiStringDictionary(c.token);
      ADD_FAILURE() << "accepted";
    } catch (const TokenException& e) {
      if (c.message != nullptr) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
  }
}

TEST_F(TesseraTest, MalformedPayloadsAreRefused) {
  using Bytes = std::vector<std::uint8_t>;
  const Bytes cases[] = {
      {},                                        // no count
      {0, 1},                                    // one attribute announced, none there
      {0, 1, 0, 5, 'a'},                         // name shorter than its length
      {0, 1, 0, 1, 'a', 0, 1},                   // value announced, none there
      {0, 1, 0, 1, 0xFF, 0, 0},                  // name not UTF-8
      {0, 1, 0, 2, 0xC0, 0x80, 0, 0},            // overlong UTF-8
      {0, 1, 0, 3, 0xED, 0xA0, 0x80, 0, 0},      // encoded surrogate
      {0, 2, 0, 1, 'a', 0, 0, 0, 1, 'a', 0, 0},  // repeated name
      {0, 0, 0},                                 // trailing byte
  };
  for (const auto& payload : cases) {
    SCOPED_TRACE(::testing::PrintToString(payload));
    try {
      agent_.ReadTokenMultiStringDictionary(SealRaw(payload));
      ADD_FAILURE() << "accepted";
    } catch (const TokenException& e) {
      EXPECT_STREQ(e.what(), "Token payload is malformed.");
    }
  }
  EXPECT_TRUE(agent_.ReadTokenMultiStringDictionary(SealRaw({0, 0})).empty());
}

TEST_F(TesseraTest, TimeAttributesMustBeWellFormed) {
  for (const auto& values : std::vector<MultiStringDictionary::Values>{
           {u"tomorrow"}, {}, {u"2026-12-10T03:20:00Z", u"2026-12-10T03:20:00Z"}}) {
    MultiStringDictionary in;
    in.Set(kNotOnOrAfter, values);
    EXPECT_THROW(agent_.ReadTokenMultiStringDictionary(format::Seal(config_, in)), TokenException);
  }
}

TEST_F(TesseraTest, ExpiryHonoursClockSkew) {
  const std::string token = agent_.WriteToken({});
  now_ = kT0 + seconds{300 + 29};  // past not-on-or-after, within the skew
  EXPECT_NO_THROW(agent_.ReadTokenMultiStringDictionary(token));
  now_ = kT0 + seconds{300 + 30};
  try {
    agent_.ReadTokenMultiStringDictionary(token);
    ADD_FAILURE() << "accepted";
  } catch (const TokenExpiredException& e) {
    EXPECT_STREQ(e.what(), "Token expired at 2026-12-10T03:20:00Z.");
  }
}

TEST_F(TesseraTest, RenewUntilCapsReissue) {
  const AgentConfiguration capped = Config(Properties("MaxSessionLifetime=1000\n"));
  const Agent agent(capped, clock_);
  MultiStringDictionary in;
  in.Add(u"subject", u"jdoe");
  const auto first = agent.ReadTokenMultiStringDictionary(agent.WriteToken(in));
  ASSERT_NE(first.Find(kRenewUntil), nullptr);
  EXPECT_EQ(first.Find(kRenewUntil)->front(), u"2026-12-10T03:31:40Z");

  now_ = kT0 + seconds{800};  // re-issue: expiry capped at renew-until, which stays put
  const auto second = agent.ReadTokenMultiStringDictionary(agent.WriteToken(first));
  EXPECT_EQ(second.Find(kRenewUntil)->front(), u"2026-12-10T03:31:40Z");
  EXPECT_EQ(second.Find(kNotOnOrAfter)->front(), u"2026-12-10T03:31:40Z");

  now_ = kT0 + seconds{1000};
  EXPECT_THROW(agent.WriteToken(second), TokenExpiredException);
  // A renew-until past its time expires the token even when not-on-or-after is later.
  MultiStringDictionary stale;
  stale.Set(kRenewUntil, {u"2026-12-10T03:20:00Z"});
  stale.Set(kNotOnOrAfter, {u"2026-12-10T04:00:00Z"});
  EXPECT_THROW(agent.ReadTokenMultiStringDictionary(format::Seal(capped, stale)),
               TokenExpiredException);
}

TEST_F(TesseraTest, KeyRotation) {
  const std::string oldToken = agent_.WriteToken({});  // written with k1
  const Agent rotated(Config(Properties("", "k2")), clock_);
  const std::string newToken = rotated.WriteToken({});
  EXPECT_EQ(format::PeekHeader(newToken)->keyId, "k2");
  EXPECT_NO_THROW(rotated.ReadTokenMultiStringDictionary(oldToken));
  EXPECT_NO_THROW(agent_.ReadTokenMultiStringDictionary(newToken));
}

TEST_F(TesseraTest, IndependentAgentsOnSeveralThreads) {
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (std::size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      const Agent agent(Config(Properties()), [] { return kT0; });
      for (int i = 0; i < 200; ++i) {
        MultiStringDictionary in;
        in.Add(u"subject", u"user" + std::u16string(1, static_cast<char16_t>(u'a' + t)));
        const auto out = agent.ReadTokenMultiStringDictionary(agent.WriteToken(in));
        if (out.Find(u"subject")->front() != in.Find(u"subject")->front())
          ++failures[t];
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(failures, std::vector<int>(8, 0));
}

TEST(TesseraConfigurationTest, InvalidPropertiesAreRefused) {
  const std::string k = "Key.k1=" + KeyText(1) + "\n";
  const std::string cases[] = {
      "Key.k1=" + KeyText(1) + "\nWriteKeyId=k1\n",          // no lifetime
      "TokenLifetime=300\nWriteKeyId=k1\n",                  // no key
      "TokenLifetime=300\n" + k,                             // no write key id
      "TokenLifetime=300\n" + k + "WriteKeyId=k9\n",         // write key id unknown
      "TokenLifetime=0\n" + k + "WriteKeyId=k1\n",           // lifetime out of range
      "TokenLifetime=2147483648\n" + k + "WriteKeyId=k1\n",  // lifetime too large
      "TokenLifetime=30s\n" + k + "WriteKeyId=k1\n",         // not a number
      "TokenLifetime=300\nTokenLifetime=300\n" + k + "WriteKeyId=k1\n",
      "TokenLifetime=300\n" + k + k + "WriteKeyId=k1\n",  // key given twice
      "TokenLifetime=300\nKey.k1=AAAA\nWriteKeyId=k1\n",  // short key
      "TokenLifetime=300\nKey.k 1=" + KeyText(1) + "\nWriteKeyId=k1\n",
      "TokenLifetime=300\n" + k + "WriteKeyId=k1\nClockSkew=3601\n",
      "TokenLifetime=300\n" + k + "WriteKeyId=k1\nTokenLiftime=30\n",  // typo
      "TokenLifetime=300\n" + k + "WriteKeyId=k1\nno equals sign\n",
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_THROW(AgentConfiguration::FromText(text, "p"), ConfigurationException);
  }
  const auto ok = AgentConfiguration::FromText(
      "  TokenLifetime = 300 \r\n\n# c\nMaxSessionLifetime=600\r\n" + k + "WriteKeyId=k1", "p");
  EXPECT_EQ(ok.TokenLifetime(), 300);
  EXPECT_EQ(ok.ClockSkew(), AgentConfiguration::kDefaultClockSkew);
  EXPECT_EQ(ok.MaxSessionLifetime(), 600);
}

TEST(TesseraConfigurationTest, FileErrors) {
  const auto dir =
      std::filesystem::temp_directory_path() /
      ("tessera-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::create_directories(dir);
  const auto missing = (dir / "missing.properties").string();
  try {
    AgentConfiguration config(missing);
    ADD_FAILURE() << "read a missing file";
  } catch (const FileNotFoundException& e) {
    EXPECT_STREQ(e.what(), std::strerror(ENOENT));
  }
  EXPECT_THROW(AgentConfiguration(dir.string()), ConfigurationException);
  EXPECT_THROW(AgentConfiguration("/dev/zero"), ConfigurationException);
  const auto big = dir / "big.properties";
  std::ofstream(big) << std::string(AgentConfiguration::kMaxFileBytes + 1, '#');
  EXPECT_THROW(AgentConfiguration(big.string()), ConfigurationException);
  const auto good = dir / "good.properties";
  std::ofstream(good) << Properties();
  EXPECT_EQ(AgentConfiguration(good.string()).KeyIds(), (std::vector<std::string>{"k1", "k2"}));
  std::filesystem::remove_all(dir);
}

TEST(TesseraFormatTest, UtcTimes) {
  EXPECT_EQ(format::FormatUtc(kT0), u"2026-12-10T03:15:00Z");
  EXPECT_EQ(format::ParseUtc(u"2026-12-10T03:15:00Z"), kT0);
  EXPECT_EQ(format::ParseUtc(u"2024-02-29T23:59:59Z"),
            sys_days(std::chrono::year{2024} / 2 / 29) + seconds{86399});
  for (const char16_t* bad :
       {u"2026-12-10T03:15:00", u"2026-12-10 03:15:00Z", u"2025-02-29T00:00:00Z",
        u"2026-12-10T24:00:00Z", u"0000-01-01T00:00:00Z", u"2026-1x-10T03:15:00Z", u""}) {
    EXPECT_FALSE(format::ParseUtc(bad))
        << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
  }
}

TEST(TesseraFormatTest, Base64UrlIsStrict) {
  const std::vector<std::uint8_t> bytes{0xFB, 0xFF, 0x00, 0x10};
  EXPECT_EQ(format::Base64UrlEncode(bytes), "-_8AEA");
  EXPECT_EQ(format::Base64UrlDecode("-_8AEA"), bytes);
  for (const char* bad : {"-_8AEB", "A", "+/8A", "-_8AEA==", "ab cd"}) {
    EXPECT_FALSE(format::Base64UrlDecode(bad)) << bad;
  }
}

TEST(TesseraFormatTest, Base64UrlEveryLengthAndEveryForeignByte) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    const std::string text = format::Base64UrlEncode(bytes);
    EXPECT_EQ(text.size(), (n * 4 + 2) / 3);
    EXPECT_EQ(format::Base64UrlDecode(text), bytes);
    // A foreign byte anywhere, also in the final incomplete group, fails the whole text.
    for (std::size_t at = 0; at < text.size(); ++at) {
      for (const char foreign : {'=', '+', '/', ' ', '\0', '\x80', '\xff', '.'}) {
        std::string bad = text;
        bad[at] = foreign;
        EXPECT_FALSE(format::Base64UrlDecode(bad)) << at << " " << int(foreign);
      }
    }
    // The unused low bits of a final incomplete group must be zero.
    if (text.size() % 4 != 0) {
      constexpr std::string_view kAlphabet =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
      std::string bad = text;
      bad.back() = kAlphabet[kAlphabet.find(text.back()) ^ 1];  // sets the lowest bit
      EXPECT_FALSE(format::Base64UrlDecode(bad)) << bad;
    }
    bytes.push_back(static_cast<std::uint8_t>(0xA5 ^ (n * 37)));
  }
  EXPECT_FALSE(format::Base64UrlDecode(std::string(5, 'A')));
}

}  // namespace
}  // namespace tessera
