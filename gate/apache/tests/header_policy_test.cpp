#include "header_policy.h"

#include <gtest/gtest.h>

#include <tuple>

namespace tokengate::apache {
namespace {

using namespace std::string_view_literals;

TEST(HeaderPolicyTest, AllRawKeepsOrderAndLeavesOutUnderscoreNames) {
  const std::vector<HeaderLine> headers = {
      {"Host", "a.test"}, {"X_Attr_Uid", "mallory"}, {"Cookie", "T=1"}, {"Accept", ""}};
  EXPECT_EQ(BuildAllRaw(headers), "Host: a.test\r\nCookie: T=1\r\nAccept: \r\n");
}

TEST(HeaderPolicyTest, ParseHeaderBlockSplitsLines) {
  const auto lines = ParseHeaderBlock(
      "Host: a.test\r\nX-Uid:  alice\r\nbroken line\r\n: x\r\nA:\r\nB\rad: 1\r\n"
      "Bad Name: 1\r\nC: v\ralue\r\nD: v\tw\r\nE: x\0y\r\n"sv);
  const std::vector<HeaderLine> expected = {
      {"Host", "a.test"}, {"X-Uid", "alice"}, {"A", ""}, {"D", "v\tw"}};
  EXPECT_EQ(lines, expected);
}

TEST(HeaderPolicyTest, ChildHeaderSetDropsClientLookAlikesOfAddedHeaders) {
  const std::vector<HeaderLine> original = {{"Host", "a.test"},
                                            {"X-Attr-user-id", "mallory"},
                                            {"x-attr-USER_id", "mallory"},
                                            {"Something_Else", "v"},
                                            {"Cookie", "T=1"}};
  // The gate kept some request headers and added its attribute header "X-Attr-user_id".
  const std::vector<HeaderLine> child = {{"Host", "a.test"},
                                         {"X-Attr-user-id", "mallory"},
                                         {"x-attr-USER_id", "mallory"},
                                         {"Something_Else", "v"},
                                         {"Cookie", "T=1"},
                                         {"X-Attr-user_id", "alice"}};
  const std::vector<HeaderLine> expected = {
      {"Host", "a.test"}, {"Cookie", "T=1"}, {"X-Attr-user_id", "alice"}};
  EXPECT_EQ(ChildHeaderSet(child, original), expected);
}

TEST(HeaderPolicyTest, ChildHeaderSetKeepsAddedHeadersWithUnderscores) {
  const std::vector<HeaderLine> child = {{"cv_attribute_list", "uid,mail"}, {"uid", "alice"}};
  EXPECT_EQ(ChildHeaderSet(child, {}), child);
}

TEST(HeaderPolicyTest, PathForMatchingReadsThePathAsABackendWould) {
  const std::pair<const char*, const char*> cases[] = {
      {"/app/secret.html", "/app/secret.html"},
      {"/app/", "/app/"},
      {"/", "/"},
      {"", ""},
      {"/app;jsessionid=1/secret.html", "/app/secret.html"},
      {"/app/secret.html;x=1", "/app/secret.html"},
      {"/public%2F..%2Fapp/secret.html", "/app/secret.html"},
      {"/app%2fsecret.html", "/app/secret.html"},
      {"/app\\secret.html", "/app/secret.html"},
      {"/app%5Csecret.html", "/app/secret.html"},
      {"//app//./secret.html", "/app/secret.html"},
      {"/../../app/x", "/app/x"},
      {"/app/x/..", "/app/"},
      {"/a/.;x/b", "/a/b"},
      {"/app/%2e%2e/x", "/app/%2e%2e/x"},  // Apache has already decoded and resolved real dots
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(PathForMatching(in), out) << in;
  }
}

TEST(HeaderPolicyTest, LocationsWithControlCharactersAreRefused) {
  const std::pair<std::string_view, bool> cases[] = {
      {"https://sso.test/login?TargetResource=http%3A%2F%2Fa.test%2F", true},
      {"/relative?x=\xc3\xa9", true},
      {"", false},
      {"https://sso.test/\r\nSet-Cookie: x=1", false},
      {"https://sso.test/\nX: 1", false},
      {std::string_view("https://a\0b", 11), false},
      {"https://a\tb", false},
  };
  for (const auto& [location, safe] : cases) {
    EXPECT_EQ(IsSafeLocation(location), safe) << location;
  }
}

TEST(HeaderPolicyTest, LogTextHasNoLineBreaks) {
  EXPECT_EQ(EscapeForLog("a\r\nb\\c"), "a\\x0d\\x0ab\\x5cc");
}

TEST(HeaderPolicyTest, AttributePrefixIsReadWithoutCaseAndWithUnderscoresAsDashes) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"Tarvex-subject", "Tarvex-", true},    {"tarvex-SUBJECT", "Tarvex-", true},
      {"Tarvex_subject", "Tarvex-", true},    {"TARVEX_", "Tarvex-", true},
      {"Tarvex-", "Tarvex_", true},           {"Tarvexsubject", "Tarvex-", false},
      {"X-Tarvex-subject", "Tarvex-", false}, {"Tarve", "Tarvex-", false},
      {"Tarvex-subject", "", false},          {"Host", "", false},
  };
  for (const auto& [name, prefix, expected] : cases) {
    EXPECT_EQ(CarriesAttributePrefix(name, prefix), expected) << name << " / " << prefix;
  }
}

TEST(HeaderPolicyTest, FramingHeadersAreAlwaysTheRequestsOwn) {
  const std::vector<HeaderLine> original = {
      {"Host", "a.test"}, {"Content-Length", "120"}, {"Transfer-Encoding", "chunked"}};
  // The set the gate built lost the framing, or carries an attribute named like it.
  const std::vector<HeaderLine> lines = {
      {"Host", "a.test"}, {"content-length", "0"}, {"X-Attr-uid", "alice"}};
  const std::vector<HeaderLine> expected = {{"Host", "a.test"},
                                            {"X-Attr-uid", "alice"},
                                            {"Content-Length", "120"},
                                            {"Transfer-Encoding", "chunked"}};
  EXPECT_EQ(KeepRequestFraming(lines, original), expected);
  EXPECT_EQ(KeepRequestFraming({{"Host", "a"}}, {{"Host", "a"}}),
            (std::vector<HeaderLine>{{"Host", "a"}}));
}

TEST(HeaderPolicyTest, ResponsesWithTheTokenCookieArePrivate) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"", "private"},
      {"max-age=600", "private, max-age=600"},
      {"public, max-age=600, s-maxage=3600", "private, max-age=600"},
      {"PUBLIC,no-cache", "private, no-cache"},
      {"no-store", std::nullopt},
      {"max-age=0, Private", std::nullopt},
      {"private=\"Set-Cookie\"", std::nullopt},
      {" , must-revalidate ,", "private, must-revalidate"},
  };
  for (const auto& [directives, expected] : cases) {
    EXPECT_EQ(PrivateCacheControl(directives), expected) << directives;
  }
}

}  // namespace
}  // namespace tokengate::apache
