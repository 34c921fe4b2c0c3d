// Protected requests through the handler against a real `logon-broker -console` process on a
// private socket, with tokens made by the codec.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "tessera/tessera.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/context_link.h"
#include "tokengate/gate/request_handler.h"
#include "tokengate/gate/testing/test_host.h"
#include "tokengate/platform/unix_rpc.h"
#include "tokengate/testing/child_process.h"

namespace tokengate::gate {

void PrintTo(const CapturingEventSink::Event& e, std::ostream* os) {
  *os << "{type " << static_cast<int>(e.type) << ", \"" << text::Utf16ToUtf8(e.text) << "\"}";
}

namespace {

namespace fs = std::filesystem;
using testing::TestHost;
using testing::TestRequest;
using E = CapturingEventSink::Event;

const std::u16string kBrokerDown =
    u"Could not obtain attributes from Tessera, please make sure the LogonBroker has been "
    u"started.";
constexpr char kClearLine[] = "Set-Cookie: TSR=; expires=Thu, 01 Jan 1970 00:00:00 GMT; path=/; HttpOnly\r\n";
constexpr char kSignOn[] =
    "https://sso.example.test/signon?TargetResource=http://app.example.test/app/page";

class BrokerFlowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("gate-broker-flow-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "conf");
    fs::create_directories(dir_ / "run");
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    key.fill(0x5a);
    std::ofstream(dir_ / "conf" / "agent-config.txt")
        << "TokenLifetime=300\nKey.k1=" << tessera::format::Base64UrlEncode(key)
        << "\nWriteKeyId=k1\n";
    ::setenv(platform::kRuntimeDirEnv, ((dir_ / "run").string() + "/").c_str(), 1);
    ::setenv("TOKENGATE_S4U_PROVIDER", "none", 1);
    StartBroker();
  }
  static void TearDownTestSuite() {
    StopBroker();
    fs::remove_all(dir_);
  }

  static void StartBroker() {
    ASSERT_TRUE(broker_.Start(TG_LOGON_BROKER_PATH, {"-console"}));
    // A killed broker leaves its socket file behind: wait for a listener, not for the file.
    ASSERT_TRUE(tokengate::testing::WaitUntilListening(platform::BrokerSocketPath(rpc::kEndpoint)))
        << "broker did not start listening";
  }
  static void StopBroker() { broker_.Stop(SIGKILL); }

  void SetUp() override { Conf(""); }

  void Conf(const std::string& extra) {
    std::ofstream(dir_ / "conf" / "cvisapi.conf")
        << "[ISAPI]\n"
        << extra
        << "TesseraName=TSR\nSSOUrl=https://sso.example.test/signon\n"
           "ProtectedResourceList=^/app/\nAuthenticationPrefix=X-\n";
    ASSERT_TRUE(config_.Load());
  }

  static std::string Issue(std::chrono::seconds age = std::chrono::seconds(0)) {
    tessera::MultiStringDictionary d;
    d.Add(u"subject", u"jdoe");
    d.Add(u"groups", u"a");
    d.Add(u"groups", u"b");
    const tessera::AgentConfiguration cfg((dir_ / "conf" / "agent-config.txt").string());
    return tessera::Agent(cfg, [age] { return tessera::SystemNow() - age; }).WriteToken(d);
  }

  std::uint32_t Go(TestHost& host) {
    TagRequest(host);
    BrokerClient client(binding_.get(), host.Log(), ::getpid());
    const GateServices services{config_, host.Log(), client, nullptr, nullptr};
    return HandleRequest(host, services);
  }

  static TestHost Request(const std::string& token) {
    TestRequest r;
    r.url = "/app/page";
    r.headers = {{"Host", "app.example.test"}, {"Cookie", "TSR=" + token}};
    return TestHost(r);
  }

  static inline fs::path dir_;
  static inline tokengate::testing::ChildProcess broker_;
  GateEventLog configLog_;
  GateConfiguration config_{
      configLog_, std::make_shared<FixedGateRegistry>(text::Utf8ToUtf16(dir_.string() + "/")),
      std::make_shared<IniProfileReader>()};
  std::unique_ptr<rpc::IAuthenticator> binding_ = [] {
    rpc::RpcStatus status = 0;
    return platform::BindToBroker(rpc::kStringBinding, &status);
  }();
};

TEST_F(BrokerFlowTest, ValidTokenAddsHeadersAndRewritesTheCookie) {
  const std::string token = Issue();
  TestHost host = Request(token);
  ASSERT_EQ(Go(host), kHseStatusPending);
  ASSERT_TRUE(host.accepted.has_value());
  const std::string& block = host.accepted->child_headers;
  EXPECT_NE(block.find("X-subject: jdoe\r\nX-groups: [a,b]\r\n"), std::string::npos) << block;
  EXPECT_NE(block.find("X-not-on-or-after: "), std::string::npos) << block;
  // Issued just now, inside the update window: handed back unchanged.
  EXPECT_EQ(host.filter.lines,
            std::vector<std::string>{"Set-Cookie: TSR=" + token + "; path=/; HttpOnly\r\n"});
  EXPECT_EQ(host.Events(),
            (std::vector<E>{{EventType::Information, 1000, 1001,
                             u"Attributes from Tessera are being added as request headers."}}));
}

TEST_F(BrokerFlowTest, TokenPastTheUpdateWindowIsReissued) {
  const std::string token = Issue(std::chrono::seconds(60));
  TestHost host = Request(token);
  ASSERT_EQ(Go(host), kHseStatusPending);
  ASSERT_EQ(host.filter.lines.size(), 1u);
  const std::string& line = host.filter.lines[0];
  ASSERT_TRUE(line.starts_with("Set-Cookie: TSR=")) << line;
  const std::string renewed = line.substr(16, line.find(';') - 16);
  EXPECT_NE(renewed, token);
  // The renewed token is itself accepted by the broker.
  TestHost again = Request(renewed);
  EXPECT_EQ(Go(again), kHseStatusPending);
}

TEST_F(BrokerFlowTest, ExpiredTamperedAndDeletedCookies) {
  {  // expired: the cookie is cleared and the user sent to sign on, without an error
    TestHost host = Request(Issue(std::chrono::seconds(3600)));
    EXPECT_EQ(Go(host), kHseStatusSuccess);
    EXPECT_EQ(host.redirects, std::vector<std::string>{kSignOn});
    EXPECT_EQ(host.filter.lines, std::vector<std::string>{kClearLine});
    EXPECT_TRUE(host.Events().empty());
  }
  {  // tampered: refused with the broker message
    std::string token = Issue();
    token[token.size() / 2] = token[token.size() / 2] == 'A' ? 'B' : 'A';
    TestHost host = Request(token);
    EXPECT_EQ(Go(host), kHseStatusError);
    EXPECT_EQ(host.status_code, 500u);
    EXPECT_EQ(host.Events(), (std::vector<E>{{EventType::Error, 1000, 1001, kBrokerDown}}));
  }
  {  // DeleteTesseraCookie: used for this one request, then removed
    Conf("DeleteTesseraCookie=YES\n");
    TestHost host = Request(Issue());
    EXPECT_EQ(Go(host), kHseStatusPending);
    EXPECT_EQ(host.filter.lines, std::vector<std::string>{kClearLine});
  }
}

TEST_F(BrokerFlowTest, IwaWithoutLogonProviderIsRefusedWithTheFaultCode) {
  Conf("EnableIWA=YES\n");
  TestHost host = Request(Issue());
  EXPECT_EQ(Go(host), kHseStatusError);
  EXPECT_EQ(host.Events(),
            (std::vector<E>{{EventType::Error, 1000, 1001, u"default"},
                            {EventType::Error, 1000, 1001, kBrokerDown + u" -2147417829"}}));
  EXPECT_EQ(host.thread_account, u"IUSR");
}

// Runs last (gtest keeps declaration order within a file): stops and restarts the broker.
TEST_F(BrokerFlowTest, BrokerStoppedThenRestarted) {
  const std::string token = Issue();
  {  // a warm pooled connection first, so the restart below must be survived by the pool
    TestHost host = Request(token);
    ASSERT_EQ(Go(host), kHseStatusPending);
  }
  StopBroker();
  {
    TestHost host = Request(token);
    EXPECT_EQ(Go(host), kHseStatusError);
    EXPECT_EQ(host.Events(), (std::vector<E>{{EventType::Error, 1000, 1001, kBrokerDown}}));
  }
  {
    Conf("EnableIWA=YES\n");
    TestHost host = Request(token);
    EXPECT_EQ(Go(host), kHseStatusError);
    EXPECT_EQ(host.Events(),
              (std::vector<E>{{EventType::Error, 1000, 1001, u"The server is unavailable."},
                              {EventType::Error, 1000, 1001, kBrokerDown + u" 1722"}}));
    Conf("");
  }
  StartBroker();
  {
    TestHost host = Request(token);
    EXPECT_EQ(Go(host), kHseStatusPending);
  }
}

}  // namespace
}  // namespace tokengate::gate
