// The request handler's decision flow, one row per route: status, response and events in order.
#include "tokengate/gate/request_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include "tokengate/common/text.h"
#include "tokengate/gate/context_link.h"
#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {

// Readable failure output for event lists.
void PrintTo(const CapturingEventSink::Event& e, std::ostream* os) {
  *os << "{type " << static_cast<int>(e.type) << ", \"" << text::Utf16ToUtf8(e.text) << "\"}";
}

namespace {

using testing::TestHost;
using testing::TestRequest;
using E = CapturingEventSink::Event;
constexpr auto Info = EventType::Information;
constexpr auto Error = EventType::Error;
constexpr auto Warning = EventType::Warning;

// What the fake broker answers.
struct BrokerAnswer {
  std::intptr_t result = 0;
  std::u16string updated = u"renewed-token";
  std::u16string header = u"X-subject: jdoe\r\nX-groups: [a,b]\r\n";
  std::u16string attributes;
  std::optional<std::uint32_t> fault;
};

class FakeBroker final : public rpc::IAuthenticator {
 public:
  BrokerAnswer answer;
  int calls = 0;
  std::u16string seenConfig;
  std::u16string seenToken;

  std::intptr_t GetHeaderString(std::int32_t cl, const char16_t* c, std::int32_t tl,
                                const char16_t* t, std::int32_t, const char16_t*, std::int32_t,
                                std::int32_t* utl, char16_t* ut, std::int32_t* hl, char16_t* h,
                                std::int32_t* al, char16_t* a) override {
    return Answer(cl, c, tl, t, utl, ut, hl, h, al, a);
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t cl, const char16_t* c, std::int32_t tl,
                                       const char16_t* t, std::int32_t, const char16_t*,
                                       std::int32_t, std::int32_t, std::int32_t* utl, char16_t* ut,
                                       std::int32_t* hl, char16_t* h, std::int32_t* al,
                                       char16_t* a) override {
    return Answer(cl, c, tl, t, utl, ut, hl, h, al, a);
  }

 private:
  static void Put(std::u16string_view text, std::int32_t* len, char16_t* buf) {
    std::copy(text.begin(), text.end(), buf);
    buf[text.size()] = u'\0';
    *len = static_cast<std::int32_t>(text.size());
  }
  std::intptr_t Answer(std::int32_t cl, const char16_t* c, std::int32_t tl, const char16_t* t,
                       std::int32_t* utl, char16_t* ut, std::int32_t* hl, char16_t* h,
                       std::int32_t* al, char16_t* a) {
    ++calls;
    seenConfig.assign(c, static_cast<std::size_t>(cl));
    seenToken.assign(t, static_cast<std::size_t>(tl));
    if (answer.fault) {
      throw rpc::RpcException(*answer.fault);
    }
    Put(answer.updated, utl, ut);
    Put(answer.header, hl, h);
    Put(answer.attributes, al, a);
    return answer.result;
  }
};

constexpr char kBaseConf[] =
    "[ISAPI]\n"
    "TesseraName=TSR\n"
    "SSOUrl=https://sso.example.test/signon\n"
    "ProtectedResourceList=^/app/\n"
    "CancelUrl=^/logout\n"
    "CorvaneBaseUrl=https://sso.example.test/\n"
    "AuthenticationPrefix=X-\n";

// Each test gets its own install directory with a conf file; routes rewrite it and reload.
class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() / ("tg-flow-" + std::to_string(rd()));
    std::filesystem::create_directories(dir_ / "conf");
    config_ = std::make_unique<GateConfiguration>(
        configLog_, std::make_shared<FixedGateRegistry>(text::Utf8ToUtf16(dir_.string() + "/")),
        std::make_shared<IniProfileReader>());
    Conf("");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The base conf with `extra` lines in front (the first occurrence of a key wins).
  void Conf(const std::string& extra) {
    std::ofstream(dir_ / "conf" / "cvisapi.conf") << "[ISAPI]\n" << extra << (kBaseConf + 8);
    ASSERT_TRUE(config_->Load());
  }

  // One request through the handler, tagged by the filter role first unless `tag` is false.
  std::uint32_t Go(TestHost& host, bool tag = true) {
    if (tag) {
      TagRequest(host);
    }
    BrokerClient client(&broker_, host.Log(), 4242);
    GateServices services{*config_, host.Log(), client,
                          [this](std::intptr_t) {
                            return testing::MakeTestCredential(u"EXAMPLE\\jdoe", userCloses_);
                          },
                          [] { return std::chrono::system_clock::time_point{}; }};
    return HandleRequest(host, services);
  }

  static TestRequest Get(std::string url, std::string query = {}) {
    TestRequest r;
    r.url = std::move(url);
    r.query = std::move(query);
    return r;
  }

  std::filesystem::path dir_;
  GateEventLog configLog_;
  std::unique_ptr<GateConfiguration> config_;
  FakeBroker broker_;
  std::shared_ptr<int> userCloses_ = std::make_shared<int>(0);
};

struct Route {
  const char* name;
  std::string conf;  // lines in front of the base conf
  TestRequest request;
  bool tag = true;
  std::function<void(FakeBroker&, TestHost&)> prepare;
  std::uint32_t status;
  std::vector<E> events;
  // What else must hold afterwards.
  std::function<void(const TestHost&, const FakeBroker&)> check;
};

TestRequest WithCookie(std::string url, std::string cookie, std::string query = {}) {
  TestRequest r;
  r.url = std::move(url);
  r.query = std::move(query);
  r.headers = {{"Host", "app.example.test"}, {"Cookie", std::move(cookie)}};
  return r;
}

// A request whose path the host also reads as `others`; PATH_INFO is the first of them, as
// Apache gives its own path there.
TestRequest Readings(std::string url, std::vector<std::string> others, std::string cookie = {},
                     std::string query = {}) {
  TestRequest r = cookie.empty() ? TestRequest{} : WithCookie({}, std::move(cookie));
  r.url = std::move(url);
  r.query = std::move(query);
  r.path_info = others.front();
  r.other_path_views = std::move(others);
  return r;
}

// The warning of a request whose readings lead to different outcomes.
std::u16string Differ(std::u16string_view url, std::u16string_view other) {
  return u"The request path reads differently to the web server and to a backend (\"" +
         std::u16string(url) + u"\" and \"" + std::u16string(other) +
         u"\"); the stricter reading decides.";
}

const std::u16string kBrokerDown =
    u"Could not obtain attributes from Tessera, please make sure the LogonBroker has been "
    u"started.";

void HandedOn(const TestHost& h, HandOffKind kind) {
  ASSERT_TRUE(h.accepted.has_value());
  EXPECT_EQ(h.accepted->kind, kind);
  EXPECT_TRUE(h.redirects.empty());
  EXPECT_FALSE(h.status_code.has_value());
}
void ErrorPage(const TestHost& h, std::string_view message) {
  EXPECT_EQ(h.status_code, 500u);
  EXPECT_NE(h.page.find("<td class=\"message\">" + std::string(message) + "</td>"),
            std::string::npos)
      << h.page;
  EXPECT_FALSE(h.accepted.has_value());
}
void RedirectedTo(const TestHost& h, std::string_view location) {
  ASSERT_EQ(h.redirects.size(), 1u);
  EXPECT_EQ(h.redirects[0], location);
  EXPECT_FALSE(h.accepted.has_value());
}
constexpr char kClearLine[] =
    "Set-Cookie: TSR=; expires=Thu, 01 Jan 1970 00:00:00 GMT; path=/; HttpOnly\r\n";

TEST_F(FlowTest, EveryRouteAnswersAndLogsAsSpecified) {
  const std::string signOn =
      "https://sso.example.test/signon?TargetResource=http://app.example.test/app/page";
  const Route routes[] = {
      {"reload",
       "",
       Get("/x", "cmd=reload"),
       true,
       nullptr,
       kHseStatusError,
       {{Info, 1000, 1001, u"ISAPI Configuration successfully reloaded"}},
       [](const TestHost& h, const FakeBroker& b) {
         EXPECT_NE(h.page.find("Info - Corvane ISAPI Extension"), std::string::npos);
         EXPECT_EQ(b.calls, 0);
       }},
      {"disabled",
       "EnableExtension=NO\n",
       Get("/app/page"),
       true,
       nullptr,
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker&) { HandedOn(h, HandOffKind::Unchanged); }},
      {"error page bypass",
       "",
       Get("/ERROR.html", "a=1"),
       true,
       nullptr,
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker&) { HandedOn(h, HandOffKind::Unchanged); }},
      {"no filter context",
       "",
       Get("/app/page"),
       false,
       nullptr,
       kHseStatusError,
       {{Warning, 1000, 1001, u"HTTP_TARVEXAUTH_CONTEXT could not be obtained from request 1413"},
        {Error, 1000, 1001,
         u"Filter context not available, please make sure the ISAPI extension is added to ISAPI "
         u"Filters in IIS."}},
       [](const TestHost& h, const FakeBroker&) {
         ErrorPage(h,
                   "Filter context not available, please make sure the ISAPI extension is "
                   "added to ISAPI Filters in IIS.");
       }},
      {"empty TesseraName",
       "TesseraName=\"\"\n",
       Get("/app/page"),
       true,
       nullptr,
       kHseStatusError,
       {{Error, 1000, 1001, u"TesseraName must be set in the ISAPI configuration file"}},
       [](const TestHost& h, const FakeBroker&) {
         ErrorPage(h, "TesseraName must be set in the ISAPI configuration file");
       }},
      {"cancel with resume",
       "",
       WithCookie("/logout", "TSR=abc", "resume=/idp/startSLO.ping"),
       true,
       nullptr,
       kHseStatusSuccess,
       {},
       [](const TestHost& h, const FakeBroker&) {
         RedirectedTo(h, "https://sso.example.test/idp/startSLO.ping");
         EXPECT_EQ(h.filter.lines, std::vector<std::string>{kClearLine});
       }},
      {"cancel with a resume that leaves the base host",
       "",
       Get("/logout", "resume=@evil.example/"),
       true,
       nullptr,
       kHseStatusError,
       {{Error, 1000, 1001, u"The resume value must be a path on CorvaneBaseUrl"}},
       [](const TestHost& h, const FakeBroker&) {
         ErrorPage(h, "The resume value must be a path on CorvaneBaseUrl");
       }},
      {"cancel with resume but no base",
       "CorvaneBaseUrl=\"\"\n",
       Get("/logout", "resume=/x"),
       true,
       nullptr,
       kHseStatusError,
       {{Error, 1000, 1001,
         u"CorvaneBaseUrl must be set in the ISAPI configuration file for single logut"}},
       [](const TestHost& h, const FakeBroker&) {
         ErrorPage(h,
                   "CorvaneBaseUrl must be set in the ISAPI configuration file for single "
                   "logout");
       }},
      {"cancel with token and SLOUrl",
       "SLOUrl=https://sso.example.test/slo\n",
       WithCookie("/logout", "TSR=abc"),
       true,
       nullptr,
       kHseStatusSuccess,
       {},
       [](const TestHost& h, const FakeBroker&) {
         RedirectedTo(h,
                      "https://sso.example.test/slo?TargetResource=http://app.example.test/logout");
       }},
      {"cancel with token, no SLOUrl",
       "",
       WithCookie("/logout", "TSR=abc"),
       true,
       nullptr,
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker&) {
         HandedOn(h, HandOffKind::Unchanged);
         EXPECT_EQ(h.filter.lines, std::vector<std::string>{kClearLine});
       }},
      {"cancel without token or resume",
       "",
       Get("/logout"),
       true,
       nullptr,
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker&) {
         HandedOn(h, HandOffKind::Unchanged);
         EXPECT_TRUE(h.filter.lines.empty());
       }},
      {"empty protected list",
       "ProtectedResourceList=\"\"\n",
       Get("/public"),
       true,
       nullptr,
       kHseStatusError,
       {{Error, 1000, 1001, u"ProtectedResourceList must be set in the ISAPI configuration file"}},
       nullptr},
      {"unprotected",
       "",
       Get("/public/page"),
       true,
       nullptr,
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker& b) {
         HandedOn(h, HandOffKind::Unchanged);
         EXPECT_EQ(b.calls, 0);
       }},
      {"no token",
       "",
       Get("/app/page"),
       true,
       nullptr,
       kHseStatusSuccess,
       {{Info, 1000, 1001, u"Tessera cookie not found"}},
       [signOn](const TestHost& h, const FakeBroker&) { RedirectedTo(h, signOn); }},
      {"no token, IWA without SSOUrl",
       "EnableIWA=YES\nSSOUrl=\"\"\n",
       Get("/app/page"),
       true,
       nullptr,
       kHseStatusPending,
       {{Info, 1000, 1001, u"Tessera cookie not found"},
        {Info, 1000, 1001, u"SSOUrl is not configured for IWA."}},
       [](const TestHost& h, const FakeBroker&) { HandedOn(h, HandOffKind::Unchanged); }},
      {"no token, IWA with SSOUrl",
       "EnableIWA=YES\n",
       Get("/app/page"),
       true,
       nullptr,
       kHseStatusSuccess,
       {{Info, 1000, 1001, u"Tessera cookie not found"}},
       [signOn](const TestHost& h, const FakeBroker&) { RedirectedTo(h, signOn); }},
      {"empty token",
       "",
       Get("/app/page", "TSR="),
       true,
       nullptr,
       kHseStatusSuccess,
       {{Info, 1000, 1001, u"Tessera cookie not found"}},
       nullptr},
      {"empty token in a cookie",
       "",
       WithCookie("/app/page", "TSR=%00"),
       true,
       nullptr,
       kHseStatusError,
       {{Error, 1000, 1001, u"Tessera is empty"}},
       [](const TestHost& h, const FakeBroker&) { ErrorPage(h, "Tessera is empty"); }},
      {"token \"EXPIRED\"",
       "",
       WithCookie("/app/page", "TSR=EXPIRED"),
       true,
       nullptr,
       kHseStatusSuccess,
       {},
       [signOn](const TestHost& h, const FakeBroker& b) {
         RedirectedTo(h, signOn);
         EXPECT_EQ(b.calls, 0);
         EXPECT_TRUE(h.filter.lines.empty());
       }},
      {"broker failure",
       "",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker& b, TestHost&) { b.answer.fault = rpc::kStatusServerUnavailable; },
       kHseStatusError,
       {{Error, 1000, 1001, kBrokerDown}},
       [](const TestHost& h, const FakeBroker&) {
         ErrorPage(h,
                   "Could not obtain attributes from Tessera, please make sure the LogonBroker "
                   "has been started.");
       }},
      {"session expired",
       "",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker& b, TestHost&) {
         b.answer.result = -1;
         b.answer.updated = u"SESSION_EXPIRED";
       },
       kHseStatusSuccess,
       {},
       [signOn](const TestHost& h, const FakeBroker&) {
         RedirectedTo(h, signOn);
         EXPECT_EQ(h.filter.lines, std::vector<std::string>{kClearLine});
       }},
      {"attribute list required",
       "AuthenticationPrefix=\"\"\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       nullptr,
       kHseStatusError,
       {{Error, 1000, 1001,
         u"'cv_attribute_list' must be specified in Attribute Contract, if Authentication Prefix "
         u"is empty."}},
       nullptr},
      {"request headers that cannot be read",
       "",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker&, TestHost& h) {
         h.FailVariable("ALL_RAW", VariableError::InsufficientBuffer, kErrorInsufficientBuffer);
       },
       kHseStatusError,
       {{Warning, 1000, 1001, u"ALL_RAW could not be obtained from request 122"},
        {Error, 1000, 1001,
         u"Child request headers refused: the request's own headers could not be read"}},
       [](const TestHost& h, const FakeBroker&) {
         ErrorPage(h, "Child request headers refused: the request's own headers could not be read");
         EXPECT_FALSE(h.accepted.has_value());
         EXPECT_TRUE(h.filter.lines.empty());
       }},
      {"cookie write failure",
       "",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker&, TestHost& h) { h.filter.refuse = true; },
       kHseStatusError,
       {{Info, 1000, 1001, u"Attributes from Tessera are being added as request headers."},
        {Error, 1000, 1001, u"Error in updating cookies."},
        {Info, 1000, 1001, u"Error occured in updating session token."}},
       [](const TestHost& h, const FakeBroker&) {
         EXPECT_FALSE(h.accepted.has_value());
         EXPECT_TRUE(h.page.empty());
       }},
      {"success",
       "",
       WithCookie("/app/page", "TSR=abc"),
       true,
       nullptr,
       kHseStatusPending,
       {{Info, 1000, 1001, u"Attributes from Tessera are being added as request headers."}},
       [](const TestHost& h, const FakeBroker& b) {
         HandedOn(h, HandOffKind::WithHeaders);
         EXPECT_EQ(h.accepted->flags, 0u);
         EXPECT_NE(h.accepted->child_headers.find("Cookie: TSR=abc\r\n"), std::string::npos);
         EXPECT_TRUE(h.accepted->child_headers.ends_with("X-subject: jdoe\r\nX-groups: [a,b]\r\n"));
         EXPECT_EQ(h.filter.lines,
                   std::vector<std::string>{"Set-Cookie: TSR=renewed-token; path=/; HttpOnly\r\n"});
         EXPECT_EQ(b.seenToken, u"abc");
       }},
      {"success deleting the cookie",
       "DeleteTesseraCookie=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       nullptr,
       kHseStatusPending,
       {{Info, 1000, 1001, u"Attributes from Tessera are being added as request headers."}},
       [](const TestHost& h, const FakeBroker&) {
         HandedOn(h, HandOffKind::WithHeaders);
         EXPECT_EQ(h.filter.lines, std::vector<std::string>{kClearLine});
       }},
      {"success with IWA",
       "EnableIWA=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker& b, TestHost&) { b.answer.result = 99; },
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker&) {
         HandedOn(h, HandOffKind::Impersonated);
         EXPECT_EQ(h.accepted->user_token_account, u"EXAMPLE\\jdoe");
         EXPECT_EQ(h.accepted->user_name, u"EXAMPLE\\jdoe");
         EXPECT_EQ(h.accepted->auth_type, "Corvane Tessera");
         EXPECT_EQ(h.thread_account, u"IUSR");
       }},
      {"IWA broker failure keeps the code in the event only",
       "EnableIWA=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker& b, TestHost&) { b.answer.fault = rpc::kFaultAccessDenied; },
       kHseStatusError,
       {{Error, 1000, 1001, u"default"}, {Error, 1000, 1001, kBrokerDown + u" -2147417829"}},
       [](const TestHost& h, const FakeBroker&) {
         ErrorPage(h,
                   "Could not obtain attributes from Tessera, please make sure the LogonBroker "
                   "has been started.");
         EXPECT_EQ(h.thread_account, u"IUSR");
       }},
      {"IWA without a handle",
       "EnableIWA=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker& b, TestHost&) { b.answer.result = 0; },
       kHseStatusError,
       {{Error, 1000, 1001, u"RPC Exception returned invalid handle"}},
       [](const TestHost& h, const FakeBroker&) { EXPECT_EQ(h.thread_account, u"IUSR"); }},
      {"IWA expired",
       "EnableIWA=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker& b, TestHost&) {
         b.answer.result = -1;
         b.answer.updated = u"SESSION_EXPIRED";
       },
       kHseStatusSuccess,
       {{Error, 1000, 1001, u"Could not obtain handle"}},
       [signOn](const TestHost& h, const FakeBroker&) {
         RedirectedTo(h, signOn);
         EXPECT_EQ(h.thread_account, u"IUSR");
       }},
      {"IWA thread token unavailable",
       "EnableIWA=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker&, TestHost& h) { h.fail_open_thread = true; },
       kHseStatusError,
       {{Error, 1000, 1001, u"Unable to acquire thread token for impersonation"}},
       [](const TestHost&, const FakeBroker& b) { EXPECT_EQ(b.calls, 0); }},
      {"IWA cannot revert",
       "EnableIWA=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker&, TestHost& h) { h.fail_revert = true; },
       kHseStatusError,
       {{Error, 1000, 1001, u"Unable to revert from impersonation back to process token"}},
       nullptr},
      {"IWA cannot restore the saved identity",
       "EnableIWA=YES\n",
       WithCookie("/app/page", "TSR=abc"),
       true,
       [](FakeBroker& b, TestHost& h) {
         b.answer.result = 99;
         h.refuse_impersonation_of.insert(u"IUSR");
       },
       kHseStatusError,
       {{Error, 1000, 1001, u"Unable to revert to original thread token"}},
       [](const TestHost& h, const FakeBroker&) { EXPECT_FALSE(h.accepted.has_value()); }},
      // The path in further readings (Apache runs "/app/run.cgi/..;/" as the script while the
      // "URL" reading is "/"): protected when any reading is.
      {"protected in another reading only",
       "",
       Readings("/", {"/app/run.cgi/..;/..;/"}),
       true,
       nullptr,
       kHseStatusSuccess,
       {{Warning, 1000, 1001, Differ(u"/", u"/app/run.cgi/..;/..;/")},
        {Info, 1000, 1001, u"Tessera cookie not found"}},
       [](const TestHost& h, const FakeBroker&) {
         RedirectedTo(h,
                      "https://sso.example.test/signon?TargetResource=http://app.example.test/app/"
                      "run.cgi/..%3b/..%3b/");
       }},
      {"protected in another reading, with a token",
       "",
       Readings("/", {"/app/run.cgi/..;/"}, "TSR=abc"),
       true,
       nullptr,
       kHseStatusPending,
       {{Warning, 1000, 1001, Differ(u"/", u"/app/run.cgi/..;/")},
        {Info, 1000, 1001, u"Attributes from Tessera are being added as request headers."}},
       [](const TestHost& h, const FakeBroker& b) {
         HandedOn(h, HandOffKind::WithHeaders);
         EXPECT_EQ(b.calls, 1);
       }},
      {"the error page in one reading only",
       "",
       Readings("/error.html", {"/app/run.cgi/x\\..\\..\\..\\error.html"}),
       true,
       nullptr,
       kHseStatusSuccess,
       {{Warning, 1000, 1001, Differ(u"/error.html", u"/app/run.cgi/x\\..\\..\\..\\error.html")},
        {Info, 1000, 1001, u"Tessera cookie not found"}},
       [](const TestHost& h, const FakeBroker&) { EXPECT_EQ(h.redirects.size(), 1u); }},
      {"the error page in every reading",
       "",
       Readings("/error.html", {"/ERROR.HTML"}),
       true,
       nullptr,
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker&) { HandedOn(h, HandOffKind::Unchanged); }},
      {"a cancel in one reading only",
       "",
       Readings("/logout", {"/app/run.cgi/..;/..;/logout"}, "TSR=abc"),
       true,
       nullptr,
       kHseStatusPending,
       {{Warning, 1000, 1001, Differ(u"/logout", u"/app/run.cgi/..;/..;/logout")},
        {Info, 1000, 1001, u"Attributes from Tessera are being added as request headers."}},
       [](const TestHost& h, const FakeBroker&) {
         HandedOn(h, HandOffKind::WithHeaders);
         EXPECT_EQ(h.filter.lines,
                   std::vector<std::string>{"Set-Cookie: TSR=renewed-token; path=/; HttpOnly\r\n"});
       }},
      {"a cancel in every reading",
       "",
       Readings("/logout", {"/logout;x"}, "TSR=abc", "resume=/idp/startSLO.ping"),
       true,
       nullptr,
       kHseStatusSuccess,
       {},
       [](const TestHost& h, const FakeBroker&) {
         RedirectedTo(h, "https://sso.example.test/idp/startSLO.ping");
       }},
      {"a reload in one reading only",
       "ReloadConfigUrl=^/reload\n",
       Readings("/reload", {"/app/run.cgi/..;/reload"}),
       true,
       nullptr,
       kHseStatusSuccess,
       {{Warning, 1000, 1001, Differ(u"/reload", u"/app/run.cgi/..;/reload")},
        {Info, 1000, 1001, u"Tessera cookie not found"}},
       [](const TestHost& h, const FakeBroker&) {
         EXPECT_EQ(h.page.find("Info - Corvane ISAPI Extension"), std::string::npos);
         EXPECT_EQ(h.redirects.size(), 1u);
       }},
      {"unprotected in every reading",
       "",
       Readings("/public/a", {"/public;x/a", "/public/a;y"}),
       true,
       nullptr,
       kHseStatusPending,
       {},
       [](const TestHost& h, const FakeBroker& b) {
         HandedOn(h, HandOffKind::Unchanged);
         EXPECT_EQ(b.calls, 0);
       }},
  };

  for (const auto& route : routes) {
    SCOPED_TRACE(route.name);
    Conf(route.conf);
    broker_ = FakeBroker{};
    TestHost host(route.request);
    if (route.prepare) {
      route.prepare(broker_, host);
    }
    EXPECT_EQ(Go(host, route.tag), route.status);
    EXPECT_EQ(host.Events(), route.events);
    if (route.check) {
      route.check(host, broker_);
    }
  }
}

TEST_F(FlowTest, TokenSourcesAreFormThenQueryThenCookie) {
  TestRequest r = WithCookie("/app/page", "TSR=from-cookie", "TSR=from-query");
  r.method = "POST";
  r.body = "TSR=from-form";
  TestHost host(r);
  EXPECT_EQ(Go(host), kHseStatusPending);
  EXPECT_EQ(broker_.seenToken, u"from-form");
  EXPECT_EQ(broker_.seenConfig, text::Utf8ToUtf16(dir_.string() + "//conf/agent-config.txt"));
}

TEST_F(FlowTest, UserCredentialIsClosedExactlyOnceOnEveryPath) {
  Conf("EnableIWA=YES\n");
  {  // handed on: closed by the completion step
    broker_.answer.result = 99;
    TestHost host(WithCookie("/app/page", "TSR=abc"));
    ASSERT_EQ(Go(host), kHseStatusPending);
    EXPECT_EQ(*userCloses_, 0);
    ASSERT_TRUE(host.FinishChild(200));
    EXPECT_EQ(*userCloses_, 1);
    EXPECT_EQ(host.status_code, 200u);
  }
  {  // refused hand-off: closed at once, no completion awaited
    *userCloses_ = 0;
    TestHost host(WithCookie("/app/page", "TSR=abc"));
    host.refuse_hand_off = true;
    EXPECT_EQ(Go(host), kHseStatusError);
    EXPECT_EQ(*userCloses_, 1);
    EXPECT_FALSE(host.Pending());
  }
  {  // a refusal after the broker call: closed when the handler returns
    *userCloses_ = 0;
    Conf("EnableIWA=YES\nAuthenticationPrefix=\"\"\n");
    TestHost host(WithCookie("/app/page", "TSR=abc"));
    EXPECT_EQ(Go(host), kHseStatusError);
    EXPECT_EQ(*userCloses_, 1);
    EXPECT_EQ(host.thread_account, u"IUSR");
  }
}

TEST_F(FlowTest, ClientSentAttributeHeadersNeverReachTheChild) {
  TestRequest r = WithCookie("/app/page", "TSR=abc");
  r.headers.emplace_back("x-SUBJECT", "admin");
  r.headers.emplace_back("X-Groups", "admins");
  TestHost spoofed(r);
  ASSERT_EQ(Go(spoofed), kHseStatusPending);
  const std::string& block = spoofed.accepted->child_headers;
  EXPECT_EQ(block.find("admin"), std::string::npos) << block;
  EXPECT_NE(block.find("X-subject: jdoe\r\n"), std::string::npos);
}

}  // namespace
}  // namespace tokengate::gate
