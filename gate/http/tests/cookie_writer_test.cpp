#include "tokengate/gate/cookie_writer.h"

#include <gtest/gtest.h>

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
      {true, 5, u"", u"/", false, "Set-Cookie: T=abc; path=/\r\n"},
      {false, 30, u".example.test", u"/", true,
       "Set-Cookie: T=abc; expires=Sat, 05-Dec-2026 19:00:00 GMT; domain=.example.test; path=/; "
       "secure\r\n"},
      {false, 0, u"", u"/app", false,
       "Set-Cookie: T=abc; expires=Sat, 05-Dec-2026 18:30:00 GMT; path=/app\r\n"},
      {false, -5, u"", u"/", false,
       "Set-Cookie: T=abc; expires=Sat, 05-Dec-2026 18:25:00 GMT; path=/\r\n"},
      {true, 30, u"", u"/", true, "Set-Cookie: T=abc; path=/; secure\r\n"},
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
  EXPECT_EQ(plain.lines,
            std::vector<std::string>{
                "Set-Cookie: CVToken=; expires=Thu, 01 Jan 1970 00:00:00 GMT; path=/\r\n"});

  settings.SecureCookie = true;
  settings.SessionCookie = false;
  settings.Domain = u".example.test";
  TestFilterContext full;
  EXPECT_EQ(ClearTokenCookie(full, settings, GateEventLog{}), 1u);
  EXPECT_EQ(full.lines, std::vector<std::string>{"Set-Cookie: CVToken=; expires=Thu, 01 Jan 1970 "
                                                 "00:00:00 GMT; domain=.example.test; path=/\r\n"});
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
  const std::size_t overhead = std::string("Set-Cookie: T=; path=/\r\n").size();
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
