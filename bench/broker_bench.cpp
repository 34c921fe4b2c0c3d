// Calls per second of the broker transport next to a plain Unix-socket echo that moves the same
// bytes (the transport's physical limit on this machine), with 1 and 8 concurrent callers.
//   BM_BrokerTransport  GetHeaderString through the real client and server, canned outputs
//   BM_SocketEcho       a thread-per-connection server answering the request's bytes with the
//                       reply's bytes
//   BM_RealBroker       GetHeaderString through the broker's own procedures and codec with a
//                       real token (built when the broker libraries are part of the build)
//   BM_MemoryOverCalls  a million transport calls; reports the growth of the resident set
// Every benchmark moves the same bytes: with the broker libraries built, a real token of ten
// attributes and exactly what the real procedures return for it; otherwise a synthetic call of
// about that size. `ctxsw_per_call` and `cpu_us_per_call` count the context switches and the CPU
// time of the whole process (callers and server) per call.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tokengate/common/wire.h"
#include "tokengate/platform/unix_rpc.h"

#ifdef TG_BENCH_REAL_BROKER
#include "tessera/tessera.h"
#include "tokengate/broker/auth/authentication_service.h"
#include "tokengate/broker/service/service_platform.h"
#include "tokengate/common/text.h"
#endif

namespace {

using namespace tokengate;
namespace wire = rpc::wire;
using platform::UniqueFd;

// One call's inputs and the outputs the broker returns for them.
struct Payload {
  std::u16string config = u"/etc/tokengate/conf/tessera.properties";
  std::u16string token;
  std::u16string prefix = u"CV-";
  std::u16string updated;
  std::u16string header;
  std::u16string attributes;
};

#ifndef TG_BENCH_REAL_BROKER
std::u16string Repeat(std::u16string_view unit, std::size_t count) {
  std::u16string s;
  while (s.size() < count) {
    s += unit;
  }
  s.resize(count);
  return s;
}

// About 600 units of token and a header string of 10 attributes.
Payload SyntheticPayload() {
  Payload p;
  p.token = Repeat(u"AbCdEfGhIjKlMnOpQrStUvWxYz0123456789-_", 600);
  p.updated = p.token;
  p.header =
      u"CV-subject: jdoe\r\nCV-realm: EXAMPLE.COM\r\nCV-mail: jdoe@example.com\r\n"
      u"CV-givenName: John\r\nCV-sn: Doe\r\nCV-groups: [staff,finance,vpn-users]\r\n"
      u"CV-department: Finance\r\nCV-employeeNumber: 104233\r\n"
      u"CV-not-on-or-after: 2026-12-10T04:00:00Z\r\n"
      u"CV-cv_attribute_list: subject,realm,mail,givenName,sn,groups,department\r\n";
  p.attributes = u"subject,realm,mail,givenName,sn,groups,department";
  return p;
}
#endif

const Payload& TheCall();

// Context switches and CPU time (user and system, microseconds) of the whole process so far.
struct ProcessUsage {
  long switches = 0;
  double cpuUs = 0;
};

ProcessUsage Usage() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto us = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
  return {usage.ru_nvcsw + usage.ru_nivcsw, us(usage.ru_utime) + us(usage.ru_stime)};
}

// Counts the process's context switches and CPU time (callers and server together) over the
// timed loop of a (possibly threaded) benchmark: thread 0 reports them per call of all threads.
class ProcessCounters {
 public:
  explicit ProcessCounters(benchmark::State& state)
      : state_(state), start_(state.thread_index() == 0 ? Usage() : ProcessUsage{}) {}
  void Report() {
    if (state_.thread_index() != 0) {
      return;
    }
    const double calls = static_cast<double>(state_.iterations()) * state_.threads();
    if (calls <= 0) {
      return;
    }
    const ProcessUsage end = Usage();
    state_.counters["ctxsw_per_call"] = static_cast<double>(end.switches - start_.switches) / calls;
    state_.counters["cpu_us_per_call"] = (end.cpuUs - start_.cpuUs) / calls;
  }

 private:
  benchmark::State& state_;
  ProcessUsage start_;
};

// Returns canned outputs: what the real broker sends for the call's token.
class CannedBroker final : public rpc::IAuthenticator {
 public:
  std::intptr_t GetHeaderString(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                std::int32_t, const char16_t*, std::int32_t,
                                std::int32_t* tokenLength, char16_t* token,
                                std::int32_t* headerLength, char16_t* header,
                                std::int32_t* attrLength, char16_t* attrs) override {
    const Payload& call = TheCall();
    Put(call.updated, tokenLength, token);
    Put(call.header, headerLength, header);
    Put(call.attributes, attrLength, attrs);
    return rpc::kResultSuccess;
  }
  std::intptr_t GetHeaderStringWithIWA(std::int32_t, const char16_t*, std::int32_t, const char16_t*,
                                       std::int32_t, const char16_t*, std::int32_t, std::int32_t,
                                       std::int32_t*, char16_t*, std::int32_t*, char16_t*,
                                       std::int32_t*, char16_t*) override {
    throw rpc::RpcException(rpc::kFaultAccessDenied);
  }

 private:
  static void Put(const std::u16string& text, std::int32_t* length, char16_t* out) {
    text.copy(out, text.size());
    out[text.size()] = u'\0';
    *length = static_cast<std::int32_t>(text.size());
  }
};

struct Outputs {
  std::int32_t tokenLength = 0, headerLength = 0, attrLength = 0;
  std::vector<char16_t> token = std::vector<char16_t>(rpc::kUpdatedTokenCapacity);
  std::vector<char16_t> header = std::vector<char16_t>(rpc::kHeaderCapacity);
  std::vector<char16_t> attrs = std::vector<char16_t>(rpc::kAttributeListCapacity);
};

std::intptr_t CallOnce(rpc::IAuthenticator& client, Outputs& out) {
  const Payload& call = TheCall();
  return client.GetHeaderString(static_cast<std::int32_t>(call.config.size()), call.config.data(),
                                static_cast<std::int32_t>(call.token.size()), call.token.data(),
                                static_cast<std::int32_t>(call.prefix.size()), call.prefix.data(),
                                -1, &out.tokenLength, out.token.data(), &out.headerLength,
                                out.header.data(), &out.attrLength, out.attrs.data());
}

std::string MakeTempDir() {
  char pattern[] = "/tmp/tg-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

// A broker runtime on its own endpoint in a private directory.
class Broker {
 public:
  Broker(rpc::IAuthenticator& impl, const std::u16string& endpoint) {
    server_ = platform::CreateUnixRpcServerRuntime();
    if (server_->UseProtseqEp(rpc::kProtocol, 20, endpoint) != 0 ||
        server_->RegisterIf(impl) != 0 || server_->Listen(1, 20, true) != 0) {
      throw std::runtime_error("broker runtime did not start");
    }
    rpc::RpcStatus status = 0;
    client_ = platform::BindToBroker(u"ncalrpc:[" + endpoint + u"]", &status);
    if (!client_) {
      throw std::runtime_error("binding failed");
    }
  }
  ~Broker() {
    server_->StopListening();
    server_->WaitServerListen();
  }
  rpc::IAuthenticator& client() { return *client_; }

 private:
  std::unique_ptr<rpc::IRpcServerRuntime> server_;
  std::unique_ptr<rpc::IAuthenticator> client_;
};

struct Environment {
  Environment() : dir(MakeTempDir()) { ::setenv(platform::kRuntimeDirEnv, dir.c_str(), 1); }
  ~Environment() { std::filesystem::remove_all(dir); }
  std::string dir;
};

Environment& Env() {
  static Environment env;
  return env;
}

CannedBroker& Canned() {
  static CannedBroker canned;
  return canned;
}

Broker& Transport() {
  Env();
  static Broker broker(Canned(), u"BenchTransport");
  return broker;
}

void BM_BrokerTransport(benchmark::State& state) {
  rpc::IAuthenticator& client = Transport().client();
  Outputs out;
  ProcessCounters counters(state);
  for (auto _ : state) {
    if (CallOnce(client, out) != rpc::kResultSuccess) {
      state.SkipWithError("call failed");
      break;
    }
    benchmark::DoNotOptimize(out.headerLength);
  }
  counters.Report();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BrokerTransport)->Threads(1)->Threads(8)->UseRealTime();

// ---- plain echo of the same byte counts ----

std::size_t RequestBytes() {
  const Payload& call = TheCall();
  std::vector<std::uint8_t> frame;
  wire::EncodeRequest({.configLength = static_cast<std::int32_t>(call.config.size()),
                       .config = call.config.data(),
                       .tokenLength = static_cast<std::int32_t>(call.token.size()),
                       .token = call.token.data(),
                       .prefixLength = static_cast<std::int32_t>(call.prefix.size()),
                       .prefix = call.prefix.data(),
                       .tokenUpdateWindow = -1},
                      frame);
  return frame.size();
}

std::size_t ReplyBytes() {
  const Payload& call = TheCall();
  std::vector<std::uint8_t> frame;
  wire::EncodeReply(
      {.updatedToken = call.updated, .header = call.header, .attributeList = call.attributes},
      frame);
  return frame.size();
}

bool ReadExactly(int fd, std::uint8_t* data, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, data + got, size - got, 0);
    if (n <= 0) {
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

sockaddr_un Address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  return addr;
}

// Reads a request's worth of bytes, answers with a reply's worth; a thread per connection.
class EchoServer {
 public:
  EchoServer() : path_(Env().dir + "/echo") {
    listen_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un addr = Address(path_);
    if (::bind(listen_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listen_.get(), 64) != 0) {
      throw std::runtime_error("echo server did not start");
    }
    acceptor_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
          return;
        }
        std::lock_guard lock(mu_);
        workers_.emplace_back([fd] {
          UniqueFd conn(fd);
          std::vector<std::uint8_t> in(RequestBytes()), out(ReplyBytes(), 0x41);
          while (ReadExactly(conn.get(), in.data(), in.size()) &&
                 WriteAll(conn.get(), out.data(), out.size())) {
          }
        });
      }
    });
  }
  ~EchoServer() {
    ::shutdown(listen_.get(), SHUT_RDWR);
    acceptor_.join();
    std::lock_guard lock(mu_);
    for (std::thread& t : workers_) {
      t.join();
    }
  }
  UniqueFd Connect() const {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un addr = Address(path_);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
      throw std::runtime_error("echo connect failed");
    }
    return fd;
  }

 private:
  std::string path_;
  UniqueFd listen_;
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::thread> workers_;
};

EchoServer& Echo() {
  static EchoServer echo;
  return echo;
}

void BM_SocketEcho(benchmark::State& state) {
  UniqueFd conn = Echo().Connect();
  std::vector<std::uint8_t> request(RequestBytes(), 0x42), reply(ReplyBytes());
  ProcessCounters counters(state);
  for (auto _ : state) {
    if (!WriteAll(conn.get(), request.data(), request.size()) ||
        !ReadExactly(conn.get(), reply.data(), reply.size())) {
      state.SkipWithError("echo failed");
      break;
    }
  }
  counters.Report();
  state.SetItemsProcessed(state.iterations());
  state.counters["request_bytes"] = static_cast<double>(request.size());
  state.counters["reply_bytes"] = static_cast<double>(reply.size());
}
BENCHMARK(BM_SocketEcho)->Threads(1)->Threads(8)->UseRealTime();

// ---- memory over a million calls ----

long ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

void BM_MemoryOverCalls(benchmark::State& state) {
  rpc::IAuthenticator& client = Transport().client();
  Outputs out;
  for (int i = 0; i < 10000; ++i) {  // warm up pools and per-thread buffers first
    CallOnce(client, out);
  }
  const long before = ResidentKb();
  for (auto _ : state) {
    CallOnce(client, out);
  }
  state.counters["rss_before_kb"] = static_cast<double>(before);
  state.counters["rss_growth_kb"] = static_cast<double>(ResidentKb() - before);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MemoryOverCalls)->Iterations(1000000)->UseRealTime();

#ifdef TG_BENCH_REAL_BROKER
// ---- through the broker's own procedures and codec ----

// Just enough of a service platform for the procedures: events are dropped.
class QuietPlatform final : public broker::IServicePlatform {
 public:
  void WriteStdout(std::u16string_view) override {}
  void ReportEvent(std::u16string_view, broker::EventType, std::u16string_view) noexcept override {}
  void Sleep(std::chrono::milliseconds) override {}
  std::uint32_t LastError() const override { return 0; }
  std::u16string SystemErrorText(std::uint32_t) override { return {}; }
  std::optional<std::u16string> ModuleFileName() override { return std::nullopt; }
  std::unique_ptr<broker::IServiceManager> OpenServiceManager() override { return nullptr; }
  bool StartServiceDispatcher(std::u16string_view, broker::IServiceCallbacks&) override {
    return false;
  }
  bool RegisterControlHandler(std::u16string_view) override { return false; }
  bool SetServiceStatus(const broker::ServiceStatus&) override { return false; }
};

class NoTransfer final : public broker::IHandleTransfer {
 public:
  Result Transfer(broker::OwnedCredential, std::int32_t) override { return {}; }
};

struct RealBroker {
  RealBroker() {
    Env();
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    std::random_device random;
    for (auto& b : key) {
      b = static_cast<std::uint8_t>(random());
    }
    properties = Env().dir + "/tessera.properties";
    std::ofstream(properties) << "TokenLifetime=3600\nWriteKeyId=bench\nKey.bench="
                              << tessera::format::Base64UrlEncode(key) << "\n";
    tessera::MultiStringDictionary attributes;
    attributes.Add(u"subject", u"jdoe");
    attributes.Add(u"realm", u"EXAMPLE.COM");
    attributes.Add(u"mail", u"jdoe@example.com");
    attributes.Add(u"givenName", u"John");
    attributes.Add(u"sn", u"Doe");
    for (const char16_t* g : {u"staff", u"finance", u"vpn-users"}) {
      attributes.Add(u"groups", g);
    }
    attributes.Add(u"department", u"Finance");
    attributes.Add(u"employeeNumber", u"104233");
    attributes.Add(u"title", u"Senior Financial Analyst, Treasury and Risk Operations");
    attributes.Add(u"cv_attribute_list", u"subject,realm,mail,givenName,sn,groups,department");
    const tessera::Agent agent{tessera::AgentConfiguration(properties)};
    token = text::Utf8ToUtf16(agent.WriteToken(attributes));
    runtime = platform::CreateUnixRpcServerRuntime();
    service = std::make_unique<broker::AuthenticationService>(
        platform, *runtime, broker::CreateUnavailableS4ULogonProvider(),
        std::make_unique<NoTransfer>());
    if (runtime->UseProtseqEp(rpc::kProtocol, 20, u"BenchReal") != 0 ||
        runtime->RegisterIf(*service) != 0 || runtime->Listen(1, 20, true) != 0) {
      throw std::runtime_error("real broker did not start");
    }
    rpc::RpcStatus status = 0;
    client = platform::BindToBroker(u"ncalrpc:[BenchReal]", &status);
  }
  ~RealBroker() {
    runtime->StopListening();
    runtime->WaitServerListen();
  }
  QuietPlatform platform;
  std::string properties;
  std::u16string token;
  std::unique_ptr<rpc::IRpcServerRuntime> runtime;
  std::unique_ptr<broker::AuthenticationService> service;
  std::unique_ptr<rpc::IAuthenticator> client;
};

RealBroker& Real() {
  static RealBroker real;
  return real;
}

void BM_RealBroker(benchmark::State& state) {
  RealBroker& real = Real();
  Outputs out;
  ProcessCounters counters(state);
  for (auto _ : state) {
    if (CallOnce(*real.client, out) != rpc::kResultSuccess) {
      state.SkipWithError("real broker call failed");
      break;
    }
  }
  counters.Report();
  state.SetItemsProcessed(state.iterations());
  state.counters["token_units"] = static_cast<double>(real.token.size());
  state.counters["header_units"] = static_cast<double>(out.headerLength);
}
BENCHMARK(BM_RealBroker)->Threads(1)->Threads(8)->UseRealTime();

// The real token and what the real procedures return for it.
const Payload& TheCall() {
  static const Payload call = [] {
    RealBroker& real = Real();
    Payload p;
    p.config = text::Utf8ToUtf16(real.properties);
    p.token = real.token;
    Outputs out;
    const std::intptr_t r = real.client->GetHeaderString(
        static_cast<std::int32_t>(p.config.size()), p.config.data(),
        static_cast<std::int32_t>(p.token.size()), p.token.data(),
        static_cast<std::int32_t>(p.prefix.size()), p.prefix.data(), -1, &out.tokenLength,
        out.token.data(), &out.headerLength, out.header.data(), &out.attrLength, out.attrs.data());
    if (r != rpc::kResultSuccess) {
      throw std::runtime_error("the real broker refused the benchmark's token");
    }
    p.updated.assign(out.token.data(), static_cast<std::size_t>(out.tokenLength));
    p.header.assign(out.header.data(), static_cast<std::size_t>(out.headerLength));
    p.attributes.assign(out.attrs.data(), static_cast<std::size_t>(out.attrLength));
    return p;
  }();
  return call;
}
#else
const Payload& TheCall() {
  static const Payload call = SyntheticPayload();
  return call;
}
#endif

}  // namespace

BENCHMARK_MAIN();
