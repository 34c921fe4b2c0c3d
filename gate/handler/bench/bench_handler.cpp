// One protected request through the handler (test host), with a real broker call over the Unix
// socket to a `logon-broker -console` process, next to the same request with the broker call
// replaced by a no-op that returns the same outputs: the difference is the broker's share.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "tessera/tessera.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/context_link.h"
#include "tokengate/gate/request_handler.h"
#include "tokengate/gate/testing/test_host.h"
#include "tokengate/platform/unix_rpc.h"
#include "tokengate/testing/child_process.h"

namespace tokengate::gate {
namespace {

namespace fs = std::filesystem;

// Returns the outputs the real broker gave for the same token, without any work.
class NoopBroker final : public rpc::IAuthenticator {
 public:
  std::u16string updated, header, attributes;
  std::intptr_t GetHeaderString(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                std::int32_t, const char16_t*, std::int32_t, std::int32_t* utl,
                                char16_t* ut, std::int32_t* hl, char16_t* h, std::int32_t* al,
                                char16_t* a) override {
    Put(updated, utl, ut);
    Put(header, hl, h);
    Put(attributes, al, a);
    return 0;
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                       std::int32_t, const char16_t*, std::int32_t, std::int32_t,
                                       std::int32_t*, char16_t*, std::int32_t*, char16_t*,
                                       std::int32_t*, char16_t*) override {
    return -1;
  }

 private:
  static void Put(const std::u16string& s, std::int32_t* len, char16_t* buf) {
    std::copy(s.begin(), s.end(), buf);
    buf[s.size()] = u'\0';
    *len = static_cast<std::int32_t>(s.size());
  }
};

struct Setup {
  Setup() {
    std::random_device rd;
    dir = fs::temp_directory_path() / ("tg-bench-handler-" + std::to_string(rd()));
    fs::create_directories(dir / "conf");
    fs::create_directories(dir / "run");
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    for (auto& b : key) {
      b = static_cast<std::uint8_t>(rd());
    }
    std::ofstream(dir / "conf" / "agent-config.txt")
        << "TokenLifetime=3600\nKey.k1=" << tessera::format::Base64UrlEncode(key)
        << "\nWriteKeyId=k1\n";
    std::ofstream(dir / "conf" / "cvisapi.conf")
        << "[ISAPI]\nTesseraName=TSR\nSSOUrl=https://sso.example.test/signon\n"
           "ProtectedResourceList=^/static/|^/api/|^/app/\nAuthenticationPrefix=X-\n"
           "TokenUpdateWindow=-1\n";
    // About ten attributes, a token of about 600 bytes.
    tessera::MultiStringDictionary d;
    d.Add(u"subject", u"jdoe@example.test");
    d.Add(u"realm", u"EXAMPLE.TEST");
    d.Add(u"mail", u"jdoe@example.test");
    d.Add(u"givenName", u"John");
    d.Add(u"sn", u"Doe");
    for (const char16_t* g : {u"staff", u"finance", u"vpn-users"}) {
      d.Add(u"groups", g);
    }
    d.Add(u"department", u"Finance");
    d.Add(u"employeeNumber", u"104233");
    d.Add(u"title", u"Senior Financial Analyst");
    const tessera::AgentConfiguration cfg((dir / "conf" / "agent-config.txt").string());
    token = tessera::Agent(cfg).WriteToken(d);

    ::setenv(platform::kRuntimeDirEnv, ((dir / "run").string() + "/").c_str(), 1);
    ::setenv("TOKENGATE_S4U_PROVIDER", "none", 1);
    if (!broker.Start(TG_LOGON_BROKER_PATH, {"-console"}) ||
        !tokengate::testing::WaitUntilListening(platform::BrokerSocketPath(rpc::kEndpoint))) {
      throw std::runtime_error("cannot start logon-broker");
    }
    rpc::RpcStatus status = 0;
    binding = platform::BindToBroker(rpc::kStringBinding, &status);
    config = std::make_unique<GateConfiguration>(
        configLog, std::make_shared<FixedGateRegistry>(text::Utf8ToUtf16(dir.string() + "/")),
        std::make_shared<IniProfileReader>());
    if (!binding || !config->Load()) {
      throw std::runtime_error("set-up failed");
    }
  }
  ~Setup() {
    broker.Stop(SIGTERM);
    fs::remove_all(dir);
  }

  testing::TestRequest Request() const {
    testing::TestRequest r;
    r.url = "/app/reports/quarterly";
    r.query = "year=2026&q=3";
    r.headers = {{"Host", "app.example.test"},
                 {"User-Agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36"},
                 {"Accept", "text/html,application/xhtml+xml;q=0.9,*/*;q=0.8"},
                 {"Accept-Language", "en-US,en;q=0.5"},
                 {"Accept-Encoding", "gzip, deflate, br"},
                 {"Referer", "https://app.example.test/app/"},
                 {"Cookie", "_ga=GA1.2.1234567890.1700000000; theme=dark; TSR=" + token},
                 {"Connection", "keep-alive"}};
    return r;
  }

  fs::path dir;
  tokengate::testing::ChildProcess broker;
  std::string token;
  std::unique_ptr<rpc::IAuthenticator> binding;
  GateEventLog configLog;
  std::unique_ptr<GateConfiguration> config;
};

Setup& Env() {
  static Setup setup;
  return setup;
}

// A host as lean as a web server's own: the request's values are read from memory as they are
// (a copy into the gate's area, as Apache copies from its request record), a hand-off and a
// response header line are taken as they come. The test host also records every call for the
// tests to inspect; this one measures the handler without that bookkeeping.
class BareHost final : public IRequestHost, public IFilterNotification, public IFilterContext {
 public:
  explicit BareHost(const testing::TestRequest& r) : url_(r.url), query_(r.query) {
    for (const auto& [name, value] : r.headers) {
      raw_ += name + ": " + value + "\r\n";
      if (name == "Cookie") {
        cookie_ = value;
      }
    }
  }

  VariableRead GetServerVariable(std::string_view name, std::span<char> area) noexcept override {
    const std::string* value = name == "URL"                       ? &url_
                               : name == "QUERY_STRING"            ? &query_
                               : name == "ALL_RAW"                 ? &raw_
                               : name == "HEADER_COOKIE"           ? &cookie_
                               : name == "HTTP_TARVEXAUTH_CONTEXT" ? &context_
                                                                   : nullptr;
    if (value == nullptr) {
      return {VariableError::InvalidIndex, 0, kErrorInvalidIndex};
    }
    if (value->size() + 1 > area.size()) {
      return {VariableError::InsufficientBuffer, value->size() + 1, kErrorInsufficientBuffer};
    }
    std::memcpy(area.data(), value->data(), value->size());
    area[value->size()] = '\0';
    return {VariableError::None, value->size() + 1, 0};
  }
  std::string_view QueryString() const noexcept override { return query_; }
  std::string_view AvailableBody() const noexcept override { return {}; }
  void SetStatusCode(std::uint32_t) noexcept override {}
  void SetLogData(std::string_view) noexcept override {}
  bool WriteClient(std::string_view) noexcept override { return false; }
  bool SendRedirect(std::string_view) noexcept override { return false; }
  bool ExecuteChild(std::unique_ptr<HandOff>& hand_off, CompletionRoutine) noexcept override {
    handOff_ = std::move(hand_off);
    return true;
  }
  bool GetExecStatus(ExecStatus&) noexcept override { return false; }
  void SetThreadLastError(std::uint32_t) noexcept override {}
  void DoneWithSession(std::uint32_t) noexcept override {}
  IFilterContext* ResolveFilterContext(std::uint32_t id) noexcept override {
    return id == kContextId ? this : nullptr;
  }
  Credential OpenThreadCredential() noexcept override { return nullptr; }
  bool RevertToSelf() noexcept override { return false; }
  bool Impersonate(const ICredential&) noexcept override { return false; }
  std::optional<std::u16string> ThreadUserName() override { return std::nullopt; }

  void ClearPrivateContext() noexcept override {}
  std::uint32_t ContextId() const noexcept override { return kContextId; }
  bool AddHeader(std::string_view name, std::string_view value) noexcept override {
    name.remove_suffix(name.ends_with(':') ? 1 : 0);
    raw_.append(name).append(": ").append(value).append("\r\n");
    context_ = value;
    return true;
  }

  bool AddResponseHeaders(std::string_view line) noexcept override {
    responseHeaders_.append(line);
    return true;
  }

  bool HandedOn() const { return handOff_ != nullptr && !handOff_->child_headers.empty(); }

 private:
  static constexpr std::uint32_t kContextId = 0x5eed1234;
  std::string url_, query_, raw_, cookie_, context_;
  std::string responseHeaders_;
  std::unique_ptr<HandOff> handOff_;
};

void Run(benchmark::State& state, rpc::IAuthenticator& broker) {
  Setup& env = Env();
  const testing::TestRequest request = env.Request();
  for (auto _ : state) {
    testing::TestHost host(request);
    TagRequest(host);
    BrokerClient client(&broker, host.Log(), 1);
    const GateServices services{*env.config, host.Log(), client, nullptr, nullptr};
    if (HandleRequest(host, services) != kHseStatusPending) {
      state.SkipWithError("request was not handed on");
      break;
    }
  }
}

void BM_ProtectedRequest_RealBroker(benchmark::State& state) {
  Run(state, *Env().binding);
}

// The no-op answers exactly what the real broker answers for this token.
NoopBroker& NoopAnswers() {
  static NoopBroker noop = [] {
    NoopBroker n;
    BrokerOutputs out;
    BrokerRequest req{text::Utf8ToUtf16((Env().dir / "conf" / "agent-config.txt").string()),
                      text::Utf8ToUtf16(Env().token), u"X-", -1};
    GateEventLog log;
    BrokerClient(Env().binding.get(), log, 1).BrokerGetHeaderString(req, out);
    n.updated = out.UpdatedToken();
    n.header = out.Header();
    n.attributes = out.AttributeList();
    return n;
  }();
  return noop;
}

void BM_ProtectedRequest_NoopBroker(benchmark::State& state) {
  Run(state, NoopAnswers());
}

// The handler's own cost: no broker work, and a host that does no more than a web server.
void BM_ProtectedRequest_NoopBroker_BareHost(benchmark::State& state) {
  Setup& env = Env();
  static NoopBroker& noop = NoopAnswers();
  const testing::TestRequest request = env.Request();
  GateEventLog log;
  for (auto _ : state) {
    BareHost host(request);
    TagRequest(host);
    BrokerClient client(&noop, log, 1);
    const GateServices services{*env.config, log, client, nullptr, nullptr};
    if (HandleRequest(host, services) != kHseStatusPending || !host.HandedOn()) {
      state.SkipWithError("request was not handed on");
      break;
    }
  }
}

BENCHMARK(BM_ProtectedRequest_RealBroker)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProtectedRequest_RealBroker)->Unit(benchmark::kMicrosecond)->Threads(8)->UseRealTime();
BENCHMARK(BM_ProtectedRequest_NoopBroker)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProtectedRequest_NoopBroker_BareHost)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tokengate::gate

BENCHMARK_MAIN();
