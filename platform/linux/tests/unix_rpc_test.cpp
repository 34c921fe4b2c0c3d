#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tokengate/common/wire.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {
namespace {

namespace wire = rpc::wire;
using rpc::Procedure;

// A broker stand-in. The token selects the behaviour:
//   "fault:<n>" raises fault n, "throw" raises a non-RPC exception, "expired" returns -1 with
//   the expiry marker, "badlen" reports an impossible output length, "hold" waits until
//   released (counting concurrent calls), anything else succeeds and echoes its inputs.
// For IWA, "nofd" succeeds without a descriptor; otherwise the write end of `pipe` is attached.
class FakeBroker final : public rpc::IAuthenticator {
 public:
  std::intptr_t GetHeaderString(std::int32_t configLength, const char16_t* config,
                                std::int32_t tokenLength, const char16_t* token,
                                std::int32_t prefixLength, const char16_t* prefix,
                                std::int32_t window, std::int32_t* updatedLength, char16_t* updated,
                                std::int32_t* headerLength, char16_t* header,
                                std::int32_t* attrLength, char16_t* attrs) override {
    return Run({config, static_cast<std::size_t>(configLength)},
               {token, static_cast<std::size_t>(tokenLength)},
               {prefix, static_cast<std::size_t>(prefixLength)}, window, updatedLength, updated,
               headerLength, header, attrLength, attrs);
  }

  std::intptr_t GetHeaderStringWithIWA(std::int32_t configLength, const char16_t* config,
                                       std::int32_t tokenLength, const char16_t* token,
                                       std::int32_t prefixLength, const char16_t* prefix,
                                       std::int32_t window, std::int32_t childProcessId,
                                       std::int32_t* updatedLength, char16_t* updated,
                                       std::int32_t* headerLength, char16_t* header,
                                       std::int32_t* attrLength, char16_t* attrs) override {
    lastChildPid = childProcessId;
    const auto* context = rpc::CurrentCallContext();
    lastCallerPid = context ? context->CallerProcessId().value_or(-1) : -2;
    const std::u16string_view t(token, static_cast<std::size_t>(tokenLength));
    if (t != u"nofd") {
      AttachReplyDescriptor(UniqueFd(::dup(pipeWrite)));
    }
    const std::intptr_t r = Run({config, static_cast<std::size_t>(configLength)}, t,
                                {prefix, static_cast<std::size_t>(prefixLength)}, window,
                                updatedLength, updated, headerLength, header, attrLength, attrs);
    return r == rpc::kResultFailure ? r : 1234;  // a value meaningful only in this process
  }

  void Release() {
    std::lock_guard lock(mu);
    released = true;
    cv.notify_all();
  }
  void WaitForInside(int n) {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return inside >= n; });
  }

  int pipeWrite = -1;
  std::atomic<std::int32_t> lastChildPid{0};
  std::atomic<std::int32_t> lastCallerPid{0};
  std::atomic<int> calls{0};
  std::mutex mu;
  std::condition_variable cv;
  int inside = 0;
  int maxInside = 0;
  bool released = false;

 private:
  std::intptr_t Run(std::u16string_view config, std::u16string_view token,
                    std::u16string_view prefix, std::int32_t window, std::int32_t* updatedLength,
                    char16_t* updated, std::int32_t* headerLength, char16_t* header,
                    std::int32_t* attrLength, char16_t* attrs) {
    ++calls;
    if (token.starts_with(u"fault:")) {
      throw rpc::RpcException(static_cast<std::uint32_t>(
          std::stoul(std::string(token.begin() + 6, token.end()), nullptr, 0)));
    }
    if (token == u"throw") {
      throw std::runtime_error("boom");
    }
    if (token == u"hold") {
      std::unique_lock lock(mu);
      maxInside = std::max(maxInside, ++inside);
      cv.notify_all();
      cv.wait(lock, [&] { return released; });
      --inside;
    }
    auto put = [](std::u16string_view text, std::int32_t* length, char16_t* out) {
      text.copy(out, text.size());
      out[text.size()] = u'\0';
      *length = static_cast<std::int32_t>(text.size());
    };
    if (token == u"expired") {
      put(rpc::kSessionExpired, updatedLength, updated);
      return rpc::kResultFailure;
    }
    if (token == u"big") {  // every output at its capacity
      put(std::u16string(rpc::kMaxUpdatedTokenUnits, u't'), updatedLength, updated);
      put(std::u16string(rpc::kMaxHeaderUnits, u'h'), headerLength, header);
      put(std::u16string(rpc::kMaxAttributeListUnits, u'a'), attrLength, attrs);
      return rpc::kResultSuccess;
    }
    if (token == u"badlen") {
      *headerLength = rpc::kHeaderCapacity;
      return rpc::kResultSuccess;
    }
    put(token, updatedLength, updated);
    put(std::u16string(prefix) + u"config: " + std::u16string(config) + u"\r\n" +
            std::u16string(prefix) + u"window: " + (window < 0 ? u"never" : u"set") + u"\r\n",
        headerLength, header);
    put(u"a,b", attrLength, attrs);
    return rpc::kResultSuccess;
  }
};

class RpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tg-rpc-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ::setenv(kRuntimeDirEnv, dir_.c_str(), 1);
    ::unsetenv(kSocketGroupEnv);
    // The test's own broker runs as this user; as root no setting is needed.
    if (::geteuid() != 0) {
      ::setenv(kBrokerUidEnv, std::to_string(::geteuid()).c_str(), 1);
    } else {
      ::unsetenv(kBrokerUidEnv);
    }
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pipeRead_.reset(fds[0]);
    pipeWrite_.reset(fds[1]);
    fake_.pipeWrite = pipeWrite_.get();
  }
  void TearDown() override {
    StopServer();
    ::unsetenv(kRuntimeDirEnv);
    ::unsetenv(kBrokerUidEnv);
    std::filesystem::remove_all(dir_);
  }

  void StartServer(unsigned maxCalls = 20, const UnixRpcServerOptions& options = {}) {
    server_ = CreateUnixRpcServerRuntime(options);
    ASSERT_EQ(server_->UseProtseqEp(rpc::kProtocol, 20, rpc::kEndpoint), 0);
    ASSERT_EQ(server_->RegisterIf(fake_), 0);
    ASSERT_EQ(server_->Listen(1, maxCalls, true), 0);
  }
  void StopServer() {
    if (server_) {
      server_->StopListening();
      server_->WaitServerListen();
      server_.reset();
    }
  }
  std::unique_ptr<rpc::IAuthenticator> Client(std::chrono::milliseconds timeout = {},
                                              std::vector<std::u16string>* reports = nullptr) {
    BrokerClientOptions options;
    if (timeout.count() > 0) {
      options.callTimeout = timeout;
    }
    if (reports != nullptr) {
      options.reportError = [reports](std::u16string_view m) { reports->emplace_back(m); };
    }
    rpc::RpcStatus status = -1;
    auto client = BindToBroker(rpc::kStringBinding, &status, options);
    EXPECT_EQ(status, 0);
    return client;
  }
  std::string SocketPath() const { return BrokerSocketPath(rpc::kEndpoint); }

  // Outputs of one call.
  struct Outputs {
    std::int32_t tokenLength = 0, headerLength = 0, attrLength = 0;
    std::vector<char16_t> token = std::vector<char16_t>(rpc::kUpdatedTokenCapacity);
    std::vector<char16_t> header = std::vector<char16_t>(rpc::kHeaderCapacity);
    std::vector<char16_t> attrs = std::vector<char16_t>(rpc::kAttributeListCapacity);
    std::u16string Token() const { return {token.data(), static_cast<std::size_t>(tokenLength)}; }
    std::u16string Header() const {
      return {header.data(), static_cast<std::size_t>(headerLength)};
    }
  };

  static std::intptr_t Call(rpc::IAuthenticator& client, std::u16string_view token, Outputs& out,
                            bool iwa = false, std::u16string_view prefix = u"X-") {
    const std::u16string_view config = u"/etc/tessera.properties";
    if (iwa) {
      return client.GetHeaderStringWithIWA(static_cast<std::int32_t>(config.size()), config.data(),
                                           static_cast<std::int32_t>(token.size()), token.data(),
                                           static_cast<std::int32_t>(prefix.size()), prefix.data(),
                                           -1, static_cast<std::int32_t>(::getpid()),
                                           &out.tokenLength, out.token.data(), &out.headerLength,
                                           out.header.data(), &out.attrLength, out.attrs.data());
    }
    return client.GetHeaderString(static_cast<std::int32_t>(config.size()), config.data(),
                                  static_cast<std::int32_t>(token.size()), token.data(),
                                  static_cast<std::int32_t>(prefix.size()), prefix.data(), 60,
                                  &out.tokenLength, out.token.data(), &out.headerLength,
                                  out.header.data(), &out.attrLength, out.attrs.data());
  }

  // The RPC code a call ends with (0 when it returned).
  static std::uint32_t CallStatus(rpc::IAuthenticator& client, std::u16string_view token,
                                  bool iwa = false) {
    Outputs out;
    try {
      Call(client, token, out, iwa);
      return 0;
    } catch (const rpc::RpcException& e) {
      return e.code();
    }
  }

  // A listener on the endpoint's socket path served by `serve` (one connection at a time).
  class RawServer {
   public:
    RawServer(const std::string& path, std::function<void(int)> serve) {
      fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
      EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
      EXPECT_EQ(::listen(fd_.get(), 8), 0);
      thread_ = std::thread([this, serve] {
        for (;;) {
          UniqueFd conn(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
          if (!conn) {
            return;
          }
          serve(conn.get());
        }
      });
    }
    ~RawServer() {
      ::shutdown(fd_.get(), SHUT_RDWR);
      thread_.join();
    }

   private:
    UniqueFd fd_;
    std::thread thread_;
  };

  // A plain connection to the endpoint, without the client's checks.
  UniqueFd RawConnect() const {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    return fd;
  }

  // The fault code of a fault frame; 0 for anything else.
  static std::uint32_t FaultOf(const std::vector<std::uint8_t>& frame) {
    wire::ReplyInfo info;
    if (wire::DecodeReply(frame, info) != wire::WireError::kOk ||
        info.kind != wire::FrameKind::kFault) {
      return 0;
    }
    return info.faultCode;
  }

  static std::vector<std::uint8_t> RequestFrame(std::u16string_view token = u"tok") {
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(
        wire::EncodeRequest(
            {.tokenLength = static_cast<std::int32_t>(token.size()), .token = token.data()}, frame),
        wire::WireError::kOk);
    return frame;
  }

  // True once `ready` holds, checked every 20 ms for at most 20 s.
  static bool Eventually(const std::function<bool()>& ready) {
    for (int i = 0; i < 1000; ++i) {
      if (ready()) {
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ready();
  }

  // True when the peer has closed `fd` (after any bytes still queued).
  static bool PeerClosed(int fd) {
    char c[64];
    for (;;) {
      const ssize_t n = ::recv(fd, c, sizeof(c), MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) {
        return true;
      }
      if (n < 0) {
        return false;
      }
    }
  }

  static std::vector<std::uint8_t> ReadFrame(int fd) {
    std::vector<std::uint8_t> frame(wire::kHeaderSize);
    if (::recv(fd, frame.data(), frame.size(), MSG_WAITALL) != static_cast<ssize_t>(frame.size())) {
      return {};
    }
    wire::FrameHeader header;
    if (wire::DecodeHeader(frame, header) != wire::WireError::kOk) {
      return {};
    }
    frame.resize(wire::kHeaderSize + header.bodyLength);
    if (header.bodyLength > 0 && ::recv(fd, frame.data() + wire::kHeaderSize, header.bodyLength,
                                        MSG_WAITALL) != static_cast<ssize_t>(header.bodyLength)) {
      return {};
    }
    return frame;
  }

  std::string dir_;
  UniqueFd pipeRead_, pipeWrite_;
  FakeBroker fake_;
  std::unique_ptr<UnixRpcServerRuntime> server_;
};

TEST_F(RpcTest, GetHeaderStringRoundTrip) {
  StartServer();
  auto client = Client();
  Outputs out;
  ASSERT_EQ(Call(*client, u"tok\u00e9n", out), rpc::kResultSuccess);
  EXPECT_EQ(out.Token(), u"tok\u00e9n");
  EXPECT_EQ(out.token[static_cast<std::size_t>(out.tokenLength)], u'\0');
  EXPECT_EQ(out.Header(), u"X-config: /etc/tessera.properties\r\nX-window: set\r\n");
  EXPECT_EQ(out.attrLength, 3);
  EXPECT_EQ(std::u16string(out.attrs.data()), u"a,b");

  // The same connection carries further calls; an empty prefix travels as length 0.
  ASSERT_EQ(Call(*client, u"second", out, false, u""), rpc::kResultSuccess);
  EXPECT_EQ(out.Header(), u"config: /etc/tessera.properties\r\nwindow: set\r\n");

  ASSERT_EQ(Call(*client, u"big", out), rpc::kResultSuccess);
  EXPECT_EQ(out.Token(), std::u16string(rpc::kMaxUpdatedTokenUnits, u't'));
  EXPECT_EQ(out.Header(), std::u16string(rpc::kMaxHeaderUnits, u'h'));
  EXPECT_EQ(out.attrLength, rpc::kMaxAttributeListUnits);
  EXPECT_EQ(out.attrs[rpc::kMaxAttributeListUnits], u'\0');
}

TEST_F(RpcTest, ExpiryTravelsWithFailureResult) {
  StartServer();
  auto client = Client();
  Outputs out;
  EXPECT_EQ(Call(*client, u"expired", out), rpc::kResultFailure);
  EXPECT_EQ(std::u16string(out.token.data()), u"SESSION_EXPIRED");
  EXPECT_EQ(out.tokenLength, rpc::kSessionExpiredUnits);
}

TEST_F(RpcTest, FaultsArriveAsExceptionsWithTheirCode) {
  StartServer();
  auto client = Client();
  const struct {
    std::u16string token;
    std::uint32_t code;
  } cases[] = {
      {u"fault:1782", rpc::kFaultEmptyToken},
      {u"fault:0x8001011B", rpc::kFaultAccessDenied},
      {u"fault:0x80010100", rpc::kFaultSysCallFailed},
      {u"fault:0", rpc::kStatusInternalError},  // 0 would read as success
      {u"throw", rpc::kStatusInternalError},
      {u"badlen", rpc::kStatusInternalError},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CallStatus(*client, c.token), c.code);
    EXPECT_EQ(CallStatus(*client, c.token, true), c.code);
  }
  EXPECT_EQ(CallStatus(*client, u"still serving"), 0u);
}

TEST_F(RpcTest, IwaDescriptorTravelsAndServerClosesItsCopy) {
  StartServer();
  auto client = Client();
  Outputs out;
  const std::intptr_t handle = Call(*client, u"logon", out, true);
  ASSERT_GT(handle, 2);
  UniqueFd received(static_cast<int>(handle));
  EXPECT_TRUE(::fcntl(received.get(), F_GETFD) & FD_CLOEXEC);
  ASSERT_EQ(::write(received.get(), "x", 1), 1);  // it is our pipe's write end
  char c = 0;
  ASSERT_EQ(::read(pipeRead_.get(), &c, 1), 1);
  EXPECT_EQ(fake_.lastCallerPid.load(), ::getpid());
  EXPECT_EQ(fake_.lastChildPid.load(), ::getpid());

  // With the test's and the client's copies closed, no writer is left: the server kept none.
  pipeWrite_.reset();
  received.reset();
  EXPECT_EQ(::read(pipeRead_.get(), &c, 1), 0);
}

TEST_F(RpcTest, IwaFailureOrNoDescriptorSendsNone) {
  StartServer();
  auto client = Client();
  Outputs out;
  EXPECT_EQ(Call(*client, u"expired", out, true), rpc::kResultFailure);
  EXPECT_EQ(CallStatus(*client, u"fault:0x80010100", true), rpc::kFaultSysCallFailed);
  EXPECT_EQ(Call(*client, u"nofd", out, true), 0);  // success without a handle reads as 0
  pipeWrite_.reset();
  char c = 0;
  EXPECT_EQ(::read(pipeRead_.get(), &c, 1), 0);  // every attached copy was closed
}

TEST_F(RpcTest, BrokerAbsentIsServerUnavailable) {
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"tok"), rpc::kStatusServerUnavailable);
}

TEST_F(RpcTest, InputsOutOfBoundsNeverLeaveTheClient) {
  auto client = Client();  // no broker: a refusal here cannot come from a connection attempt
  const std::u16string longToken(rpc::kMaxTokenUnits + 1, u'a');
  EXPECT_EQ(CallStatus(*client, longToken), rpc::kStatusInvalidBound);
  Outputs out;
  try {
    client->GetHeaderString(-1, u"", 1, u"t", 0, u"", 0, &out.tokenLength, out.token.data(),
                            &out.headerLength, out.header.data(), &out.attrLength, nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const rpc::RpcException& e) {
    EXPECT_EQ(e.code(), rpc::kStatusNullRefPointer);
  }
}

TEST_F(RpcTest, BrokerRestartBetweenCallsCostsNoFailedCall) {
  StartServer();
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"one"), 0u);
  StopServer();
  StartServer();
  EXPECT_EQ(CallStatus(*client, u"two"), 0u);
  EXPECT_EQ(fake_.calls.load(), 2);
}

TEST_F(RpcTest, ForkedChildNeverUsesParentsConnections) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The child of a process whose server threads are running must allocate to make its call; the
  // sanitizer runtimes are not safe for that and can deadlock the child.
  GTEST_SKIP() << "fork with running threads is not reliable under sanitizers";
#endif
  StartServer();
  auto client = Client();
  Outputs out;
  ASSERT_GT(Call(*client, u"nofd", out, true), -1);  // leaves a pooled connection
  EXPECT_EQ(fake_.lastCallerPid.load(), ::getpid());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);  // a child that cannot finish must fail the test, not hang it
    Outputs childOut;
    ::_exit(Call(*client, u"nofd", childOut, true) == 0 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(fake_.lastCallerPid.load(), child);  // the child connected on its own
  EXPECT_EQ(CallStatus(*client, u"parent again"), 0u);
}

TEST_F(RpcTest, ConnectionLostMidCallIsCallFailed) {
  // The peer reads the request and goes away without a reply.
  RawServer raw(SocketPath(), [](int fd) { ReadFrame(fd); });
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"tok"), rpc::kStatusCallFailed);
}

TEST_F(RpcTest, MalformedReplyIsProtocolError) {
  RawServer raw(SocketPath(), [](int fd) {
    ReadFrame(fd);
    std::vector<std::uint8_t> reply;
    wire::EncodeReply({.procedure = Procedure::GetHeaderString, .updatedToken = u"abc"}, reply);
    reply.back() = 0x80;  // the attribute list's length (last field) becomes negative
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
  });
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"tok"), rpc::kStatusProtocolError);
}

// Only the broker's closing notice (fault 1727, sent as it closes a connection) may follow a
// reply in the stream: the call succeeds and the connection is not used again. Anything else
// after a reply is a protocol error.
TEST_F(RpcTest, OnlyTheClosingNoticeMayFollowAReply) {
  const struct {
    std::uint32_t trailingFault;
    std::uint32_t status;
  } cases[] = {{rpc::kStatusCallFailedDne, 0},
               {rpc::kStatusServerTooBusy, rpc::kStatusProtocolError}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.trailingFault);
    std::atomic<int> connections{0};
    RawServer raw(SocketPath(), [&](int fd) {
      ++connections;
      while (!ReadFrame(fd).empty()) {
        std::vector<std::uint8_t> reply, trailing;
        wire::EncodeReply({.procedure = Procedure::GetHeaderString, .updatedToken = u"abc"}, reply);
        wire::EncodeFault(c.trailingFault, trailing);
        reply.insert(reply.end(), trailing.begin(), trailing.end());
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    });
    auto client = Client();
    EXPECT_EQ(CallStatus(*client, u"tok"), c.status);
    if (c.status == 0) {
      EXPECT_EQ(CallStatus(*client, u"tok"), 0u);
      EXPECT_EQ(connections.load(), 2);  // the first connection was not pooled
    }
    ::unlink(SocketPath().c_str());
  }
}

TEST_F(RpcTest, StuckBrokerTimesOut) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  RawServer raw(SocketPath(), [&](int fd) {
    ReadFrame(fd);
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return done; });  // holds the connection open, never replies
  });
  auto client = Client(std::chrono::milliseconds(200));
  EXPECT_EQ(CallStatus(*client, u"tok"), rpc::kStatusCallTimeout);
  {
    std::lock_guard lock(mu);
    done = true;
  }
  cv.notify_all();
}

TEST_F(RpcTest, MalformedRequestsGetFaultsAndServerKeepsServing) {
  StartServer();
  auto connect = [&] {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof(addr.sun_path) - 1);
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    return fd;
  };
  auto faultOf = [](const std::vector<std::uint8_t>& frame) -> std::uint32_t {
    wire::ReplyInfo info;
    if (wire::DecodeReply(frame, info) != wire::WireError::kOk ||
        info.kind != wire::FrameKind::kFault) {
      return 0;
    }
    return info.faultCode;
  };

  std::vector<std::uint8_t> good;
  ASSERT_EQ(wire::EncodeRequest({.tokenLength = 1, .token = u"t"}, good), wire::WireError::kOk);

  // Garbage: a fault, then the connection is closed.
  {
    UniqueFd fd = connect();
    const std::string junk = "GET / HTTP/1.1\r\n\r\n";
    ::send(fd.get(), junk.data(), junk.size(), MSG_NOSIGNAL);
    EXPECT_EQ(faultOf(ReadFrame(fd.get())), rpc::kStatusProtocolError);
    char c;
    EXPECT_EQ(::recv(fd.get(), &c, 1, 0), 0);
  }
  // An announced body beyond the limit: refused before it is read.
  {
    UniqueFd fd = connect();
    std::vector<std::uint8_t> big = good;
    big[8] = big[9] = big[10] = 0x7F;
    ::send(fd.get(), big.data(), wire::kHeaderSize, MSG_NOSIGNAL);
    EXPECT_EQ(faultOf(ReadFrame(fd.get())), rpc::kStatusProtocolError);
  }
  // Well framed but a negative length, then an unknown procedure: faults, and the same
  // connection still serves a good request.
  {
    UniqueFd fd = connect();
    std::vector<std::uint8_t> bad = good;
    bad[wire::kHeaderSize + 4] = 0xFF;  // config length -> negative
    bad[wire::kHeaderSize + 7] = 0xFF;
    ::send(fd.get(), bad.data(), bad.size(), MSG_NOSIGNAL);
    EXPECT_EQ(faultOf(ReadFrame(fd.get())), rpc::kStatusBadStubData);
    bad = good;
    bad[wire::kHeaderSize] = 9;
    ::send(fd.get(), bad.data(), bad.size(), MSG_NOSIGNAL);
    EXPECT_EQ(faultOf(ReadFrame(fd.get())), rpc::kStatusProcNumOutOfRange);
    ::send(fd.get(), good.data(), good.size(), MSG_NOSIGNAL);
    wire::ReplyInfo info;
    ASSERT_EQ(wire::DecodeReply(ReadFrame(fd.get()), info), wire::WireError::kOk);
    EXPECT_EQ(info.kind, wire::FrameKind::kReply);
  }
  // A truncated frame and a vanished client do not disturb others.
  {
    UniqueFd fd = connect();
    ::send(fd.get(), good.data(), good.size() - 1, MSG_NOSIGNAL);
  }
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"after"), 0u);
}

TEST_F(RpcTest, NoMoreThanMaxCallsRunAtOnce) {
  constexpr int kLimit = 20;
  constexpr int kCallers = 2 * kLimit;
  StartServer(kLimit);
  auto client = Client();
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&] {
      if (CallStatus(*client, u"hold") != 0) {
        ++failures;
      }
    });
  }
  fake_.WaitForInside(kLimit);
  fake_.Release();
  for (std::thread& t : callers) {
    t.join();
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(fake_.calls.load(), kCallers);
  EXPECT_EQ(fake_.maxInside, kLimit);
}

TEST_F(RpcTest, SocketAndDirectoryPermissions) {
  const std::string sub = dir_ + "/run";
  ::setenv(kRuntimeDirEnv, sub.c_str(), 1);
  ::setenv(kSocketGroupEnv, std::to_string(::getegid()).c_str(), 1);
  const mode_t old = ::umask(0);  // the modes must not depend on the umask
  StartServer();
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat(sub.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
  ASSERT_EQ(::lstat(SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  EXPECT_EQ(st.st_gid, ::getegid());
  StopServer();
  EXPECT_NE(::lstat(SocketPath().c_str(), &st), 0);  // removed when the listener ended
}

TEST_F(RpcTest, UnknownSocketGroupFailsSetup) {
  ::setenv(kSocketGroupEnv, "no-such-group-tg", 1);
  auto server = CreateUnixRpcServerRuntime();
  EXPECT_EQ(server->UseProtseqEp(rpc::kProtocol, 20, rpc::kEndpoint),
            static_cast<rpc::RpcStatus>(rpc::kStatusCantCreateEndpoint));
}

TEST_F(RpcTest, LiveListenerIsDuplicateStaleSocketIsReplaced) {
  {
    // A socket file left behind by a listener that is gone.
    RawServer stale(SocketPath(), [](int) {});
  }
  StartServer();
  auto second = CreateUnixRpcServerRuntime();
  EXPECT_EQ(second->UseProtseqEp(rpc::kProtocol, 20, rpc::kEndpoint),
            static_cast<rpc::RpcStatus>(rpc::kStatusDuplicateEndpoint));
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"tok"), 0u);
}

TEST_F(RpcTest, ListenerLifecycleStatuses) {
  auto server = CreateUnixRpcServerRuntime();
  EXPECT_EQ(server->WaitServerListen(), static_cast<rpc::RpcStatus>(rpc::kStatusNotListening));
  EXPECT_EQ(server->StopListening(), static_cast<rpc::RpcStatus>(rpc::kStatusNotListening));
  EXPECT_EQ(server->Listen(1, 20, true),
            static_cast<rpc::RpcStatus>(rpc::kStatusNoProtseqsRegistered));
  EXPECT_EQ(server->UseProtseqEp(u"ncacn_ip_tcp", 20, rpc::kEndpoint),
            static_cast<rpc::RpcStatus>(rpc::kStatusProtseqNotSupported));
  EXPECT_EQ(server->UseProtseqEp(rpc::kProtocol, 20, u"../etc"),
            static_cast<rpc::RpcStatus>(rpc::kStatusBadEndpointFormat));
  ASSERT_EQ(server->UseProtseqEp(rpc::kProtocol, 20, rpc::kEndpoint), 0);
  ASSERT_EQ(server->RegisterIf(fake_), 0);
  EXPECT_EQ(server->Listen(2, 1, true), static_cast<rpc::RpcStatus>(rpc::kStatusMaxCallsTooSmall));
  ASSERT_EQ(server->Listen(1, 20, true), 0);
  EXPECT_EQ(server->Listen(1, 20, true), static_cast<rpc::RpcStatus>(rpc::kStatusAlreadyListening));

  // A blocking waiter returns once the listener is stopped.
  std::atomic<rpc::RpcStatus> waited{-1};
  std::thread waiter([&] { waited = server->WaitServerListen(); });
  EXPECT_EQ(server->StopListening(), 0);
  waiter.join();
  EXPECT_EQ(waited.load(), 0);
  EXPECT_EQ(server->WaitServerListen(), static_cast<rpc::RpcStatus>(rpc::kStatusNotListening));
}

// Clients that send half a frame, trickle bytes or just sit idle hold no call thread: real calls
// go on as usual while they are connected, and the slow ones are ended after the frame bound.
TEST_F(RpcTest, SlowAndIdleClientsDoNotHoldUpCalls) {
  constexpr int kTricklers = 25;
  constexpr int kIdle = 500;
  UnixRpcServerOptions options;
  options.frameTimeout = std::chrono::milliseconds(1500);
  StartServer(20, options);
  std::vector<UniqueFd> idle;
  for (int i = 0; i < kIdle; ++i) {
    idle.push_back(RawConnect());
  }
  const std::vector<std::uint8_t> frame = RequestFrame();
  std::vector<UniqueFd> tricklers;
  for (int i = 0; i < kTricklers; ++i) {
    tricklers.push_back(RawConnect());
    ASSERT_EQ(::send(tricklers.back().get(), frame.data(), wire::kHeaderSize / 2, MSG_NOSIGNAL),
              static_cast<ssize_t>(wire::kHeaderSize / 2));
  }
  std::atomic<bool> trickle{true};
  std::thread trickler([&] {
    for (std::size_t at = wire::kHeaderSize / 2; trickle && at < frame.size(); ++at) {
      for (const UniqueFd& fd : tricklers) {
        ::send(fd.get(), frame.data() + at, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  // Far inside the 10 s the slow clients held every call thread for before.
  auto client = Client(std::chrono::milliseconds(3000));
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        if (CallStatus(*client, u"real") != 0) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& t : callers) {
    t.join();
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(server_->Statistics().open, static_cast<std::uint64_t>(kIdle + kTricklers));

  // The trickling connections end once their frame is overdue; the idle ones stay.
  EXPECT_TRUE(Eventually([&] { return server_->Statistics().closedSlowFrame == kTricklers; }));
  trickle = false;
  trickler.join();
  for (const UniqueFd& fd : tricklers) {
    EXPECT_TRUE(PeerClosed(fd.get()));
  }
  EXPECT_FALSE(PeerClosed(idle.front().get()));
  EXPECT_EQ(server_->Statistics().closedIdle, 0u);
}

// An idle connection is closed after the idle bound with the fault 1727 ("did not start"); the
// client's pooled connection closed that way costs no failed call and runs the call once.
TEST_F(RpcTest, IdleConnectionsAreClosedAndThePoolRecovers) {
  UnixRpcServerOptions options;
  options.idleTimeout = std::chrono::milliseconds(200);
  StartServer(20, options);
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"one"), 0u);  // leaves a pooled connection
  UniqueFd raw = RawConnect();
  EXPECT_EQ(FaultOf(ReadFrame(raw.get())), rpc::kStatusCallFailedDne);
  EXPECT_TRUE(Eventually([&] { return PeerClosed(raw.get()); }));
  ASSERT_TRUE(Eventually([&] { return server_->Statistics().closedIdle >= 2; }));
  EXPECT_EQ(CallStatus(*client, u"two"), 0u);
  EXPECT_EQ(fake_.calls.load(), 2);
  EXPECT_EQ(server_->Statistics().accepted, 3u);  // the client connected anew
}

// A request that the broker received half of when its connection closed is never run.
TEST_F(RpcTest, HalfAFrameIsNeverRun) {
  StartServer();
  {
    UniqueFd fd = RawConnect();
    const std::vector<std::uint8_t> frame = RequestFrame();
    ::send(fd.get(), frame.data(), frame.size() - 1, MSG_NOSIGNAL);
  }
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"after"), 0u);
  EXPECT_EQ(fake_.calls.load(), 1);
}

// Connections beyond a limit are refused with the fault 1723, the refusal is logged, and a
// closed connection makes room again.
TEST_F(RpcTest, ConnectionLimitsRefuseWithTooBusy) {
  const struct {
    const char* name;
    unsigned total;
    unsigned perUid;
    std::uint64_t UnixRpcServerStatistics::*counter;
    const char16_t* logged;
  } cases[] = {
      {"in all", 3, 3, &UnixRpcServerStatistics::refusedTotal, u"connections (its limit)"},
      {"per user", 10, 3, &UnixRpcServerStatistics::refusedPerUid, u"(the limit per user)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex mu;
    std::vector<std::u16string> warnings;
    UnixRpcServerOptions options;
    options.maxConnections = c.total;
    options.maxConnectionsPerUid = c.perUid;
    options.warn = [&](std::u16string_view m) {
      std::lock_guard lock(mu);
      warnings.emplace_back(m);
    };
    StartServer(20, options);
    std::vector<UniqueFd> held;
    for (int i = 0; i < 3; ++i) {
      held.push_back(RawConnect());
    }
    ASSERT_TRUE(Eventually([&] { return server_->Statistics().open == 3; }));
    UniqueFd refused = RawConnect();
    EXPECT_EQ(FaultOf(ReadFrame(refused.get())), rpc::kStatusServerTooBusy);
    EXPECT_TRUE(Eventually([&] { return PeerClosed(refused.get()); }));
    EXPECT_EQ(server_->Statistics().*c.counter, 1u);
    auto client = Client();
    EXPECT_EQ(CallStatus(*client, u"tok"), rpc::kStatusServerTooBusy);
    {
      std::lock_guard lock(mu);
      ASSERT_FALSE(warnings.empty());
      EXPECT_NE(warnings.front().find(c.logged), std::u16string::npos);
    }
    held.pop_back();
    EXPECT_TRUE(Eventually([&] { return server_->Statistics().open == 2; }));
    EXPECT_EQ(CallStatus(*client, u"tok"), 0u);
    StopServer();
  }
}

// The cap counts connections per peer user: another user still gets through when this one is
// at its limit.
TEST_F(RpcTest, ConnectionCapIsPerUser) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a client as another user";
  }
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  ::setenv(kSocketGroupEnv, "65534", 1);
  UnixRpcServerOptions options;
  options.maxConnectionsPerUid = 2;
  StartServer(20, options);
  std::vector<UniqueFd> held;
  for (int i = 0; i < 2; ++i) {
    held.push_back(RawConnect());
  }
  ASSERT_TRUE(Eventually([&] { return server_->Statistics().open == 2; }));
  const std::vector<std::uint8_t> request = RequestFrame();
  const std::string path = SocketPath();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only system calls from here: the parent has threads.
    ::alarm(20);
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
      ::_exit(2);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
      ::_exit(3);
    }
    std::uint8_t header[wire::kHeaderSize];
    if (::recv(fd, header, sizeof(header), MSG_WAITALL) != static_cast<ssize_t>(sizeof(header))) {
      ::_exit(4);
    }
    ::_exit(header[6] == static_cast<std::uint8_t>(wire::FrameKind::kReply) ? 0 : 5);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(server_->Statistics().refusedPerUid, 0u);
}

// The client sends nothing to a socket served by another user than root (or the broker's
// configured user), fails the call as "no broker" and says why.
TEST_F(RpcTest, ListenerOfAnotherUserGetsNothing) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to run a listener as another user";
  }
  const struct {
    const char* brokerUid;  // TOKENGATE_BROKER_UID, or null
    std::uint32_t status;
    bool received;
    const char16_t* reported;
  } cases[] = {
      {nullptr, rpc::kStatusServerUnavailable, false, u"is served by uid 65534, not by root"},
      {"nobody-such-user-tg", rpc::kStatusServerUnavailable, false, u"names no user"},
      {"65534", rpc::kStatusCallFailed, true, nullptr},  // accepted: the fake then hangs up
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.brokerUid != nullptr ? c.brokerUid : "unset");
    if (c.brokerUid != nullptr) {
      ::setenv(kBrokerUidEnv, c.brokerUid, 1);
    } else {
      ::unsetenv(kBrokerUidEnv);
    }
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    UniqueFd reportRead(report[0]), reportWrite(report[1]);
    UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof(addr.sun_path) - 1);
    ::unlink(SocketPath().c_str());
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // Only system calls from here. The listening socket takes the user of listen().
      ::alarm(20);
      if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::listen(listener.get(), 4) != 0) {
        ::_exit(2);
      }
      const int conn = ::accept(listener.get(), nullptr, nullptr);
      timeval tv{5, 0};
      ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      long total = 0;
      char buf[4096];
      for (ssize_t n; (n = ::recv(conn, buf, sizeof(buf), 0)) > 0;) {
        total += n;
        if (total >= static_cast<long>(wire::kHeaderSize)) {
          break;  // a request: hang up without a reply
        }
      }
      ::write(reportWrite.get(), &total, sizeof(total));
      ::_exit(0);
    }
    reportWrite.reset();
    listener.reset();
    // The listener is up once the child has called listen(): a probe connection would be
    // accepted as the call's, so the call itself is retried until the socket stops refusing.
    std::vector<std::u16string> reports;
    auto client = Client(std::chrono::milliseconds(5000), &reports);
    EXPECT_EQ(CallStatus(*client, u"secret-token"), c.status);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    long received = -1;
    ASSERT_EQ(::read(reportRead.get(), &received, sizeof(received)),
              static_cast<ssize_t>(sizeof(received)));
    EXPECT_EQ(received > 0, c.received) << received;
    if (c.reported != nullptr) {
      ASSERT_EQ(reports.size(), 1u);
      EXPECT_NE(reports.front().find(c.reported), std::u16string::npos);
      EXPECT_NE(reports.front().find(u"call refused"), std::u16string::npos);
    } else {
      EXPECT_TRUE(reports.empty());
    }
  }
}

// A stop lets the call in progress finish and its reply go out; a client whose pooled
// connection the stop closed runs its next call once on the next broker.
TEST_F(RpcTest, StopFinishesCallsInProgress) {
  StartServer();
  auto client = Client();
  EXPECT_EQ(CallStatus(*client, u"pooled"), 0u);
  auto other = Client();
  std::atomic<std::uint32_t> held{~0u};
  std::thread caller([&] { held = CallStatus(*other, u"hold"); });
  fake_.WaitForInside(1);
  ASSERT_EQ(server_->StopListening(), 0);
  std::thread waiter([&] { server_->WaitServerListen(); });
  fake_.Release();
  caller.join();
  waiter.join();
  EXPECT_EQ(held.load(), 0u);
  server_.reset();
  StartServer();
  EXPECT_EQ(CallStatus(*client, u"again"), 0u);
  EXPECT_EQ(fake_.calls.load(), 3);
}

// While the broker is being restarted the socket is missing for a moment: a call made then waits
// for it (boundedly) instead of failing.
TEST_F(RpcTest, CallWaitsForABrokerThatIsStarting) {
  auto client = Client();
  std::thread starter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    StartServer();
  });
  const std::uint32_t status = CallStatus(*client, u"tok");
  starter.join();
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(fake_.calls.load(), 1);
}

TEST(RpcBinding, StringBindingsAreChecked) {
  const struct {
    std::u16string binding;
    rpc::RpcStatus status;
  } cases[] = {
      {u"ncalrpc:[TarvexWebLogonBroker]", 0},
      {u"NCALRPC:[TarvexWebLogonBroker]", 0},
      {u"ncalrpc:TarvexWebLogonBroker", 1700},
      {u"ncalrpc:[]", 1700},
      {u"ncalrpc:[../../etc/x]", 1700},
      {u"ncalrpc:[a,b]", 1700},
      {u"ncalrpc:host[TarvexWebLogonBroker]", 1700},
      {u"uuid@ncalrpc:[TarvexWebLogonBroker]", 1700},
      {u"", 1700},
      {u"ncacn_np:[pipe]", 1703},
  };
  for (const auto& c : cases) {
    rpc::RpcStatus status = -1;
    const auto client = BindToBroker(c.binding, &status);
    EXPECT_EQ(status, c.status) << std::string(c.binding.begin(), c.binding.end());
    EXPECT_EQ(client != nullptr, c.status == 0);
  }
}

TEST(RpcPaths, RuntimeDirectoryFromEnvironment) {
  ::unsetenv(kRuntimeDirEnv);
  EXPECT_EQ(BrokerSocketPath(u"TarvexWebLogonBroker"), "/run/TarvexWebAgent/TarvexWebLogonBroker");
  ::setenv(kRuntimeDirEnv, "/tmp/x", 1);
  EXPECT_EQ(BrokerSocketPath(u"E"), "/tmp/x/E");
  ::unsetenv(kRuntimeDirEnv);
}

}  // namespace
}  // namespace tokengate::platform
