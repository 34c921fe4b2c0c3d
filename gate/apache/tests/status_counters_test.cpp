#include "status_counters.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tokengate/gate/request_handler.h"
#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/signon_redirect.h"

namespace tokengate::apache::status {
namespace {

using namespace std::string_literals;

// A counter block in ordinary memory, installed for the counting functions while it lives.
class Block {
 public:
  Block() : area_(std::make_unique<std::byte[]>(sizeof(CounterBlock))) {
    block_ = CounterBlock::Create(area_.get());
    Install(block_);
  }
  ~Block() { Install(nullptr); }
  CounterBlock& operator*() { return *block_; }
  CounterBlock* operator->() { return block_; }
  void* Area() { return area_.get(); }

 private:
  std::unique_ptr<std::byte[]> area_;
  CounterBlock* block_ = nullptr;
};

// The samples of an exposition text, in order, and the comment lines.
struct Parsed {
  std::vector<std::pair<std::string, std::string>> samples;  // series, value
  std::vector<std::string> comments;
  std::string Value(const std::string& series) const {
    for (const auto& [name, value] : samples) {
      if (name == series) {
        return value;
      }
    }
    return "(missing)";
  }
};

Parsed Parse(const std::string& text) {
  Parsed parsed;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("#")) {
      parsed.comments.push_back(line);
      continue;
    }
    const std::size_t space = line.rfind(' ');
    parsed.samples.emplace_back(line.substr(0, space), line.substr(space + 1));
  }
  return parsed;
}

TEST(StatusCountersTest, LabelValuesAreEscapedAndValidUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"/srv/tokengate/", "/srv/tokengate/"},
      {"C:\\TokenGate\\", "C:\\\\TokenGate\\\\"},
      {"a\"b", "a\\\"b"},
      {"line\nbreak", "line\\nbreak"},
      {"tab\tstays", "tab\tstays"},
      {"/srv/\xC3\xA9t\xC3\xA9/", "/srv/\xC3\xA9t\xC3\xA9/"},  // UTF-8 kept
      {"/srv/\xFF/", "/srv/\xEF\xBF\xBD/"},                    // invalid byte: U+FFFD
      {"\\\"\n", "\\\\\\\"\\n"},
  };
  for (const auto& [raw, escaped] : cases) {
    EXPECT_EQ(EscapeLabelValue(raw), escaped) << raw;
  }
}

TEST(StatusCountersTest, ExpositionHasHelpTypeAndEscapedSiteLabels) {
  Block block;
  const int slot = static_cast<int>(block->AssignSlot("/srv/a \"quoted\"\\/", nullptr));
  CountRequest(slot, Outcome::PassedToken);
  CountRequest(slot, Outcome::PassedToken);
  CountError(slot, ErrorReason::InvalidToken);
  CountReissue(slot);

  const std::string text = FormatExposition(block->Read());
  const Parsed parsed = Parse(text);
  const std::string site = "site=\"/srv/a \\\"quoted\\\"\\\\/\"";
  EXPECT_EQ(parsed.Value("tokengate_requests_total{" + site + ",outcome=\"passed_token\"}"), "2");
  EXPECT_EQ(parsed.Value("tokengate_requests_total{" + site + ",outcome=\"error\"}"), "1");
  EXPECT_EQ(parsed.Value("tokengate_requests_total{" + site + ",outcome=\"not_protected\"}"), "0");
  EXPECT_EQ(parsed.Value("tokengate_error_responses_total{" + site + ",reason=\"invalid_token\"}"),
            "1");
  EXPECT_EQ(parsed.Value("tokengate_token_reissues_total{" + site + "}"), "1");

  // Every family is announced by HELP then TYPE before its first sample, exactly once.
  const std::pair<std::string, std::string> families[] = {
      {"tokengate_requests_total", "counter"},
      {"tokengate_error_responses_total", "counter"},
      {"tokengate_broker_calls_total", "counter"},
      {"tokengate_token_reissues_total", "counter"},
      {"tokengate_broker_call_duration_seconds", "histogram"},
  };
  for (const auto& [name, type] : families) {
    const std::size_t help = text.find("# HELP " + name + " ");
    const std::size_t typeLine = text.find("# TYPE " + name + " " + type + "\n");
    const std::size_t first = text.find("\n" + name + "{");
    ASSERT_NE(help, std::string::npos) << name;
    EXPECT_EQ(text.find("# HELP " + name + " ", help + 1), std::string::npos) << name;
    EXPECT_LT(help, typeLine) << name;
    EXPECT_LT(typeLine, first) << name;
  }
  EXPECT_TRUE(text.ends_with("\n"));
  // Nothing counted under "other": no such series.
  EXPECT_EQ(text.find("site=\"other\""), std::string::npos);
}

TEST(StatusCountersTest, HistogramBucketsAreCumulativeInBoundOrderEndingWithInf) {
  Block block;
  const int slot = static_cast<int>(block->AssignSlot("/srv/a/", nullptr));
  // 0.3 ms, 1 ms exactly (le is inclusive), 7 ms, 40 s (beyond the last bound).
  for (const std::uint64_t nanos : {300'000ull, 1'000'000ull, 7'000'000ull, 40'000'000'000ull}) {
    CountBrokerCall(slot, BrokerProcedure::GetHeaderString, BrokerResult::Ok, 0, nanos);
  }
  const Parsed parsed = Parse(FormatExposition(block->Read()));
  std::vector<std::pair<std::string, std::string>> buckets;
  for (const auto& [series, value] : parsed.samples) {
    if (series.starts_with("tokengate_broker_call_duration_seconds_bucket{")) {
      buckets.emplace_back(series.substr(series.find("le=")), value);
    }
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"le=\"0.0005\"}", "1"}, {"le=\"0.001\"}", "2"}, {"le=\"0.0025\"}", "2"},
      {"le=\"0.005\"}", "2"},  {"le=\"0.01\"}", "3"},  {"le=\"0.025\"}", "3"},
      {"le=\"0.05\"}", "3"},   {"le=\"0.1\"}", "3"},   {"le=\"0.25\"}", "3"},
      {"le=\"0.5\"}", "3"},    {"le=\"1\"}", "3"},     {"le=\"2.5\"}", "3"},
      {"le=\"5\"}", "3"},      {"le=\"10\"}", "3"},    {"le=\"30\"}", "3"},
      {"le=\"+Inf\"}", "4"},
  };
  EXPECT_EQ(buckets, expected);
  EXPECT_EQ(parsed.Value("tokengate_broker_call_duration_seconds_count{site=\"/srv/a/\"}"), "4");
  EXPECT_EQ(parsed.Value("tokengate_broker_call_duration_seconds_sum{site=\"/srv/a/\"}"),
            "40.008300000");
}

TEST(StatusCountersTest, BrokerCallsByResultAndRpcStatus) {
  Block block;
  const int slot = static_cast<int>(block->AssignSlot("/srv/a/", nullptr));
  CountBrokerCall(slot, BrokerProcedure::GetHeaderString, BrokerResult::Ok, 0, 1);
  CountBrokerCall(slot, BrokerProcedure::GetHeaderString, BrokerResult::Refused, 0, 1);
  CountBrokerCall(slot, BrokerProcedure::GetHeaderString, BrokerResult::Expired, 0, 1);
  CountBrokerCall(slot, BrokerProcedure::GetHeaderString, BrokerResult::RpcError, 1722, 1);
  CountBrokerCall(slot, BrokerProcedure::GetHeaderString, BrokerResult::RpcError, 1722, 1);
  CountBrokerCall(slot, BrokerProcedure::GetHeaderStringWithIWA, BrokerResult::RpcError, 0x8001011B,
                  1);
  CountBrokerCall(slot, BrokerProcedure::GetHeaderStringWithIWA, BrokerResult::RpcError, 4242, 1);
  const Parsed parsed = Parse(FormatExposition(block->Read()));
  const std::string prefix = "tokengate_broker_calls_total{site=\"/srv/a/\",procedure=";
  const std::pair<std::string, std::string> cases[] = {
      {"\"GetHeaderString\",result=\"ok\",status=\"0\"}", "1"},
      {"\"GetHeaderString\",result=\"refused\",status=\"0\"}", "1"},
      {"\"GetHeaderString\",result=\"expired\",status=\"0\"}", "1"},
      {"\"GetHeaderString\",result=\"rpc_error\",status=\"1722\"}", "2"},
      {"\"GetHeaderStringWithIWA\",result=\"ok\",status=\"0\"}", "0"},
      {"\"GetHeaderStringWithIWA\",result=\"rpc_error\",status=\"0x8001011B\"}", "1"},
      {"\"GetHeaderStringWithIWA\",result=\"rpc_error\",status=\"other\"}", "1"},
      // Statuses that did not occur have no series.
      {"\"GetHeaderString\",result=\"rpc_error\",status=\"1727\"}", "(missing)"},
  };
  for (const auto& [labels, value] : cases) {
    EXPECT_EQ(parsed.Value(prefix + labels), value) << labels;
  }
  EXPECT_EQ(parsed.Value("tokengate_broker_call_duration_seconds_count{site=\"/srv/a/\"}"), "7");
}

TEST(StatusCountersTest, SlotsStayWithTheirSitesAndOverflowIntoOther) {
  Block block;
  bool overflow = true;
  EXPECT_EQ(block->AssignSlot("/srv/a/", &overflow), 0u);
  EXPECT_FALSE(overflow);
  EXPECT_EQ(block->AssignSlot("/srv/b/", &overflow), 1u);
  // A restart assigns again: the same site keeps its slot, a new one gets the next.
  EXPECT_EQ(block->AssignSlot("/srv/b/", &overflow), 1u);
  EXPECT_EQ(block->AssignSlot("/srv/c/", &overflow), 2u);
  EXPECT_EQ(block->FindSlot("/srv/a/"), 0u);
  EXPECT_EQ(block->FindSlot("/srv/unknown/"), kOtherSlot);

  for (std::size_t i = 3; i < kMaxSites; ++i) {
    EXPECT_EQ(block->AssignSlot("/srv/site" + std::to_string(i) + "/", &overflow), i);
    EXPECT_FALSE(overflow);
  }
  EXPECT_EQ(block->AssignSlot("/srv/one-too-many/", &overflow), kOtherSlot);
  EXPECT_TRUE(overflow);
  EXPECT_EQ(block->AssignSlot("/srv/a/", &overflow), 0u);
  EXPECT_FALSE(overflow);

  Block fresh;
  EXPECT_EQ(fresh->AssignSlot(std::string(kLabelBytes, 'x'), &overflow), kOtherSlot);
  EXPECT_TRUE(overflow);
  EXPECT_EQ(fresh->AssignSlot(kOtherLabel, &overflow), kOtherSlot);
  EXPECT_EQ(fresh->AssignSlot(std::string(kLabelBytes - 1, 'x'), &overflow), 0u);

  // "other" is shown once something counted there.
  EXPECT_EQ(fresh->Read().size(), 1u);
  CountRequest(static_cast<int>(kOtherSlot), Outcome::NotProtected);
  const std::vector<SiteValues> sites = fresh->Read();
  ASSERT_EQ(sites.size(), 2u);
  EXPECT_EQ(sites[1].label, kOtherLabel);
  EXPECT_EQ(sites[1].requests[Index(Outcome::NotProtected)], 1u);
}

TEST(StatusCountersTest, AttachFindsTheBlockOfThisLayoutOnly) {
  Block block;
  const int slot = static_cast<int>(block->AssignSlot("/srv/a/", nullptr));
  CountRequest(slot, Outcome::Reload);
  CounterBlock* again = CounterBlock::Attach(block.Area(), sizeof(CounterBlock));
  ASSERT_EQ(again, &*block);
  EXPECT_EQ(again->Read()[0].requests[Index(Outcome::Reload)], 1u);
  EXPECT_EQ(CounterBlock::Attach(block.Area(), sizeof(CounterBlock) - 1), nullptr);

  auto zeros = std::make_unique<std::byte[]>(sizeof(CounterBlock));
  EXPECT_EQ(CounterBlock::Attach(zeros.get(), sizeof(CounterBlock)), nullptr);
}

TEST(StatusCountersTest, NothingIsCountedWithoutABlockOrSlot) {
  Block block;
  const int slot = static_cast<int>(block->AssignSlot("/srv/a/", nullptr));
  CountRequest(kNoSlot, Outcome::PassedToken);
  CountError(static_cast<int>(kSlots), ErrorReason::Other);
  Install(nullptr);
  CountRequest(slot, Outcome::PassedToken);
  Install(&*block);
  for (const std::uint64_t n : block->Read()[0].requests) {
    EXPECT_EQ(n, 0u);
  }
}

TEST(StatusCountersTest, IncrementsFromManyThreadsAllCount) {
  Block block;
  const int slot = static_cast<int>(block->AssignSlot("/srv/a/", nullptr));
  constexpr int kThreads = 4;
  constexpr int kEach = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([slot] {
      for (int i = 0; i < kEach; ++i) {
        CountRequest(slot, Outcome::PassedToken);
        CountBrokerCall(slot, BrokerProcedure::GetHeaderString, BrokerResult::Ok, 0, 1000);
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  const SiteValues site = block->Read()[0];
  EXPECT_EQ(site.requests[Index(Outcome::PassedToken)], std::uint64_t{kThreads} * kEach);
  EXPECT_EQ(site.brokerCalls[0][Index(BrokerResult::Ok)], std::uint64_t{kThreads} * kEach);
  EXPECT_EQ(site.latencyNanos, std::uint64_t{kThreads} * kEach * 1000);
}

TEST(StatusCountersTest, EventsOfTheGateTellReloadAndErrorReason) {
  struct Case {
    std::vector<std::pair<gate::EventType, std::u16string>> events;
    RequestNotes expected;
  };
  using gate::EventType;
  const Case cases[] = {
      {{{EventType::Information, std::u16string(gate::kInfoMessage)}}, {.reloaded = true}},
      {{{EventType::Error, u"Unable to load configuration"}},
       {.errorReported = true, .errorReason = ErrorReason::Other, .reloadFailed = true}},
      {{{EventType::Error, std::u16string(gate::kSsoUrlMissing)}},
       {.errorReported = true, .errorReason = ErrorReason::Configuration}},
      {{{EventType::Error, u"ProtectedResourceList must be set in the ISAPI configuration file"}},
       {.errorReported = true, .errorReason = ErrorReason::Configuration}},
      {{{EventType::Error, u"Tessera is empty"}},
       {.errorReported = true, .errorReason = ErrorReason::InvalidToken}},
      // The first event that tells a reason decides.
      {{{EventType::Error, std::u16string(gate::kRequestFailed)},
        {EventType::Error, u"Tessera is empty"},
        {EventType::Error, std::u16string(gate::kSsoUrlMissing)}},
       {.errorReported = true, .errorReason = ErrorReason::InvalidToken}},
      // Warnings and other information tell nothing.
      {{{EventType::Warning, u"Unable to load configuration"},
        {EventType::Information, u"Tessera cookie not found"}},
       {}},
  };
  for (const Case& c : cases) {
    ResetNotes();
    for (const auto& [type, text] : c.events) {
      NoteEvent(type, text);
    }
    const RequestNotes& notes = Notes();
    EXPECT_EQ(notes.reloaded, c.expected.reloaded);
    EXPECT_EQ(notes.reloadFailed, c.expected.reloadFailed);
    EXPECT_EQ(notes.errorReported, c.expected.errorReported);
    EXPECT_EQ(notes.errorReason, c.expected.errorReason);
  }
  ResetNotes();
  NoteBrokerResult(BrokerResult::Refused);
  EXPECT_TRUE(Notes().brokerCalled);
  ResetNotes();
  EXPECT_FALSE(Notes().brokerCalled);
}

TEST(StatusCountersTest, RedirectTargetFromTheSettingsUrls) {
  gate::GateSettings settings;
  // As in the demo: the base URL is a prefix of the sign-on URL, the logout URL extends it.
  settings.CorvaneBaseUrl = u"http://sso.test/signon/";
  settings.SSOUrl = u"http://sso.test/signon/login.cgi";
  settings.SLOUrl = u"http://sso.test/signon/login.cgi/logout";
  settings.ErrorUrl = u"http://sso.test/error?site=a";
  const std::pair<std::string, RedirectTarget> cases[] = {
      {"http://sso.test/signon/login.cgi?TargetResource=http%3a//a/x", RedirectTarget::SignOn},
      {"http://sso.test/signon/login.cgi/logout?TargetResource=http://a/x", RedirectTarget::Logout},
      {"http://sso.test/signon/resume/path", RedirectTarget::Logout},
      {"http://sso.test/error?site=a&ErrorMessage=Tessera is empty", RedirectTarget::ErrorPage},
      {"http://sso.test/error?site=a?ErrorMessage=x", RedirectTarget::Logout},
  };
  for (const auto& [location, target] : cases) {
    EXPECT_EQ(TargetOf(location, settings), target) << location;
  }
  settings.SSOUrl = u"http://sso.test/login?realm=r";
  EXPECT_EQ(TargetOf("http://sso.test/login?realm=r&TargetResource=x", settings),
            RedirectTarget::SignOn);
  EXPECT_EQ(TargetOf("http://sso.test/login?realm=r?TargetResource=x", settings),
            RedirectTarget::Logout);
}

TEST(StatusCountersTest, ClassifyTellsEveryOutcome) {
  const RequestNotes none;
  const RequestNotes reloaded{.reloaded = true};
  const RequestNotes reloadFailed{.errorReported = true, .reloadFailed = true};
  const RequestNotes brokerDown{.brokerCalled = true,
                                .brokerResult = BrokerResult::RpcError,
                                .brokerStatus = 1722,
                                .errorReported = true};
  const RequestNotes logonFault{.brokerCalled = true,
                                .brokerResult = BrokerResult::RpcError,
                                .brokerStatus = 0x8001011B,
                                .errorReported = true};
  const RequestNotes emptyTokenFault{.brokerCalled = true,
                                     .brokerResult = BrokerResult::RpcError,
                                     .brokerStatus = 1782,
                                     .errorReported = true};
  const RequestNotes refused{
      .brokerCalled = true, .brokerResult = BrokerResult::Refused, .errorReported = true};
  const RequestNotes brokerOkThenError{
      .brokerCalled = true, .brokerResult = BrokerResult::Ok, .errorReported = true};
  const RequestNotes configuration{.errorReported = true,
                                   .errorReason = ErrorReason::Configuration};
  struct Case {
    HostAnswer answer;
    std::uint32_t status;
    RedirectTarget target;
    const RequestNotes& notes;
    Outcome outcome;
    ErrorReason reason;
  };
  using enum HostAnswer;
  const Case cases[] = {
      {HandedOnUnchanged, 200, RedirectTarget::SignOn, none, Outcome::NotProtected,
       ErrorReason::Other},
      {HandedOnWithHeaders, 200, RedirectTarget::SignOn, none, Outcome::PassedToken,
       ErrorReason::Other},
      {HandedOnImpersonated, 200, RedirectTarget::SignOn, none, Outcome::PassedIwa,
       ErrorReason::Other},
      {Redirect, 200, RedirectTarget::SignOn, none, Outcome::SignOnRedirect, ErrorReason::Other},
      {Redirect, 200, RedirectTarget::Logout, none, Outcome::LogoutRedirect, ErrorReason::Other},
      {Redirect, 200, RedirectTarget::ErrorPage, refused, Outcome::Error,
       ErrorReason::InvalidToken},
      {Redirect, 200, RedirectTarget::ErrorPage, reloadFailed, Outcome::ReloadFailed,
       ErrorReason::Other},
      {Page, 200, RedirectTarget::SignOn, reloaded, Outcome::Reload, ErrorReason::Other},
      {Page, 500, RedirectTarget::SignOn, reloadFailed, Outcome::ReloadFailed, ErrorReason::Other},
      {Page, 401, RedirectTarget::SignOn, none, Outcome::Unauthorized, ErrorReason::Other},
      {Page, 500, RedirectTarget::SignOn, brokerDown, Outcome::Error,
       ErrorReason::BrokerUnavailable},
      {Page, 500, RedirectTarget::SignOn, refused, Outcome::Error, ErrorReason::InvalidToken},
      {Page, 500, RedirectTarget::SignOn, logonFault, Outcome::Error, ErrorReason::LogonFailed},
      {Page, 500, RedirectTarget::SignOn, emptyTokenFault, Outcome::Error,
       ErrorReason::InvalidToken},
      {Page, 500, RedirectTarget::SignOn, brokerOkThenError, Outcome::Error, ErrorReason::Other},
      {Page, 500, RedirectTarget::SignOn, configuration, Outcome::Error,
       ErrorReason::Configuration},
      {None, 200, RedirectTarget::SignOn, none, Outcome::Error, ErrorReason::Other},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const Classified got = Classify(c.answer, c.status, c.target, c.notes);
    EXPECT_EQ(got.outcome, c.outcome) << "case " << i;
    if (c.outcome == Outcome::Error) {
      EXPECT_EQ(got.reason, c.reason) << "case " << i;
    }
  }
}

TEST(StatusCountersTest, RpcStatusLabels) {
  EXPECT_EQ(RpcStatusLabel(1722), "1722");
  EXPECT_EQ(RpcStatusLabel(5), "5");
  EXPECT_EQ(RpcStatusLabel(0x8001011B), "0x8001011B");
}

}  // namespace
}  // namespace tokengate::apache::status
