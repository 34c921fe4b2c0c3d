// Two virtual hosts of one Apache, each with a gate configuration of its own (installation path,
// conf file, key, cookie name, prefix, protected list), and the start-up checks that make a
// broken gate configuration fail the start and apachectl configtest.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "http_client.h"
#include "private_site.h"

namespace tokengate::apache::testing {
namespace {

class VirtualHostsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = Site::SkipReason(); !reason.empty()) {
      GTEST_SKIP() << reason;
    }
    site_ = Site::Instance("TG_SECOND_SITE=1");
    ASSERT_NE(site_, nullptr) << "the private site did not start";
    ASSERT_NE(site_->siteBPort, 0);
  }

  HttpResponse OnA(const std::string& target, const std::string& cookie = {}) const {
    return Get(site_->port, target,
               cookie.empty() ? std::vector<std::string>{}
                              : std::vector<std::string>{"Cookie: " + cookie});
  }
  HttpResponse OnB(const std::string& target, const std::string& cookie = {}) const {
    return Get(site_->siteBPort, target,
               cookie.empty() ? std::vector<std::string>{}
                              : std::vector<std::string>{"Cookie: " + cookie});
  }

  static void Replace(const std::string& file, const std::string& from, const std::string& to) {
    std::ostringstream read;
    read << std::ifstream(file).rdbuf();
    std::string text = read.str();
    text = std::regex_replace(text, std::regex(from), to);
    std::ofstream(file) << text;
  }

  Site* site_ = nullptr;
};

TEST_F(VirtualHostsTest, EachSiteHasItsOwnKeysCookieNamePrefixAndProtectedList) {
  const std::string tokenA = site_->Token("subject=alice");
  const std::string tokenB = site_->Token("subject=bob", "token-b");

  // Site B reads its own cookie with its own key and writes its own prefix and cookie name.
  const HttpResponse b = OnB("/b/", "SiteBToken=" + tokenB);
  ASSERT_EQ(b.status, 200) << b.body;
  EXPECT_NE(b.body.find("<th>Siteb-Subject</th><td>bob</td>"), std::string::npos) << b.body;
  EXPECT_EQ(b.body.find("Tarvex-Subject"), std::string::npos);
  ASSERT_EQ(b.Headers("set-cookie").size(), 1u);
  EXPECT_TRUE(b.Headers("set-cookie")[0].starts_with("SiteBToken=" + tokenB + ";"));

  // A token of site A, even under site B's cookie name, is refused there (another key)...
  const HttpResponse crossed = OnB("/b/", "SiteBToken=" + tokenA);
  EXPECT_EQ(crossed.status, 500);
  EXPECT_EQ(crossed.body.find("alice"), std::string::npos);
  // ...and the other way round.
  const HttpResponse crossedA = OnA("/app/", "TesseraToken=" + tokenB);
  EXPECT_EQ(crossedA.status, 500);
  EXPECT_EQ(crossedA.body.find("bob"), std::string::npos);
  // Under the other site's cookie name a token is not even looked at: sign-on.
  EXPECT_EQ(OnB("/b/", "TesseraToken=" + tokenB).status, 302);

  // Each protected list holds for its own site alone.
  EXPECT_EQ(OnB("/app/static.html").status, 200);
  EXPECT_EQ(OnA("/app/static.html").status, 302);
  EXPECT_EQ(OnB("/app/secret").status, 302);
  const HttpResponse signOnB = OnB("/b/");
  EXPECT_EQ(signOnB.status, 302);
  EXPECT_TRUE(
      signOnB.Header("location")
          .value_or("")
          .starts_with("http://127.0.0.1:" + std::to_string(site_->siteBPort) + "/signon/"));

  // Look-alikes of each site's own prefix are removed on that site.
  const HttpResponse spoof = Get(site_->siteBPort, "/app/index.cgi",
                                 {"SiteB-Subject: mallory", "Tarvex-Subject: fine-here"});
  EXPECT_EQ(spoof.body.find("mallory"), std::string::npos) << spoof.body;
  EXPECT_NE(site_->ErrorLog().find("site " +
                                   site_->Value("GATE_CONF_B")
                                       .substr(0, site_->Value("GATE_CONF_B").size() -
                                                      std::string("conf/cvisapi.conf").size()) +
                                   ": event type"),
            std::string::npos);
}

TEST_F(VirtualHostsTest, ReloadOnOneSiteLeavesTheOtherUnchanged) {
  const std::string confA = site_->Value("GATE_CONF");
  const std::string confB = site_->Value("GATE_CONF_B");
  const std::string tokenA = site_->Token("subject=alice");
  const std::string tokenB = site_->Token("subject=bob", "token-b");
  // Both gates have read their files (the child may still be starting when the site answers).
  ASSERT_EQ(OnA("/app/static.html", "TesseraToken=" + tokenA).status, 200);
  ASSERT_EQ(OnB("/b/", "SiteBToken=" + tokenB).status, 200);

  Replace(confA, "TesseraName=TesseraToken", "TesseraName=NewAToken");
  Replace(confB, "TesseraName=SiteBToken", "TesseraName=NewBToken");
  ASSERT_EQ(OnA("/x?cmd=reload").status, 200);
  // A reads its new cookie name; B, not reloaded, still its old one.
  EXPECT_EQ(OnA("/app/static.html", "NewAToken=" + tokenA).status, 200);
  EXPECT_EQ(OnB("/b/", "SiteBToken=" + tokenB).status, 200);
  EXPECT_EQ(OnB("/b/", "NewBToken=" + tokenB).status, 302);

  ASSERT_EQ(OnB("/x?cmd=reload").status, 200);
  EXPECT_EQ(OnB("/b/", "NewBToken=" + tokenB).status, 200);

  Replace(confA, "TesseraName=NewAToken", "TesseraName=TesseraToken");
  Replace(confB, "TesseraName=NewBToken", "TesseraName=SiteBToken");
  ASSERT_EQ(OnA("/x?cmd=reload").status, 200);
  ASSERT_EQ(OnB("/x?cmd=reload").status, 200);
}

// apachectl configtest (apache2 -t) on a copy of the site's configuration with one thing broken.
class ConfigTestTest : public VirtualHostsTest {
 protected:
  struct Result {
    int status;
    std::string output;
  };

  Result ConfigTest(const std::string& extraConf, bool dropMainInstallPath = false) const {
    const std::string dir = site_->Work() + "/configtest";
    std::filesystem::create_directories(dir);
    const std::string conf = dir + "/httpd.conf";
    {
      std::ostringstream read;
      read << std::ifstream(site_->Work() + "/httpd/httpd.conf").rdbuf();
      std::string text = read.str();
      // Other ports and pid file: this Apache only checks its configuration.
      text = std::regex_replace(text, std::regex("Listen [^\n]*"), "");
      text = std::regex_replace(text, std::regex("PidFile [^\n]*"), "PidFile " + dir + "/pid");
      if (dropMainInstallPath) {
        text = std::regex_replace(text, std::regex("\nTokenGateInstallPath [^\n]*"), "\n");
      }
      std::ofstream(conf) << text << "\nListen 127.0.0.1:1\n" << extraConf << "\n";
    }
    const std::string out = Capture("/usr/sbin/apache2 -t -f '" + conf + "' 2>&1; echo \"rc=$?\"");
    const std::size_t rc = out.rfind("rc=");
    return {std::atoi(out.c_str() + rc + 3), out.substr(0, rc)};
  }

  std::string MakeInstall(const std::string& name, const std::string& conf) const {
    const std::string dir = site_->Work() + "/" + name + "/";
    std::filesystem::create_directories(dir + "conf");
    if (!conf.empty()) {
      std::ofstream(dir + "conf/cvisapi.conf") << conf;
    }
    return dir;
  }
};

TEST_F(ConfigTestTest, BrokenGateConfigurationsFailConfigtestNamingVhostFileAndKey) {
  EXPECT_EQ(ConfigTest("").status, 0) << ConfigTest("").output;

  const std::string vhost = "<VirtualHost 127.0.0.1:1>\n  ServerName broken.test\n  TokenGate On\n";
  const std::string good =
      "[ISAPI]\nTesseraName=T\nProtectedResourceList=^/\nSSOUrl=https://sso/\n"
      "AuthenticationPrefix=X-\n";
  struct Case {
    std::string what;
    std::string conf;
    std::vector<std::string> expected;
  };
  const std::string noTessera = MakeInstall("no-tessera", "[ISAPI]\nProtectedResourceList=^/\n");
  const std::string noList = MakeInstall("no-list", "[ISAPI]\nTesseraName=T\n");
  const std::string missing = MakeInstall("missing", "");
  const Case cases[] = {
      {"empty TesseraName",
       vhost + "  TokenGateInstallPath " + noTessera + "\n</VirtualHost>",
       {"virtual host broken.test", noTessera + "conf/cvisapi.conf", "key TesseraName is empty"}},
      {"empty protected list",
       vhost + "  TokenGateInstallPath " + noList + "\n</VirtualHost>",
       {"virtual host broken.test", noList + "conf/cvisapi.conf",
        "key ProtectedResourceList is empty"}},
      {"no conf file",
       vhost + "  TokenGateInstallPath " + missing + "\n</VirtualHost>",
       {"virtual host broken.test", missing + "conf/cvisapi.conf does not exist"}},
  };
  for (const Case& c : cases) {
    const Result r = ConfigTest(c.conf);
    EXPECT_NE(r.status, 0) << c.what << "\n" << r.output;
    for (const std::string& part : c.expected) {
      EXPECT_NE(r.output.find(part), std::string::npos) << c.what << ": " << part << "\n"
                                                        << r.output;
    }
  }

  // The first site has TokenGate On and inherits the main server's installation path: without
  // one, the start fails naming that virtual host.
  const Result noPath = ConfigTest("", true);
  EXPECT_NE(noPath.status, 0) << noPath.output;
  EXPECT_NE(noPath.output.find(":" + std::to_string(site_->port) + " (" + site_->Work() +
                               "/configtest/httpd.conf:"),
            std::string::npos)
      << noPath.output;
  EXPECT_NE(noPath.output.find("has TokenGate On but no TokenGateInstallPath"), std::string::npos);

  // Warnings alone do not fail it.
  const std::string risky = MakeInstall("risky", good + "EnableIWA=true\nCookiAge=5\n");
  const Result warned = ConfigTest(vhost + "  TokenGateInstallPath " + risky + "\n</VirtualHost>");
  EXPECT_EQ(warned.status, 0) << warned.output;
}

TEST_F(ConfigTestTest, WarningsOfTheCheckReachTheErrorLogAtStartUp) {
  const std::string confB = site_->Value("GATE_CONF_B");
  std::ofstream(confB, std::ios::app) << "EnableIWA=true\nCookiAge=5\n";
  ASSERT_EQ(site_->Harness("apache-restart"), 0);
  // The detached server logs them once it has read its configuration again.
  std::string log;
  for (int i = 0; i < 100 && log.find("CookiAge") == std::string::npos; ++i) {
    ::usleep(100'000);
    log = site_->ErrorLog();
  }
  EXPECT_NE(log.find(confB + ": EnableIWA=true (line 7) reads as NO"), std::string::npos) << log;
  EXPECT_NE(log.find("unknown key 'CookiAge' (line 8) is ignored; did you mean 'CookieAge'?"),
            std::string::npos);
  EXPECT_NE(log.find("[tokengate:warn]"), std::string::npos);
}

}  // namespace
}  // namespace tokengate::apache::testing
