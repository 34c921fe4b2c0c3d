#include "tokengate/gate/request_values.h"

#include <gtest/gtest.h>

#include "tokengate/common/text.h"
#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/server_variable.h"
#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::TestHost;
using testing::TestRequest;
using Value = std::optional<std::u16string>;

struct LookupCase {
  std::u16string text;
  std::u16string name;
  Value expected;
};

TEST(PercentDecode, EscapesPlusAndFailures) {
  const std::pair<std::u16string, Value> cases[] = {
      {u"%41", u"A"},         {u"a+b", u"a+b"},       {u"%c3%A9", u"\u00e9"},
      {u"a%00b", u"a"},       {u"\u00e9", u"\u00e9"}, {u"", u""},
      {u"%", std::nullopt},   {u"%4", std::nullopt},  {u"%4G", std::nullopt},
      {u"%G4", std::nullopt}, {u"ab%", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(PercentDecode(text), expected);
  }
}

const LookupCase kQueryCases[] = {
    {u"a=1&T=tok", u"T", u"tok"},
    {u"flag&T=tok", u"T", std::nullopt},  // a piece without "=" hides every name
    {u"T=tok&", u"T", std::nullopt},
    {u"&T=tok", u"T", std::nullopt},
    {u"a=1&&T=tok", u"T", std::nullopt},
    {u"T=ok&x=%zz", u"T", std::nullopt},  // a later bad piece hides earlier names too
    {u"T=first&T=second", u"T", u"first"},
    {u"T=&T=second", u"T", std::nullopt},  // the first, unset, occurrence wins
    {u"T=", u"T", std::nullopt},
    {u"T=%00", u"T", u""},
    {u"T=a+b%41", u"T", u"a+bA"},
    {u"T=%4", u"T", std::nullopt},
    {u"T=a=b", u"T", u"a=b"},
    {u"%54=tok", u"T", u"tok"},
    {u"=x&T=tok", u"T", std::nullopt},
    {u"%00=x&T=tok", u"T", std::nullopt},
    {u"t=tok", u"T", std::nullopt},
    {u"", u"T", std::nullopt},
    {u"T=tok", u"", std::nullopt},
};

const LookupCase kCookieCases[] = {
    {u"a=1; T=tok", u"T", u"tok"},
    {u"flag; T=tok", u"T", u"tok"},  // a bad cookie piece hides only itself
    {u"T=%zz; T=good", u"T", u"good"},
    {u"T=first; T=second", u"T", u"first"},
    {u"T=; T=second", u"T", std::nullopt},
    {u" \t\r\nT=tok", u"T", u"tok"},
    {u"a=1;T=tok;", u"T", u"tok"},
    {u"T =tok", u"T", std::nullopt},
    {u"x=1; %54=a%42+", u"T", u"aB+"},
    {u"t=tok", u"T", std::nullopt},
    {u"", u"T", std::nullopt},
};

TEST(QueryList, Lookups) {
  for (const LookupCase& c : kQueryCases) {
    EXPECT_EQ(FindInQueryText(c.text, c.name), c.expected);
  }
}

TEST(CookieList, Lookups) {
  for (const LookupCase& c : kCookieCases) {
    EXPECT_EQ(FindInCookieText(c.text, c.name), c.expected);
  }
}

TEST(Lists, ParsedListKeepsOrderAndFirstOccurrence) {
  const NameValueList query = ParseQueryList(u"b=2&a=1&b=3&c=");
  EXPECT_EQ(query, (NameValueList{{u"b", u"2"}, {u"a", u"1"}, {u"c", std::nullopt}}));
  EXPECT_TRUE(ParseQueryList(u"b=2&a").empty());
  const NameValueList cookies = ParseCookieList(u"b=2; a; b=3; c=%41");
  EXPECT_EQ(cookies, (NameValueList{{u"b", u"2"}, {u"c", u"A"}}));
}

TEST(Lists, DirectLookupAgreesWithTheParsedList) {
  for (const LookupCase& c : kQueryCases) {
    for (const auto& [name, value] : ParseQueryList(c.text)) {
      EXPECT_EQ(FindInQueryText(c.text, name), value);
    }
  }
  for (const LookupCase& c : kCookieCases) {
    for (const auto& [name, value] : ParseCookieList(c.text)) {
      EXPECT_EQ(FindInCookieText(c.text, name), value);
    }
  }
}

// The request lookups read ASCII bytes as they are and convert any other text first: both give
// the answers of the lookups over the converted text, also for text that is not ASCII or not even
// valid in the code page.
TEST(Lists, RequestLookupsAgreeWithTheTextLookups) {
  std::vector<std::pair<std::string, std::u16string>> cases;
  for (const LookupCase& c : kQueryCases) {
    cases.emplace_back(text::ToAnsi(c.text), c.name);
  }
  for (const LookupCase& c : kCookieCases) {
    cases.emplace_back(text::ToAnsi(c.text), c.name);
  }
  for (const char* bytes :
       {"T=\xc3\xa9&a=1", "\xc3\xa9=1&T=tok", "T=tok\xff", "a=\xff; T=tok", "T%C3%A9=x; T=y",
        "\xc3\xa9=x; T=%C3%A9", "T=a%00b; x=\xe2\x82", "x=1;\x80T=tok; T=v"}) {
    for (const std::u16string name : {u"T", u"\u00e9", u"T\u00e9"}) {
      cases.emplace_back(bytes, name);
    }
  }
  for (const auto& [bytes, name] : cases) {
    const std::u16string wide = text::FromAnsi(bytes);
    TestHost host(TestRequest{
        .method = "POST", .query = bytes, .headers = {{"Cookie", bytes}}, .body = bytes});
    EXPECT_EQ(FindQueryValue(host, name), FindInQueryText(wide, name)) << bytes;
    EXPECT_EQ(FindFormValue(host, host.Log(), name), FindInQueryText(wide, name)) << bytes;
    EXPECT_EQ(FindCookieValue(host, GateSettings{}, host.Log(), name), FindInCookieText(wide, name))
        << bytes;
    for (std::string_view rest = bytes; !rest.empty();) {
      const std::string_view piece = rest.substr(0, rest.find(';'));
      rest.remove_prefix(std::min(rest.size(), piece.size() + 1));
      EXPECT_EQ(IsCookieNamed(piece, name), IsCookieNamed(text::FromAnsi(piece), name)) << bytes;
    }
  }
}

TEST(FindFormValue, ReadsTheReceivedBody) {
  TestHost host(TestRequest{.method = "POST", .body = "a=1&T=tok%21"});
  EXPECT_EQ(FindFormValue(host, host.Log(), u"T"), u"tok!");
  TestHost bad(TestRequest{.body = "T=tok&x"});
  EXPECT_EQ(FindFormValue(bad, bad.Log(), u"T"), std::nullopt);
  EXPECT_TRUE(bad.Events().empty());
}

TEST(FindFormValue, BodyBeyondTheAreaIsNotReadAndLogged) {
  TestHost fits(TestRequest{.body = "T=" + std::string(kWorkAreaBytes - 3, 'x')});
  EXPECT_EQ(FindFormValue(fits, fits.Log(), u"T")->size(), kWorkAreaBytes - 3);
  TestHost host(TestRequest{.body = "T=" + std::string(kWorkAreaBytes - 2, 'x')});
  EXPECT_EQ(FindFormValue(host, host.Log(), u"T"), std::nullopt);
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].type, EventType::Warning);
  EXPECT_EQ(host.Events()[0].text, kFormBodyTooLarge);
}

TEST(FindQueryValue, ReadsTheQueryString) {
  TestHost host(TestRequest{.query = "resume=/app%2Fx&T=tok"});
  EXPECT_EQ(FindQueryValue(host, u"resume"), u"/app/x");
  EXPECT_EQ(FindQueryValue(host, u"T"), u"tok");
  EXPECT_EQ(FindQueryValue(host, u"missing"), std::nullopt);
}

TEST(FindCookieValue, ShortAndLongHeaders) {
  const std::string padding(600, 'p');
  struct Case {
    std::string cookie;
    Value expected;
    std::vector<std::size_t> areas;
  };
  const Case cases[] = {
      {"a=1; T=tok", u"tok", {512}},
      {"pad=" + padding + "; T=tok", u"tok", {512, 4 + 600 + 7 + 1}},
      {"T=" + std::string(509, 'v'), std::u16string(509, u'v'), {512}},
      {"T=" + std::string(510, 'v'), std::u16string(510, u'v'), {512, 513}},
  };
  for (const Case& c : cases) {
    TestHost host(TestRequest{.headers = {{"Cookie", c.cookie}}});
    EXPECT_EQ(FindCookieValue(host, GateSettings{}, host.Log(), u"T"), c.expected);
    std::vector<std::size_t> areas;
    for (const auto& [name, size] : host.variable_reads) {
      EXPECT_EQ(name, "HEADER_COOKIE");
      areas.push_back(size);
    }
    EXPECT_EQ(areas, c.areas);
    EXPECT_TRUE(host.Events().empty());
    EXPECT_FALSE(host.status_code.has_value());
  }
}

TEST(FindCookieValue, ReReadSeesOnlyThisHeader) {
  // The re-read uses the thread's reading area, which an earlier read filled with more.
  TestHost earlier(TestRequest{});
  earlier.SetVariable("ALL_RAW", std::string(4000, 'x') + "; T=stale");
  ASSERT_FALSE(ReadServerVariable(earlier, earlier.Log(), "ALL_RAW").empty());
  const std::string value(700, 'v');
  TestHost host(
      TestRequest{.headers = {{"Cookie", "pad=" + std::string(600, 'p') + "; T=" + value}}});
  EXPECT_EQ(FindCookieValue(host, GateSettings{}, host.Log(), u"T"),
            std::u16string(value.begin(), value.end()));
  TestHost unset(TestRequest{.headers = {{"Cookie", "pad=" + std::string(600, 'p') + "; T="}}});
  EXPECT_EQ(FindCookieValue(unset, GateSettings{}, unset.Log(), u"T"), std::nullopt);
  // The largest header the area takes is read whole.
  const std::string largest = "T=" + std::string(kWorkAreaBytes - 3, 'w');
  TestHost full(TestRequest{.headers = {{"Cookie", largest}}});
  EXPECT_EQ(FindCookieValue(full, GateSettings{}, full.Log(), u"T")->size(), kWorkAreaBytes - 3);
  EXPECT_TRUE(full.Events().empty());
}

TEST(FindCookieValue, MissingOrUnreadableHeaderMeansNoCookies) {
  const std::pair<VariableError, std::uint32_t> failures[] = {
      {VariableError::InvalidParameter, kErrorInvalidParameter},
      {VariableError::NoData, kErrorNoData},
      {VariableError::InvalidIndex, kErrorInvalidIndex},
      {VariableError::Other, 5},
  };
  for (const auto& [error, code] : failures) {
    TestHost host(TestRequest{.headers = {{"Cookie", "T=tok"}}});
    host.FailVariable("HEADER_COOKIE", error, code);
    std::optional<std::uint32_t> response;
    EXPECT_EQ(FindCookieValue(host, GateSettings{}, host.Log(), u"T", &response), std::nullopt);
    EXPECT_FALSE(response.has_value());
    EXPECT_TRUE(host.Events().empty());
  }
  TestHost none(TestRequest{});
  EXPECT_EQ(FindCookieValue(none, GateSettings{}, none.Log(), u"T"), std::nullopt);
  EXPECT_TRUE(none.Events().empty());
  EXPECT_TRUE(none.page.empty());
}

TEST(FindCookieValue, FailedReReadSendsTheErrorResponse) {
  TestHost host(TestRequest{.headers = {{"Cookie", "T=" + std::string(600, 'v')}}});
  host.FailVariable("HEADER_COOKIE", VariableError::Other, 31, 2);
  std::optional<std::uint32_t> response;
  EXPECT_EQ(FindCookieValue(host, GateSettings{}, host.Log(), u"T", &response), std::nullopt);
  EXPECT_EQ(response, 4u);
  EXPECT_EQ(host.status_code, 500u);
  EXPECT_EQ(host.page, BuildErrorPage("problem retrieving cookie header data"));
  EXPECT_TRUE(host.Events().empty());
}

TEST(FindCookieValue, HeaderBeyondTheAreaIsRefusedAndLogged) {
  TestHost host(TestRequest{.headers = {{"Cookie", "T=" + std::string(kWorkAreaBytes, 'v')}}});
  std::optional<std::uint32_t> response;
  EXPECT_EQ(FindCookieValue(host, GateSettings{}, host.Log(), u"T", &response), std::nullopt);
  EXPECT_EQ(response, 4u);
  EXPECT_EQ(host.variable_reads.size(), 1u);
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].text, kCookieHeaderTooLarge);
  EXPECT_EQ(host.page, BuildErrorPage("problem retrieving cookie header data"));
}

}  // namespace
}  // namespace tokengate::gate
