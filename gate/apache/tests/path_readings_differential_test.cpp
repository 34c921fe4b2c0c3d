// Random request paths through a model of what Apache makes of them and what it and the backends
// behind it serve, against the gate's real decision (the request handler over the readings the
// Apache host reports). Whatever Apache or a backend serves as protected content must end in the
// sign-on redirect; and the decision is never weaker than the one for Apache's own path alone, nor
// than the one the "URL" reading alone gives.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "header_policy.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/broker_client.h"
#include "tokengate/gate/context_link.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/request_handler.h"
#include "tokengate/gate/testing/test_host.h"

namespace tokengate::apache {
namespace {

// ---- the model ---------------------------------------------------------------------------------

int Hex(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool Unreserved(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Resolves "." and ".." segments and merges slashes, a final "/" kept; false when ".." would leave
// the root. `in` starts with "/".
bool ResolveLikeApache(const std::string& in, std::string& out) {
  std::vector<std::string> parts;
  for (std::size_t at = 1;;) {
    const std::size_t slash = in.find('/', at);
    parts.push_back(in.substr(at, slash == std::string::npos ? std::string::npos : slash - at));
    if (slash == std::string::npos) {
      break;
    }
    at = slash + 1;
  }
  std::vector<std::string> segments;
  bool trailing = false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& segment = parts[i];
    const bool last = i + 1 == parts.size();
    if (segment.empty() || segment == ".") {
      trailing = last;
    } else if (segment == "..") {
      if (segments.empty()) {
        return false;
      }
      segments.pop_back();
      trailing = last;
    } else {
      segments.push_back(segment);
      trailing = false;
    }
  }
  out.clear();
  for (const std::string& s : segments) {
    out += "/" + s;
  }
  if (trailing || out.empty()) {
    out += "/";
  }
  return true;
}

// r->uri for a request-target, as Apache 2.4 computes it with AllowEncodedSlashes Off and
// MergeSlashes On (the defaults, and the test site's): a malformed escape or ".." above the root
// is refused with 400, an encoded slash or NUL with 404; nullopt for a refused request.
std::optional<std::string> ApacheUri(const std::string& path) {
  std::string unreserved;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '%') {
      unreserved += path[i];
      continue;
    }
    if (i + 2 >= path.size() || Hex(path[i + 1]) < 0 || Hex(path[i + 2]) < 0) {
      return std::nullopt;
    }
    const int c = Hex(path[i + 1]) * 16 + Hex(path[i + 2]);
    if (Unreserved(c)) {
      unreserved += static_cast<char>(c);
    } else {
      unreserved += path.substr(i, 3);
    }
    i += 2;
  }
  std::string resolved;
  if (!ResolveLikeApache(unreserved, resolved)) {
    return std::nullopt;
  }
  std::string uri;
  for (std::size_t i = 0; i < resolved.size(); ++i) {
    if (resolved[i] == '%') {
      const int c = Hex(resolved[i + 1]) * 16 + Hex(resolved[i + 2]);
      if (c == '/' || c == 0) {
        return std::nullopt;
      }
      uri += static_cast<char>(c);
      i += 2;
    } else {
      uri += resolved[i];
    }
  }
  return uri;
}

bool StartsWithIgnoringCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) {
      return false;
    }
  }
  return true;
}

// Content the site protects: the script and files under /app/ and the proxied application.
bool ProtectedSpace(std::string_view path) {
  return StartsWithIgnoringCase(path, "/app/") || StartsWithIgnoringCase(path, "/proxied/");
}

// A servlet container's reading: "/" and "\\" separate, ";parameters" are cut, then "." and ".."
// resolve (never above the root); a final separator or dot segment leaves a final "/".
std::string ServletReading(std::string_view path) {
  std::vector<std::string> segments;
  std::string segment;
  bool trailing = false;
  const auto end = [&] {
    segment = segment.substr(0, segment.find(';'));
    trailing = segment.empty() || segment == "." || segment == "..";
    if (segment == "..") {
      if (!segments.empty()) {
        segments.pop_back();
      }
    } else if (!trailing) {
      segments.push_back(segment);
    }
    segment.clear();
  };
  for (const char c : path) {
    if (c == '/' || c == '\\') {
      end();
    } else {
      segment += c;
    }
  }
  end();
  std::string out;
  for (const std::string& s : segments) {
    out += "/" + s;
  }
  return trailing || out.empty() ? out + "/" : out;
}

std::string DecodedOnce(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && Hex(s[i + 1]) >= 0 && Hex(s[i + 2]) >= 0) {
      out += static_cast<char>(Hex(s[i + 1]) * 16 + Hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Why the request reaches protected content, or empty when nothing serves it as such.
std::string ServedAsProtected(const std::string& uri, const std::string& target) {
  if (ProtectedSpace(uri)) {
    return "Apache maps it there";
  }
  // A backend that reads Apache's path (path info of a script, a proxied path) the servlet way,
  // once or twice decoded.
  if (ProtectedSpace(ServletReading(uri)) || ProtectedSpace(ServletReading(DecodedOnce(uri)))) {
    return "a servlet container reads Apache's path there";
  }
  // A front controller routing by REQUEST_URI (the target as sent), raw or the servlet way.
  const std::string requestUri = DecodedOnce(target);
  if (ProtectedSpace(requestUri) || ProtectedSpace(ServletReading(requestUri))) {
    return "a router reads the request-target there";
  }
  return {};
}

// ---- the real decision
// ---------------------------------------------------------------------------

class PathReadingsDifferentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() / ("tg-readings-" + std::to_string(rd()));
    std::filesystem::create_directories(dir_ / "conf");
    // The test site's lists.
    std::ofstream(dir_ / "conf" / "cvisapi.conf")
        << "[ISAPI]\nTesseraName=TesseraToken\nProtectedResourceList=^/app/|^/proxied/|^/logout\n"
           "CancelUrl=^/logout\nSSOUrl=https://sso.test/signon\nAuthenticationPrefix=Tarvex-\n";
    config_ = std::make_unique<gate::GateConfiguration>(
        configLog_,
        std::make_shared<gate::FixedGateRegistry>(text::Utf8ToUtf16(dir_.string() + "/")),
        std::make_shared<gate::IniProfileReader>());
    ASSERT_TRUE(config_->Load());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // True when a request without a token is sent to sign-on, false when it is passed on.
  bool SignOn(std::string url, std::string pathInfo, std::vector<std::string> others) {
    gate::testing::TestHost host(gate::testing::TestRequest{
        .url = std::move(url), .path_info = std::move(pathInfo), .other_path_views = others});
    gate::TagRequest(host);
    gate::BrokerClient client(nullptr, host.Log(), 1);
    gate::GateServices services{*config_, host.Log(), client, nullptr, nullptr};
    gate::HandleRequest(host, services);
    EXPECT_TRUE(host.redirects.size() == 1 || (host.accepted && host.redirects.empty()));
    return host.redirects.size() == 1;
  }

  std::filesystem::path dir_;
  gate::GateEventLog configLog_;
  std::unique_ptr<gate::GateConfiguration> config_;
};

TEST_F(PathReadingsDifferentialTest, DecisionIsNeverWeakerThanAnyReading) {
  const std::array<const char*, 30> segments = {
      "app",    "index.cgi", "public", "proxied",     "error.html", "logout",
      "x",      "..",        ".",      "..;x",        ";x",         "..;",
      "%2e",    "%2e%2e",    "%2E.",   "%252e",       "%252e%252e", "%3B",
      "..%3Bx", "..\\",      "%5C",    "%2F",         "%u002e",     "%c0%ae",
      "%25",    "",          "APP",    "static.html", "x;y=1",      ".%2e"};
  const std::array<const char*, 6> separators = {"/", "/", "/", "\\", "%5C", "%5c"};
  std::mt19937 random(20261210);
  int accepted = 0;
  int protectedServed = 0;
  int urlAloneWouldPass = 0;
  for (int n = 0; n < 4000; ++n) {
    std::string target;
    const int count = 1 + static_cast<int>(random() % 7);
    // Half of the paths start in one of the site's places, the rest anywhere.
    const std::array<const char*, 5> places = {"app", "proxied", "public", "error.html", "logout"};
    for (int i = 0; i < count; ++i) {
      target += i == 0 ? "/" : separators[random() % separators.size()];
      target += i == 0 && random() % 2 == 0 ? places[random() % places.size()]
                                            : segments[random() % segments.size()];
    }
    if (random() % 4 == 0) {
      target += "/";
    }
    const std::optional<std::string> uri = ApacheUri(target);
    if (!uri) {
      continue;  // Apache refuses it before any module runs
    }
    ++accepted;
    const std::string url = PathForMatching(*uri);
    const bool decided = SignOn(url, *uri, OtherPathReadings(*uri, target));
    const bool apacheAlone = SignOn(*uri, *uri, {});
    const bool urlAlone = SignOn(url, *uri, {});
    EXPECT_TRUE(decided || !apacheAlone) << target << " (Apache's path " << *uri << ")";
    EXPECT_TRUE(decided || !urlAlone) << target;
    if (const std::string why = ServedAsProtected(*uri, target); !why.empty()) {
      ++protectedServed;
      urlAloneWouldPass += urlAlone ? 0 : 1;
      EXPECT_TRUE(decided) << target << " is passed on, but " << why << " (Apache's path " << *uri
                           << ", URL " << url << ")";
    }
  }
  // The paths reach the cases that matter: accepted paths, protected content, and paths the "URL"
  // reading alone lets through (156 of them with this seed).
  EXPECT_GT(accepted, 2500);
  EXPECT_GT(protectedServed, 600);
  EXPECT_GT(urlAloneWouldPass, 100);
}

}  // namespace
}  // namespace tokengate::apache
