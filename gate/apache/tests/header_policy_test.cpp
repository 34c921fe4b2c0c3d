#include "header_policy.h"

#include <gtest/gtest.h>

#include <set>
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

TEST(HeaderPolicyTest, ControlCharactersAnywhereInALongValueDropTheLine) {
  const std::string value(40, 'v');
  for (std::size_t at = 0; at < value.size(); ++at) {
    for (const char c : {'\r', '\0', '\x1f', '\x7f', '\x01'}) {
      std::string bad = value;
      bad[at] = c;
      const std::string block = "A: " + bad + "\r\nB: ok\r\n";
      EXPECT_EQ(ParseHeaderBlock(block), (std::vector<HeaderLine>{{"B", "ok"}}))
          << at << " " << int(c);
    }
    std::string tabbed = value;
    tabbed[at] = '\t';
    EXPECT_EQ(ParseHeaderBlock("A: x" + tabbed + "\r\n"),
              (std::vector<HeaderLine>{{"A", "x" + tabbed}}));
  }
  // Bytes above 0x7F are no control characters.
  EXPECT_EQ(ParseHeaderBlock("A: caf\xc3\xa9 \x80\xff\xfe long value\r\n").size(), 1u);
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

TEST(HeaderPolicyTest, NamesAlikeReadUnderscoreAsDashAndIgnoreCase) {
  const std::tuple<std::string_view, std::string_view, bool> cases[] = {
      {"X-Attr-Uid", "x_attr_UID", true},
      {"Host", "HOST", true},
      {"a-b", "a_b", true},
      {"a-b", "a-c", false},
      {"ab", "abc", false},
      {"", "", true},
      {"\xc3\x89", "\xc3\xa9", false},
      {"X_Y", "x_y", true},
      {"Z", "z_", false},
  };
  for (const auto& [a, b, alike] : cases) {
    EXPECT_EQ(NamesAlike(a, b), alike) << a << " " << b;
    EXPECT_EQ(NamesAlike(a, b), NormalisedHeaderName(a) == NormalisedHeaderName(b));
  }
}

// The header set rule stated plainly, over sets, for comparison with the host's own.
std::vector<HeaderLine> ReferenceChildHeaderSet(const std::vector<HeaderLine>& child,
                                                const std::vector<HeaderLine>& original) {
  const std::set<HeaderLine> fromRequest(original.begin(), original.end());
  std::set<std::string> added;
  for (const auto& line : child) {
    if (!fromRequest.contains(line)) {
      added.insert(NormalisedHeaderName(line.first));
    }
  }
  std::vector<HeaderLine> out;
  for (const auto& line : child) {
    if (fromRequest.contains(line) && (line.first.find('_') != std::string::npos ||
                                       added.contains(NormalisedHeaderName(line.first)))) {
      continue;
    }
    out.push_back(line);
  }
  return out;
}

TEST(HeaderPolicyTest, ChildHeaderSetAgreesWithTheRuleOnManyHeaders) {
  std::uint32_t seed = 99;
  const auto next = [&](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  const std::string names[] = {"Host", "host", "X-Uid", "x_uid", "X-UID", "Cookie", "A_b", "a-B"};
  const std::string values[] = {"1", "2", "", "mallory"};
  for (int round = 0; round < 300; ++round) {
    std::vector<HeaderLine> original, child;
    for (std::uint32_t i = next(150); i > 0; --i) {
      original.emplace_back(names[next(8)], values[next(4)]);
    }
    for (const auto& line : original) {
      if (next(4) != 0) {
        child.push_back(line);  // kept from the request
      }
    }
    // Added lines (or lines equal to a kept one): a few, or more than a scan is used for.
    for (std::uint32_t i = next(2) == 0 ? next(6) : 30 + next(20); i > 0; --i) {
      child.emplace_back(names[next(8)] + (next(3) == 0 ? std::to_string(next(40)) : ""),
                         values[next(4)]);
    }
    ASSERT_EQ(ChildHeaderSet(child, original), ReferenceChildHeaderSet(child, original)) << round;
  }
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

TEST(HeaderPolicyTest, ApachesDotRulesKeepParametersAndBackslashes) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/../b", "/b"},     {"/a/..;/b", "/a/..;/b"}, {"/a\\..\\b", "/a\\..\\b"},
      {"//a/./b/", "/a/b/"}, {"/a/b/..", "/a/"},       {"/a/b/.", "/a/b/"},
      {"/../../a", "/a"},    {"/a/...", "/a/..."},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(ResolveDotSegments(in), out) << in;
  }
}

TEST(HeaderPolicyTest, DecodingOnceAndFully) {
  struct Case {
    std::string_view in, once, fully;
  };
  const Case cases[] = {
      {"/a%2e%2E/b", "/a../b", "/a../b"},
      {"/%252e%252e/", "/%2e%2e/", "/../"},
      {"/%25252e", "/%252e", "/."},
      {"/%%32%65", "/%2e", "/."},
      {"/%00/%2500", "/%00/%00", "/%00/%00"},  // never a NUL
      {"/%c0%ae%C1%9C", "/\xc0\xae\xc1\x9c", "/.\\"},
      {"/%e0%80%ae", "/\xe0\x80\xae", "/."},
      {"/%EF%BC%8E%ef%bc%8e%EF%BC%BC", "/\xef\xbc\x8e\xef\xbc\x8e\xef\xbc\xbc", "/..\\"},
      {"/%EF%BD%9E%EF%BD%9F", "/\xef\xbd\x9e\xef\xbd\x9f", "/~\xef\xbd\x9f"},
      {"/%u002e%U005C", "/%u002e%U005C", "/.\\"},
      {"/%u0100%u0000", "/%u0100%u0000", "/%u0100%u0000"},
      {"/%zz%4/%", "/%zz%4/%", "/%zz%4/%"},
      {"/caf%C3%A9", "/caf\xc3\xa9", "/caf\xc3\xa9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeOnce(c.in), c.once) << c.in;
    EXPECT_EQ(DecodeFully(c.in), c.fully) << c.in;
  }
}

TEST(HeaderPolicyTest, RequestTargetPaths) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/a/b?x=1", "/a/b"},  {"/a#frag", "/a"}, {"http://h:80/a/b?x", "/a/b"}, {"https://h", "/"},
      {"http://h?x=/", "/"}, {"*", "*"},        {"/a?b://c/d", "/a"},          {"", ""},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(RequestTargetPath(in), out) << in;
  }
  EXPECT_EQ(RequestLineTarget("GET /a/b?x=1 HTTP/1.1"), "/a/b?x=1");
  EXPECT_EQ(RequestLineTarget("GET  /a HTTP/1.0"), "/a");
  EXPECT_EQ(RequestLineTarget("GET"), "");
}

// Every reading of a request path that Apache or a backend may act on, besides the "URL" one.
TEST(HeaderPolicyTest, OtherPathReadingsNameEveryDifferentReading) {
  struct Case {
    std::string_view uri, target, original;
    std::vector<std::string> readings;
  };
  const Case cases[] = {
      // Plain paths have a single reading.
      {"/app/page.html", "/app/page.html?x=1", "", {}},
      {"/", "/", "", {}},
      {"/app/x", "http://a.test/app/x?y", "", {}},
      {"/caf\xc3\xa9/", "/caf\xc3\xa9/", "", {}},
      // Apache runs the script with path info; a backend reads the path as "/".
      {"/app/run.cgi/..;/..;/", "/app/run.cgi/..;/..;/", "", {"/app/run.cgi/..;/..;/"}},
      {"/app/run.cgi/..;/..;/", "/app/run.cgi/..%3B/..%3b/", "", {"/app/run.cgi/..;/..;/"}},
      {"/app/run.cgi/..\\..\\", "/app/run.cgi/..%5C..\\", "", {"/app/run.cgi/..\\..\\"}},
      {"/proxied/..;/", "/proxied/..;/", "", {"/proxied/..;/"}},
      {"/app/run.cgi/x\\..\\..\\..\\error.html",
       "/app/run.cgi/x\\..\\..\\..\\error.html",
       "",
       {"/app/run.cgi/x\\..\\..\\..\\error.html"}},
      // Decoded again by a backend.
      {"/public/%2e%2e/app/x", "/public/%252e%252e/app/x", "", {"/app/x"}},
      {"/public/%u002e%u002e/app/", "/public/%25u002e%25u002e/app/", "", {"/app/"}},
      {"/public/\xc0\xae\xc0\xae/app/", "/public/%c0%ae%c0%ae/app/", "", {"/app/"}},
      {"/public/\xef\xbc\x8e\xef\xbc\x8e/app/", "/public/%ef%bc%8e%ef%bc%8e/app/", "", {"/app/"}},
      // The request-target as the client sent it: rewritten by Apache, or read raw by a router.
      {"/public/x", "/app/legacy/x", "", {"/app/legacy/x"}},
      {"/public/x", "/app/%2e%2e/public/x", "", {"/app/../public/x"}},
      {"/public/x", "/app/..%2Fpublic/x", "", {"/app/../public/x"}},
      // An ErrorDocument for a request the gate never judged.
      {"/error.html", "/error.html", "GET /app/x%2f HTTP/1.1", {"/app/x/"}},
      {"/error.html", "/error.html", "GET /error.html HTTP/1.1", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OtherPathReadings(c.uri, c.target, RequestLineTarget(c.original)), c.readings)
        << c.uri << " " << c.target;
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

}  // namespace
}  // namespace tokengate::apache
