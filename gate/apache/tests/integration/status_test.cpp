// The status handler through a private Apache with several child processes (prefork with four
// children, event with three processes): a known mix of requests, then a scrape whose counts are
// summed over every child; the handler's own requests are left to Apache's access control and
// not counted; per-site labels; counts across a graceful restart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"
#include "private_site.h"

namespace tokengate::apache::testing {
namespace {

struct Server {
  const char* name;
  const char* environment;
};

void PrintTo(const Server& server, std::ostream* out) {
  *out << server.name;
}

const Server kServers[] = {
    {"prefork4", "TG_MPM=prefork TG_PROCESSES=4"},
    {"event3", "TG_MPM=event TG_PROCESSES=3"},
};

// The samples of one scrape: series (name and labels as written) -> value.
using Samples = std::map<std::string, double>;

std::string Series(const std::string& name, const std::string& site,
                   const std::vector<std::pair<std::string, std::string>>& labels = {}) {
  std::string out = name + "{site=\"" + site + "\"";
  for (const auto& [key, value] : labels) {
    out += "," + key + "=\"" + value + "\"";
  }
  return out + "}";
}

class StatusTest : public ::testing::TestWithParam<Server> {
 protected:
  static void TearDownTestSuite() { Sites().clear(); }

  void SetUp() override {
    if (const std::string reason = Site::SkipReason(); !reason.empty()) {
      GTEST_SKIP() << reason;
    }
    std::unique_ptr<Site>& site = Sites()[GetParam().name];
    if (!site) {
      site = Site::Start(std::string(GetParam().environment) +
                         " TG_STATUS=1 TG_SECOND_SITE=1 TG_UPDATE_WINDOW=-2");
    }
    site_ = site.get();
    ASSERT_NE(site_, nullptr) << "the private site did not start";
    const std::string conf = site_->Value("GATE_CONF");
    const std::string confB = site_->Value("GATE_CONF_B");
    const std::size_t suffix = std::string("conf/cvisapi.conf").size();
    siteA_ = conf.substr(0, conf.size() - suffix);
    siteB_ = confB.substr(0, confB.size() - suffix);
    token_ = site_->Token("subject=alice");
    ASSERT_FALSE(token_.empty());
  }

  static std::map<std::string, std::unique_ptr<Site>>& Sites() {
    static std::map<std::string, std::unique_ptr<Site>> sites;
    return sites;
  }

  Samples Scrape(int port = 0) const {
    const HttpResponse r = Get(port != 0 ? port : site_->port, "/tokengate-status");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.Header("content-type").value_or(""), "text/plain; version=0.0.4; charset=utf-8");
    Samples samples;
    std::istringstream in(r.body);
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') {
        continue;
      }
      const std::size_t space = line.rfind(' ');
      samples[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
    }
    return samples;
  }

  // after - before of one series (a series missing reads as 0).
  static double Delta(const Samples& before, const Samples& after, const std::string& series) {
    const auto value = [&series](const Samples& s) {
      const auto it = s.find(series);
      return it != s.end() ? it->second : 0.0;
    };
    return value(after) - value(before);
  }

  // The change of every series of `name` for `site`, summed.
  static double DeltaOfFamily(const Samples& before, const Samples& after, const std::string& name,
                              const std::string& site) {
    const std::string prefix = name + "{site=\"" + site + "\"";
    double sum = 0;
    for (const Samples* s : {&before, &after}) {
      for (const auto& [series, value] : *s) {
        if (series.starts_with(prefix)) {
          sum += s == &after ? value : -value;
        }
      }
    }
    return sum;
  }

  double Requests(const Samples& before, const Samples& after, const std::string& outcome,
                  const std::string& site) const {
    return Delta(before, after, Series("tokengate_requests_total", site, {{"outcome", outcome}}));
  }

  // Runs every job, several at once, so that the requests spread over the child processes.
  static void RunConcurrently(const std::vector<std::function<void()>>& jobs) {
    std::mutex mutex;
    std::size_t next = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&] {
        for (;;) {
          std::size_t mine = 0;
          {
            std::lock_guard<std::mutex> lock(mutex);
            if (next == jobs.size()) {
              return;
            }
            mine = next++;
          }
          jobs[mine]();
        }
      });
    }
    for (std::thread& t : threads) {
      t.join();
    }
  }

  // Child processes that served requests for `path` (from pid.log).
  std::set<std::string> ProcessesThatServed(const std::string& path) const {
    std::ifstream in(site_->Work() + "/httpd/pid.log");
    std::set<std::string> pids;
    for (std::string pid, status, uri; in >> pid >> status >> uri;) {
      if (uri == path) {
        pids.insert(pid);
      }
    }
    return pids;
  }

  Site* site_ = nullptr;
  std::string siteA_;
  std::string siteB_;
  std::string token_;
};

TEST_P(StatusTest, CountsOfAKnownMixAddUpOverAllChildProcesses) {
  const Samples before = Scrape();
  const int port = site_->port;
  std::mutex mutex;
  std::vector<std::string> failures;
  const auto expect = [&](const std::string& what, const std::string& target,
                          std::vector<std::string> headers, int status) {
    return [&, what, target, headers, status] {
      const HttpResponse r = Get(port, target, headers);
      if (r.status != status) {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back(what + ": " + std::to_string(r.status));
      }
    };
  };
  std::vector<std::function<void()>> jobs;
  for (int i = 0; i < 12; ++i) {
    jobs.push_back(expect("unprotected", "/public/", {}, 200));
  }
  for (int i = 0; i < 10; ++i) {
    jobs.push_back(expect("token", "/app/static.html", {"Cookie: TesseraToken=" + token_}, 200));
  }
  for (int i = 0; i < 6; ++i) {
    jobs.push_back(expect("no token", "/app/static.html", {}, 302));
  }
  for (int i = 0; i < 4; ++i) {
    jobs.push_back(
        expect("invalid token", "/app/static.html", {"Cookie: TesseraToken=not-a-token"}, 500));
  }
  for (int i = 0; i < 2; ++i) {
    jobs.push_back(expect("expired", "/app/static.html", {"Cookie: TesseraToken=expired"}, 302));
  }
  for (int i = 0; i < 3; ++i) {
    jobs.push_back(expect("script", "/app/static.html", {"X-Requested-With: XMLHttpRequest"}, 401));
  }
  jobs.push_back(expect("reload", "/x?cmd=reload", {}, 200));
  // Scrapes in between: none of them counts.
  for (int i = 0; i < 5; ++i) {
    jobs.push_back(expect("scrape", "/tokengate-status", {}, 200));
  }
  RunConcurrently(jobs);
  EXPECT_TRUE(failures.empty()) << ::testing::PrintToString(failures);

  const Samples after = Scrape();
  const std::pair<const char*, double> outcomes[] = {
      {"not_protected", 12},  {"passed_token", 10}, {"passed_iwa", 0},
      {"signon_redirect", 8}, {"unauthorized", 3},  {"error", 4},
      {"reload", 1},          {"reload_failed", 0}, {"logout_redirect", 0},
  };
  for (const auto& [outcome, count] : outcomes) {
    EXPECT_EQ(Requests(before, after, outcome, siteA_), count) << outcome;
  }
  // Each request once: the outcomes add up to the requests sent, scrapes not among them.
  EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_requests_total", siteA_), 38);
  EXPECT_EQ(Delta(before, after,
                  Series("tokengate_error_responses_total", siteA_, {{"reason", "invalid_token"}})),
            4);
  EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_error_responses_total", siteA_), 4);

  const std::string calls = "tokengate_broker_calls_total";
  EXPECT_EQ(Delta(before, after,
                  Series(calls, siteA_,
                         {{"procedure", "GetHeaderString"}, {"result", "ok"}, {"status", "0"}})),
            10);
  EXPECT_EQ(
      Delta(before, after,
            Series(calls, siteA_,
                   {{"procedure", "GetHeaderString"}, {"result", "refused"}, {"status", "0"}})),
      4);
  EXPECT_EQ(DeltaOfFamily(before, after, calls, siteA_), 14);
  // The window of this site re-issues every token.
  EXPECT_EQ(Delta(before, after, Series("tokengate_token_reissues_total", siteA_)), 10);

  // The histogram counts every broker call, and its buckets are cumulative up to +Inf.
  const std::string latency = "tokengate_broker_call_duration_seconds";
  EXPECT_EQ(Delta(before, after, Series(latency + "_count", siteA_)), 14);
  EXPECT_EQ(Delta(before, after, Series(latency + "_bucket", siteA_, {{"le", "+Inf"}})), 14);
  EXPECT_LE(after.at(Series(latency + "_bucket", siteA_, {{"le", "0.001"}})),
            after.at(Series(latency + "_bucket", siteA_, {{"le", "30"}})));
  EXPECT_GT(Delta(before, after, Series(latency + "_sum", siteA_)), 0);

  // The other site saw none of it.
  EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_requests_total", siteB_), 0);

  // The counts come from several child processes.
  const std::set<std::string> pids = ProcessesThatServed("/app/static.html");
  if (std::string(GetParam().name).starts_with("prefork")) {
    EXPECT_GE(pids.size(), 2u) << "prefork children that served the requests";
  }
  std::printf("child processes that served /app/static.html: %zu\n", pids.size());
}

TEST_P(StatusTest, BrokerFailuresCountByRpcStatus) {
  const Samples before = Scrape();
  ASSERT_EQ(site_->Harness("broker-stop"), 0);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Get(site_->port, "/app/static.html", {"Cookie: TesseraToken=" + token_}).status, 500);
  }
  ASSERT_EQ(site_->Harness("broker-start"), 0);
  const Samples after = Scrape();

  EXPECT_EQ(Requests(before, after, "error", siteA_), 3);
  EXPECT_EQ(
      Delta(before, after,
            Series("tokengate_error_responses_total", siteA_, {{"reason", "broker_unavailable"}})),
      3);
  double failed = 0;
  for (const auto& [series, value] : after) {
    if (series.starts_with("tokengate_broker_calls_total{site=\"" + siteA_ + "\"") &&
        series.find("result=\"rpc_error\"") != std::string::npos) {
      EXPECT_EQ(series.find("status=\"0\""), std::string::npos) << series;
      EXPECT_EQ(series.find("status=\"other\""), std::string::npos) << series;
      failed += value - (before.contains(series) ? before.at(series) : 0);
    }
  }
  EXPECT_EQ(failed, 3);
  EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_broker_calls_total", siteA_), 3);
  EXPECT_EQ(Delta(before, after, Series("tokengate_broker_call_duration_seconds_count", siteA_)),
            3);
}

TEST_P(StatusTest, StatusRequestsAreLeftToRequireAndNotCounted) {
  const Samples before = Scrape();
  // Also on a path the gate protects: the handler's request is not the gate's.
  const HttpResponse onProtected = Get(site_->port, "/app/tokengate-status");
  EXPECT_EQ(onProtected.status, 200);
  EXPECT_NE(onProtected.body.find("# TYPE tokengate_requests_total counter"), std::string::npos);
  EXPECT_TRUE(onProtected.Headers("set-cookie").empty());
  EXPECT_EQ(onProtected.Header("cache-control").value_or(""), "no-store");
  // Apache's own access control decides.
  EXPECT_EQ(Get(site_->port, "/tokengate-status-denied").status, 403);
  EXPECT_EQ(Send(site_->port,
                 "POST /tokengate-status HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 "Content-Length: 0\r\nConnection: close\r\n\r\n")
                .status,
            405);
  for (int i = 0; i < 4; ++i) {
    Scrape(site_->siteBPort);
  }
  // A request left to the status handler that another handler would serve in the end (here a
  // rewrite rule's) is refused: the gate did not decide it.
  const HttpResponse rewritten = Get(site_->port, "/app/rewritten.html");
  EXPECT_EQ(rewritten.status, 403);
  EXPECT_EQ(rewritten.body.find("PROTECTED-CONTENT"), std::string::npos) << rewritten.body;
  EXPECT_NE(site_->ErrorLog().find("handler 'default-handler' would serve it; refused"),
            std::string::npos);
  const Samples after = Scrape();
  for (const std::string& site : {siteA_, siteB_}) {
    EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_requests_total", site), 0) << site;
  }
}

TEST_P(StatusTest, EachSiteConfigurationHasItsOwnLabel) {
  const std::string tokenB = site_->Token("subject=bob", "token-b");
  const Samples before = Scrape();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Get(site_->siteBPort, "/b/").status, 302);
  }
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Get(site_->siteBPort, "/b/", {"Cookie: SiteBToken=" + tokenB}).status, 200);
  }
  // Served by the first site's configuration on its own port.
  EXPECT_EQ(Get(site_->port, "/public/").status, 200);
  const Samples after = Scrape();
  EXPECT_EQ(Requests(before, after, "signon_redirect", siteB_), 3);
  EXPECT_EQ(Requests(before, after, "passed_token", siteB_), 2);
  EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_requests_total", siteB_), 5);
  EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_broker_calls_total", siteB_), 2);
  EXPECT_EQ(DeltaOfFamily(before, after, "tokengate_requests_total", siteA_), 1);
  // The same counters from either site's port.
  EXPECT_EQ(Scrape(site_->siteBPort), Scrape(site_->port));
}

TEST_P(StatusTest, CountsGoOnAcrossAGracefulRestart) {
  ASSERT_EQ(Get(site_->port, "/public/").status, 200);
  const Samples before = Scrape();
  const std::string conf = site_->Work() + "/httpd/httpd.conf";
  const auto generations = [this] {
    const std::string log = site_->ErrorLog();
    std::size_t n = 0;
    for (std::size_t at = log.find("resuming normal operations"); at != std::string::npos;
         at = log.find("resuming normal operations", at + 1)) {
      ++n;
    }
    return n;
  };
  const std::size_t started = generations();
  ASSERT_EQ(std::system(("/usr/sbin/apache2 -f '" + conf + "' -k graceful").c_str()), 0);
  for (int i = 0; i < 100 && generations() == started; ++i) {
    ::usleep(100'000);
  }
  ASSERT_GT(generations(), started) << "the server did not restart";
  ASSERT_EQ(Get(site_->port, "/public/").status, 200);
  const Samples after = Scrape();
  // Nothing lost, one more.
  EXPECT_EQ(Requests(before, after, "not_protected", siteA_), 1);
  for (const auto& [series, value] : before) {
    if (series.starts_with("tokengate_requests_total")) {
      EXPECT_GE(after.at(series), value) << series;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Mpm, StatusTest, ::testing::ValuesIn(kServers),
                         [](const ::testing::TestParamInfo<Server>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace tokengate::apache::testing
