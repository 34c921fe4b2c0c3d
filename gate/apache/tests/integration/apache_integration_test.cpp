// TokenGate in a private Apache: every route of the request handler reachable over HTTP, and the
// security properties of the Apache host. The site (broker, proxy echo backend, Apache with the
// module) is started once for the whole program by the harness script.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"
#include "private_site.h"

namespace tokengate::apache::testing {
namespace {

constexpr char kProtected[] = "PROTECTED-CONTENT";

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}
constexpr char kCookie[] = "TesseraToken";

class ApacheGateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = Site::SkipReason(); !reason.empty()) {
      GTEST_SKIP() << reason;
    }
    site_ = Site::Instance();
    ASSERT_NE(site_, nullptr) << "the private site did not start";
  }

  HttpResponse GetWithToken(const std::string& target, const std::string& token,
                            std::vector<std::string> extra = {}) const {
    extra.push_back(std::string("Cookie: ") + kCookie + "=" + token);
    return Get(site_->port, target, extra);
  }

  std::string SignOnPrefix() const {
    return "http://127.0.0.1:" + std::to_string(site_->port) + "/signon/login.cgi?TargetResource=";
  }

  Site* site_ = nullptr;
};

TEST_F(ApacheGateTest, RequestWithoutTokenIsSentToSignOn) {
  const HttpResponse r = Get(site_->port, "/app/static.html?a=1&b=2");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.Header("location").value_or(""),
            SignOnPrefix() + "http://127.0.0.1:" + std::to_string(site_->port) +
                "/app/static.html%3fa%3d1%26b%3d2");
  EXPECT_EQ(r.body.find(kProtected), std::string::npos);
}

TEST_F(ApacheGateTest, UnprotectedPageIsServedAsIs) {
  const HttpResponse r = Get(site_->port, "/public/");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("Public page"), std::string::npos);
  EXPECT_TRUE(r.Headers("set-cookie").empty());
}

TEST_F(ApacheGateTest, ValidTokenReachesTheApplicationWithAttributeHeaders) {
  const std::string token = site_->Token("subject=alice mail=alice@example.test");
  ASSERT_FALSE(token.empty());
  const HttpResponse r = GetWithToken("/app/", token);
  ASSERT_EQ(r.status, 200) << r.raw_headers << r.body;
  EXPECT_NE(r.body.find("<th>Tarvex-Subject</th><td>alice</td>"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("alice@example.test"), std::string::npos);
  // The token cookie is written again with the (possibly renewed) token.
  const auto cookies = r.Headers("set-cookie");
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_TRUE(cookies[0].starts_with(std::string(kCookie) + "=")) << cookies[0];
  EXPECT_NE(cookies[0].find("; path=/"), std::string::npos);
}

TEST_F(ApacheGateTest, StaticAndProxiedContentNeedTheToken) {
  const std::string token = site_->Token("subject=alice");
  const HttpResponse page = GetWithToken("/app/static.html", token);
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find(kProtected), std::string::npos);
  const HttpResponse proxied = GetWithToken("/proxied/x", token);
  EXPECT_EQ(proxied.status, 200);
  EXPECT_NE(proxied.body.find("Tarvex-subject: alice"), std::string::npos) << proxied.body;
  EXPECT_EQ(Get(site_->port, "/proxied/x").status, 302);
}

// Client-sent look-alikes of attribute headers, in every spelling a backend could confuse with
// the gate's own, never reach the application: not a CGI program, not a proxied backend.
TEST_F(ApacheGateTest, ClientAttributeHeadersNeverReachTheApplication) {
  const std::string token = site_->Token("subject=alice");
  const std::vector<std::string> forged = {
      "Tarvex-Subject: mallory1", "tarvex-subject: mallory2", "Tarvex_Subject: mallory3",
      "TARVEX_SUBJECT: mallory4", "Tarvex-Role: mallory5",    "Tarvex_Role: mallory6",
  };
  for (const std::string& target : {std::string("/app/"), std::string("/proxied/x")}) {
    const HttpResponse r = GetWithToken(target, token, forged);
    ASSERT_EQ(r.status, 200) << target;
    EXPECT_EQ(r.body.find("mallory"), std::string::npos) << target << "\n" << r.body;
    EXPECT_NE(r.body.find("alice"), std::string::npos) << target;
  }
}

TEST_F(ApacheGateTest, ClientContextHeaderNeverResolves) {
  const std::string token = site_->Token("subject=alice");
  const HttpResponse r =
      GetWithToken("/proxied/x", token, {"TarvexAuth-Context: 00000001", "TarvexAuth_Context: 2"});
  ASSERT_EQ(r.status, 200);
  std::size_t count = 0;
  for (std::size_t at = r.body.find("Tarvexauth-Context"); at != std::string::npos;
       at = r.body.find("Tarvexauth-Context", at + 1)) {
    ++count;
  }
  for (std::size_t at = r.body.find("TarvexAuth-Context"); at != std::string::npos;
       at = r.body.find("TarvexAuth-Context", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u) << r.body;
  EXPECT_EQ(r.body.find("TarvexAuth-Context: 00000001"), std::string::npos);
  EXPECT_EQ(r.body.find("TarvexAuth_Context"), std::string::npos);
}

// The token cookie the gate writes keeps scripts out, and a response carrying it is never stored
// by a shared cache; an application's stricter policy stays.
TEST_F(ApacheGateTest, TokenCookieIsHttpOnlyAndItsResponsesArePrivate) {
  const std::string token = site_->Token("subject=alice");
  const HttpResponse page = GetWithToken("/app/static.html", token);
  ASSERT_EQ(page.status, 200);
  ASSERT_EQ(page.Headers("set-cookie").size(), 1u);
  EXPECT_TRUE(page.Headers("set-cookie")[0].ends_with("; path=/; HttpOnly"))
      << page.Headers("set-cookie")[0];
  EXPECT_EQ(page.Headers("cache-control"), std::vector<std::string>{"private"});

  // The CGI says no-store itself.
  const HttpResponse cgi = GetWithToken("/app/", token);
  ASSERT_EQ(cgi.status, 200);
  EXPECT_EQ(cgi.Headers("cache-control"), std::vector<std::string>{"no-store"});

  // A redirect that clears the cookie is private too.
  const HttpResponse expired = GetWithToken("/app/static.html", site_->ExpiredToken());
  EXPECT_EQ(expired.status, 302);
  ASSERT_EQ(expired.Headers("set-cookie").size(), 1u);
  EXPECT_EQ(expired.Headers("cache-control"), std::vector<std::string>{"private"});

  // Without the gate's cookie nothing is added.
  EXPECT_TRUE(Get(site_->port, "/public/").Headers("cache-control").empty());
}

// The body framing Apache read the request by is the one the application gets: a chunked body
// reaches the backend whole and the next request on the connection is answered as itself.
TEST_F(ApacheGateTest, ChunkedBodyKeepsItsFramingThroughTheGate) {
  const std::string token = site_->Token("subject=alice");
  std::string request = "POST /proxied/chunked HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  request += std::string("Cookie: ") + kCookie + "=" + token + "\r\n";
  request += "Content-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n";
  request += "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n";
  request += "GET /public/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  const HttpResponse r = Send(site_->port, request);
  ASSERT_EQ(r.status, 200) << r.raw_headers;
  EXPECT_NE(r.body.find("Tarvex-subject: alice"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("hello world"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Public page"), std::string::npos) << r.body;
}

// A script's request that would go to sign-on gets 401 with the sign-on URL; a browser's
// navigation still gets the redirect.
TEST_F(ApacheGateTest, ScriptsGet401AndNavigationsTheRedirect) {
  const std::string signOn =
      SignOnPrefix() + "http://127.0.0.1:" + std::to_string(site_->port) + "/app/static.html";
  const std::vector<std::string> script[] = {
      {"X-Requested-With: XMLHttpRequest"},
      {"Sec-Fetch-Mode: cors", "Accept: */*"},
      {"Accept: application/json"},
  };
  for (const auto& headers : script) {
    const HttpResponse r = Get(site_->port, "/app/static.html", headers);
    EXPECT_EQ(r.status, 401) << headers[0];
    EXPECT_EQ(r.Header("www-authenticate").value_or(""), "Tessera signon=\"" + signOn + "\"");
    EXPECT_EQ(r.Header("cache-control").value_or(""), "no-store");
    EXPECT_EQ(r.Header("content-type").value_or(""), "application/json");
    EXPECT_EQ(r.body, "{\"error\":\"unauthenticated\",\"signOnUrl\":\"" + signOn + "\"}\n");
  }
  const HttpResponse navigation =
      Get(site_->port, "/app/static.html", {"Sec-Fetch-Mode: navigate", "Accept: text/html,*/*"});
  EXPECT_EQ(navigation.status, 302);
  EXPECT_EQ(navigation.Header("location").value_or(""), signOn);

  // An ended session: the cookie is still cleared.
  const HttpResponse expired =
      GetWithToken("/app/static.html", site_->ExpiredToken(), {"Sec-Fetch-Mode: cors"});
  EXPECT_EQ(expired.status, 401);
  ASSERT_EQ(expired.Headers("set-cookie").size(), 1u);
  EXPECT_TRUE(expired.Headers("set-cookie")[0].starts_with(std::string(kCookie) + "=; expires="));
  EXPECT_NE(site_->ErrorLog().find("Script request answered with 401 and the sign-on URL"),
            std::string::npos);
}

// The token's user is Apache's user: REMOTE_USER and AUTH_TYPE for CGI, %u in the access log.
TEST_F(ApacheGateTest, TokenUserIsTheRequestsUser) {
  const HttpResponse r = GetWithToken("/app/whoami.cgi", site_->Token("subject=carol mail=c@x"));
  ASSERT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("REMOTE_USER=carol\n"), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("AUTH_TYPE=Corvane Tessera\n"), std::string::npos) << r.body;
  // Through an internal redirect (the directory index) too.
  const HttpResponse index = GetWithToken("/app/any/", site_->Token("subject=carol"));
  EXPECT_NE(index.body.find("REMOTE_USER=carol\n"), std::string::npos) << index.body;
  // A token without the attribute leaves the user unset; a client header cannot set it.
  const HttpResponse none = GetWithToken("/app/whoami.cgi", site_->Token("mail=c@x"),
                                         {"Tarvex-subject: mallory", "Authorization: Basic eDp4"});
  ASSERT_EQ(none.status, 200);
  EXPECT_NE(none.body.find("REMOTE_USER=\n"), std::string::npos) << none.body;
  std::string log;
  for (int i = 0; i < 50 && log.find(" carol \"GET /app/whoami.cgi") == std::string::npos; ++i) {
    ::usleep(100'000);
    std::ostringstream read;
    read << std::ifstream(site_->Work() + "/httpd/access.log").rdbuf();
    log = read.str();
  }
  EXPECT_NE(log.find("127.0.0.1 carol \"GET /app/whoami.cgi HTTP/1.1\" 200"), std::string::npos)
      << log;
}

// Require rules on the token's attributes and user, as Apache administrators write them.
TEST_F(ApacheGateTest, RequireRulesDecideOnTheTokensAttributes) {
  struct Case {
    const char* path;
    const char* attributes;  // empty: no token
    std::vector<std::string> headers;
    int status;
  };
  const Case cases[] = {
      {"/app/admin/", "subject=alice role=admin", {}, 200},
      {"/app/admin/", "subject=bob role=staff", {}, 403},
      {"/app/admin/", "subject=bob role=staff role=admin", {}, 200},  // any of several values
      {"/app/admin/", "subject=bob role=Admin", {}, 403},             // exact comparison
      {"/app/admin/", "subject=bob role=staff", {"Tarvex-role: admin"}, 403},
      {"/app/staff/", "subject=bob role=staff", {}, 200},
      {"/app/staff/", "subject=bob role=admin", {}, 200},
      {"/app/staff/", "subject=bob role=staff status=suspended", {}, 403},
      {"/app/staff/", "subject=bob role=guest", {}, 403},
      {"/app/alice/", "subject=alice", {}, 200},
      {"/app/alice/", "subject=bob", {}, 403},
      {"/app/any/", "subject=bob", {}, 200},
      {"/app/admin/", "", {}, 302},  // protected: sign-on first
      {"/public/members/", "", {}, 403},
      {"/public/members/", "", {"Tarvex-role: staff", "Tarvex-subject: x"}, 403},
  };
  for (const Case& c : cases) {
    std::vector<std::string> headers = c.headers;
    if (*c.attributes != '\0') {
      headers.push_back(std::string("Cookie: ") + kCookie + "=" + site_->Token(c.attributes));
    }
    const HttpResponse r = Get(site_->port, c.path, headers);
    EXPECT_EQ(r.status, c.status) << c.path << " " << c.attributes;
    // A denied user never reaches the program behind the rule.
    EXPECT_EQ(r.body.find("AUTH_TYPE="),
              c.status == 200 ? r.body.find("AUTH_TYPE=") : std::string::npos)
        << c.path << " " << c.attributes;
  }
  EXPECT_NE(site_->ErrorLog().find("user bob denied by Require tokengate-attribute role admin"),
            std::string::npos);
}

// StripTokenCookie=YES: the backend never sees the session token; other cookies stay as sent.
TEST_F(ApacheGateTest, StripTokenCookieHidesTheTokenFromTheBackend) {
  const std::string conf = site_->Value("GATE_CONF");
  std::ofstream(conf, std::ios::app) << "StripTokenCookie=YES\n";
  ASSERT_EQ(Get(site_->port, "/x?cmd=reload").status, 200);
  const std::string token = site_->Token("subject=alice");
  const HttpResponse r = Get(site_->port, "/proxied/x",
                             {"Cookie: a=1; " + std::string(kCookie) + "=" + token + ";b=\"2\""});
  ASSERT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("Cookie: a=1;b=\"2\"\n"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find(token), std::string::npos) << r.body;
  EXPECT_NE(r.body.find("Tarvex-subject: alice"), std::string::npos);
  ASSERT_EQ(site_->Harness("reconf"), 0);
  ASSERT_EQ(Get(site_->port, "/x?cmd=reload").status, 200);
  const HttpResponse kept =
      Get(site_->port, "/proxied/x", {"Cookie: a=1; " + std::string(kCookie) + "=" + token});
  EXPECT_NE(kept.body.find(token), std::string::npos);
}

TEST_F(ApacheGateTest, PathTricksCannotReachProtectedContentWithoutToken) {
  const char* const targets[] = {
      "/app/../app/static.html",
      "/public/../app/static.html",
      "/%61pp/static.html",
      "/app/%2e%2e/app/static.html",
      "/public/%2e%2e/app/static.html",
      "//app/static.html",
      "/./app/static.html",
      "/APP/static.html",
      "/App/Static.html",
      "/app;x=1/static.html",
      "/app/static.html;x=1",
      "/app%2fstatic.html",
      "/app\\static.html",
      "/public%2F..%2Fapp/static.html",
  };
  for (const char* target : targets) {
    const HttpResponse r = Get(site_->port, target);
    EXPECT_EQ(r.body.find(kProtected), std::string::npos) << target << " gave " << r.status;
    EXPECT_NE(r.status, 200) << target;
  }
  // A public page that includes a protected one (a sub-request): the page is served, the
  // protected part is not.
  const HttpResponse include = Get(site_->port, "/public/include.shtml");
  EXPECT_EQ(include.status, 200);
  EXPECT_EQ(include.body.find(kProtected), std::string::npos);
}

TEST_F(ApacheGateTest, RequestDataIsNeverInjectedIntoResponseHeaders) {
  const char* const targets[] = {
      "/app/x?%0d%0aSet-Cookie:%20evil=1",
      "/app/%0d%0aX-Evil:%201",
      "/logout?resume=%0d%0aSet-Cookie:%20evil=1",
  };
  for (const char* target : targets) {
    const HttpResponse r = GetWithToken(target, site_->Token("subject=alice"));
    EXPECT_EQ(r.raw_headers.find("evil"), std::string::npos) << target << "\n" << r.raw_headers;
    EXPECT_EQ(r.raw_headers.find("X-Evil"), std::string::npos) << target;
  }
  const HttpResponse hostile = Get(site_->port, "/app/", {"X-Note: <script>alert(1)</script>"});
  EXPECT_EQ(hostile.body.find("<script>"), std::string::npos);
}

TEST_F(ApacheGateTest, ErrorPageIsPassedOnInAnyLetterCase) {
  EXPECT_EQ(Get(site_->port, "/error.html").status, 200);
  EXPECT_EQ(Get(site_->port, "/error.html?x=1").status, 200);
  // Passed on unchanged: Apache answers for a file that does not exist, the gate does not redirect.
  EXPECT_EQ(Get(site_->port, "/ERROR.HTML").status, 404);
}

TEST_F(ApacheGateTest, ExpiredMarkerAndExpiredTokenGoToSignOn) {
  const HttpResponse marker = GetWithToken("/app/", "EXPIRED");
  EXPECT_EQ(marker.status, 302);
  EXPECT_TRUE(marker.Header("location").value_or("").starts_with(SignOnPrefix()));
  EXPECT_TRUE(marker.Headers("set-cookie").empty());

  const HttpResponse expired = GetWithToken("/app/", site_->ExpiredToken());
  EXPECT_EQ(expired.status, 302) << expired.body;
  EXPECT_TRUE(expired.Header("location").value_or("").starts_with(SignOnPrefix()));
  const auto cookies = expired.Headers("set-cookie");
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_EQ(cookies[0],
            std::string(kCookie) + "=; expires=Thu, 01 Jan 1970 00:00:00 GMT; path=/; HttpOnly");
}

TEST_F(ApacheGateTest, InvalidTokenIsRefusedWithTheBrokerMessage) {
  const HttpResponse r = GetWithToken("/app/", "not-a-token");
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(r.body.find("Could not obtain attributes from Tessera"), std::string::npos) << r.body;
  EXPECT_EQ(r.body.find(kProtected), std::string::npos);
}

TEST_F(ApacheGateTest, CancelWithResumeClearsTheCookieAndRedirects) {
  const HttpResponse r = GetWithToken("/logout?resume=/logout.html", site_->Token("subject=alice"));
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.Header("location").value_or(""),
            "http://127.0.0.1:" + std::to_string(site_->port) + "/signon/logout.html");
  const auto cookies = r.Headers("set-cookie");
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_NE(cookies[0].find("expires=Thu, 01 Jan 1970 00:00:00 GMT"), std::string::npos);
}

TEST_F(ApacheGateTest, CancelWithoutResumePassesOn) {
  // Without a token: passed on unchanged (no such file, so Apache's own 404).
  const HttpResponse plain = Get(site_->port, "/logout");
  EXPECT_EQ(plain.status, 404);
  EXPECT_TRUE(plain.Headers("set-cookie").empty());
  // With a token and no single-logout URL: the cookie is cleared and the request passed on.
  const HttpResponse withToken = GetWithToken("/logout", site_->Token("subject=alice"));
  EXPECT_EQ(withToken.status, 404);
  ASSERT_EQ(withToken.Headers("set-cookie").size(), 1u);
  EXPECT_NE(withToken.Headers("set-cookie")[0].find("1970"), std::string::npos);
}

TEST_F(ApacheGateTest, ReloadUrlAnswersWithTheInfoPage) {
  const HttpResponse r = Get(site_->port, "/anything?cmd=reload");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.Header("content-type").value_or("").find("text/html"), std::string::npos);
  EXPECT_NE(site_->ErrorLog().find("ISAPI Configuration successfully reloaded"), std::string::npos);
}

TEST_F(ApacheGateTest, BrokerStoppedAndRestartedUnderRunningApache) {
  const std::string token = site_->Token("subject=alice");
  ASSERT_EQ(site_->Harness("broker-stop"), 0);
  const HttpResponse down = GetWithToken("/app/static.html", token);
  EXPECT_EQ(down.status, 500);
  EXPECT_NE(down.body.find("please make sure the LogonBroker has been started."),
            std::string::npos);
  EXPECT_EQ(down.body.find(kProtected), std::string::npos);
  ASSERT_EQ(site_->Harness("broker-start"), 0);
  const HttpResponse up = GetWithToken("/app/static.html", token);
  EXPECT_EQ(up.status, 200);
  EXPECT_NE(up.body.find(kProtected), std::string::npos);
}

TEST_F(ApacheGateTest, ErrorUrlTakesOverErrorResponses) {
  ASSERT_EQ(site_->Harness("reconf", "TG_ERROR_URL=/error.html"), 0);
  ASSERT_EQ(Get(site_->port, "/?cmd=reload").status, 200);
  const HttpResponse r = GetWithToken("/app/", "not-a-token");
  ASSERT_EQ(site_->Harness("reconf"), 0);
  ASSERT_EQ(Get(site_->port, "/?cmd=reload").status, 200);
  EXPECT_EQ(r.status, 302);
  const std::string location = r.Header("location").value_or("");
  EXPECT_TRUE(location.starts_with("/error.html?ErrorMessage=")) << location;
}

// Requests keep being answered, each from one consistent configuration, while the configuration
// is reloaded again and again.
TEST_F(ApacheGateTest, ConfigurationReloadWhileRequestsRun) {
  const std::string token = site_->Token("subject=alice");
  std::atomic<int> failures{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&] {
      while (!stop) {
        const HttpResponse r = GetWithToken("/app/static.html", token);
        if (r.status != 200 || r.body.find(kProtected) == std::string::npos) {
          ++failures;
        }
      }
    });
  }
  int reloads = 0;
  for (int i = 0; i < 10; ++i) {
    const std::string window = "TG_UPDATE_WINDOW=" + std::to_string(5 + i % 2);
    ASSERT_EQ(site_->Harness("reconf", window), 0);
    reloads += Get(site_->port, "/x?cmd=reload").status == 200 ? 1 : 0;
  }
  stop = true;
  for (auto& t : clients) {
    t.join();
  }
  EXPECT_EQ(reloads, 10);
  EXPECT_EQ(failures.load(), 0);
}

// A token posted as a form field is found, and the backend still receives the whole body.
TEST_F(ApacheGateTest, TokenInFormBodyIsFoundAndTheBodyStillReachesTheBackend) {
  const std::string body = "a=1&" + std::string(kCookie) + "=" + site_->Token("subject=alice") +
                           "&tail=" + std::string(70000, 'x');
  const std::string request =
      "POST /proxied/form HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(site_->port) +
      "\r\nConnection: close\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  const HttpResponse r = Send(site_->port, request);
  ASSERT_EQ(r.status, 200) << r.raw_headers;
  EXPECT_NE(r.body.find("Tarvex-subject: alice"), std::string::npos);
  EXPECT_TRUE(r.body.ends_with("\n\n" + body)) << r.body.substr(0, 400);
}

TEST_F(ApacheGateTest, HostWithTokenGateOffIsNotTouched) {
  const HttpResponse r = Get(site_->offPort, "/app/static.html");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find(kProtected), std::string::npos);
}

// Attack paths for every kind of handler the site has: a script that takes path info, static
// files, a proxied application, an Alias, a rewrite passed through to the script, and the error
// document (a router that reads the request-target as sent). Each must end in the sign-on redirect
// or in Apache's own refusal, never in protected content, and the spoofed identity header never
// reaches anything.
const char* const kPathAttacks[] = {
    // script with path info
    "/app/index.cgi/..;/..;/",
    "/app/index.cgi/..%3B/..%3b/",
    "/app/index.cgi/..\\..\\",
    "/app/index.cgi/..%5C..%5c",
    "/app/index.cgi/%2e%2e;x/%2e%2e;x/",
    "/app/index.cgi/%252e%252e/%252e%252e/",
    "/app/index.cgi/%252e%252e%253b/",
    "/app/index.cgi/%c0%ae%c0%ae/",
    // ... aimed at the error page exemption and the cancel pass-through
    "/app/index.cgi/x\\..\\..\\..\\error.html",
    "/app/index.cgi/x%5C..%5C..%5C..%5Cerror.html",
    "/app/index.cgi/..;/..;/error.html",
    "/app/index.cgi/..;/..;/logout",
    "/app/index.cgi/x\\..\\..\\..\\logout",
    "/app/index.cgi/..%3B/..%3B/logout?resume=/logout.html",
    // static files
    "/app/static.html;x",
    "/app;x/static.html",
    "/app/static.html/..;/",
    "/app/x\\..\\static.html",
    "/public/..;/app/static.html",
    "/public/..%5Capp/static.html",
    "/public/%252e%252e/app/static.html",
    "/public/%EF%BC%8E%EF%BC%8E/app/static.html",
    // proxied application
    "/proxied/..;/",
    "/proxied/..;/x",
    "/proxied/%2e%2e;/",
    "/proxied/..%5C",
    "/proxied/..%3B/",
    "/proxied/%252e%252e/",
    "/proxied/x\\..\\..\\error.html",
    "/proxied/..;/..;/logout",
    // Alias
    "/aliased/static.html",
    "/aliased/..;/app/static.html",
    "/aliased/static.html;x",
    "/aliased/x\\..\\..\\error.html",
    // rewrite [PT] onto the script
    "/short/x",
    "/short/..;/..;/",
    "/short/x\\..\\..\\..\\error.html",
    "/short/..;/..;/logout",
    // refused by Apache before the gate's phase: the router behind the error document reads them
    "/app/%zz",
    "/app/x%2f",
    "/app/x%2F..%2F..%2Flogout",
    "/../app/",
    "/app/%2e%2e/%2e%2e/app/",
    "/app/index.cgi/%00",
};

bool ShowsProtectedContent(const HttpResponse& r) {
  for (const char* marker : {kProtected, "Protected application", "X-Forwarded-Host"}) {
    if (r.body.find(marker) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST_F(ApacheGateTest, NoReadingOfThePathGetsPastTheGateWithoutToken) {
  const std::vector<std::string> spoofed = {"Tarvex-subject: spoofed-root"};
  std::vector<std::string> targets(std::begin(kPathAttacks), std::end(kPathAttacks));
  // The same in absolute form ("GET http://host/path HTTP/1.1").
  for (const char* target : kPathAttacks) {
    targets.push_back("http://127.0.0.1:" + std::to_string(site_->port) + target);
  }
  for (const std::string& target : targets) {
    const HttpResponse r = Get(site_->port, target, spoofed);
    EXPECT_FALSE(ShowsProtectedContent(r)) << target << " gave " << r.status << "\n" << r.body;
    EXPECT_EQ(r.body.find("spoofed-root"), std::string::npos) << target;
    if (r.status == 302) {
      EXPECT_TRUE(r.Header("location").value_or("").starts_with(SignOnPrefix()))
          << target << " went to " << r.Header("location").value_or("");
    } else {
      EXPECT_TRUE(r.status == 400 || r.status == 403 || r.status == 404)
          << target << " gave " << r.status;
    }
    EXPECT_TRUE(r.Headers("set-cookie").empty()) << target;
  }
}

// With a token, the same paths reach the application as the token's user (or end in Apache's
// refusal): never as the spoofed one, and no reading turns the request into a cancel that clears
// the session.
TEST_F(ApacheGateTest, NoReadingOfThePathTurnsATokenIntoAnotherIdentityOrALogout) {
  const std::string token = site_->Token("subject=alice");
  for (const char* target : kPathAttacks) {
    const HttpResponse r = GetWithToken(target, token, {"Tarvex-subject: spoofed-root"});
    EXPECT_EQ(r.body.find("spoofed-root"), std::string::npos) << target << "\n" << r.body;
    for (const std::string& cookie : r.Headers("set-cookie")) {
      EXPECT_EQ(cookie.find("1970"), std::string::npos) << target << " cleared the session";
    }
    if (r.status == 200 && r.body.find("Signed on as") != std::string::npos) {
      EXPECT_NE(r.body.find("Signed on as <strong id=\"user\">alice</strong>"), std::string::npos)
          << target;
    }
  }
}

// Plain requests for the same handlers are answered exactly as before, and log no warning about
// readings.
TEST_F(ApacheGateTest, PlainPathsOfEveryHandlerAreUnchanged) {
  const std::string token = site_->Token("subject=alice");
  const std::size_t warningsBefore = Count(site_->ErrorLog(), "reads differently");
  struct Case {
    const char* target;
    const char* signOnTarget;  // where the sign-on redirect returns to, without a token
    int status;                // with a token
    const char* shown;         // with a token
  };
  const Case cases[] = {
      {"/app/index.cgi/a/b", "/app/index.cgi/a/b", 200, "<strong id=\"user\">alice</strong>"},
      {"/app/static.html", "/app/static.html", 200, kProtected},
      {"/aliased/static.html", "/aliased/static.html", 200, kProtected},
      {"/short/x", "/app/index.cgi/x", 200, "<strong id=\"user\">alice</strong>"},
      {"/proxied/x?a=1", "/proxied/x%3fa%3d1", 200, "Tarvex-subject: alice"},
      {"/public/", nullptr, 200, "Public page"},
      {"/error.html", nullptr, 200, "Something went wrong"},
      {"/public/missing.html", nullptr, 404, "Not found"},
  };
  for (const Case& c : cases) {
    const HttpResponse anonymous = Get(site_->port, c.target);
    if (c.signOnTarget != nullptr) {
      EXPECT_EQ(anonymous.status, 302) << c.target;
      EXPECT_EQ(
          anonymous.Header("location").value_or(""),
          SignOnPrefix() + "http://127.0.0.1:" + std::to_string(site_->port) + c.signOnTarget);
    } else {
      EXPECT_EQ(anonymous.status, c.status) << c.target;
      EXPECT_NE(anonymous.body.find(c.shown), std::string::npos) << c.target;
    }
    const HttpResponse signedOn = GetWithToken(c.target, token);
    EXPECT_EQ(signedOn.status, c.status) << c.target;
    EXPECT_NE(signedOn.body.find(c.shown), std::string::npos) << c.target << "\n" << signedOn.body;
  }
  EXPECT_EQ(Count(site_->ErrorLog(), "reads differently"), warningsBefore);
}

}  // namespace
}  // namespace tokengate::apache::testing
