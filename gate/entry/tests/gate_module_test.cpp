#include "tokengate/gate/gate_module.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "tokengate/common/text.h"
#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::TestHost;
using testing::TestRequest;

// A broker that is never there: every call fails as the runtime fails a call with no listener.
class AbsentBroker final : public rpc::IAuthenticator {
 public:
  std::intptr_t GetHeaderString(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                std::int32_t, const char16_t*, std::int32_t, std::int32_t*,
                                char16_t*, std::int32_t*, char16_t*, std::int32_t*,
                                char16_t*) override {
    throw rpc::RpcException(rpc::kStatusServerUnavailable);
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                       std::int32_t, const char16_t*, std::int32_t, std::int32_t,
                                       std::int32_t*, char16_t*, std::int32_t*, char16_t*,
                                       std::int32_t*, char16_t*) override {
    throw rpc::RpcException(rpc::kStatusServerUnavailable);
  }
};

class GateModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() / ("tg-module-" + std::to_string(rd()));
    std::filesystem::create_directories(dir_ / "conf");
    std::ofstream(dir_ / "conf" / "cvisapi.conf")
        << "[ISAPI]\nTesseraName=T\nProtectedResourceList=^/app/\n";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  GatePlatform Platform(bool withInstallPath, bool bindFails = false) {
    GatePlatform p;
    p.registerEventSource = [this] {
      ++registrations_;
      sink_ = std::make_shared<CapturingEventSink>();
      return sink_;
    };
    p.registry = std::make_shared<FixedGateRegistry>(
        withInstallPath ? std::optional(text::Utf8ToUtf16(dir_.string() + "/")) : std::nullopt);
    p.profiles = std::make_shared<IniProfileReader>();
    p.bind = [this, bindFails](std::u16string_view binding,
                               rpc::RpcStatus& status) -> std::unique_ptr<rpc::IAuthenticator> {
      ++binds_;
      EXPECT_EQ(binding, u"ncalrpc:[TarvexWebLogonBroker]");
      status = bindFails ? 1700 : 0;
      return bindFails ? nullptr : std::make_unique<AbsentBroker>();
    };
    p.processId = 77;
    return p;
  }
  std::vector<std::u16string> Texts() const {
    std::vector<std::u16string> out;
    for (const auto& e : sink_->Events()) {
      out.push_back(e.text);
    }
    return out;
  }

  std::filesystem::path dir_;
  std::shared_ptr<CapturingEventSink> sink_ = std::make_shared<CapturingEventSink>();
  int registrations_ = 0;
  int binds_ = 0;
};

TEST_F(GateModuleTest, RequestEntryPointsRefuseBeforeStartAndAfterTermination) {
  GateModule module(Platform(true));
  TestHost host(TestRequest{});
  EXPECT_EQ(module.HttpExtensionProc(host), kHseStatusError);
  EXPECT_EQ(module.HttpFilterProc(host, kSfNotifyPreprocHeaders), kHseStatusError);
  EXPECT_EQ(module.TerminateExtension(), kHseStatusError);

  VersionRecord filter;
  ASSERT_TRUE(module.GetFilterVersion(filter));
  EXPECT_EQ(filter.version, 0x00070005u);
  EXPECT_EQ(filter.description, "Corvane Tessera ISAPI Filter");
  EXPECT_EQ(filter.flags, 0x00024000u);
  EXPECT_EQ(registrations_, 0);  // the filter role loads nothing
  EXPECT_EQ(module.Configuration(), nullptr);

  // Other notifications pass on without a header; the preprocessed-headers one tags the request.
  EXPECT_EQ(module.HttpFilterProc(host, 0x8000), kSfStatusReqNextNotification);
  EXPECT_TRUE(host.headers().empty());
  EXPECT_EQ(module.HttpFilterProc(host, kSfNotifyPreprocHeaders), kSfStatusReqNextNotification);
  ASSERT_EQ(host.headers().size(), 1u);
  EXPECT_EQ(host.headers()[0],
            (std::pair<std::string, std::string>{"TarvexAuth-Context", "00c0ffee"}));

  VersionRecord extension;
  ASSERT_TRUE(module.GetExtensionVersion(extension));
  EXPECT_EQ(extension.description, "Corvane Tessera ISAPI Extension");
  EXPECT_EQ(module.TerminateExtension(), 1u);
  // The marker is shared: the filter role stops too.
  TestHost later(TestRequest{});
  EXPECT_EQ(module.HttpFilterProc(later, kSfNotifyPreprocHeaders), kHseStatusError);
  EXPECT_EQ(module.HttpExtensionProc(later), kHseStatusError);
  EXPECT_TRUE(later.headers().empty());
}

TEST_F(GateModuleTest, StartUpOrderAndFailures) {
  struct Case {
    const char* name;
    bool installPath;
    bool bindFails;
    bool started;
    std::vector<std::u16string> events;
  };
  const Case cases[] = {
      {"loaded", true, false, true, {u"Initializing CV ISAPI Extension"}},
      {"binding fails but start succeeds",
       true,
       true,
       true,
       {u"Initializing CV ISAPI Extension", u"RpcBindingFromStringBinding() failed."}},
      {"configuration cannot be loaded",
       false,
       false,
       false,
       {u"Initializing CV ISAPI Extension", u"Unable to open registry key",
        u"Unable to load configuration"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    binds_ = 0;
    GateModule module(Platform(c.installPath, c.bindFails));
    VersionRecord v;
    EXPECT_EQ(module.GetExtensionVersion(v), c.started);
    EXPECT_EQ(Texts(), c.events);
    EXPECT_EQ(binds_, c.installPath ? 1 : 0);
  }
}

TEST_F(GateModuleTest, RepeatedStartKeepsOneEventSourceAndOneConfiguration) {
  GateModule module(Platform(true));
  VersionRecord v;
  ASSERT_TRUE(module.GetExtensionVersion(v));
  auto firstSink = sink_;
  ASSERT_TRUE(module.GetExtensionVersion(v));
  EXPECT_EQ(registrations_, 2);
  EXPECT_EQ(binds_, 1);  // the binding is built once and kept
  EXPECT_NE(module.Configuration(), nullptr);
  // Events now reach only the second registration.
  module.Log().Report(EventType::Information, u"after restart");
  EXPECT_EQ(firstSink->Events().size(), 1u);
  EXPECT_EQ(sink_->Events().back().text, u"after restart");
}

// The host's listener follows the extension's configuration: at start-up and on a reload.
TEST_F(GateModuleTest, HostIsGivenTheValuesOfEveryLoad) {
  GatePlatform platform = Platform(true);
  std::vector<std::u16string> names;
  platform.settingsLoaded = [&](const std::shared_ptr<const GateSettings>& s) {
    names.push_back(s->TesseraName);
  };
  GateModule module(std::move(platform));
  VersionRecord v;
  ASSERT_TRUE(module.GetExtensionVersion(v));
  EXPECT_EQ(names, std::vector<std::u16string>{u"T"});
  std::ofstream(dir_ / "conf" / "cvisapi.conf")
      << "[ISAPI]\nTesseraName=U\nProtectedResourceList=^/app/\n";
  TestRequest r;
  r.url = "/public";
  r.query = "cmd=reload";
  TestHost host(r);
  module.HttpExtensionProc(host);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"T", u"U"}));
  EXPECT_EQ(module.Configuration()->TesseraName(), u"U");
}

TEST_F(GateModuleTest, StartedModuleServesRequestsThroughTheHandler) {
  GateModule module(Platform(true));
  VersionRecord v;
  ASSERT_TRUE(module.GetFilterVersion(v));
  ASSERT_TRUE(module.GetExtensionVersion(v));
  TestRequest r;
  r.url = "/public";
  TestHost host(r);
  module.HttpFilterProc(host, kSfNotifyPreprocHeaders);
  EXPECT_EQ(module.HttpExtensionProc(host), kHseStatusPending);
  ASSERT_TRUE(host.accepted.has_value());
  EXPECT_EQ(host.accepted->kind, HandOffKind::Unchanged);
}

}  // namespace
}  // namespace tokengate::gate
