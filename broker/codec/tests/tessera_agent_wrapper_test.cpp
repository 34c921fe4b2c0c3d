#include "tokengate/broker/codec/tessera_agent_wrapper.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "tessera/tessera.h"
#include "tokengate/common/authenticator.h"

namespace tokengate::broker {
namespace {

using std::chrono::seconds;
using std::chrono::sys_days;
using std::chrono::sys_seconds;
using tessera::MultiStringDictionary;

const sys_seconds kW = sys_days(std::chrono::year{2026} / 12 / 10) + seconds{3 * 3600};

// The outputs of one call, with arrays of the contract's capacities.
struct Call {
  std::u16string message;
  std::u16string userId, realm;
  std::int32_t updatedLength = -7, headerLength = -7, listLength = -7;
  std::vector<char16_t> updated = std::vector<char16_t>(rpc::kUpdatedTokenCapacity, u'#');
  std::vector<char16_t> header = std::vector<char16_t>(rpc::kHeaderCapacity, u'#');
  std::vector<char16_t> list = std::vector<char16_t>(rpc::kAttributeListCapacity, u'#');
  bool expired = true;
  std::vector<std::u16string> warnings;

  std::u16string Updated() const {
    return {updated.data(), static_cast<std::size_t>(updatedLength)};
  }
  std::u16string Header() const { return {header.data(), static_cast<std::size_t>(headerLength)}; }
  std::u16string List() const { return {list.data(), static_cast<std::size_t>(listLength)}; }
};

class WrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() /
        ("codec-wrapper-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    key.fill(0x42);
    std::ofstream(dir_ / "tessera.properties")
        << "TokenLifetime=300\nClockSkew=30\nKey.k1=" << tessera::format::Base64UrlEncode(key)
        << "\nWriteKeyId=k1\n";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::u16string ConfigPath() const {
    const auto s = (dir_ / "tessera.properties").string();
    return {s.begin(), s.end()};
  }
  tessera::AgentConfiguration Config() const {
    return tessera::AgentConfiguration((dir_ / "tessera.properties").string());
  }
  // A token carrying exactly `attributes` (no expiry added).
  std::u16string Sealed(const MultiStringDictionary& attributes) const {
    const auto t = tessera::format::Seal(Config(), attributes);
    return {t.begin(), t.end()};
  }
  // A token written now by the codec (with "not-on-or-after").
  std::u16string Written(const MultiStringDictionary& attributes) const {
    const auto t = tessera::Agent(Config(), clock_).WriteToken(attributes);
    return {t.begin(), t.end()};
  }
  MultiStringDictionary Decode(const std::u16string& token) const {
    return tessera::Agent(Config(), clock_)
        .ReadTokenMultiStringDictionary(std::string(token.begin(), token.end()));
  }

  Call Read(const std::u16string& token, const std::u16string& prefix = u"",
            std::int32_t window = rpc::kNeverReissue, const std::u16string& config = {}) {
    Call c;
    CTesseraAgentWrapper wrapper(clock_);
    c.message = wrapper.ReadToken(
        config.empty() ? ConfigPath() : config, token, prefix, window, c.userId, c.realm,
        &c.updatedLength, c.updated.data(), &c.headerLength, c.header.data(), &c.listLength,
        c.list.data(), c.expired, [&](std::u16string_view w) { c.warnings.emplace_back(w); });
    return c;
  }

  std::filesystem::path dir_;
  sys_seconds now_ = kW;
  tessera::Clock clock_ = [this] { return now_; };
};

MultiStringDictionary Dict(
    std::initializer_list<std::pair<std::u16string, std::vector<std::u16string>>> entries) {
  MultiStringDictionary d;
  for (const auto& [name, values] : entries)
    d.Set(name, values);
  return d;
}

TEST_F(WrapperTest, HeaderStringUserIdRealmAndAttributeList) {
  const auto token = Sealed(Dict({{u"subject", {u"jdoe"}}, {u"groups", {u"a", u"b"}}}));
  const Call c = Read(token);
  EXPECT_EQ(c.message, u"");
  EXPECT_FALSE(c.expired);
  EXPECT_EQ(c.Header(), u"subject: jdoe\r\ngroups: [a,b]\r\n");
  EXPECT_EQ(c.headerLength, 30);
  EXPECT_EQ(c.header[30], u'\0');
  EXPECT_EQ(c.userId, u"jdoe");
  EXPECT_EQ(c.listLength, 0);
  EXPECT_EQ(c.Updated(), token) << "window -1 never re-issues";
  EXPECT_EQ(c.updated[token.size()], u'\0');

  const Call p = Read(Sealed(Dict({{u"realm", {u"EXAMPLE.ORG", u"x"}},
                                   {u"cv_attribute_list", {u"subject,groups"}},
                                   {u"Subject", {u"other"}}})),
                      u"X-");
  EXPECT_EQ(p.Header(),
            u"X-realm: [EXAMPLE.ORG,x]\r\nX-cv_attribute_list: subject,groups\r\n"
            u"X-Subject: other\r\n");
  EXPECT_EQ(p.realm, u"EXAMPLE.ORG");
  EXPECT_EQ(p.userId, u"") << "names are matched case-sensitively";
  EXPECT_EQ(p.List(), u"subject,groups");
  EXPECT_EQ(p.list[p.listLength], u'\0');
}

TEST_F(WrapperTest, EmptyTokenDictionary) {
  const Call c = Read(Sealed({}));
  EXPECT_EQ(c.message, u"");
  EXPECT_EQ(c.headerLength, 0);
  EXPECT_EQ(c.header[0], u'\0');
  EXPECT_EQ(c.listLength, 0);
  EXPECT_EQ(c.userId, u"");
  EXPECT_EQ(c.realm, u"");
}

TEST_F(WrapperTest, HeaderLineRules) {
  struct Case {
    const char* what;
    std::u16string name;
    std::vector<std::u16string> values;
    std::u16string line;  // empty: the line is left out
    std::size_t warnings;
  };
  const Case cases[] = {
      {"comma in one value", u"n", {u"a,b"}, u"n: a,b\r\n", 0},
      {"two values", u"n", {u"a", u"b"}, u"n: [a,b]\r\n", 0},
      {"latin-1 narrows byte for unit", u"n", {u"Zo\u00eb"}, u"n: Zo\u00eb\r\n", 0},
      {"unit above U+00FF empties the value", u"n", {u"\u0100x"}, u"n: \r\n", 0},
      {"only that value of a list", u"n", {u"a", u"\u4e2d"}, u"n: [a,]\r\n", 0},
      {"CR LF in a value", u"n", {u"a\r\nX-Admin: 1"}, u"n: \r\n", 1},
      {"bare LF in a value", u"n", {u"a\nb"}, u"n: \r\n", 1},
      {"NUL in a value", u"n", {std::u16string(u"a\0b", 3)}, u"n: \r\n", 1},
      {"CR in one of two values", u"n", {u"ok", u"a\rb"}, u"n: [ok,]\r\n", 1},
      {"tab in a value is kept", u"n", {u"a\tb"}, u"n: a\tb\r\n", 0},
      {"CR LF in a name", u"X-A\r\nX-B", {u"v"}, u"", 1},
      {"blank in a name", u"has space", {u"v"}, u"", 1},
      {"colon in a name", u"a:b", {u"v"}, u"", 1},
      {"empty name", u"", {u"v"}, u"", 1},
      {"wide name", u"n\u0100", {u"v"}, u"", 1},
      {"latin-1 name", u"n\u00e9", {u"v"}, u"", 1},
      {"token punctuation", u"a!#$%&'*+-.^_`|~9", {u"v"}, u"a!#$%&'*+-.^_`|~9: v\r\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Call r = Read(Sealed(Dict({{u"first", {u"1"}}, {c.name, c.values}, {u"last", {u"2"}}})));
    EXPECT_EQ(r.message, u"");
    EXPECT_EQ(r.Header(), u"first: 1\r\n" + c.line + u"last: 2\r\n");
    EXPECT_EQ(r.warnings.size(), c.warnings);
  }
}

TEST_F(WrapperTest, NameThatNarrowsToEmptyHasNoLineEvenWithAPrefix) {
  const Call c = Read(Sealed(Dict({{u"\u4e2d", {u"v"}}, {u"ok", {u"w"}}})), u"X-");
  EXPECT_EQ(c.Header(), u"X-ok: w\r\n");
  EXPECT_EQ(c.warnings.size(), 1u);
}

TEST_F(WrapperTest, InvalidPrefixLeavesLinesOutButKeepsSpecialValues) {
  const Call c = Read(Sealed(Dict({{u"subject", {u"jdoe"}}})), u"X Bad-");
  EXPECT_EQ(c.message, u"");
  EXPECT_EQ(c.headerLength, 0);
  EXPECT_EQ(c.userId, u"jdoe");
  EXPECT_EQ(c.warnings, std::vector<std::u16string>{u"Tessera attribute 1: name is not a valid "
                                                    u"header field name; its header line is "
                                                    u"left out."});
  const Call v = Read(Sealed(Dict({{u"mail", {u"a@b\r\nX-Admin: yes"}}})));
  EXPECT_EQ(v.Header(), u"mail: \r\n");
  EXPECT_EQ(v.warnings, std::vector<std::u16string>{u"Tessera attribute 1 (mail): a value holding "
                                                    u"CR, LF or NUL is written as empty."});
}

TEST_F(WrapperTest, AttributeListPassesThroughTheCodePage) {
  // A unit the header narrowing empties is kept by the code page (UTF-8 here), byte for unit.
  const Call c = Read(Sealed(Dict({{u"cv_attribute_list", {u"a\u0100"}}})));
  EXPECT_EQ(c.List(), (std::u16string{u'a', 0xC4, 0x80}));
  EXPECT_EQ(c.Header(), u"cv_attribute_list: \r\n");
}

TEST_F(WrapperTest, ReissueRule) {
  const auto token = Written(Dict({{u"subject", {u"jdoe"}}}));  // lifetime 300, written at W
  const auto noExpiry = Sealed(Dict({{u"subject", {u"jdoe"}}}));
  struct Case {
    const char* what;
    std::u16string token;
    std::int32_t window;
    int elapsed;
    bool reissued;
  };
  const Case cases[] = {
      {"window 60, at W+60", token, 60, 60, false},
      {"window 60, at W+61", token, 60, 61, true},
      {"window 60, at W+200", token, 60, 200, true},
      {"window 0, at W", token, 0, 0, false},
      {"window 0, at W+1", token, 0, 1, true},
      {"window -1, at W+299", token, -1, 299, false},
      {"no not-on-or-after, window 60", noExpiry, 60, 0, true},
      {"no not-on-or-after, window -1", noExpiry, -1, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    now_ = kW + seconds{c.elapsed};
    const Call r = Read(c.token, u"", c.window);
    ASSERT_EQ(r.message, u"");
    if (!c.reissued) {
      EXPECT_EQ(r.Updated(), c.token);
      continue;
    }
    ASSERT_NE(r.Updated(), c.token);
    const auto fresh = Decode(r.Updated());
    EXPECT_EQ(fresh.Find(u"subject")->front(), u"jdoe");
    EXPECT_EQ(fresh.Find(tessera::kNotOnOrAfter)->front(),
              tessera::format::FormatUtc(now_ + seconds{300}));
  }
}

TEST_F(WrapperTest, ExpiredToken) {
  const auto token = Written(Dict({{u"subject", {u"jdoe"}}}));
  now_ = kW + seconds{330};
  const Call c = Read(token, u"", 60);
  EXPECT_TRUE(c.expired);
  EXPECT_EQ(c.updatedLength, 15);
  EXPECT_EQ(std::u16string(c.updated.data()), u"SESSION_EXPIRED");
  EXPECT_EQ(c.message, u"Token expired at 2026-12-10T03:05:00Z.");
}

TEST_F(WrapperTest, CodecFailuresBecomeMessages) {
  const Call missing = Read(Sealed({}), u"", 60, u"/nonexistent/tessera.properties");
  const std::string enoent = std::strerror(ENOENT);
  EXPECT_EQ(missing.message, std::u16string(enoent.begin(), enoent.end()));
  EXPECT_FALSE(missing.expired);

  // The file is read through the platform's checking source: one that others may write is
  // refused as a file that cannot be used.
  const auto loose = dir_ / "loose.properties";
  std::filesystem::copy_file(dir_ / "tessera.properties", loose);
  std::filesystem::permissions(loose, static_cast<std::filesystem::perms>(0664));
  const std::string looseText = loose.string();
  const Call refused = Read(Sealed({}), u"", 60, {looseText.begin(), looseText.end()});
  EXPECT_EQ(refused.message,
            std::u16string(looseText.begin(), looseText.end()) +
                u": must not be writable by group or others (mode 0664); chmod go-w it.");
  EXPECT_FALSE(refused.expired);
  EXPECT_EQ(refused.updatedLength, -7) << "nothing written on failure";

  const Call bad = Read(u"not a token");
  EXPECT_EQ(bad.message, u"Token is not valid base64url.");
  EXPECT_FALSE(bad.expired);
  EXPECT_EQ(bad.updatedLength, -7) << "nothing written on failure";
}

TEST_F(WrapperTest, PropertiesFileIsReadOnEveryCall) {
  const auto path = dir_ / "tessera.properties";
  std::ostringstream read;
  read << std::ifstream(path).rdbuf();
  const std::string original = read.str();
  const auto token = Sealed(Dict({{u"subject", {u"jdoe"}}}));
  const auto rewrite = [&](const std::string& text) { std::ofstream(path) << text; };
  std::array<std::uint8_t, tessera::crypto::kKeyBytes> other{};
  other.fill(0x17);
  const std::string enoent = std::strerror(ENOENT);

  ASSERT_EQ(Read(token).message, u"");
  // Another key under the same id: the token no longer authenticates.
  rewrite("TokenLifetime=300\nKey.k1=" + tessera::format::Base64UrlEncode(other) +
          "\nWriteKeyId=k1\n");
  EXPECT_EQ(Read(token).message, u"Token authentication failed.");
  // The key renamed: the token's key id is unknown.
  rewrite("TokenLifetime=300\nKey.k2=" + tessera::format::Base64UrlEncode(other) +
          "\nWriteKeyId=k2\n");
  EXPECT_EQ(Read(token).message, u"Token key id is not configured.");
  std::filesystem::remove(path);
  EXPECT_EQ(Read(token).message, std::u16string(enoent.begin(), enoent.end()));
  rewrite(original);
  EXPECT_EQ(Read(token).message, u"");
  // A lifetime changed in the file is the one the next re-issue writes.
  std::string longer = original;
  longer.replace(longer.find("TokenLifetime=300"), 17, "TokenLifetime=900");
  rewrite(longer);
  const Call reissued = Read(token, u"", 0);
  ASSERT_EQ(reissued.message, u"");
  EXPECT_EQ(Decode(reissued.Updated()).Find(tessera::kNotOnOrAfter)->front(),
            tessera::format::FormatUtc(now_ + seconds{900}));
}

TEST_F(WrapperTest, UnmappedFailuresLeaveAsExceptions) {
  EXPECT_THROW(Read(Sealed(Dict({{u"empty", {}}}))), AttributeWithoutValuesError);
}

TEST_F(WrapperTest, CapacityLimits) {
  // 98 lines of 100 units and one of 199 make exactly 9,999 units; one more unit is too many.
  const std::u16string prefix(94, u'P');
  const auto build = [&](std::size_t lastValue) {
    MultiStringDictionary d;
    for (int i = 0; i < 98; ++i) {
      d.Set(std::u16string{static_cast<char16_t>(u'a' + i / 26),
                           static_cast<char16_t>(u'a' + i % 26)},
            {u""});
    }
    d.Set(u"zz", {std::u16string(lastValue, u'v')});
    return Sealed(d);
  };
  const Call fits = Read(build(99), prefix);
  EXPECT_EQ(fits.message, u"");
  EXPECT_EQ(fits.headerLength, rpc::kMaxHeaderUnits);
  EXPECT_EQ(fits.header[rpc::kMaxHeaderUnits], u'\0');
  const Call over = Read(build(100), prefix);
  EXPECT_EQ(over.message, u"Header string exceeds 9999 characters.");
  EXPECT_EQ(over.headerLength, -7);

  // A presented token longer than the updated-token array cannot be handed back.
  const auto longToken = Sealed(Dict({{u"n", {std::u16string(3800, u'x')}}}));
  ASSERT_GT(longToken.size(), static_cast<std::size_t>(rpc::kMaxUpdatedTokenUnits));
  const Call tooLong = Read(longToken);
  EXPECT_EQ(tooLong.message, u"Updated token exceeds 4999 characters.");
  EXPECT_EQ(tooLong.updatedLength, -7);
}

TEST(WrapperDateTimeTest, GeneralParser) {
  const sys_seconds t = sys_days(std::chrono::year{2026} / 12 / 10) + seconds{3 * 3600 + 15 * 60};
  for (const char16_t* ok : {u"2026-12-10T03:15:00Z", u"2026-12-10T03:15:00", u"2026-12-10 03:15",
                             u"2026-12-10T03:15:00.250Z", u"2026-12-10T04:15:00+01:00",
                             u"2026-12-10T01:15:00-0200", u" 2026-12-10T03:15:00Z "}) {
    EXPECT_EQ(CTesseraAgentWrapper::ParseDateTime(ok), t);
  }
  EXPECT_EQ(CTesseraAgentWrapper::ParseDateTime(u"2026-12-10"), t - seconds{3 * 3600 + 15 * 60});
  for (const char16_t* bad :
       {u"", u"tomorrow", u"2026-13-01", u"2026-02-30T00:00:00Z", u"2026-12-10T25:00:00Z",
        u"2026-12-10T03:15:00Q", u"2026-12-10T03:15:00.", u"2026-12-10T03"}) {
    EXPECT_THROW(CTesseraAgentWrapper::ParseDateTime(bad), DateTimeFormatError);
  }
}

}  // namespace
}  // namespace tokengate::broker
