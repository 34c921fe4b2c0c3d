// Integrated authentication end to end: a throwaway Kerberos realm, the broker logging users on
// through it, and a private Apache with EnableIWA=YES whose CGI shows the identity it was given.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

namespace tokengate::apache::testing {
namespace {

namespace fs = std::filesystem;

std::string Capture(const std::string& command, int* status = nullptr) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  std::string out;
  if (!pipe) {
    return out;
  }
  char buffer[4096];
  while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe.get())) {
    out.append(buffer, n);
  }
  const int rc = ::pclose(pipe.release());
  if (status != nullptr) {
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  return out;
}

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) {
    s.pop_back();
  }
  return s;
}

// "NAME=value" lines of a body.
std::map<std::string, std::string> Values(const std::string& body) {
  std::map<std::string, std::string> out;
  std::istringstream in(body);
  for (std::string line; std::getline(in, line);) {
    if (const auto eq = line.find('='); eq != std::string::npos) {
      out[line.substr(0, eq)] = Trim(line.substr(eq + 1));
    }
  }
  return out;
}

// The realm and the site, started by the first test and stopped at program exit.
class IwaSite {
 public:
  static IwaSite& Instance() {
    static IwaSite site;
    return site;
  }

  ~IwaSite() {
    if (siteUp_) {
      Harness("down");
    }
    if (realmUp_) {
      std::system(("bash '" TG_REALM_SCRIPT "' stop '" + realm_ + "' >/dev/null 2>&1").c_str());
    }
    if (!work_.empty()) {
      std::error_code ec;
      fs::remove_all(work_, ec);
    }
  }

  std::string Token(const std::string& attributes) const {
    return Trim(Capture("TG_BUILD='" TG_BUILD_DIR "' TG_WORK='" + work_ + "/site' bash '" +
                        TG_HARNESS "' token " + attributes + " 2>/dev/null"));
  }

  std::string skipReason;
  std::string failure;
  int port = 0;
  std::string statusSite;  // the site label of the status counters

 private:
  IwaSite() {
    for (const char* program :
         {"/usr/sbin/apache2", "/usr/sbin/krb5kdc", "/usr/sbin/kadmin.local", "/usr/bin/klist"}) {
      if (!fs::exists(program)) {
        skipReason = std::string(program) + " is not installed";
        return;
      }
    }
    for (const char* built : {"modules/mod_tokengate.so", "bin/logon-broker", "bin/tokengate"}) {
      if (!fs::exists(fs::path(TG_BUILD_DIR) / built)) {
        skipReason = std::string(built) + " is not built";
        return;
      }
    }
    char dir[] = "/tmp/tg-iwa-it-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
      failure = "no work directory";
      return;
    }
    work_ = dir;
    ::chmod(dir, 0755);
    realm_ = work_ + "/realm";

    int status = 0;
    const std::string exports = Capture(
        "bash '" TG_REALM_SCRIPT "' start '" + realm_ + "' jdoe bob 2>'" + work_ + "/realm.err'",
        &status);
    if (status == 2) {
      skipReason = "the Kerberos KDC programs are not installed";
      return;
    }
    realmUp_ = true;
    if (status != 0) {
      failure = "the test realm did not start: " + Capture("cat '" + work_ + "/realm.err'");
      return;
    }
    // "export NAME=value" lines: the broker's (and Apache's) Kerberos settings.
    std::string env = "TG_IWA=1 TG_STATUS=1";
    std::istringstream lines(exports);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("export ")) {
        env += " '" + line.substr(7) + "'";
      }
    }
    siteUp_ = true;
    if (Harness("up", env) != 0) {
      failure = "the private site did not start: " + Capture("cat '" + work_ + "/harness.log'");
      return;
    }
    std::ifstream site(work_ + "/site/env");
    for (std::string line; std::getline(site, line);) {
      if (line.starts_with("PORT=")) {
        port = std::stoi(line.substr(5));
      }
      if (line.starts_with("GATE_CONF=")) {
        statusSite = line.substr(10, line.size() - 10 - std::string("conf/cvisapi.conf").size());
      }
    }
    if (port == 0) {
      failure = "the site wrote no port";
    }
  }

  int Harness(const std::string& command, const std::string& env = {}) const {
    const std::string line = "env " + env + " TG_BUILD='" TG_BUILD_DIR "' TG_WORK='" + work_ +
                             "/site' bash '" TG_HARNESS "' " + command + " >>'" + work_ +
                             "/harness.log' 2>&1";
    return std::system(line.c_str());
  }

  std::string work_;
  std::string realm_;
  bool realmUp_ = false;
  bool siteUp_ = false;
};

class IwaEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IwaSite& site = IwaSite::Instance();
    if (!site.skipReason.empty()) {
      GTEST_SKIP() << site.skipReason;
    }
    ASSERT_TRUE(site.failure.empty()) << site.failure;
    site_ = &site;
  }

  HttpResponse GetAs(const std::string& subject, const std::string& target = "/app/iwa.cgi") const {
    const std::string token = site_->Token("subject=" + subject);
    EXPECT_FALSE(token.empty());
    return Get(site_->port, target, {"Cookie: TesseraToken=" + token});
  }

  IwaSite* site_ = nullptr;
};

TEST_F(IwaEndToEndTest, RealmUserReachesTheBackendUnderItsIdentity) {
  const HttpResponse r = GetAs("jdoe");
  ASSERT_EQ(r.status, 200) << r.raw_headers << r.body;
  const auto values = Values(r.body);
  EXPECT_EQ(values.at("REMOTE_USER"), "jdoe") << r.body;
  EXPECT_EQ(values.at("AUTH_TYPE"), "Corvane Tessera");
  EXPECT_EQ(values.at("PRINCIPAL"), "jdoe@EXAMPLE.TEST");

  // The cache file offered to the CGI is private to the request and removed when it ends (the
  // request pool goes away just after the response is sent).
  const std::string cache = values.at("KRB5CCNAME");
  ASSERT_TRUE(cache.starts_with("FILE:/")) << cache;
  const fs::path file = cache.substr(5);
  bool removed = false;
  for (int i = 0; i < 100 && !removed; ++i) {
    removed = !fs::exists(file.parent_path());
    if (!removed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  EXPECT_TRUE(removed) << file;
}

TEST_F(IwaEndToEndTest, IdentityFollowsTheRequestThroughRedirectsAndSubRequests) {
  // "/app/missing" is answered by the CGI as its 404 page (an internal redirect); "/app/iwa/" by
  // the same CGI as the directory index (a sub-request).
  struct Case {
    const char* target;
    int status;
  };
  for (const Case& c : {Case{"/app/missing", 404}, Case{"/app/iwa/", 200}}) {
    const HttpResponse r = GetAs("jdoe", c.target);
    ASSERT_EQ(r.status, c.status) << c.target << "\n" << r.raw_headers << r.body;
    auto values = Values(r.body);
    EXPECT_EQ(values["REMOTE_USER"], "jdoe") << c.target << "\n" << r.body;
    EXPECT_EQ(values["AUTH_TYPE"], "Corvane Tessera") << c.target;
    EXPECT_EQ(values["PRINCIPAL"], "jdoe@EXAMPLE.TEST") << c.target;
  }
}

TEST_F(IwaEndToEndTest, ConcurrentRequestsOfDifferentUsersKeepTheirOwnIdentity) {
  const std::string tokens[2] = {site_->Token("subject=jdoe"), site_->Token("subject=bob")};
  const std::string names[2] = {"jdoe", "bob"};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const int who = (t + i) % 2;
        try {
          const HttpResponse r =
              Get(site_->port, "/app/iwa.cgi", {"Cookie: TesseraToken=" + tokens[who]});
          auto values = Values(r.body);
          if (r.status != 200 || values["REMOTE_USER"] != names[who] ||
              values["PRINCIPAL"] != names[who] + "@EXAMPLE.TEST") {
            ++wrong;
          }
        } catch (...) {
          ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(IwaEndToEndTest, UnknownUserGetsTheErrorPage) {
  const HttpResponse r = GetAs("nosuchuser");
  EXPECT_EQ(r.status, 500) << r.raw_headers << r.body;
  EXPECT_NE(r.body.find("please make sure the LogonBroker has been started."), std::string::npos)
      << r.body;
  EXPECT_EQ(r.body.find("REMOTE_USER="), std::string::npos);
}

// The status counters tell requests handed on under the user's identity and the IWA broker calls.
TEST_F(IwaEndToEndTest, StatusCountsIwaRequestsAndCalls) {
  const auto scrape = [this] {
    const HttpResponse r = Get(site_->port, "/tokengate-status");
    EXPECT_EQ(r.status, 200);
    std::map<std::string, double> samples;
    std::istringstream in(r.body);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] != '#') {
        samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ') + 1));
      }
    }
    return samples;
  };
  const std::string site = "{site=\"" + site_->statusSite + "\",";
  const std::string iwaCalls =
      "tokengate_broker_calls_total" + site + "procedure=\"GetHeaderStringWithIWA\",result=";
  const std::string series[] = {
      "tokengate_requests_total" + site + "outcome=\"passed_iwa\"}",
      "tokengate_requests_total" + site + "outcome=\"error\"}",
      // The broker cannot log the unknown user on: it answers with a fault.
      "tokengate_error_responses_total" + site + "reason=\"logon_failed\"}",
      iwaCalls + "\"ok\",status=\"0\"}",
      iwaCalls + "\"rpc_error\",status=\"0x8001011B\"}",
  };
  const auto before = scrape();
  EXPECT_EQ(GetAs("jdoe").status, 200);
  EXPECT_EQ(GetAs("bob").status, 200);
  EXPECT_EQ(GetAs("nosuchuser").status, 500);
  const auto after = scrape();
  const double expected[] = {2, 1, 1, 2, 1};
  for (std::size_t i = 0; i < std::size(series); ++i) {
    ASSERT_TRUE(after.contains(series[i])) << series[i];
    EXPECT_EQ(after.at(series[i]) - (before.contains(series[i]) ? before.at(series[i]) : 0),
              expected[i])
        << series[i];
  }
}

}  // namespace
}  // namespace tokengate::apache::testing
