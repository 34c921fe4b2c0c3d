// The gate attacked through a real private Apache and a real broker, as an outside client and as
// a local process running as the web server's user. Each class of attack is a table; every row
// must end without the protected content, without a forged identity reaching an application and
// without anything of the request written into a response header.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "http_client.h"
#include "private_site.h"

namespace tokengate::apache::testing {
namespace {

constexpr char kProtected[] = "PROTECTED-CONTENT";
constexpr char kCookie[] = "TesseraToken";

class AttackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = Site::SkipReason(); !reason.empty()) {
      GTEST_SKIP() << reason;
    }
    site_ = Site::Instance();
    ASSERT_NE(site_, nullptr) << "the private site did not start";
  }

  std::string Here() const { return "http://127.0.0.1:" + std::to_string(site_->port); }

  // Sends a raw request, filling in the site's port for "@PORT@".
  HttpResponse Raw(std::string request) const {
    for (std::size_t at = request.find("@PORT@"); at != std::string::npos;
         at = request.find("@PORT@")) {
      request.replace(at, 6, std::to_string(site_->port));
    }
    return Send(site_->port, request);
  }

  // A GET with `host` as its only Host header.
  HttpResponse GetAs(const std::string& host, const std::string& target,
                     const std::vector<std::string>& headers = {}) const {
    std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n";
    for (const std::string& line : headers) {
      request += line + "\r\n";
    }
    return Send(site_->port, request + "\r\n");
  }

  Site* site_ = nullptr;
};

// ---- forged identity headers ------------------------------------------------------------------

// Every spelling of an attribute header a backend could read as the gate's own, sent to every
// kind of handler, protected and not, with and without a valid token.
TEST_F(AttackTest, ForgedAttributeHeadersNeverReachAnyHandler) {
  const std::vector<std::string> forged = {
      "Tarvex-Subject: mallory1", "tarvex-subject: mallory2", "Tarvex_Subject: mallory3",
      "TARVEX_SUBJECT: mallory4", "TARVEX-ROLE: mallory5",    "tArVeX_rOlE: mallory6",
      "Tarvex-: mallory7",        "Tarvex-Subject:mallory8",  "Tarvex-Subject:\tmallory9",
  };
  const char* const targets[] = {
      "/app/",                // protected CGI
      "/proxied/x",           // protected reverse proxy
      "/public/headers.cgi",  // unprotected CGI
      "/open/x",              // unprotected reverse proxy
  };
  const std::string token = site_->Token("subject=alice");
  for (const char* target : targets) {
    for (const bool withToken : {false, true}) {
      std::vector<std::string> headers = forged;
      if (withToken) {
        headers.push_back(std::string("Cookie: ") + kCookie + "=" + token);
      }
      const HttpResponse r = Get(site_->port, target, headers);
      EXPECT_EQ(r.body.find("mallory"), std::string::npos)
          << target << (withToken ? " with token" : "") << "\n"
          << r.body;
      if (withToken) {
        EXPECT_EQ(r.status, 200) << target;
      }
    }
  }
  // Headers that only resemble the prefix are the application's own business.
  const HttpResponse kept = Get(site_->port, "/open/x", {"X-Tarvex-Note: kept", "Tarvexish: 2"});
  EXPECT_NE(kept.body.find("X-Tarvex-Note: kept"), std::string::npos) << kept.body;
  EXPECT_NE(kept.body.find("Tarvexish: 2"), std::string::npos) << kept.body;
  EXPECT_NE(site_->ErrorLog().find("Request headers that look like attribute headers were "
                                   "removed: Tarvex-Subject, Tarvex_Subject"),
            std::string::npos);
}

// ---- open redirects ---------------------------------------------------------------------------

// Every redirect the gate or the demo's sign-on page sends stays on the configured hosts,
// whatever the client puts into resume, TargetResource or the Host header.
TEST_F(AttackTest, RedirectsNeverLeaveTheSite) {
  const std::vector<std::string> targets = {
      "/logout?resume=//evil.example/",
      "/logout?resume=@evil.example/",
      "/logout?resume=.evil.example/",
      "/logout?resume=/%5Cevil.example/",
      "/logout?resume=%2F%2Fevil.example",
      "/logout?resume=http://evil.example/",
      "/logout?resume=/%09/evil.example",
      "/logout?resume=/ok&resume=//evil.example",
      "/app/?TargetResource=http://evil.example/",
      "/app//evil.example/",
      "/app/%2F%2Fevil.example",
  };
  for (const std::string& target : targets) {
    for (const std::string& host :
         {"127.0.0.1:" + std::to_string(site_->port), std::string("evil.example")}) {
      const HttpResponse r = GetAs(host, target);
      const std::string location = r.Header("location").value_or("");
      if (!location.empty()) {
        EXPECT_TRUE(location.starts_with(Here() + "/signon/")) << target << " -> " << location;
      }
    }
  }
  // The sign-on page sends the browser back only to this site.
  const std::pair<std::string, std::string> signOn[] = {
      {"/app/page?x=1", "/app/page?x=1"}, {Here() + "/app/", Here() + "/app/"},
      {"/%5Cevil.example/", "/app/"},     {"%2F%2Fevil.example%2F", "/app/"},
      {"/%09/evil.example/", "/app/"},    {"/%0d%0aSet-Cookie:%20x=1", "/app/"},
      {"http://evil.example/", "/app/"},  {Here() + "@evil.example/", "/app/"},
      {"javascript:alert(1)", "/app/"},
  };
  for (const auto& [target, expected] : signOn) {
    const std::string body = "TargetResource=" + target + "&user=alice&attributes=";
    const HttpResponse r =
        Raw("POST /signon/login.cgi HTTP/1.1\r\nHost: 127.0.0.1:@PORT@\r\nConnection: close\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(r.status, 303) << target;
    EXPECT_EQ(r.Header("location").value_or(""), expected) << target;
  }
}

// ---- injection --------------------------------------------------------------------------------

// CR, LF and NUL anywhere a request value can flow into a response: none of it ends up as a
// header line, and nothing is served that the gate did not pass.
TEST_F(AttackTest, LineBreaksAndNulsNeverSplitAResponse) {
  const std::string token = site_->Token("subject=alice");
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"/app/x?a=%0d%0aSet-Cookie:%20evil=1", {}},
      {"/app/%0d%0aX-Evil:%201", {}},
      {"/app/%00/static.html", {}},
      {"/logout?resume=/%0d%0aX-Evil:%201", {}},
      {"/logout?resume=/%00X-Evil", {}},
      {"/app/static.html", {std::string("Cookie: ") + kCookie + "=" + token + "%0d%0aX-Evil: 1"}},
      {"/app/static.html", {std::string("Cookie: ") + kCookie + "=%00" + token}},
      {"/app/static.html", {"X-Forwarded-Host: a%0d%0aX-Evil: 1"}},
      {"/app/static.html", {"X-Note: a\rX-Evil: 1"}},
  };
  std::vector<std::pair<std::string, HttpResponse>> responses;
  for (const auto& [target, headers] : cases) {
    responses.emplace_back(target, Get(site_->port, target, headers));
  }
  // A Host header that tries to end the Location line of the sign-on redirect.
  for (const char* host : {"127.0.0.1%0d%0aX-Evil: 1", "a\rX-Evil: 1", "a\x01X-Evil"}) {
    responses.emplace_back(host, GetAs(host, "/app/static.html"));
  }
  for (const auto& [target, r] : responses) {
    // Encoded inside a URL is harmless; a line of its own, or a cookie, is not.
    EXPECT_FALSE(r.Header("x-evil").has_value()) << target << "\n" << r.raw_headers;
    EXPECT_EQ(r.raw_headers.find("\rX-Evil"), std::string::npos) << target;
    EXPECT_EQ(r.raw_headers.find("\nX-Evil"), std::string::npos) << target;
    for (const std::string& cookie : r.Headers("set-cookie")) {
      EXPECT_EQ(cookie.find("evil"), std::string::npos) << target;
    }
    EXPECT_EQ(r.body.find(kProtected), std::string::npos) << target;
  }
}

// ---- oversized and malformed input ------------------------------------------------------------

// Inputs beyond the gate's limits end in a refusal or the sign-on redirect, never in the
// protected content and never in a crash (the next request is served normally).
TEST_F(AttackTest, OversizedInputsAreRefusedCleanly) {
  const std::string token = site_->Token("subject=alice");
  std::vector<std::string> manyCookies;
  for (int i = 0; i < 7; ++i) {
    manyCookies.push_back("Cookie: pad" + std::to_string(i) + "=" + std::string(8000, 'c'));
  }
  std::vector<std::string> manyCookiesThenToken = manyCookies;
  manyCookiesThenToken.push_back(std::string("Cookie: ") + kCookie + "=" + token);
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      // Over 50,000 bytes of cookies: the token counts as absent.
      {"/app/static.html", manyCookies},
      {"/app/static.html", manyCookiesThenToken},
      // A token longer than the broker takes.
      {"/app/static.html", {std::string("Cookie: ") + kCookie + "=" + std::string(6000, 'A')}},
      {"/app/static.html?" + std::string(kCookie) + "=" + std::string(5000, 'A'), {}},
      // Over 50,000 bytes of headers with a valid token: refused, not handed on without them.
      {"/app/static.html",
       [&] {
         std::vector<std::string> h(7, "X-Pad: " + std::string(8000, 'p'));
         h.push_back(std::string("Cookie: ") + kCookie + "=" + token);
         return h;
       }()},
      {"/app/static.html?" + std::string(7000, 'q'), {}},
  };
  for (const auto& [target, headers] : cases) {
    const HttpResponse r = Get(site_->port, target, headers);
    EXPECT_EQ(r.body.find(kProtected), std::string::npos)
        << target.substr(0, 80) << " " << r.status;
    EXPECT_NE(r.status, 200) << target.substr(0, 80);
  }
  const HttpResponse after =
      Get(site_->port, "/app/static.html", {std::string("Cookie: ") + kCookie + "=" + token});
  EXPECT_EQ(after.status, 200);
  EXPECT_NE(after.body.find(kProtected), std::string::npos);
}

// A request whose headers the gate cannot read whole is refused; it is never handed on without
// its framing, which would make Apache answer its body as a second request on the connection.
TEST_F(AttackTest, BodyIsNeverAnsweredAsASmuggledRequest) {
  const std::string token = site_->Token("subject=alice");
  const std::string smuggled = "GET /public/smuggled-marker HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  std::string request = "POST /app/static.html HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  request += std::string("Cookie: ") + kCookie + "=" + token + "\r\n";
  for (int i = 0; i < 7; ++i) {
    request += "X-Pad-" + std::to_string(i) + ": " + std::string(8000, 'p') + "\r\n";
  }
  request += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(smuggled.size()) +
             "\r\n\r\n" + smuggled;
  // A pipelined follow-up on the same connection.
  request += "GET /public/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  const HttpResponse r = Raw(request);
  EXPECT_EQ(r.status, 500);
  EXPECT_NE(
      r.body.find("Child request headers refused: the request's own headers could not be read"),
      std::string::npos)
      << r.body.substr(0, 600);
  const std::string all = r.raw_headers + "\r\n" + r.body;
  EXPECT_EQ(all.find("smuggled-marker"), std::string::npos) << all.substr(0, 2000);
  EXPECT_EQ(all.find("HTTP/1.1 404"), std::string::npos);
  EXPECT_EQ(all.find(kProtected), std::string::npos);
  EXPECT_NE(site_->ErrorLog().find("ALL_RAW could not be obtained from request 122"),
            std::string::npos);
}

// ---- TRACE ------------------------------------------------------------------------------------

// Apache answers TRACE before any module runs and would echo the token cookie into the page
// (where a script can read it despite HttpOnly); the install guide's TraceEnable Off is in force.
TEST_F(AttackTest, TraceNeverEchoesTheTokenCookie) {
  const HttpResponse r =
      Raw("TRACE /app/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nCookie: " +
          std::string(kCookie) + "=secret-token-value\r\n\r\n");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body.find("secret-token-value"), std::string::npos);
}

// ---- the broker as a local attacker ----------------------------------------------------------

// A process running as the web server's user can reach the broker's socket. It cannot make the
// broker use a key it wrote itself (to mint a token for anyone), nor wedge a call thread with a
// file that never ends; the gate's own calls keep working.
TEST_F(AttackTest, LocalCallerCannotMakeTheBrokerUseItsOwnKey) {
  if (::geteuid() != 0 || ::getpwnam("www-data") == nullptr ||
      !std::filesystem::exists("/usr/sbin/runuser")) {
    GTEST_SKIP() << "needs root, the www-data account and runuser";
  }
  const std::string tool = site_->Work() + "/bin/tokengate";
  const std::string run = site_->Work() + "/run/";
  const std::string script =
      "set -e; d=$(mktemp -d); T='" + tool +
      "'; $T token keygen $d/own.props >/dev/null; "
      "tok=$($T token issue --config $d/own.props subject=admin realm=EXAMPLE.TEST); "
      "for config in $d/own.props /proc/kmsg /etc/shadow; do "
      "  timeout 10 $T broker call --config $config --runtime-dir '" +
      run +
      "' $tok "
      "    && echo \"accepted $config\" || echo \"refused $config rc=$?\"; "
      "  timeout 10 $T broker call --iwa --config $config --runtime-dir '" +
      run +
      "' $tok "
      "    && echo \"accepted iwa $config\" || echo \"refused iwa $config rc=$?\"; "
      "done; rm -rf $d";
  const std::string out = Capture("runuser -u www-data -- /bin/sh -c \"" + [&] {
    std::string escaped;
    for (const char c : script) {
      if (c == '"' || c == '\\' || c == '$' || c == '`') {
        escaped.push_back('\\');
      }
      escaped.push_back(c);
    }
    return escaped;
  }() + "\" 2>&1");
  EXPECT_EQ(out.find("accepted"), std::string::npos) << out;
  EXPECT_NE(out.find("own.props rc=1"), std::string::npos) << out;
  EXPECT_NE(out.find("/proc/kmsg rc=1"), std::string::npos) << out;  // refused at once, not 124
  EXPECT_EQ(out.find("rc=124"), std::string::npos) << out;
  // The broker says why, for the administrator.
  std::ostringstream brokerLog;
  brokerLog << std::ifstream(site_->Value("BROKER_LOG")).rdbuf();
  const std::string log = brokerLog.str();
  EXPECT_NE(log.find("is owned by uid " + std::to_string(::getpwnam("www-data")->pw_uid) +
                     "; it must be owned by root"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("/proc/kmsg: is on a procfs file system"), std::string::npos) << log;
  // The gate's own calls are served as before.
  const HttpResponse r = Get(site_->port, "/app/static.html",
                             {std::string("Cookie: ") + kCookie + "=" + site_->Token("subject=a")});
  EXPECT_EQ(r.status, 200);
}

}  // namespace
}  // namespace tokengate::apache::testing
