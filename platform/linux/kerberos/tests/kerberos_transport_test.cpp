// The credential of an S4U2Self logon travelling over the broker's Unix socket to its caller:
// it arrives only when the caller is the process the call names.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "kerberos_internal.h"
#include "test_realm.h"
#include "tokengate/platform/broker_handle_transfer.h"
#include "tokengate/platform/kerberos_credential.h"
#include "tokengate/platform/kerberos_s4u.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {
namespace {

using testing::TestRealm;

// Stands in for the broker's IWA procedure: the logon for the token's subject (here the token
// text itself), then the hand-over to ChildProcessID, with the procedure's faults.
class LogonOnlyAuthenticator final : public rpc::IAuthenticator {
 public:
  explicit LogonOnlyAuthenticator(KerberosS4ULogonProvider& provider) : provider_(provider) {}

  std::intptr_t GetHeaderString(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                std::int32_t, const char16_t*, std::int32_t, std::int32_t*,
                                char16_t*, std::int32_t*, char16_t*, std::int32_t*,
                                char16_t*) override {
    return rpc::kResultFailure;
  }

  std::intptr_t GetHeaderStringWithIWA(std::int32_t, const char16_t*, std::int32_t length,
                                       const char16_t* token, std::int32_t, const char16_t*,
                                       std::int32_t, std::int32_t childProcessId,
                                       std::int32_t* updatedLength, char16_t*,
                                       std::int32_t* headerLength, char16_t*,
                                       std::int32_t* listLength, char16_t*) override {
    *updatedLength = *headerLength = *listLength = 0;
    broker::LogonResult logon = provider_.LogonUser(
        std::u16string(token, static_cast<std::size_t>(length)), u"", kKerberosPackageId);
    if (!logon.credential)
      throw rpc::RpcException(rpc::kFaultAccessDenied);
    UniqueFd fd(static_cast<int>(logon.credential.Release()));
    if (TransferToCaller(std::move(fd), childProcessId) != ReplyTransfer::Attached) {
      throw rpc::RpcException(rpc::kFaultSysCallFailed);
    }
    return 0;
  }

 private:
  KerberosS4ULogonProvider& provider_;
};

TEST(KerberosOverBrokerSocket, CredentialReachesOnlyTheNamedCaller) {
  std::string whyNot;
  auto realm = TestRealm::Start(&whyNot);
  if (!realm)
    GTEST_SKIP() << whyNot;
  ASSERT_TRUE(realm->Kadmin("addprinc -pw pw1 jdoe"));
  ::setenv(kRuntimeDirEnv, (realm->dir() + "/run/").c_str(), 1);

  KerberosSettings settings;
  settings.keytab = realm->keytab();
  settings.servicePrincipal = TestRealm::kService;
  KerberosS4ULogonProvider provider(settings);
  std::unique_ptr<broker::IPrivilegeHold> hold;
  std::uint32_t id = 0;
  ASSERT_EQ(provider.EnablePrivilege(hold), 0);
  ASSERT_EQ(provider.RegisterLogonProcess("x"), 0) << provider.SetupDetail();
  ASSERT_EQ(provider.LookupAuthenticationPackage("Kerberos", id), 0);

  LogonOnlyAuthenticator implementation(provider);
  auto server = CreateUnixRpcServerRuntime();
  ASSERT_EQ(server->UseProtseqEp(rpc::kProtocol, 4, rpc::kEndpoint), 0);
  ASSERT_EQ(server->RegisterIf(implementation), 0);
  ASSERT_EQ(server->Listen(1, 4, true), 0);

  rpc::RpcStatus status = 0;
  auto client = BindToBroker(rpc::kStringBinding, &status);
  ASSERT_TRUE(client) << status;
  auto call = [&](std::u16string subject, std::int32_t pid) {
    std::int32_t updatedLength = 0, headerLength = 0, listLength = 0;
    std::u16string updated(rpc::kUpdatedTokenCapacity, u'\0');
    std::u16string header(rpc::kHeaderCapacity, u'\0');
    std::u16string list(rpc::kAttributeListCapacity, u'\0');
    return client->GetHeaderStringWithIWA(
        1, u"c", static_cast<std::int32_t>(subject.size()), subject.data(), 0, u"", -1, pid,
        &updatedLength, updated.data(), &headerLength, header.data(), &listLength, list.data());
  };

  const std::intptr_t received = call(u"jdoe", static_cast<std::int32_t>(::getpid()));
  ASSERT_GT(received, 0);
  UniqueFd fd(static_cast<int>(received));
  std::string error;
  auto credential = ReceivedKerberosCredential::Open(fd.get(), &error);
  ASSERT_TRUE(credential) << error;
  EXPECT_EQ(credential->principal(), "jdoe@EXAMPLE.TEST");
  EXPECT_EQ(credential->credentialCount(), 1);

  try {
    call(u"jdoe", static_cast<std::int32_t>(::getpid()) + 1);
    ADD_FAILURE() << "a caller other than ChildProcessID received the credential";
  } catch (const rpc::RpcException& e) {
    EXPECT_EQ(e.code(), rpc::kFaultSysCallFailed);
  }
  try {
    call(u"nosuchuser", static_cast<std::int32_t>(::getpid()));
    ADD_FAILURE() << "an unknown user was logged on";
  } catch (const rpc::RpcException& e) {
    EXPECT_EQ(e.code(), rpc::kFaultAccessDenied);
  }

  EXPECT_EQ(server->StopListening(), 0);
  EXPECT_EQ(server->WaitServerListen(), 0);
}

}  // namespace
}  // namespace tokengate::platform
