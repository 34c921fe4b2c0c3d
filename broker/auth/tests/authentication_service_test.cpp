#include "tokengate/broker/auth/authentication_service.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "tessera/tessera.h"
#include "tokengate/common/text.h"

namespace tokengate::broker {
namespace {

using text::Utf16ToUtf8;
using text::Utf8ToUtf16;

struct Event {
  EventType type;
  std::string text;
  bool operator==(const Event&) const = default;
};

// Only the event log matters here; the host's other facilities are never reached.
class EventPlatform final : public IServicePlatform {
 public:
  void WriteStdout(std::u16string_view) override {}
  void ReportEvent(std::u16string_view, EventType type, std::u16string_view t) noexcept override {
    events.push_back({type, Utf16ToUtf8(t)});
  }
  void Sleep(std::chrono::milliseconds) override {}
  std::uint32_t LastError() const override { return 0; }
  std::u16string SystemErrorText(std::uint32_t) override { return {}; }
  std::optional<std::u16string> ModuleFileName() override { return std::nullopt; }
  std::unique_ptr<IServiceManager> OpenServiceManager() override { return nullptr; }
  bool StartServiceDispatcher(std::u16string_view, IServiceCallbacks&) override { return false; }
  bool RegisterControlHandler(std::u16string_view) override { return false; }
  bool SetServiceStatus(const ServiceStatus&) override { return false; }
  std::vector<Event> events;
};

class NoopRuntime final : public rpc::IRpcServerRuntime {
 public:
  rpc::RpcStatus UseProtseqEp(const std::u16string&, unsigned, const std::u16string&) override {
    return 0;
  }
  rpc::RpcStatus RegisterIf(rpc::IAuthenticator&) override { return 0; }
  rpc::RpcStatus Listen(unsigned, unsigned, bool) override { return 0; }
  rpc::RpcStatus StopListening() override { return 0; }
  rpc::RpcStatus WaitServerListen() override { return 0; }
};

// Credentials are plain numbers; closing one records it.
std::vector<std::intptr_t>* gClosed = nullptr;
void RecordClose(std::intptr_t v) noexcept {
  if (gClosed != nullptr)
    gClosed->push_back(v);
}

struct ProviderScript {
  std::int32_t privilege = 0;
  std::int32_t registerStatus = 0;
  std::int32_t lookupStatus = 0;
  std::uint32_t packageId = 7;
  std::int32_t logonStatus = 0;
  std::int32_t subStatus = 0;
  std::uint32_t winError = 0;
  bool passwordMustChange = false;
  bool throwComError = false;
  int deregistered = 0;
  std::vector<std::string> logons;
};

class ScriptedProvider final : public IS4ULogonProvider {
 public:
  explicit ScriptedProvider(ProviderScript& s) : s_(s) {}
  std::int32_t EnablePrivilege(std::unique_ptr<IPrivilegeHold>&) override { return s_.privilege; }
  std::int32_t RegisterLogonProcess(const std::string& name) override {
    EXPECT_EQ(name, "Corvane Web Agent Authentication Service");
    return s_.registerStatus;
  }
  std::int32_t LookupAuthenticationPackage(const std::string& name, std::uint32_t& id) override {
    EXPECT_EQ(name, "Kerberos");
    id = s_.packageId;
    return s_.lookupStatus;
  }
  std::int32_t DeregisterLogonProcess() override {
    ++s_.deregistered;
    return 0;
  }
  LogonResult LogonUser(const std::u16string& upn, const std::u16string& realm,
                        std::uint32_t packageId) override {
    if (s_.throwComError)
      throw ComError(static_cast<std::int32_t>(0x8007000E));
    s_.logons.push_back(Utf16ToUtf8(upn) + "|" + Utf16ToUtf8(realm) + "|" +
                        std::to_string(packageId));
    LogonResult r;
    r.status = s_.logonStatus;
    r.subStatus = s_.subStatus;
    r.winError = s_.winError;
    r.passwordMustChange = s_.passwordMustChange;
    r.credential = OwnedCredential(42, &RecordClose);
    return r;
  }

 private:
  ProviderScript& s_;
};

struct TransferScript {
  IHandleTransfer::Outcome outcome = IHandleTransfer::Outcome::Transferred;
  std::vector<std::pair<std::intptr_t, std::int32_t>> seen;
};

class ScriptedTransfer final : public IHandleTransfer {
 public:
  explicit ScriptedTransfer(TransferScript& s) : s_(s) {}
  Result Transfer(OwnedCredential credential, std::int32_t childProcessId) override {
    s_.seen.emplace_back(credential.Get(), childProcessId);
    if (s_.outcome == Outcome::Transferred) {
      credential.Release();  // now owned by the other process
      return {Outcome::Transferred, 1234};
    }
    return {s_.outcome, -1};  // `credential` closes on the way out
  }

 private:
  TransferScript& s_;
};

struct Outputs {
  std::int32_t updatedLength = -7, headerLength = -7, listLength = -7;
  std::vector<char16_t> updated = std::vector<char16_t>(rpc::kUpdatedTokenCapacity, u'#');
  std::vector<char16_t> header = std::vector<char16_t>(rpc::kHeaderCapacity, u'#');
  std::vector<char16_t> list = std::vector<char16_t>(rpc::kAttributeListCapacity, u'#');
  std::u16string Updated() const { return {updated.data(), std::size_t(updatedLength)}; }
  std::string Header() const { return Utf16ToUtf8({header.data(), std::size_t(headerLength)}); }
};

class AuthenticationServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gClosed = &closed_;
    dir_ = std::filesystem::temp_directory_path() /
           ("broker-auth-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    key.fill(0x5A);
    std::ofstream(dir_ / "tessera.properties")
        << "TokenLifetime=300\nKey.k1=" << tessera::format::Base64UrlEncode(key)
        << "\nWriteKeyId=k1\n";
    config_ = Utf8ToUtf16((dir_ / "tessera.properties").string());
  }
  void TearDown() override {
    gClosed = nullptr;
    std::filesystem::remove_all(dir_);
  }

  AuthenticationService& Service(TokenReader reader = CodecTokenReader()) {
    service_ = std::make_unique<AuthenticationService>(
        platform_, runtime_, std::make_unique<ScriptedProvider>(provider_),
        std::make_unique<ScriptedTransfer>(transfer_), std::move(reader));
    return *service_;
  }
  AuthenticationService& ConnectedService() {
    auto& s = Service();
    EXPECT_EQ(s.ServiceSetup(), 0);
    platform_.events.clear();
    return s;
  }

  std::u16string Issue(const tessera::MultiStringDictionary& d,
                       tessera::Clock clock = tessera::SystemNow) const {
    const auto cfg = tessera::AgentConfiguration((dir_ / "tessera.properties").string());
    const auto t = tessera::Agent(cfg, std::move(clock)).WriteToken(d);
    return Utf8ToUtf16(t);
  }
  static tessera::MultiStringDictionary Jdoe() {
    tessera::MultiStringDictionary d;
    d.Add(u"subject", u"jdoe@EXAMPLE.ORG");
    d.Add(u"realm", u"EXAMPLE.ORG");
    d.Add(u"groups", u"a");
    d.Add(u"groups", u"b");
    return d;
  }

  // Calls through the dispatch routine, as the transport does.
  std::intptr_t Call(const std::u16string& token, Outputs& o, std::int32_t window = -1,
                     std::u16string config = {}) {
    if (config.empty())
      config = config_;
    const std::u16string prefix = u"X-";
    return service_->GetHeaderString(
        std::int32_t(config.size()), config.data(), std::int32_t(token.size()), token.data(),
        std::int32_t(prefix.size()), prefix.data(), window, &o.updatedLength, o.updated.data(),
        &o.headerLength, o.header.data(), &o.listLength, o.list.data());
  }
  std::intptr_t CallIwa(const std::u16string& token, Outputs& o, std::int32_t pid = 4321) {
    return service_->GetHeaderStringWithIWA(
        std::int32_t(config_.size()), config_.data(), std::int32_t(token.size()), token.data(), 0,
        nullptr, -1, pid, &o.updatedLength, o.updated.data(), &o.headerLength, o.header.data(),
        &o.listLength, o.list.data());
  }
  // The fault code an IWA call raises, or 0 when it returns.
  std::uint32_t IwaFault(const std::u16string& token) {
    Outputs o;
    try {
      CallIwa(token, o);
    } catch (const rpc::RpcException& e) {
      return e.code();
    }
    return 0;
  }

  std::filesystem::path dir_;
  std::u16string config_;
  EventPlatform platform_;
  NoopRuntime runtime_;
  ProviderScript provider_;
  TransferScript transfer_;
  std::vector<std::intptr_t> closed_;
  std::unique_ptr<AuthenticationService> service_;
};

TEST_F(AuthenticationServiceTest, ValidTokenGivesHeaderStringAndUnchangedToken) {
  Service();
  const auto token = Issue(Jdoe());
  Outputs o;
  EXPECT_EQ(Call(token, o), 0);
  EXPECT_EQ(o.Header(),
            "X-subject: jdoe@EXAMPLE.ORG\r\nX-realm: EXAMPLE.ORG\r\nX-groups: [a,b]\r\n"
            "X-not-on-or-after: " +
                o.Header().substr(o.Header().rfind(": ") + 2));
  EXPECT_EQ(o.Updated(), token);
  EXPECT_EQ(o.updated[std::size_t(o.updatedLength)], u'\0');
  EXPECT_EQ(o.listLength, 0);
  EXPECT_TRUE(platform_.events.empty());
}

TEST_F(AuthenticationServiceTest, TokenIsReissuedWhenTheWindowHasPassed) {
  Service();
  // Written 10 s ago: with a window of 0 a re-issue is due.
  const auto token = Issue(Jdoe(), [] { return tessera::SystemNow() - std::chrono::seconds(10); });
  Outputs o;
  EXPECT_EQ(Call(token, o, /*window=*/0), 0);
  EXPECT_NE(o.Updated(), token);
  Outputs again;
  EXPECT_EQ(Call(o.Updated(), again), 0);
}

TEST_F(AuthenticationServiceTest, FailuresAreLoggedWithTheirTypeAndReturnMinusOne) {
  Service();
  const auto valid = Issue(Jdoe());
  const auto expired = Issue(Jdoe(), [] { return tessera::SystemNow() - std::chrono::hours(2); });
  std::u16string tampered = valid;
  tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == u'A' ? u'B' : u'A';

  struct Case {
    const char* name;
    std::u16string token;
    std::u16string config;
    EventType type;
  };
  const Case cases[] = {
      {"expired", expired, {}, EventType::Information},
      {"tampered", tampered, {}, EventType::Error},
      {"garbage", u"not-a-token", {}, EventType::Error},
      {"missing properties file", valid, u"/nonexistent/tessera.properties", EventType::Error},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform_.events.clear();
    Outputs o;
    EXPECT_EQ(Call(c.token, o, -1, c.config), -1);
    ASSERT_EQ(platform_.events.size(), 1u);
    EXPECT_EQ(platform_.events[0].type, c.type);
    EXPECT_FALSE(platform_.events[0].text.empty());
    if (c.type == EventType::Information) {
      EXPECT_EQ(o.Updated(), u"SESSION_EXPIRED");
      EXPECT_EQ(o.updated[15], u'\0');
    }
  }
}

TEST_F(AuthenticationServiceTest, EmptyTokensRaiseFault1782AndAreLoggedOnce) {
  Service();
  for (const std::u16string& token : {std::u16string(), std::u16string(u"\0abc", 4)}) {
    platform_.events.clear();
    Outputs o;
    try {
      Call(token, o);
      ADD_FAILURE() << "no fault";
    } catch (const rpc::RpcException& e) {
      EXPECT_EQ(e.code(), 1782u);
    }
    EXPECT_EQ(platform_.events,
              (std::vector<Event>{{EventType::Error, "No token passed to procedure"}}));
  }
}

TEST_F(AuthenticationServiceTest, InputsAreUsedUpToTheirFirstNul) {
  Service();
  std::u16string token = Issue(Jdoe());
  token += std::u16string(u"\0trailing", 9);
  Outputs o;
  EXPECT_EQ(Call(token, o), 0);
  EXPECT_EQ(o.Updated(), token.substr(0, token.find(u'\0')));
}

TEST_F(AuthenticationServiceTest, OverlongTokenIsRefusedWithoutDecoding) {
  int reads = 0;
  Service([&reads](auto&&...) {
    ++reads;
    return std::u16string();
  });
  Outputs o;
  EXPECT_EQ(Call(std::u16string(5000, u'A'), o), -1);
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(platform_.events,
            (std::vector<Event>{{EventType::Error, "Token longer than 4999 characters refused"}}));
  EXPECT_EQ(Call(std::u16string(4999, u'A'), o), 0);
  EXPECT_EQ(reads, 1);
}

TEST_F(AuthenticationServiceTest, AnythingThrownByTheDecoderIsADecryptionError) {
  Service();
  tessera::MultiStringDictionary d;
  d.Add(u"subject", u"jdoe");
  d.Set(u"empty", {});
  const auto cfg = tessera::AgentConfiguration((dir_ / "tessera.properties").string());
  const auto noValues = Utf8ToUtf16(tessera::format::Seal(cfg, d));
  Outputs o;
  EXPECT_EQ(Call(noValues, o), -1);
  EXPECT_EQ(platform_.events,
            (std::vector<Event>{{EventType::Error, "Error occured in tessera decryption."}}));

  Service([](auto&&...) -> std::u16string { throw 17; });
  platform_.events.clear();
  EXPECT_EQ(Call(u"abc", o), -1);
  EXPECT_EQ(platform_.events.back().text, "Error occured in tessera decryption.");
}

TEST_F(AuthenticationServiceTest, WrapperWarningsAreLoggedAsWarnings) {
  Service([](auto&&... args) {
    auto&& tuple = std::forward_as_tuple(args...);
    std::get<13>(tuple)(u"attribute emptied");
    return std::u16string();
  });
  Outputs o;
  EXPECT_EQ(Call(u"abc", o), 0);
  EXPECT_EQ(platform_.events, (std::vector<Event>{{EventType::Warning, "attribute emptied"}}));
}

TEST_F(AuthenticationServiceTest, IwaSuccessReturnsTheTransferredHandle) {
  ConnectedService();
  Outputs o;
  EXPECT_EQ(CallIwa(Issue(Jdoe()), o, 4321), 1234);
  EXPECT_EQ(provider_.logons, (std::vector<std::string>{"jdoe@EXAMPLE.ORG|EXAMPLE.ORG|7"}));
  EXPECT_EQ(transfer_.seen, (std::vector<std::pair<std::intptr_t, std::int32_t>>{{42, 4321}}));
  EXPECT_TRUE(closed_.empty());
  EXPECT_EQ(platform_.events,
            (std::vector<Event>{{EventType::Information, "LsaLogonUser call succeeded"}}));
}

TEST_F(AuthenticationServiceTest, IwaFaultsAndTheirEvents) {
  tessera::MultiStringDictionary noSubject;
  noSubject.Add(u"groups", u"a");
  using O = IHandleTransfer::Outcome;
  struct Case {
    const char* name;
    bool withSubject;
    O outcome;
    std::uint32_t fault;
    std::vector<Event> events;
    std::size_t closes;
  };
  const Case cases[] = {
      {"no subject",
       false,
       O::Transferred,
       0x8001011B,
       {{EventType::Error, "Tessera did not contain 'userId'"}},
       0},
      {"caller pid mismatch",
       true,
       O::OpenProcessFailed,
       0x80010100,
       {{EventType::Information, "LsaLogonUser call succeeded"},
        {EventType::Error, "OpenProcess failed"}},
       1},
      {"failed send",
       true,
       O::DuplicateHandleFailed,
       0x80010100,
       {{EventType::Information, "LsaLogonUser call succeeded"},
        {EventType::Error, "DuplicateHandle failed"}},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectedService();
    closed_.clear();
    transfer_.outcome = c.outcome;
    EXPECT_EQ(IwaFault(Issue(c.withSubject ? Jdoe() : noSubject)), c.fault);
    EXPECT_EQ(platform_.events, c.events);
    EXPECT_EQ(closed_.size(), c.closes);
  }
}

TEST_F(AuthenticationServiceTest, LogonFailuresMapToTheirMessages) {
  struct Case {
    std::uint32_t status, subStatus, winError;
    const char* message;
  };
  const Case cases[] = {
      {0xC0000044, 0, 1816,
       "The caller's memory quota is insufficient to allocate the output buffer returned by the "
       "authentication package."},
      {0xC000006E, 0xC000006F, 1327,
       "The user account has time restrictions and cannot be used to log on at this time."},
      {0xC000006E, 0xC0000070, 1327,
       "The user account has workstation restrictions and cannot be used to log on from the "
       "current workstation."},
      {0xC000006E, 0xC0000071, 1327, "The user-account password has expired."},
      {0xC000006E, 0xC0000072, 1327,
       "The user account is currently disabled and cannot be used to log on."},
      {0xC000006E, 0xC0000193, 1327, "LsaLogonUser call failed (-1073741714) (ErrorCode=1327)"},
      {0xC00000A7, 0, 1348,
       "The authentication information provided is not recognized by the authentication "
       "package."},
      {0xC000006D, 0, 1326,
       "The logon attempt failed. The reason for the failure is not specified, but typical "
       "reasons include misspelled user names and misspelled passwords."},
      {0xC000005E, 0, 1311,
       "No domain controllers are available to service the authentication request."},
      {0xC00000FE, 0, 1364, "The specified authentication package is not recognized by the LSA."},
      {0xC0000022, 0, 5, "LsaLogonUser call failed (-1073741790) (ErrorCode=5)"},
  };
  const auto token = Issue(Jdoe());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    provider_.logonStatus = static_cast<std::int32_t>(c.status);
    provider_.subStatus = static_cast<std::int32_t>(c.subStatus);
    provider_.winError = c.winError;
    ConnectedService();
    closed_.clear();
    EXPECT_EQ(IwaFault(token), 0x8001011Bu);
    EXPECT_EQ(platform_.events, (std::vector<Event>{{EventType::Error, c.message}}));
    EXPECT_EQ(closed_, std::vector<std::intptr_t>{42});  // a returned credential is closed
    EXPECT_TRUE(transfer_.seen.empty());
  }
}

TEST_F(AuthenticationServiceTest, PasswordMustChangeIsOnlyAWarning) {
  provider_.passwordMustChange = true;
  ConnectedService();
  Outputs o;
  EXPECT_EQ(CallIwa(Issue(Jdoe()), o), 1234);
  EXPECT_EQ(platform_.events,
            (std::vector<Event>{{EventType::Warning, "Password needs to be reset"},
                                {EventType::Information, "LsaLogonUser call succeeded"}}));
}

TEST_F(AuthenticationServiceTest, ComErrorRaisesInvalidParameter) {
  provider_.throwComError = true;
  ConnectedService();
  EXPECT_EQ(IwaFault(Issue(Jdoe())), 0x80010010u);
  EXPECT_EQ(platform_.events,
            (std::vector<Event>{{EventType::Error, "COM error occurred: -2147024882"}}));
}

TEST_F(AuthenticationServiceTest, LogonBeforeSetupFailsWithoutReachingTheProvider) {
  Service();
  EXPECT_EQ(IwaFault(Issue(Jdoe())), 0x8001011Bu);
  EXPECT_TRUE(provider_.logons.empty());
  EXPECT_EQ(platform_.events,
            (std::vector<Event>{
                {EventType::Error, "LsaLogonUser call failed (-1073741816) (ErrorCode=6)"}}));
}

TEST_F(AuthenticationServiceTest, SetupStepsStopAtTheFirstFailure) {
  struct Case {
    const char* name;
    ProviderScript script;
    std::int32_t hr;
    const char* message;
    int deregistered;
  };
  ProviderScript privilege, reg, lookup, invalid;
  privilege.privilege = static_cast<std::int32_t>(0x80070006);
  reg.registerStatus = static_cast<std::int32_t>(0xC0000041);
  lookup.lookupStatus = static_cast<std::int32_t>(0xC00000FE);
  invalid.packageId = 0xFFFFFFFF;
  const Case cases[] = {
      {"privilege", privilege, static_cast<std::int32_t>(0x80070006),
       "Unable to get TCB privilege. Verify service is running as LOCAL_SYSTEM or a user with "
       "'Acts as part of operating system' privilege. Error code -2147024890",
       0},
      {"register", reg, static_cast<std::int32_t>(0x80070005),
       "LsaRegisterLogonProcess failed: -1073741759", 0},
      {"lookup", lookup, static_cast<std::int32_t>(0x8000FFFF),
       "LsaLookupAuthenticationPackage (Kerberos) failed", 0},
      {"invalid id", invalid, static_cast<std::int32_t>(0x80004002),
       "Invalid handle returned from Kerberos package lookup", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    provider_ = c.script;
    platform_.events.clear();
    auto& s = Service();
    EXPECT_EQ(s.ServiceSetup(), c.hr);
    EXPECT_FALSE(s.LogonConnected());
    EXPECT_EQ(platform_.events, (std::vector<Event>{{EventType::Information, "Service Starting"},
                                                    {EventType::Error, c.message}}));
    EXPECT_EQ(provider_.deregistered, c.deregistered);
  }
}

TEST_F(AuthenticationServiceTest, StopDisconnects) {
  auto& s = ConnectedService();
  EXPECT_TRUE(s.LogonConnected());
  EXPECT_EQ(s.ServiceStop(), 0);
  EXPECT_FALSE(s.LogonConnected());
  EXPECT_EQ(provider_.deregistered, 1);
}

TEST_F(AuthenticationServiceTest, WithoutAnS4UProviderIwaIsRefusedWithAClearMessage) {
  service_ = std::make_unique<AuthenticationService>(platform_, runtime_,
                                                     CreateUnavailableS4ULogonProvider(),
                                                     std::make_unique<ScriptedTransfer>(transfer_));
  EXPECT_EQ(service_->ServiceSetup(), 0);
  platform_.events.clear();
  EXPECT_EQ(IwaFault(Issue(Jdoe())), 0x8001011Bu);
  EXPECT_EQ(platform_.events,
            (std::vector<Event>{{EventType::Error,
                                 "The specified authentication package is not recognized by the "
                                 "LSA."}}));
}

TEST_F(AuthenticationServiceTest, NullOutputArraysAreRefused) {
  Service();
  const std::u16string token = u"abc";
  std::int32_t len = 0;
  EXPECT_THROW(service_->GetHeaderString(0, nullptr, 3, token.data(), 0, nullptr, -1, &len, nullptr,
                                         &len, nullptr, &len, nullptr),
               rpc::RpcException);
}

}  // namespace
}  // namespace tokengate::broker
