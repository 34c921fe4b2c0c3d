// Requests on several threads while the reload URL is hit over and over: every request must work
// from one consistent set of values, never a mix of the old and the new configuration.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include "tokengate/common/text.h"
#include "tokengate/gate/context_link.h"
#include "tokengate/gate/request_handler.h"
#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::TestHost;
using testing::TestRequest;

// Answers every call with one header line carrying the prefix it was given, so the child headers
// show which configuration the call was made from.
class EchoPrefixBroker final : public rpc::IAuthenticator {
 public:
  std::intptr_t GetHeaderString(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                std::int32_t pl, const char16_t* p, std::int32_t, std::int32_t* utl,
                                char16_t* ut, std::int32_t* hl, char16_t* h, std::int32_t* al,
                                char16_t*) override {
    const std::u16string header = std::u16string(p, static_cast<std::size_t>(pl)) + u"uid: x\r\n";
    std::copy(header.begin(), header.end(), h);
    *hl = static_cast<std::int32_t>(header.size());
    ut[0] = u't';
    *utl = 1;
    *al = 0;
    return 0;
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                       std::int32_t, const char16_t*, std::int32_t, std::int32_t,
                                       std::int32_t*, char16_t*, std::int32_t*, char16_t*,
                                       std::int32_t*, char16_t*) override {
    return -1;
  }
};

TEST(ConcurrentReload, EveryRequestSeesOneConsistentConfiguration) {
  std::random_device rd;
  const auto dir = std::filesystem::temp_directory_path() / ("tg-reload-" + std::to_string(rd()));
  std::filesystem::create_directories(dir / "conf");
  // Version v names its cookie Tv, prefixes headers with Pv- and scopes the cookie to /v.
  const auto write = [&](char v) {
    const auto tmp = dir / "conf" / "cvisapi.conf.tmp";
    std::ofstream(tmp) << "[ISAPI]\nTesseraName=T" << v << "\nAuthenticationPrefix=P" << v
                       << "-\nPath=/" << v << "\nProtectedResourceList=^/app/\n";
    std::filesystem::rename(tmp, dir / "conf" / "cvisapi.conf");
  };
  write('a');
  GateEventLog configLog;
  GateConfiguration config(
      configLog, std::make_shared<FixedGateRegistry>(text::Utf8ToUtf16(dir.string() + "/")),
      std::make_shared<IniProfileReader>());
  ASSERT_TRUE(config.Load());
  EchoPrefixBroker broker;

  std::atomic<bool> stop{false};
  std::atomic<int> reloads{0};
  std::atomic<int> mixed{0};
  std::atomic<int> served{0};
  const auto request = [&](TestRequest r) {
    TestHost host(std::move(r));
    TagRequest(host);
    BrokerClient client(&broker, host.Log(), 1);
    const GateServices services{config, host.Log(), client, nullptr, nullptr};
    const auto status = HandleRequest(host, services);
    return std::make_pair(status, std::move(host));
  };

  std::thread reloader([&] {
    for (int i = 0; i < 200; ++i) {
      write(i % 2 ? 'a' : 'b');
      TestRequest r;
      r.url = "/x";
      r.query = "cmd=reload";
      if (request(r).first == kHseStatusError) {
        ++reloads;
      }
    }
    stop = true;
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      while (!stop) {
        TestRequest r;
        r.url = "/app/page";
        r.headers = {{"Cookie", "Ta=1; Tb=1"}};
        auto [status, host] = request(r);
        if (status != kHseStatusPending || !host.accepted || host.filter.lines.size() != 1) {
          ++mixed;
          continue;
        }
        // The cookie name, its path and the header prefix must all come from one version.
        const std::string& line = host.filter.lines[0];
        const char v = line[13];  // "Set-Cookie: T" then the version letter
        const std::string expectLine =
            std::string("Set-Cookie: T") + v + "=t; path=/" + v + "; HttpOnly\r\n";
        const std::string expectHeader = std::string("P") + v + "-uid: x\r\n";
        if (line != expectLine || !host.accepted->child_headers.ends_with(expectHeader)) {
          ++mixed;
        }
        ++served;
      }
    });
  }
  reloader.join();
  for (auto& w : workers) {
    w.join();
  }
  std::filesystem::remove_all(dir);

  EXPECT_EQ(reloads.load(), 200);
  EXPECT_GT(served.load(), 0);
  EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
}  // namespace tokengate::gate
