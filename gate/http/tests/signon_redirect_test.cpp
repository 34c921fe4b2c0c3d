#include "tokengate/gate/signon_redirect.h"

#include <gtest/gtest.h>

#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::TestHost;
using testing::TestRequest;

TEST(FormEncode, KeepsUnreservedEscapesTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"http://a.test/a_b-c.d~e", "http://a.test/a_b-c.d~e"},
      {"!'()*", "!'()*"},
      {"?&=%+#;", "%3f%26%3d%25%2b%23%3b"},
      {"a b\tc", "a+b%09c"},
      {"\xe9\x7f\x01", "%e9%7f%01"},
      {std::string("\0", 1), "%00"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(FormEncode(in), out);
  }
}

struct RedirectCase {
  const char* what;
  TestRequest request;
  std::u16string scheme, host, port;
  std::string location;
};

TEST(RedirectToSignOn, ComposesTheEncodedTarget) {
  const RedirectCase cases[] = {
      {"plain",
       {.url = "/a/b", .query = "x=1&y=2", .host = "app.example.test"},
       u"",
       u"",
       u"",
       "https://sso.example.test/signon?TargetResource=http://app.example.test/a/"
       "b%3fx%3d1%26y%3d2"},
      {"https on, port kept",
       {.url = "/", .https = true, .host = "app.example.test:8443"},
       u"",
       u"",
       u"",
       "https://sso.example.test/signon?TargetResource=https://app.example.test:8443/"},
      {"HTTPS compared without case",
       {.url = "/", .https = false, .host = "h"},
       u"",
       u"",
       u"",
       "https://sso.example.test/signon?TargetResource=https://h/"},
      {"port override",
       {.url = "/", .host = "app.example.test:8443"},
       u"",
       u"",
       u"443",
       "https://sso.example.test/signon?TargetResource=http://app.example.test:443/"},
      {"host override keeps the request port",
       {.url = "/", .host = "app.example.test:8443"},
       u"",
       u"public.example.test",
       u"",
       "https://sso.example.test/signon?TargetResource=http://public.example.test:8443/"},
      {"scheme override",
       {.url = "/", .https = false, .host = "h"},
       u"https",
       u"",
       u"",
       "https://sso.example.test/signon?TargetResource=https://h/"},
      {"PATH_INFO is the path",
       {.url = "/ignored", .host = "h", .path_info = "/a b\t\xc3\xa9"},
       u"",
       u"",
       u"",
       "https://sso.example.test/signon?TargetResource=http://h/a+b%09%c3%a9"},
      {"IPv6 host split at its first colon",
       {.url = "/", .host = "[::1]:8080"},
       u"",
       u"",
       u"",
       "https://sso.example.test/signon?TargetResource=http://%5b::1%5d:8080/"},
  };
  for (const RedirectCase& c : cases) {
    TestHost host(c.request);
    if (std::string_view(c.what) == "HTTPS compared without case") {
      host.SetVariable("HTTPS", "ON");
    }
    GateSettings settings;
    settings.SSOUrl = u"https://sso.example.test/signon";
    settings.ApplicationScheme = c.scheme;
    settings.ApplicationHost = c.host;
    settings.ApplicationPort = c.port;
    EXPECT_EQ(RedirectToSignOn(host, settings, host.Log()), 1u) << c.what;
    EXPECT_EQ(host.redirects, std::vector<std::string>{c.location}) << c.what;
    EXPECT_TRUE(host.Events().empty()) << c.what;
  }
}

TEST(RedirectToSignOn, SeparatorAndIwaRelativeLocation) {
  const std::tuple<std::u16string, bool, std::string> cases[] = {
      {u"https://sso.example.test/signon?realm=a", false,
       "https://sso.example.test/signon?realm=a&TargetResource=http://h/p"},
      {u"", true, "?TargetResource=http://h/p"},
  };
  for (const auto& [sso, iwa, location] : cases) {
    TestHost host(TestRequest{.url = "/p", .host = "h"});
    GateSettings settings;
    settings.SSOUrl = sso;
    settings.EnableIWA = iwa;
    EXPECT_EQ(RedirectToSignOn(host, settings, host.Log()), 1u);
    EXPECT_EQ(host.redirects, std::vector<std::string>{location});
  }
}

TEST(RedirectToSignOn, MissingSsoUrlIsAnErrorResponse) {
  TestHost host(TestRequest{.url = "/p"});
  EXPECT_EQ(RedirectToSignOn(host, GateSettings{}, host.Log()), 4u);
  EXPECT_TRUE(host.redirects.empty());
  EXPECT_EQ(host.status_code, 500u);
  EXPECT_EQ(host.page, BuildErrorPage("SSOUrl must be set in the ISAPI configuration file"));
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].type, EventType::Error);
  EXPECT_EQ(host.Events()[0].text, u"SSOUrl must be set in the ISAPI configuration file");
}

TEST(RedirectToSignOn, UnreadableVariablesCountAsEmpty) {
  TestHost host(TestRequest{.url = "/p", .host = "h"});
  host.FailVariable("HTTP_HOST", VariableError::Other, 6);
  GateSettings settings;
  settings.SSOUrl = u"https://sso.test/";
  EXPECT_EQ(RedirectToSignOn(host, settings, host.Log()), 1u);
  EXPECT_EQ(host.redirects, std::vector<std::string>{"https://sso.test/?TargetResource=http:///p"});
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].text, u"HTTP_HOST could not be obtained from request 6");
}

TEST(RedirectToSignOn, ScriptRequestsGet401WithTheSignOnUrl) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> headers;
    bool script;
  };
  const Case cases[] = {
      {"browser navigation", {{"Sec-Fetch-Mode", "navigate"}, {"Accept", "text/html,*/*"}}, false},
      {"plain client", {}, false},
      {"XMLHttpRequest", {{"X-Requested-With", "xmlhttprequest"}}, true},
      {"fetch()", {{"Sec-Fetch-Mode", "cors"}}, true},
      {"no-cors fetch", {{"Sec-Fetch-Mode", "no-cors"}, {"Accept", "*/*"}}, true},
      {"asks for JSON", {{"Accept", "application/json"}}, true},
      {"asks for a JSON type", {{"Accept", "application/problem+json, */*;q=0.1"}}, true},
      {"JSON and HTML", {{"Accept", "text/html, application/json"}}, false},
      {"other X-Requested-With", {{"X-Requested-With", "com.example.app"}}, false},
  };
  for (const Case& c : cases) {
    GateSettings settings;
    settings.SSOUrl = u"https://sso.example.test/signon";
    TestHost host(TestRequest{.url = "/app/data", .headers = c.headers});
    EXPECT_EQ(IsScriptRequest(host), c.script) << c.what;
    EXPECT_EQ(RedirectToSignOn(host, settings, host.Log()), 1u) << c.what;
    const std::string location =
        "https://sso.example.test/signon?TargetResource=http://app.example.test/app/data";
    if (!c.script) {
      EXPECT_EQ(host.redirects, std::vector<std::string>{location}) << c.what;
      EXPECT_TRUE(host.Events().empty());
      continue;
    }
    EXPECT_TRUE(host.redirects.empty()) << c.what;
    EXPECT_EQ(host.status_code, 401u);
    EXPECT_EQ(host.content_type, "application/json");
    EXPECT_EQ(host.response_headers, "WWW-Authenticate: Tessera signon=\"" + location +
                                         "\"\r\nCache-Control: no-store\r\n");
    EXPECT_EQ(host.page, "{\"error\":\"unauthenticated\",\"signOnUrl\":\"" + location + "\"}\n");
    ASSERT_EQ(host.Events().size(), 1u);
    EXPECT_EQ(host.Events()[0].type, EventType::Information);
    EXPECT_EQ(host.Events()[0].text, kScriptAnswered);
  }
}

TEST(RedirectToSignOn, ScriptAnswerCanBeTurnedOffAndFallsBackToTheRedirect) {
  const TestRequest fetch{.url = "/app/", .headers = {{"Sec-Fetch-Mode", "cors"}}};
  GateSettings settings;
  settings.SSOUrl = u"https://sso.example.test/\"x\\y\u00e9";
  {
    TestHost host(fetch);
    EXPECT_EQ(RedirectToSignOn(host, settings, host.Log()), 1u);
    // Quotes and backslashes escaped in both places; the byte above 0x7F as a JSON escape.
    EXPECT_NE(host.response_headers.find("signon=\"https://sso.example.test/\\\"x\\\\y\xe9?"),
              std::string::npos)
        << host.response_headers;
    EXPECT_NE(host.page.find("\"signOnUrl\":\"https://sso.example.test/\\\"x\\\\y\\u00e9?"),
              std::string::npos)
        << host.page;
  }
  settings.ScriptUnauthenticated = u"Redirect";
  TestHost off(fetch);
  EXPECT_EQ(RedirectToSignOn(off, settings, off.Log()), 1u);
  EXPECT_EQ(off.redirects.size(), 1u);
  EXPECT_FALSE(off.status_code.has_value());

  settings.ScriptUnauthenticated = u"401";
  TestHost unable(fetch);
  unable.refuse_send_response = true;
  EXPECT_EQ(RedirectToSignOn(unable, settings, unable.Log()), 1u);
  EXPECT_EQ(unable.redirects.size(), 1u);
  EXPECT_TRUE(unable.Events().empty());
}

TEST(RedirectToLogout, AppendsTheTargetUnencoded) {
  TestHost host(TestRequest{
      .url = "/a/b", .query = "x=1&y=2", .host = "app.example.test", .path_info = "/other"});
  GateSettings settings;
  settings.SLOUrl = u"https://sso.example.test/logout";
  EXPECT_EQ(RedirectToLogout(host, settings, host.Log()), 1u);
  EXPECT_EQ(
      host.redirects,
      std::vector<std::string>{
          "https://sso.example.test/logout?TargetResource=http://app.example.test/a/b?x=1&y=2"});
}

TEST(RedirectToLogout, LineBreakFromTheRequestIsRefused) {
  // The path is the decoded URL, so "%0d%0a" in a request arrives here as CR LF.
  TestHost host(TestRequest{.url = "/a\r\nSet-Cookie: x=1", .host = "h"});
  GateSettings settings;
  settings.SLOUrl = u"https://sso.example.test/logout";
  EXPECT_EQ(RedirectToLogout(host, settings, host.Log()), 4u);
  EXPECT_TRUE(host.redirects.empty());
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].text, kRedirectRefused);
  EXPECT_EQ(host.status_code, 500u);
}

}  // namespace
}  // namespace tokengate::gate
