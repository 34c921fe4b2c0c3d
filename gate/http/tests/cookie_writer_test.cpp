#include "tokengate/gate/cookie_writer.h"

#include <gtest/gtest.h>

#include <limits>

#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using namespace std::chrono;
using testing::TestFilterContext;

const system_clock::time_point kNow = sys_days{2026y / December / 5} + 18h + 30min;

TEST(CookieExpiry, EnglishNamesAndDashes) {
  const std::pair<system_clock::time_point, const char*> cases[] = {
      {kNow, "Sat, 05-Dec-2026 18:30:00 GMT"},
      {sys_days{1970y / January / 1}, "Thu, 01-Jan-1970 00:00:00 GMT"},
      {sys_days{2000y / February / 29} + 23h + 59min + 59s + 999ms,
       "Tue, 29-Feb-2000 23:59:59 GMT"},
      {sys_days{2027y / March / 8} + 7h + 4min + 9s, "Mon, 08-Mar-2027 07:04:09 GMT"},
  };
  for (const auto& [when, text] : cases) {
    EXPECT_EQ(FormatCookieExpiry(when), text);
  }
}

struct WriteCase {
  bool session;
  int age;
  std::u16string domain;
  std::u16string path;
  bool secure;
  std::string line;
};

TEST(WriteCookie, AttributesInOrder) {
  const WriteCase cases[] = {
      {true, 5, u"", u"/", false, "Set-Cookie: T=abc; path=/; HttpOnly\r\n"},
      {false, 30, u".example.test", u"/", true,
       "Set-Cookie: T=abc; expires=Sat, 05-Dec-2026 19:00:00 GMT; domain=.example.test; path=/; "
       "secure; HttpOnly\r\n"},
      {false, 0, u"", u"/app", false,
       "Set-Cookie: T=abc; expires=Sat, 05-Dec-2026 18:30:00 GMT; path=/app; HttpOnly\r\n"},
      {false, -5, u"", u"/", false,
       "Set-Cookie: T=abc; expires=Sat, 05-Dec-2026 18:25:00 GMT; path=/; HttpOnly\r\n"},
      {true, 30, u"", u"/", true, "Set-Cookie: T=abc; path=/; secure; HttpOnly\r\n"},
  };
  for (const WriteCase& c : cases) {
    GateSettings settings;
    settings.SessionCookie = c.session;
    settings.CookieAge = c.age;
    settings.Domain = c.domain;
    settings.Path = c.path;
    settings.SecureCookie = c.secure;
    TestFilterContext filter;
    EXPECT_EQ(WriteCookie(filter, settings, GateEventLog{}, u"T", u"abc", kNow), 1u);
    EXPECT_EQ(filter.lines, std::vector<std::string>{c.line});
  }
}

TEST(ClearTokenCookie, FixedDateNeverSecure) {
  GateSettings settings;
  settings.TesseraName = u"CVToken";
  TestFilterContext plain;
  EXPECT_EQ(ClearTokenCookie(plain, settings, GateEventLog{}), 1u);
  EXPECT_EQ(
      plain.lines,
      std::vector<std::string>{
          "Set-Cookie: CVToken=; expires=Thu, 01 Jan 1970 00:00:00 GMT; path=/; HttpOnly\r\n"});

  settings.SecureCookie = true;
  settings.SessionCookie = false;
  settings.Domain = u".example.test";
  TestFilterContext full;
  EXPECT_EQ(ClearTokenCookie(full, settings, GateEventLog{}), 1u);
  EXPECT_EQ(full.lines,
            std::vector<std::string>{"Set-Cookie: CVToken=; expires=Thu, 01 Jan 1970 "
                                     "00:00:00 GMT; domain=.example.test; path=/; HttpOnly\r\n"});
}

TEST(CookieWriter, HttpOnlyAndSameSiteOnBothLines) {
  struct Case {
    bool httpOnly;
    std::u16string sameSite;
    std::string suffix;
  };
  const Case cases[] = {
      {true, u"", "; HttpOnly"},
      {false, u"", ""},
      {true, u"Lax", "; HttpOnly; SameSite=Lax"},
      {true, u"strict", "; HttpOnly; SameSite=Strict"},
      {false, u"NONE", "; SameSite=None"},
      // Anything else is no attribute at all (the configuration check warns about it).
      {true, u"Lax; Domain=evil.example", "; HttpOnly"},
      {true, u"sometimes", "; HttpOnly"},
  };
  for (const Case& c : cases) {
    GateSettings settings;
    settings.TesseraName = u"T";
    settings.HttpOnlyCookie = c.httpOnly;
    settings.SameSiteCookie = c.sameSite;
    TestFilterContext filter;
    EXPECT_EQ(WriteCookie(filter, settings, GateEventLog{}, u"T", u"abc", kNow), 1u);
    EXPECT_EQ(ClearTokenCookie(filter, settings, GateEventLog{}), 1u);
    EXPECT_EQ(filter.lines, (std::vector<std::string>{
                                "Set-Cookie: T=abc; path=/" + c.suffix + "\r\n",
                                "Set-Cookie: T=; expires=Thu, 01 Jan 1970 00:00:00 GMT; path=/" +
                                    c.suffix + "\r\n"}));
  }
}

TEST(CookieExpiry, ExtremeAgesNeverWrap) {
  const std::pair<std::int32_t, const char*> cases[] = {
      // About 152 million minutes used to wrap the clock into the 18th century.
      {152'000'000, "Tue, 07-Dec-2315 07:50:00 GMT"},
      {400'000'000, "Wed, 17-Jun-2787 13:10:00 GMT"},
      {std::numeric_limits<std::int32_t>::max(), "Sat, 28-Dec-6109 20:37:00 GMT"},
      {100'000'000, "Thu, 23-Jan-2217 05:10:00 GMT"},
      {std::numeric_limits<std::int32_t>::min(), "Thu, 01-Jan-1970 00:00:00 GMT"},
      {-1, "Sat, 05-Dec-2026 18:29:00 GMT"},
  };
  for (const auto& [minutes, text] : cases) {
    EXPECT_EQ(FormatCookieExpiry(CookieExpiry(kNow, minutes)), text) << minutes;
  }
  // Beyond what four digits of a year carry, and before the epoch.
  EXPECT_EQ(FormatCookieExpiry(sys_seconds{sys_days{12000y / January / 1}}),
            "Fri, 31-Dec-9999 23:59:59 GMT");
  EXPECT_EQ(FormatCookieExpiry(sys_seconds{sys_days{1733y / May / 1}}),
            "Thu, 01-Jan-1970 00:00:00 GMT");

  GateSettings settings;
  settings.SessionCookie = false;
  settings.CookieAge = std::numeric_limits<std::int32_t>::max();
  TestFilterContext filter;
  EXPECT_EQ(WriteCookie(filter, settings, GateEventLog{}, u"T", u"abc", kNow), 1u);
  EXPECT_EQ(filter.lines, std::vector<std::string>{"Set-Cookie: T=abc; expires=Sat, 28-Dec-6109 "
                                                   "20:37:00 GMT; path=/; HttpOnly\r\n"});
}

TEST(CookieWriter, RefusedOrUnsafeLineIsOneErrorEventAndStatus4) {
  auto sink = std::make_shared<CapturingEventSink>();
  const GateEventLog log(sink);
  GateSettings settings;
  settings.TesseraName = u"T";
  const std::u16string big(kWorkAreaBytes, u'v');
  struct Case {
    const char* what;
    std::u16string name;
    std::u16string value;
    std::u16string domain;
    bool refuse;
  };
  const Case cases[] = {
      {"server refuses", u"T", u"abc", u"", true},
      {"CR LF in value", u"T", u"abc\r\nSet-Cookie: admin=1", u"", false},
      {"LF in name", u"T\n", u"abc", u"", false},
      {"NUL in value", u"T", std::u16string(u"a\0b", 3), u"", false},
      {"CR in domain", u"T", u"abc", u".a.test\r", false},
      {"line over 49999 bytes", u"T", big, u"", false},
  };
  for (const Case& c : cases) {
    sink->Clear();
    settings.Domain = c.domain;
    TestFilterContext filter;
    filter.refuse = c.refuse;
    EXPECT_EQ(WriteCookie(filter, settings, log, c.name, c.value, kNow), 4u) << c.what;
    EXPECT_TRUE(filter.lines.empty()) << c.what;
    ASSERT_EQ(sink->Events().size(), 1u) << c.what;
    EXPECT_EQ(sink->Events()[0].type, EventType::Error);
    EXPECT_EQ(sink->Events()[0].text, u"Error in updating cookies.");
  }

  sink->Clear();
  settings.Domain = u"";
  settings.Path = u"/\r\nX: y";
  TestFilterContext filter;
  EXPECT_EQ(ClearTokenCookie(filter, settings, log), 4u);
  EXPECT_TRUE(filter.lines.empty());
  EXPECT_EQ(sink->Events().size(), 1u);
}

TEST(CookieWriter, LongestLineThatFitsIsWritten) {
  GateSettings settings;
  const std::size_t overhead = std::string("Set-Cookie: T=; path=/; HttpOnly\r\n").size();
  TestFilterContext filter;
  EXPECT_EQ(WriteCookie(filter, settings, GateEventLog{}, u"T",
                        std::u16string(kWorkAreaBytes - 1 - overhead, u'v'), kNow),
            1u);
  ASSERT_EQ(filter.lines.size(), 1u);
  EXPECT_EQ(filter.lines[0].size(), kWorkAreaBytes - 1);
  EXPECT_EQ(WriteCookie(filter, settings, GateEventLog{}, u"T",
                        std::u16string(kWorkAreaBytes - overhead, u'v'), kNow),
            4u);
}

}  // namespace
}  // namespace tokengate::gate
