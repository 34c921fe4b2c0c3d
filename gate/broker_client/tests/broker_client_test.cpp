#include "tokengate/gate/broker_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

#include "tokengate/gate/rpc_status_message.h"

namespace tokengate::gate {
namespace {

using Event = CapturingEventSink::Event;

// A broker stand-in: records what the gate passed and answers as told.
class FakeBroker final : public rpc::IAuthenticator {
 public:
  std::function<std::intptr_t(std::int32_t*, char16_t*)> answer;
  std::int32_t seenChildProcessId = 0;
  std::u16string seenConfig, seenToken, seenPrefix;
  std::int32_t seenWindow = 0;

  std::intptr_t GetHeaderString(std::int32_t cl, const char16_t* c, std::int32_t tl,
                                const char16_t* t, std::int32_t pl, const char16_t* p,
                                std::int32_t w, std::int32_t* utl, char16_t* ut, std::int32_t*,
                                char16_t*, std::int32_t*, char16_t*) override {
    Record(cl, c, tl, t, pl, p, w);
    return answer(utl, ut);
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t cl, const char16_t* c, std::int32_t tl,
                                       const char16_t* t, std::int32_t pl, const char16_t* p,
                                       std::int32_t w, std::int32_t pid, std::int32_t* utl,
                                       char16_t* ut, std::int32_t*, char16_t*, std::int32_t*,
                                       char16_t*) override {
    Record(cl, c, tl, t, pl, p, w);
    seenChildProcessId = pid;
    return answer(utl, ut);
  }

 private:
  void Record(std::int32_t cl, const char16_t* c, std::int32_t tl, const char16_t* t,
              std::int32_t pl, const char16_t* p, std::int32_t w) {
    seenConfig.assign(c, static_cast<std::size_t>(cl));
    seenToken.assign(t, static_cast<std::size_t>(tl));
    seenPrefix.assign(p, static_cast<std::size_t>(pl));
    seenWindow = w;
  }
};

std::function<std::intptr_t(std::int32_t*, char16_t*)> Returns(std::intptr_t v) {
  return [v](std::int32_t*, char16_t*) { return v; };
}
std::function<std::intptr_t(std::int32_t*, char16_t*)> Throws(std::uint32_t code) {
  return [code](std::int32_t*, char16_t*) -> std::intptr_t { throw rpc::RpcException(code); };
}

class BrokerClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<CapturingEventSink> sink = std::make_shared<CapturingEventSink>();
  GateEventLog log{sink};
  FakeBroker broker;
  BrokerClient client{&broker, log, 4321};
  BrokerRequest request{u"/opt/tg/conf/agent-config.txt", u"tok", u"X-", 60};
  std::unique_ptr<BrokerOutputs> out = std::make_unique<BrokerOutputs>();
};

TEST_F(BrokerClientTest, PlainCallFoldsEveryFailureIntoFourWithoutEvents) {
  struct Case {
    const char* name;
    std::function<std::intptr_t(std::int32_t*, char16_t*)> answer;
    std::int32_t status;
  };
  const Case cases[] = {
      {"success", Returns(0), kBrokerOk},
      {"broker returned -1", Returns(-1), kBrokerFailed},
      {"no listener", Throws(rpc::kStatusServerUnavailable), kBrokerFailed},
      {"empty-token fault", Throws(rpc::kFaultEmptyToken), kBrokerFailed},
      {"other exception",
       [](std::int32_t*, char16_t*) -> std::intptr_t { throw std::runtime_error("x"); },
       kBrokerFailed},
  };
  for (const auto& c : cases) {
    broker.answer = c.answer;
    EXPECT_EQ(client.BrokerGetHeaderString(request, *out), c.status) << c.name;
  }
  EXPECT_TRUE(sink->Events().empty());
  EXPECT_EQ(broker.seenConfig, request.config);
  EXPECT_EQ(broker.seenToken, u"tok");
  EXPECT_EQ(broker.seenPrefix, u"X-");
  EXPECT_EQ(broker.seenWindow, 60);
}

TEST_F(BrokerClientTest, IwaCallReportsCodesAndHandles) {
  struct Case {
    const char* name;
    std::function<std::intptr_t(std::int32_t*, char16_t*)> answer;
    std::int32_t status;
    std::optional<std::u16string> event;
  };
  const Case cases[] = {
      {"handle", Returns(7), kBrokerHandle, std::nullopt},
      {"handle value 0 is still a handle", Returns(0), kBrokerHandle, std::nullopt},
      {"broker returned -1", Returns(-1), kBrokerFailed, u"Could not obtain handle"},
      {"no listener", Throws(1722), 1722, u"The server is unavailable."},
      {"access denied fault reads negative", Throws(rpc::kFaultAccessDenied), -2147417829,
       u"default"},
      {"empty-token fault has no text", Throws(1782), 1782, u"default"},
  };
  for (const auto& c : cases) {
    sink->Clear();
    broker.answer = c.answer;
    std::intptr_t holder = -5;
    EXPECT_EQ(client.BrokerGetHeaderStringWithIWA(request, holder, *out), c.status) << c.name;
    const auto events = sink->Events();
    if (c.event) {
      ASSERT_EQ(events.size(), 1u) << c.name;
      EXPECT_EQ(events[0], (Event{EventType::Error, 1000, 1001, *c.event})) << c.name;
      EXPECT_EQ(holder, -5) << c.name;
    } else {
      EXPECT_TRUE(events.empty()) << c.name;
      EXPECT_NE(holder, -5) << c.name;
    }
  }
  EXPECT_EQ(broker.seenChildProcessId, 4321);
}

TEST_F(BrokerClientTest, MissingBindingFailsLikeAnInvalidBinding) {
  BrokerClient unbound(nullptr, log, 1);
  std::intptr_t holder = 0;
  EXPECT_EQ(unbound.BrokerGetHeaderString(request, *out), kBrokerFailed);
  EXPECT_EQ(unbound.BrokerGetHeaderStringWithIWA(request, holder, *out), 1702);
  EXPECT_EQ(sink->Events().back().text, u"The binding handle is invalid.");
}

TEST_F(BrokerClientTest, OutputsAreClearedBeforeEachCallAndExpiryIsCaseInsensitive) {
  broker.answer = [](std::int32_t* len, char16_t* buf) -> std::intptr_t {
    const std::u16string_view m = u"session_expired";
    std::copy(m.begin(), m.end(), buf);
    buf[m.size()] = u'\0';
    *len = static_cast<std::int32_t>(m.size());
    return -1;
  };
  EXPECT_EQ(client.BrokerGetHeaderString(request, *out), kBrokerFailed);
  EXPECT_TRUE(out->SessionExpired());

  broker.answer = Throws(1722);
  EXPECT_EQ(client.BrokerGetHeaderString(request, *out), kBrokerFailed);
  EXPECT_FALSE(out->SessionExpired());
  EXPECT_TRUE(out->UpdatedToken().empty());

  // The marker is read up to the terminator, whatever length came back; a longer text, the
  // marker with more after it, or one unit short, is not the marker.
  const std::pair<std::u16string, bool> texts[] = {
      {u"SESSION_EXPIRED", true},          {u"SESSION_EXPIREDx", false},
      {u"SESSION_EXPIRE", false},          {std::u16string(u"SESSION_EXPIRED\0x", 17), true},
      {std::u16string(4999, u'S'), false},
  };
  for (const auto& [text, expired] : texts) {
    broker.answer = [&text](std::int32_t* len, char16_t* buf) -> std::intptr_t {
      std::copy(text.begin(), text.end(), buf);
      buf[text.size()] = u'\0';
      *len = 3;
      return 0;
    };
    client.BrokerGetHeaderString(request, *out);
    EXPECT_EQ(out->SessionExpired(), expired) << text.size();
  }

  out->headerLength = 1'000'000;  // a faulty peer's length never reads past the area
  EXPECT_EQ(out->Header().size(), static_cast<std::size_t>(rpc::kHeaderCapacity - 1));
}

TEST(RpcStatusMessage, TableHasItsRowsAndDefaultsElsewhere) {
  EXPECT_EQ(RpcStatusMessageCount(), 107u);
  EXPECT_EQ(RpcStatusMessage(0), u"The requested operation completed successfully.");
  EXPECT_EQ(RpcStatusMessage(1831), u"The requested pipe operation is not supported.");
  EXPECT_EQ(RpcStatusMessage(1900), u"The object is invalid.");
  EXPECT_EQ(RpcStatusMessage(1749).size(), 245u);
  for (std::uint32_t code : {1u, 1729u, 1731u, 1738u, 1776u, 1782u, 1785u, 1792u, 1827u, 1897u,
                             1901u, 0x8001011Bu, 0x80010100u, 0x80010010u}) {
    EXPECT_EQ(RpcStatusMessage(code), u"default") << code;
  }
}

}  // namespace
}  // namespace tokengate::gate
