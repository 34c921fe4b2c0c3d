#include "tokengate/gate/header_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace tokengate::gate {
namespace {

TEST(HeaderRulesTest, AttributePrefixIsReadWithoutCaseAndWithUnderscoresAsDashes) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"Tarvex-subject", "Tarvex-", true},
      {"tarvex-SUBJECT", "Tarvex-", true},
      {"Tarvex_subject", "Tarvex-", true},
      {"TARVEX_", "Tarvex-", true},
      {"Tarvex-", "Tarvex_", true},
      {"Tarvexsubject", "Tarvex-", false},
      {"X-Tarvex-subject", "Tarvex-", false},
      {"Tarve", "Tarvex-", false},
      {"Tarvex-subject", "", false},
      {"Host", "", false},
      // A short prefix takes every header that starts with it.
      {"X-Requested-With", "X-", true},
      {"x_forwarded_for", "X-", true},
      {"Xsubject", "X-", false},
      {"", "X-", false},
  };
  for (const auto& [name, prefix, expected] : cases) {
    EXPECT_EQ(CarriesAttributePrefix(name, prefix), expected) << name << " / " << prefix;
  }
}

TEST(HeaderRulesTest, LookAlikesAreNamedFromTheRawHeaders) {
  struct Case {
    std::string_view raw;
    std::string_view prefix;
    std::vector<std::string_view> names;
  };
  const Case cases[] = {
      {"Host: a\r\nTarvex-subject: root\r\nAccept: */*\r\n", "Tarvex-", {"Tarvex-subject"}},
      // Every spelling, in request order, a repeated line listed again; the value never counts.
      {"tarvex_subject: a\r\nHost: Tarvex-x\r\nTARVEX-GROUPS: b\r\ntarvex_subject: c\r\n",
       "Tarvex-",
       {"tarvex_subject", "TARVEX-GROUPS", "tarvex_subject"}},
      // Bare LF line ends and a last line without one.
      {"Tarvex-a: 1\nHost: a\nTarvex-b: 2", "Tarvex-", {"Tarvex-a", "Tarvex-b"}},
      // A continuation line and a line without a colon name no header.
      {"Host: a\r\n Tarvex-subject: root\r\n\tTarvex-x: 1\r\nTarvex-y\r\n", "Tarvex-", {}},
      // A name that only holds the prefix carries it; an empty name does not.
      {"Tarvex-: 1\r\n: Tarvex-\r\n", "Tarvex-", {"Tarvex-"}},
      {"Tarvex-subject: root\r\n", "", {}},
      {"", "Tarvex-", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AttributeLookAlikes(c.raw, c.prefix), c.names) << c.raw;
  }
}

TEST(HeaderRulesTest, NamesAlikeIsTheNormalisedComparison) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"TarvexAuth-Context", "tarvexauth_context"},
      {"A-B", "a_b"},
      {"A-B", "A-C"},
      {"ab", "abc"},
      {"", ""},
      {"\xC4-x", "\xE4_x"},
  };
  for (const auto& [a, b] : cases) {
    EXPECT_EQ(NamesAlike(a, b), NormalisedHeaderName(a) == NormalisedHeaderName(b))
        << a << " / " << b;
  }
  EXPECT_EQ(NormalisedHeaderName("Tarvex_Sub-JECT"), "tarvex-sub-ject");
}

TEST(HeaderRulesTest, ResponsesWithTheTokenCookieArePrivate) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"", "private"},
      {"max-age=600", "private, max-age=600"},
      {"public, max-age=600, s-maxage=3600", "private, max-age=600"},
      {"PUBLIC,no-cache", "private, no-cache"},
      {"no-store", std::nullopt},
      {"max-age=0, Private", std::nullopt},
      {"private=\"Set-Cookie\"", std::nullopt},
      {" , must-revalidate ,", "private, must-revalidate"},
      {"S-MaxAge=60", "private"},
      {"no_store", std::nullopt},
  };
  for (const auto& [directives, expected] : cases) {
    EXPECT_EQ(PrivateCacheControl(directives), expected) << directives;
  }
}

}  // namespace
}  // namespace tokengate::gate
