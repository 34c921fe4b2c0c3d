// A real `logon-broker -console` using the Kerberos S4U logon of a throwaway realm, called through
// the real client: the IWA call's credential, the faults, and the broker's log lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tessera/tessera.h"
#include "test_realm.h"
#include "tokengate/common/authenticator.h"
#include "tokengate/common/text.h"
#include "tokengate/platform/kerberos_credential.h"
#include "tokengate/platform/kerberos_s4u.h"
#include "tokengate/platform/unix_rpc.h"

extern char** environ;

namespace tokengate::platform {
namespace {

namespace fs = std::filesystem;
using testing::TestRealm;

// One broker process with the environment the test sets; stopped with SIGTERM.
class BrokerProcess {
 public:
  BrokerProcess(const fs::path& output) : output_(output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::string program = TG_LOGON_BROKER_PATH;
    std::string word = "-console";
    char* argv[] = {program.data(), word.data(), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  BrokerProcess(const BrokerProcess&) = delete;
  BrokerProcess& operator=(const BrokerProcess&) = delete;
  ~BrokerProcess() { Stop(); }

  void Stop() {
    if (pid_ <= 0)
      return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  bool Exited() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_)
      pid_ = -1;
    return pid_ <= 0;
  }
  std::string Output() const {
    std::ifstream in(output_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Waits (bounded) until the output holds `line` or the process has ended.
  bool WaitFor(const std::string& line) {
    for (int i = 0; i < 400; ++i) {
      if (Output().find(line) != std::string::npos)
        return true;
      if (Exited())
        return Output().find(line) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }

 private:
  fs::path output_;
  pid_t pid_ = -1;
};

class KerberosBroker : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    realm_ = TestRealm::Start(&whyNot_).release();
    if (realm_ == nullptr)
      return;
    for (const char* query : {"addprinc -pw pw1 jdoe", "addprinc -pw pw2 -allow_tix revoked",
                              "addprinc -pw pw3 root"}) {
      if (!realm_->Kadmin(query))
        whyNot_ = std::string("kadmin failed: ") + query;
    }
    dir_ = realm_->dir();
    fs::create_directories(dir_ / "run");
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    key.fill(0x5a);
    std::ofstream(dir_ / "tessera.properties")
        << "TokenLifetime=300\nKey.k1=" << tessera::format::Base64UrlEncode(key)
        << "\nWriteKeyId=k1\n";
    ::setenv(kRuntimeDirEnv, ((dir_ / "run").string() + "/").c_str(), 1);
    ::setenv(kKeytabEnv, realm_->keytab().c_str(), 1);
    ::setenv(kServicePrincipalEnv, TestRealm::kService, 1);
    ::unsetenv("TOKENGATE_S4U_PROVIDER");
  }
  static void TearDownTestSuite() {
    delete realm_;
    realm_ = nullptr;
  }
  void SetUp() override {
    if (realm_ == nullptr || !whyNot_.empty())
      GTEST_SKIP() << whyNot_;
  }

  static std::u16string Token(const std::u16string& subject,
                              const std::u16string& realm = u"EXAMPLE.TEST") {
    tessera::MultiStringDictionary d;
    d.Add(u"subject", subject);
    d.Add(u"realm", realm);
    const tessera::AgentConfiguration cfg((dir_ / "tessera.properties").string());
    return text::Utf8ToUtf16(tessera::Agent(cfg, tessera::SystemNow).WriteToken(d));
  }

  struct Reply {
    std::intptr_t result = -1;
    std::uint32_t fault = 0;
    std::int32_t headerLength = 0;
  };

  static Reply CallIwa(const std::u16string& token, std::int32_t childProcessId) {
    rpc::RpcStatus status = 0;
    const auto client = BindToBroker(rpc::kStringBinding, &status);
    const std::u16string config = text::Utf8ToUtf16((dir_ / "tessera.properties").string());
    const std::u16string prefix = u"TG-";
    std::vector<char16_t> updated(rpc::kUpdatedTokenCapacity), header(rpc::kHeaderCapacity),
        list(rpc::kAttributeListCapacity);
    std::int32_t updatedLength = 0, listLength = 0;
    Reply r;
    try {
      const auto n = [](const std::u16string& s) { return static_cast<std::int32_t>(s.size()); };
      r.result = client->GetHeaderStringWithIWA(n(config), config.data(), n(token), token.data(),
                                                n(prefix), prefix.data(), -1, childProcessId,
                                                &updatedLength, updated.data(), &r.headerLength,
                                                header.data(), &listLength, list.data());
    } catch (const rpc::RpcException& e) {
      r.fault = e.code();
    }
    return r;
  }

  static inline TestRealm* realm_ = nullptr;
  static inline std::string whyNot_;
  static inline fs::path dir_;
};

TEST_F(KerberosBroker, IwaCallHandsTheUsersCredentialToTheCallerOnly) {
  BrokerProcess broker(dir_ / "broker.out");
  const auto self = static_cast<std::int32_t>(::getpid());

  // The broker listens before its set-up has finished; calls in that window fail. Wait (bounded)
  // for the first call that succeeds.
  Reply ok;
  ok.fault = 1;
  for (int i = 0; i < 400 && ok.fault != 0 && !broker.Exited(); ++i) {
    ok = CallIwa(Token(u"jdoe"), self);
    if (ok.fault != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(ok.fault, 0u) << broker.Output();
  ASSERT_GE(ok.result, 0);
  UniqueFd fd(static_cast<int>(ok.result));
  std::string error;
  auto credential = ReceivedKerberosCredential::Open(fd.get(), &error);
  ASSERT_TRUE(credential) << error;
  EXPECT_EQ(credential->principal(), "jdoe@EXAMPLE.TEST");
  EXPECT_EQ(credential->localName(), std::optional<std::string>("jdoe"));
  EXPECT_EQ(credential->credentialCount(), 1);
  EXPECT_GT(ok.headerLength, 0);

  EXPECT_EQ(CallIwa(Token(u"jdoe"), self + 1).fault, rpc::kFaultSysCallFailed);
  EXPECT_EQ(CallIwa(Token(u"nosuchuser"), self).fault, rpc::kFaultAccessDenied);
  EXPECT_EQ(CallIwa(Token(u"revoked"), self).fault, rpc::kFaultAccessDenied);
  EXPECT_EQ(CallIwa(Token(u"root"), self).fault, rpc::kFaultAccessDenied);
  // jdoe of a realm the KDC does not know is nobody here, certainly not jdoe@EXAMPLE.TEST.
  EXPECT_EQ(CallIwa(Token(u"jdoe", u"OTHER.TEST"), self).fault, rpc::kFaultAccessDenied);

  realm_->StopKdc();
  EXPECT_EQ(CallIwa(Token(u"jdoe"), self).fault, rpc::kFaultAccessDenied);
  ASSERT_TRUE(realm_->StartKdc());

  broker.Stop();
  const std::string out = broker.Output();
  const std::vector<std::string> expected = {
      "LsaLogonUser call succeeded\n",
      "OpenProcess failed\n",
      "The logon attempt failed. The reason for the failure is not specified, but typical "
      "reasons include misspelled user names and misspelled passwords.\n",
      "The user account is currently disabled and cannot be used to log on.\n",
      "Refused the logon of 'root': it maps to the local account 'root'\n",
      "LsaLogonUser call failed (-1073741477) (ErrorCode=1385)\n",
      "The logon attempt failed. The reason for the failure is not specified, but typical "
      "reasons include misspelled user names and misspelled passwords.\n",
      "No domain controllers are available to service the authentication request.\n"};
  std::size_t at = 0;
  for (const std::string& line : expected) {
    const std::size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "in:\n" << out;
    at = found + line.size();
  }
}

TEST_F(KerberosBroker, UnreadableKeytabStopsTheStartWithThePrivilegeMessage) {
  ::setenv(kKeytabEnv, (dir_ / "missing.keytab").c_str(), 1);
  BrokerProcess broker(dir_ / "broker-nokeytab.out");
  ::setenv(kKeytabEnv, realm_->keytab().c_str(), 1);
  EXPECT_TRUE(broker.WaitFor(
      "Unable to get TCB privilege. Verify service is running as LOCAL_SYSTEM or a user with "
      "'Acts as part of operating system' privilege. Error code -2147024890\n"))
      << broker.Output();
}

}  // namespace
}  // namespace tokengate::platform
