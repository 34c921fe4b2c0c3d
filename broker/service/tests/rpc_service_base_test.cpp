#include "tokengate/broker/service/rpc_service_base.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tokengate/common/text.h"

namespace tokengate::broker {
namespace {

using text::Utf16ToUtf8;

struct Event {
  EventType type;
  std::string text;
};

// The service manager's side of one service, as the fakes below share it.
struct FakeServiceState {
  bool exists = true;
  bool createFails = false;
  bool stopFails = false;
  bool startFails = false;
  std::uint32_t startError = 0;
  std::deque<std::uint32_t> queryStates;  // answered in turn, the last one repeats
  bool deleted = false;
  std::string description;
  std::optional<ServiceDefinition> created;
};

class FakeHandle final : public IServiceHandle {
 public:
  FakeHandle(FakeServiceState& s, std::uint32_t& lastError) : s_(s), lastError_(lastError) {}
  bool SetDescription(std::u16string_view d) override {
    s_.description = Utf16ToUtf8(d);
    return true;
  }
  bool ControlStop(ServiceStatus& st) override {
    if (s_.stopFails)
      return Fail(kErrorServiceNotActive);
    st.currentState = kServiceStopPending;
    return true;
  }
  bool QueryStatus(ServiceStatus& st) override {
    st.currentState = s_.queryStates.front();
    if (s_.queryStates.size() > 1)
      s_.queryStates.pop_front();
    st.waitHint = 2000;
    return true;
  }
  bool Start() override { return s_.startFails ? Fail(s_.startError) : true; }
  bool Delete() override {
    s_.deleted = true;
    return true;
  }

 private:
  bool Fail(std::uint32_t e) {
    lastError_ = e;
    return false;
  }
  FakeServiceState& s_;
  std::uint32_t& lastError_;
};

class FakeManager final : public IServiceManager {
 public:
  FakeManager(FakeServiceState& s, std::uint32_t& lastError) : s_(s), lastError_(lastError) {}
  std::unique_ptr<IServiceHandle> CreateService(const ServiceDefinition& d) override {
    s_.created = d;
    if (s_.createFails) {
      lastError_ = kErrorServiceExists;
      return nullptr;
    }
    return std::make_unique<FakeHandle>(s_, lastError_);
  }
  std::unique_ptr<IServiceHandle> OpenService(std::u16string_view) override {
    if (!s_.exists) {
      lastError_ = kErrorServiceDoesNotExist;
      return nullptr;
    }
    return std::make_unique<FakeHandle>(s_, lastError_);
  }

 private:
  FakeServiceState& s_;
  std::uint32_t& lastError_;
};

class FakePlatform final : public IServicePlatform {
 public:
  void WriteStdout(std::u16string_view t) override { out += Utf16ToUtf8(t); }
  void ReportEvent(std::u16string_view source, EventType type,
                   std::u16string_view t) noexcept override {
    sources.push_back(Utf16ToUtf8(source));
    events.push_back({type, Utf16ToUtf8(t)});
  }
  void Sleep(std::chrono::milliseconds d) override { sleeps.push_back(d.count()); }
  std::uint32_t LastError() const override { return lastError; }
  std::u16string SystemErrorText(std::uint32_t code) override {
    const auto it = errorTexts.find(code);
    return it == errorTexts.end() ? u"" : it->second;
  }
  std::optional<std::u16string> ModuleFileName() override {
    if (!modulePath)
      lastError = 2;
    return modulePath;
  }
  std::unique_ptr<IServiceManager> OpenServiceManager() override {
    if (managerError != 0) {
      lastError = managerError;
      return nullptr;
    }
    return std::make_unique<FakeManager>(service, lastError);
  }
  bool StartServiceDispatcher(std::u16string_view, IServiceCallbacks& cb) override {
    if (!underManager) {
      lastError = kErrorFailedServiceControllerConnect;
      return false;
    }
    cb.ServiceMain();
    return true;
  }
  bool RegisterControlHandler(std::u16string_view) override { return handlerRegisters; }
  bool SetServiceStatus(const ServiceStatus& s) override {
    reported.push_back(s);
    return true;
  }

  std::string out;
  std::vector<std::string> sources;
  std::vector<Event> events;
  std::vector<long long> sleeps;
  std::uint32_t lastError = 0;
  std::map<std::uint32_t, std::u16string> errorTexts{
      {kErrorServiceExists, u"The specified service already exists.\r\n"},
      {0x20000001, u"systemd is not running"},
      {2, u"No such file or directory"}};
  std::optional<std::u16string> modulePath = u"/usr/sbin/logon-broker";
  std::uint32_t managerError = 0;
  FakeServiceState service;
  bool underManager = false;
  bool handlerRegisters = true;
  std::vector<ServiceStatus> reported;
};

class FakeRuntime final : public rpc::IRpcServerRuntime {
 public:
  rpc::RpcStatus UseProtseqEp(const std::u16string& protocol, unsigned maxCalls,
                              const std::u16string& endpoint) override {
    calls.push_back("UseProtseqEp " + Utf16ToUtf8(protocol) + " " + std::to_string(maxCalls) + " " +
                    Utf16ToUtf8(endpoint));
    return useProtseq;
  }
  rpc::RpcStatus RegisterIf(rpc::IAuthenticator&) override {
    calls.push_back("RegisterIf");
    return registerIf;
  }
  rpc::RpcStatus Listen(unsigned minThreads, unsigned maxCalls, bool dontWait) override {
    calls.push_back("Listen " + std::to_string(minThreads) + " " + std::to_string(maxCalls) +
                    (dontWait ? " nowait" : " wait"));
    return listen;
  }
  rpc::RpcStatus StopListening() override {
    calls.push_back("StopListening");
    return stop;
  }
  rpc::RpcStatus WaitServerListen() override {
    calls.push_back("Wait");
    if (waits.empty())
      return 0;
    const auto r = waits.front();
    if (waits.size() > 1)
      waits.pop_front();
    return r;
  }
  rpc::RpcStatus useProtseq = 0, registerIf = 0, listen = 0, stop = 0;
  std::deque<rpc::RpcStatus> waits;
  std::vector<std::string> calls;
};

class NullAuthenticator final : public rpc::IAuthenticator {
 public:
  std::intptr_t GetHeaderString(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                std::int32_t, const char16_t*, std::int32_t, std::int32_t*,
                                char16_t*, std::int32_t*, char16_t*, std::int32_t*,
                                char16_t*) override {
    return -1;
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                       std::int32_t, const char16_t*, std::int32_t, std::int32_t,
                                       std::int32_t*, char16_t*, std::int32_t*, char16_t*,
                                       std::int32_t*, char16_t*) override {
    return -1;
  }
};

class TestService final : public RpcServiceBase {
 public:
  using RpcServiceBase::RpcServiceBase;
  std::u16string ServiceName() const override { return u"TestSvc"; }
  std::u16string ServiceReadableName() const override { return u"Test Service"; }
  std::u16string ServiceDescription() const override { return u"Does tests."; }
  std::u16string ServiceProtocol() const override { return u"ncalrpc"; }
  std::u16string ServiceEndpoint() const override { return u"TestEndpoint"; }
  rpc::IAuthenticator& ServiceRpcInterfaceSpec() override { return impl_; }
  std::int32_t ServiceSetup() override {
    const std::int32_t hr = RpcServiceBase::ServiceSetup();
    return hr < 0 ? hr : setupResult;
  }
  std::int32_t ServiceStop() override {
    ++stops;
    return 0;
  }
  std::int32_t setupResult = 0;
  int stops = 0;

 private:
  NullAuthenticator impl_;
};

class RpcServiceBaseTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::u16string> args) { return service.wmain(args); }
  FakePlatform platform;
  FakeRuntime runtime;
  TestService service{platform, runtime};
};

const std::string kUsage = Utf16ToUtf8(kUsageInfo);
const std::string kStart = Utf16ToUtf8(kServiceStartMsg);

TEST(ServiceTextsTest, UsageAndStartMessagesAreExact) {
  EXPECT_EQ(kUsage,
            "service called with no recognized arguments\n"
            "\t-install          to install the service\n"
            "\t-console          to start as a console application\n"
            "\t-remove           to remove the service\n"
            "\t-launch-local     send start message to service\n");
  EXPECT_EQ(kStart, "Service being started.\nThis may take several seconds.  Please wait.\n");
  EXPECT_EQ(Utf16ToUtf8(kConsoleStartMsg),
            "Service started by user on console - running as console application\n");
}

TEST(ServiceTextsTest, RpcStatusBecomesHresult) {
  EXPECT_EQ(RpcStatusToHresult(0), 0);
  EXPECT_EQ(RpcStatusToHresult(-7), -7);
  EXPECT_EQ(RpcStatusToHresult(1740), static_cast<std::int32_t>(0x800706CC));
  EXPECT_EQ(RpcStatusToHresult(0x12345), static_cast<std::int32_t>(0x80072345));
}

TEST_F(RpcServiceBaseTest, InstallWordsAreRecognisedWithEitherSignInAnyCase) {
  platform.managerError = 0x20000001;
  for (const char16_t* word : {u"-install", u"/INSTALL", u"-Install"}) {
    platform.out.clear();
    EXPECT_EQ(Run({word, u"-console"}), 0);
    EXPECT_EQ(platform.out, "OpenSCManager failed - systemd is not running (0x20000001)\n");
  }
}

TEST_F(RpcServiceBaseTest, UnrecognisedWordsPrintUsageThenFailToReachTheManager) {
  for (std::vector<std::u16string> args : {std::vector<std::u16string>{},
                                           {u"--install"},
                                           {u"install"},
                                           {u"-"},
                                           {u"-bogus", u"-console"}}) {
    platform.out.clear();
    platform.events.clear();
    EXPECT_EQ(Run(args), -1);
    EXPECT_EQ(platform.out, kUsage + "\n" + kStart);
    ASSERT_EQ(platform.events.size(), 1u);
    EXPECT_EQ(platform.events[0].type, EventType::Error);
    EXPECT_EQ(platform.events[0].text, "StartServiceCtrlDispatcher failed");
    EXPECT_EQ(platform.sources.back(), "TestSvc");
  }
  EXPECT_TRUE(runtime.calls.empty());
}

TEST_F(RpcServiceBaseTest, ConsoleModeLogsToStdoutAndWaitsForTheListener) {
  EXPECT_EQ(Run({u"/console"}), 0);
  EXPECT_EQ(platform.out, Utf16ToUtf8(kConsoleStartMsg) + "Service Starting\n");
  EXPECT_TRUE(platform.events.empty());
  EXPECT_EQ(runtime.calls, (std::vector<std::string>{"UseProtseqEp ncalrpc 20 TestEndpoint",
                                                     "RegisterIf", "Listen 1 20 nowait", "Wait"}));
  EXPECT_EQ(service.stops, 0);
}

TEST_F(RpcServiceBaseTest, ConsoleSetupFailuresArePrintedWithTheirHresult) {
  struct Case {
    rpc::RpcStatus FakeRuntime::*step;
    const char* log;
  };
  for (const Case& c : {Case{&FakeRuntime::useProtseq, "RpcServerUseProtseqW failed"},
                        Case{&FakeRuntime::registerIf, "RpcServerRegisterIf failed"},
                        Case{&FakeRuntime::listen, "RpcServerListen failed"}}) {
    FakeRuntime rt;
    rt.*c.step = 1740;
    rt.waits = {1715};
    FakePlatform pf;
    TestService svc(pf, rt);
    svc.wmain({u"-CONSOLE"});
    EXPECT_EQ(pf.out, Utf16ToUtf8(kConsoleStartMsg) + "Service Starting\n" + c.log +
                          "\nService setup failed: -2147023156\nListening wait failed: 1715\n");
  }
}

TEST_F(RpcServiceBaseTest, LogEventCutsAt255UnitsAndWritesOneLinePerMessageOnConsole) {
  const std::u16string longText(300, u'x');
  service.LogEvent(EventType::Warning, longText);
  ASSERT_EQ(platform.events.size(), 1u);
  EXPECT_EQ(platform.events[0].text, std::string(255, 'x'));
  EXPECT_EQ(platform.events[0].type, EventType::Warning);

  runtime.listen = 5;  // end the console run at once
  Run({u"-console"});
  platform.out.clear();
  service.LogEvent(EventType::Error, longText);
  service.LogEvent(EventType::Information, u"second");
  EXPECT_EQ(platform.out, std::string(255, 'x') + "\nsecond\n");
  EXPECT_EQ(platform.events.size(), 1u);
}

// A caller's text cannot end a log line or pass for another entry, on the console or in the
// system log.
TEST_F(RpcServiceBaseTest, LogEventEscapesControlCharactersSoOneMessageIsOneLine) {
  const std::u16string forged = u"/x/agent-config.txt\n[fake] line\r\\: is not a regular file.";
  const std::string escaped = "/x/agent-config.txt\\n[fake] line\\r\\\\: is not a regular file.";
  service.LogEvent(EventType::Error, forged);
  ASSERT_EQ(platform.events.size(), 1u);
  EXPECT_EQ(platform.events[0].text, escaped);

  runtime.listen = 5;  // end the console run at once
  Run({u"-console"});
  platform.out.clear();
  service.LogEvent(EventType::Error, forged);
  EXPECT_EQ(platform.out, escaped + "\n");
}

TEST(EscapeLogText, EscapesBackslashControlsAndInvisibleLineBreakers) {
  struct Case {
    std::u16string in;
    std::u16string out;
  };
  for (const Case& c : {
           Case{u"plain text: kept, as are \u00e9 and \u4e2d",
                u"plain text: kept, as are \u00e9 and \u4e2d"},
           Case{u"a\\b", u"a\\\\b"},
           Case{u"\n\r\t", u"\\n\\r\\t"},
           Case{std::u16string(u"nul\0esc\x1b del\x7f", 13), u"nul\\x00esc\\x1b del\\x7f"},
           Case{u"nel\u0085csi\u009b", u"nel\\x85csi\\x9b"},
           Case{u"ls\u2028ps\u2029bom\ufeff", u"ls\\u2028ps\\u2029bom\\ufeff"},
           Case{u"rlo\u202egnp.exe lri\u2067 rlm\u200f",
                u"rlo\\u202egnp.exe lri\\u2067 rlm\\u200f"},
       }) {
    EXPECT_EQ(EscapeLogText(c.in), c.out) << Utf16ToUtf8(c.out);
  }
}

TEST_F(RpcServiceBaseTest, ServiceMainReportsStartThenRunningAndStopsAfterTheListener) {
  platform.underManager = true;
  EXPECT_EQ(Run({}), 0);
  ASSERT_EQ(platform.reported.size(), 2u);
  EXPECT_EQ(platform.reported[0].currentState, kServiceStartPending);
  EXPECT_EQ(platform.reported[0].controlsAccepted, kServiceAcceptStop);
  EXPECT_EQ(platform.reported[1].currentState, kServiceRunning);
  ASSERT_EQ(platform.events.size(), 2u);
  EXPECT_EQ(platform.events[0].text, "Service Starting");
  EXPECT_EQ(platform.events[1].text, "Service setup successful");
  EXPECT_EQ(platform.events[1].type, EventType::Information);
  EXPECT_EQ(service.stops, 1);
}

TEST_F(RpcServiceBaseTest, FailedSetupReportsStoppedWithTheHresult) {
  platform.underManager = true;
  service.setupResult = static_cast<std::int32_t>(0x80070005);
  Run({});
  EXPECT_EQ(platform.events.back().text, "Failure in setup: -2147024891");
  EXPECT_EQ(platform.reported.back().currentState, kServiceStopped);
  EXPECT_EQ(platform.reported.back().win32ExitCode, 0x80070005u);
  EXPECT_EQ(service.stops, 0);
}

TEST_F(RpcServiceBaseTest, ServiceMainStopsWhenTheHandlerCannotBeRegistered) {
  platform.underManager = true;
  platform.handlerRegisters = false;
  Run({});
  EXPECT_TRUE(platform.reported.empty());
  EXPECT_TRUE(runtime.calls.empty());
  EXPECT_EQ(service.CurrentStatus().win32ExitCode, 0x80070057u);
}

TEST_F(RpcServiceBaseTest, StopControlWaitsAtMostTenTimesOneSecond) {
  runtime.waits = {1713};
  EXPECT_EQ(service.ServiceHandler(kControlStop), 0u);
  EXPECT_EQ(platform.sleeps, std::vector<long long>(10, 1000));
  ASSERT_EQ(platform.events.size(), 1u);
  EXPECT_EQ(platform.events[0].type, EventType::Warning);
  EXPECT_EQ(platform.events[0].text, "Unable to shut down RPC listener");
  ASSERT_EQ(platform.reported.size(), 2u);
  EXPECT_EQ(platform.reported[0].currentState, kServiceStopPending);
  EXPECT_EQ(platform.reported[1].currentState, kServiceStopped);
}

TEST_F(RpcServiceBaseTest, StopControlEndsOnceTheListenerHasEnded) {
  for (rpc::RpcStatus done : {0, 1715}) {
    FakeRuntime rt;
    rt.waits = {1713, 1713, done};
    FakePlatform pf;
    TestService svc(pf, rt);
    EXPECT_EQ(svc.ServiceHandler(kControlStop), 0u);
    EXPECT_EQ(pf.sleeps.size(), 2u);
    EXPECT_TRUE(pf.events.empty());
    EXPECT_EQ(pf.reported.back().currentState, kServiceStopped);
  }
}

TEST_F(RpcServiceBaseTest, OtherControls) {
  runtime.stop = 1715;
  EXPECT_EQ(service.ServiceHandler(kControlStop), 0x8000FFFFu);
  EXPECT_EQ(service.CurrentStatus().currentState, kServiceStopPending);
  EXPECT_EQ(service.ServiceHandler(kControlInterrogate), 0u);
  EXPECT_EQ(service.ServiceHandler(2), 120u);
}

TEST_F(RpcServiceBaseTest, InstallCreatesTheServiceOrExplainsWhyNot) {
  Run({u"-install"});
  EXPECT_EQ(platform.out, "Test Service installed.\n");
  ASSERT_TRUE(platform.service.created.has_value());
  EXPECT_EQ(platform.service.created->binaryPath, u"/usr/sbin/logon-broker");
  EXPECT_EQ(platform.service.created->dependency, u"RPCSS");
  EXPECT_EQ(platform.service.description, "Does tests.");

  platform.out.clear();
  platform.service.createFails = true;
  Run({u"-install"});
  EXPECT_EQ(platform.out,
            "CreateService failed - The specified service already exists. (0x431)\n"
            "This may be caused by the service already being installed.\n");

  platform.out.clear();
  platform.modulePath.reset();
  Run({u"-install"});
  EXPECT_EQ(platform.out, "Unable to install Test Service - No such file or directory (0x2)\n");
}

TEST_F(RpcServiceBaseTest, RemoveStopsAndDeletes) {
  platform.service.queryStates = {kServiceStopPending, kServiceStopPending, kServiceStopped};
  Run({u"-remove"});
  EXPECT_EQ(platform.out,
            "Stopping Test Service...\nTest Service stopped.\nTest Service removed.\n");
  EXPECT_EQ(platform.sleeps, std::vector<long long>(3, 1000));
  EXPECT_TRUE(platform.service.deleted);

  platform.out.clear();
  platform.service.stopFails = true;
  Run({u"-remove"});
  EXPECT_EQ(platform.out, "Test Service removed.\n");

  platform.out.clear();
  platform.service.exists = false;
  platform.errorTexts[kErrorServiceDoesNotExist] = u"The specified service does not exist.";
  Run({u"-remove"});
  EXPECT_EQ(platform.out, "OpenService failed - The specified service does not exist. (0x424)\n");
}

TEST_F(RpcServiceBaseTest, LaunchLocal) {
  platform.service.queryStates = {kServiceStartPending, kServiceRunning};
  EXPECT_EQ(Run({u"-launch-local"}), 1);
  EXPECT_EQ(platform.out, "Service Running.\n");

  platform.out.clear();
  platform.service.startFails = true;
  platform.service.startError = kErrorServiceAlreadyRunning;
  EXPECT_EQ(Run({u"-LAUNCH-LOCAL"}), 1056);
  EXPECT_EQ(platform.out, "Error: Service already running\n");

  platform.out.clear();
  platform.service.startError = 5;
  EXPECT_EQ(Run({u"-launch-local"}), 5);
  EXPECT_EQ(platform.out, "Starting service failed: 5\n");

  platform.out.clear();
  platform.service.startFails = false;
  platform.service.queryStates = {kServiceStartPending};  // never progresses
  Run({u"-launch-local"});
  EXPECT_EQ(platform.out, "\nService not started. \n");

  platform.out.clear();
  platform.managerError = 0x20000001;
  EXPECT_EQ(Run({u"-launch-local"}), 0x20000001);
  EXPECT_EQ(platform.out, "Unable to open service control manager: 536870913\n");
}

TEST_F(RpcServiceBaseTest, ErrorTextNeedsATextAndRoom) {
  platform.lastError = 2;
  EXPECT_EQ(Utf16ToUtf8(service.GetErrorText(2)), "No such file or directory (0x2)");
  EXPECT_EQ(service.GetErrorText(999), u"");
  EXPECT_EQ(service.GetErrorText(2, 20), u"");
}

}  // namespace
}  // namespace tokengate::broker
