// Client side of the broker interface over a Unix stream socket.
//
// Connections are made on first use and kept in a small pool of atomic slots for later calls,
// so the call path takes no lock. Before anything is sent on a new connection, the user serving
// the socket is checked: root, or the one TOKENGATE_BROKER_UID names. A request is sent again
// only when it cannot have run: it never left (the pooled connection was closed), or the broker
// answered the fault 1727 it gives to requests it closes without running. While the socket is
// missing or refuses (a broker being restarted), connecting is retried for a bounded time.
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "tokengate/common/text.h"
#include "tokengate/common/wire.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {
namespace {

namespace wire = rpc::wire;
using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxPoolSize = 64;
constexpr std::size_t kMaxDescriptorsPerReply = 4;  // only one is expected; room to see extras
constexpr std::size_t kInitialReplyBuffer = 16384;
// How far a blocking wait may overrun the call's deadline before the socket's limits are cut.
constexpr std::chrono::milliseconds kTimeoutSlack{20};
// Attempts of one call in all when its request is refused unrun (fault 1727, closed connection).
constexpr int kMaxAttempts = 3;
// Pauses between connection attempts while the socket is missing or refuses.
constexpr std::chrono::milliseconds kFirstConnectPause{5};
constexpr std::chrono::milliseconds kLongestConnectPause{100};

// Counts fork()s of this process, so that a child never uses connections inherited from its
// parent (both would read each other's replies). Cheaper than asking for the pid on every call.
std::atomic<std::uint64_t> g_forkGeneration{0};
std::once_flag g_forkHook;

struct Connection {
  UniqueFd fd;
  std::uint64_t generation = 0;  // g_forkGeneration when connected
  std::chrono::milliseconds timeout{0};
  bool closing = false;  // the broker announced it closes this connection: not pooled
};

// The only bytes a broker sends without being asked: the fault 1727 it leaves on a connection it
// closes (idle, or at a stop) to say that no further request of it runs.
const std::vector<std::uint8_t>& ClosingNotice() {
  static const std::vector<std::uint8_t> frame = [] {
    std::vector<std::uint8_t> f;
    wire::EncodeFault(rpc::kStatusCallFailedDne, f);
    return f;
  }();
  return frame;
}

[[noreturn]] void Fail(std::uint32_t status) {
  throw rpc::RpcException(status);
}

std::uint32_t ConnectStatus(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return rpc::kStatusAccessDenied;
    case EAGAIN:
      return rpc::kStatusServerTooBusy;  // the listener's queue is full
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
      return rpc::kStatusOutOfResources;
    case ENOMEM:
      return rpc::kStatusOutOfMemory;
    default:  // ENOENT, ECONNREFUSED, ENOTDIR, ...
      return rpc::kStatusServerUnavailable;
  }
}

void SetTimeout(int fd, int option, std::chrono::milliseconds ms) {
  if (ms.count() <= 0) {
    ms = std::chrono::milliseconds(1);
  }
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

// How an exchange on one connection ended.
enum class Outcome {
  kDone,         // a reply or fault frame was read whole
  kStaleBefore,  // the connection was dead before the request left (send failed, nothing read)
  kLostNoReply,  // the connection ended after sending, before any byte of the reply
  kFailed,       // `status` says why
};

// The user that may serve the broker's socket besides root, from TOKENGATE_BROKER_UID (a number
// or a user name). `setting` keeps a value that names nobody, for the refusal message.
struct BrokerUser {
  std::optional<uid_t> uid;
  std::string setting;
};

BrokerUser ReadBrokerUser() {
  BrokerUser user;
  const char* env = std::getenv(kBrokerUidEnv);
  if (env == nullptr || *env == '\0') {
    return user;
  }
  user.setting = env;
  if (user.setting.size() <= 9 &&
      user.setting.find_first_not_of("0123456789") == std::string::npos) {
    user.uid = static_cast<uid_t>(std::strtoul(env, nullptr, 10));
    return user;
  }
  std::vector<char> buf(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(env, &entry, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    user.uid = found->pw_uid;
  }
  return user;
}

// Per-thread buffers for frames.
struct ThreadBuffers {
  std::vector<std::uint8_t> request;
  // Grows to the announced size of a larger reply; most replies are a few kilobytes.
  std::vector<std::uint8_t> reply = std::vector<std::uint8_t>(kInitialReplyBuffer);
};

ThreadBuffers& Buffers() {
  thread_local ThreadBuffers buffers;
  return buffers;
}

class UnixBrokerClient final : public rpc::IAuthenticator {
 public:
  UnixBrokerClient(std::string path, const BrokerClientOptions& options)
      : path_(std::move(path)),
        timeout_(options.callTimeout.count() > 0 ? options.callTimeout
                                                 : std::chrono::milliseconds(1)),
        connectRetry_(std::max(options.connectRetry, std::chrono::milliseconds(0))),
        reportError_(options.reportError),
        brokerUser_(ReadBrokerUser()),
        poolSize_(std::clamp(options.poolSize, 1u, kMaxPoolSize)),
        slots_(std::make_unique<std::atomic<Connection*>[]>(poolSize_)) {
    std::call_once(g_forkHook, [] {
      ::pthread_atfork(nullptr, nullptr,
                       [] { g_forkGeneration.fetch_add(1, std::memory_order_relaxed); });
    });
    for (unsigned i = 0; i < poolSize_; ++i) {
      slots_[i].store(nullptr, std::memory_order_relaxed);
    }
  }
  UnixBrokerClient(const UnixBrokerClient&) = delete;
  UnixBrokerClient& operator=(const UnixBrokerClient&) = delete;
  ~UnixBrokerClient() override {
    for (unsigned i = 0; i < poolSize_; ++i) {
      std::unique_ptr<Connection> drop(slots_[i].exchange(nullptr));
    }
  }

  std::intptr_t GetHeaderString(std::int32_t configLength, const char16_t* config,
                                std::int32_t tokenLength, const char16_t* token,
                                std::int32_t prefixLength, const char16_t* prefix,
                                std::int32_t tokenUpdateWindow, std::int32_t* updatedTokenLength,
                                char16_t* updatedToken, std::int32_t* headerLength,
                                char16_t* header, std::int32_t* attributeListLength,
                                char16_t* attributeList) override {
    return Call({.procedure = rpc::Procedure::GetHeaderString,
                 .configLength = configLength,
                 .config = config,
                 .tokenLength = tokenLength,
                 .token = token,
                 .prefixLength = prefixLength,
                 .prefix = prefix,
                 .tokenUpdateWindow = tokenUpdateWindow},
                updatedTokenLength, updatedToken, headerLength, header, attributeListLength,
                attributeList);
  }

  std::intptr_t GetHeaderStringWithIWA(std::int32_t configLength, const char16_t* config,
                                       std::int32_t tokenLength, const char16_t* token,
                                       std::int32_t prefixLength, const char16_t* prefix,
                                       std::int32_t tokenUpdateWindow, std::int32_t childProcessId,
                                       std::int32_t* updatedTokenLength, char16_t* updatedToken,
                                       std::int32_t* headerLength, char16_t* header,
                                       std::int32_t* attributeListLength,
                                       char16_t* attributeList) override {
    return Call({.procedure = rpc::Procedure::GetHeaderStringWithIWA,
                 .configLength = configLength,
                 .config = config,
                 .tokenLength = tokenLength,
                 .token = token,
                 .prefixLength = prefixLength,
                 .prefix = prefix,
                 .tokenUpdateWindow = tokenUpdateWindow,
                 .childProcessId = childProcessId},
                updatedTokenLength, updatedToken, headerLength, header, attributeListLength,
                attributeList);
  }

 private:
  std::intptr_t Call(const wire::RequestIn& in, std::int32_t* tokenLength, char16_t* token,
                     std::int32_t* headerLength, char16_t* header, std::int32_t* attrLength,
                     char16_t* attributes) {
    if (tokenLength == nullptr || token == nullptr || headerLength == nullptr ||
        header == nullptr || attrLength == nullptr || attributes == nullptr) {
      Fail(rpc::kStatusNullRefPointer);
    }
    ThreadBuffers& buffers = Buffers();
    if (const wire::WireError e = wire::EncodeRequest(in, buffers.request);
        e != wire::WireError::kOk) {
      // Inputs outside their bounds never leave this process.
      Fail(e == wire::WireError::kBadLength ? rpc::kStatusInvalidBound : wire::StatusFor(e));
    }
    const Clock::time_point deadline = Clock::now() + timeout_;
    std::unique_ptr<Connection> conn = Take();
    bool pooled = conn != nullptr;
    if (!conn) {
      conn = Connect(deadline);
    }
    std::vector<UniqueFd> descriptors;
    std::size_t replySize = 0;
    std::uint32_t status = 0;
    wire::ReplyInfo info;
    wire::WireError decoded = wire::WireError::kOk;
    for (int attempt = 1;; ++attempt) {
      descriptors.clear();
      const Outcome outcome = Exchange(*conn, buffers, deadline, descriptors, replySize, status);
      bool unrun = false;  // the request cannot have run: it may be sent again
      if (outcome == Outcome::kDone) {
        decoded = wire::DecodeReply({buffers.reply.data(), replySize}, info,
                                    {tokenLength, token, rpc::kUpdatedTokenCapacity},
                                    {headerLength, header, rpc::kHeaderCapacity},
                                    {attrLength, attributes, rpc::kAttributeListCapacity});
        unrun = decoded == wire::WireError::kOk && info.kind == wire::FrameKind::kFault &&
                info.faultCode == rpc::kStatusCallFailedDne;
      } else if (outcome == Outcome::kStaleBefore) {
        if (!pooled) {
          Fail(rpc::kStatusCallFailed);  // a new connection that ends at once: no retry
        }
        unrun = true;
      } else if (outcome == Outcome::kLostNoReply) {
        // The request may have reached the broker and run there: it is never sent twice.
        Fail(rpc::kStatusCallFailed);
      } else {
        Fail(status);
      }
      if (!unrun) {
        break;
      }
      if (attempt >= kMaxAttempts || Remaining(deadline).count() <= 0) {
        Fail(outcome == Outcome::kStaleBefore ? rpc::kStatusCallFailed : rpc::kStatusCallFailedDne);
      }
      // The broker closed this connection without running the request (it was restarted or
      // found the connection idle): once more on a new connection.
      conn.reset();
      conn = Connect(deadline);
      pooled = false;
    }
    if (decoded != wire::WireError::kOk) {
      Fail(rpc::kStatusProtocolError);  // `conn` is dropped: its stream can't be trusted
    }
    if (info.kind == wire::FrameKind::kFault) {
      Put(std::move(conn));
      Fail(info.faultCode);
    }
    if (info.procedure != in.procedure) {
      Fail(rpc::kStatusProtocolError);
    }
    Put(std::move(conn));
    if (in.procedure != rpc::Procedure::GetHeaderStringWithIWA ||
        info.result == rpc::kResultFailure) {
      return static_cast<std::intptr_t>(info.result);
    }
    // A successful IWA reply: the handle is the descriptor that came with it.
    if (!info.descriptorAttached) {
      return 0;
    }
    if (descriptors.size() != 1) {
      Fail(rpc::kStatusProtocolError);
    }
    return descriptors.front().release();
  }

  std::size_t FirstSlot() const {
    thread_local const std::size_t hash = std::hash<std::thread::id>{}(std::this_thread::get_id());
    return hash % poolSize_;
  }

  std::unique_ptr<Connection> Take() {
    const std::size_t start = FirstSlot();
    const std::uint64_t generation = g_forkGeneration.load(std::memory_order_relaxed);
    for (unsigned i = 0; i < poolSize_; ++i) {
      std::unique_ptr<Connection> conn(
          slots_[(start + i) % poolSize_].exchange(nullptr, std::memory_order_acquire));
      if (conn && conn->generation == generation) {
        return conn;
      }
      // A connection of the parent process after fork() is closed here, never used.
    }
    return nullptr;
  }

  void Put(std::unique_ptr<Connection> conn) {
    if (conn->closing) {
      return;  // closes here
    }
    const std::size_t start = FirstSlot();
    for (unsigned i = 0; i < poolSize_; ++i) {
      Connection* expected = nullptr;
      if (slots_[(start + i) % poolSize_].compare_exchange_strong(
              expected, conn.get(), std::memory_order_release, std::memory_order_relaxed)) {
        conn.release();
        return;
      }
    }
    // Pool full: the connection closes.
  }

  // A new connection to the broker, checked to be served by the broker's user. While the socket
  // is missing or refuses, connecting is tried again for up to connectRetry_ (within the call's
  // deadline); once a call has waited that long in vain the broker counts as down and calls try
  // once each, without waiting, until one gets through.
  std::unique_ptr<Connection> Connect(Clock::time_point deadline) const {
    sockaddr_un addr{};
    if (path_.size() >= sizeof(addr.sun_path)) {
      Fail(rpc::kStatusServerUnavailable);
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    const Clock::time_point start = Clock::now();
    const bool down = brokerDown_.load(std::memory_order_relaxed);
    const Clock::time_point retryUntil = down ? start : std::min(deadline, start + connectRetry_);
    std::chrono::milliseconds pause = kFirstConnectPause;
    auto conn = std::make_unique<Connection>();
    for (;;) {
      conn->fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
      if (!conn->fd) {
        Fail(ConnectStatus(errno));
      }
      conn->timeout = Remaining(deadline);
      // A blocking connect waits for room in the listener's queue at most this long.
      SetTimeout(conn->fd.get(), SO_SNDTIMEO, conn->timeout);
      SetTimeout(conn->fd.get(), SO_RCVTIMEO, conn->timeout);
      if (::connect(conn->fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) {
        break;
      }
      const int error = errno;
      if (error == EINTR) {
        continue;
      }
      if (error != ENOENT && error != ECONNREFUSED) {
        Fail(ConnectStatus(error));
      }
      const Clock::time_point now = Clock::now();
      if (now + pause >= retryUntil) {
        if (!down && retryUntil == start + connectRetry_) {
          brokerDown_.store(true, std::memory_order_relaxed);
        }
        Fail(rpc::kStatusServerUnavailable);
      }
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kLongestConnectPause);
    }
    if (down) {
      brokerDown_.store(false, std::memory_order_relaxed);
    }
    CheckPeer(conn->fd.get());
    conn->generation = g_forkGeneration.load(std::memory_order_relaxed);
    return conn;
  }

  // Refuses (1722, with the reason reported) a socket served by anyone but root or the user
  // named by TOKENGATE_BROKER_UID: nothing is sent to it.
  void CheckPeer(int fd) const {
    ucred cred{};
    socklen_t len = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof(cred) &&
        (cred.uid == 0 || (brokerUser_.uid && cred.uid == *brokerUser_.uid))) {
      return;
    }
    if (reportError_) {
      try {
        std::string message = "The logon broker's socket " + path_;
        message += len == sizeof(cred) ? " is served by uid " + std::to_string(cred.uid)
                                       : " does not tell who serves it";
        message += ", not by root";
        if (brokerUser_.uid) {
          message += " or uid " + std::to_string(*brokerUser_.uid) + " (TOKENGATE_BROKER_UID)";
        } else if (!brokerUser_.setting.empty()) {
          message +=
              " (TOKENGATE_BROKER_UID=" + brokerUser_.setting.substr(0, 40) + " names no user)";
        }
        message += "; call refused";
        reportError_(text::Utf8ToUtf16(message));
      } catch (...) {
        // The refusal stands even when it cannot be reported.
      }
    }
    Fail(rpc::kStatusServerUnavailable);
  }

  static std::chrono::milliseconds Remaining(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
  }

  // Keeps the socket's wait limits within the call's deadline. Setting them costs a system
  // call, so it happens only when what is set exceeds the time left by more than a little.
  static bool Bound(Connection& conn, Clock::time_point deadline) {
    const std::chrono::milliseconds left = Remaining(deadline);
    if (left.count() <= 0) {
      return false;
    }
    if (conn.timeout > left + kTimeoutSlack) {
      SetTimeout(conn.fd.get(), SO_SNDTIMEO, left);
      SetTimeout(conn.fd.get(), SO_RCVTIMEO, left);
      conn.timeout = left;
    }
    return true;
  }

  Outcome Exchange(Connection& conn, ThreadBuffers& b, Clock::time_point deadline,
                   std::vector<UniqueFd>& descriptors, std::size_t& size,
                   std::uint32_t& status) const {
    // A pooled connection may still carry the shortened limits of an earlier call.
    if (conn.timeout != timeout_) {
      SetTimeout(conn.fd.get(), SO_SNDTIMEO, timeout_);
      SetTimeout(conn.fd.get(), SO_RCVTIMEO, timeout_);
      conn.timeout = timeout_;
    }
    // Send the request.
    std::size_t sent = 0;
    while (sent < b.request.size()) {
      if (!Bound(conn, deadline)) {
        status = rpc::kStatusCallTimeout;
        return Outcome::kFailed;
      }
      const ssize_t n =
          ::send(conn.fd.get(), b.request.data() + sent, b.request.size() - sent, MSG_NOSIGNAL);
      if (n >= 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        status = rpc::kStatusCallTimeout;
        return Outcome::kFailed;
      }
      if (sent == 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
        // Closed by the broker before the request left. It may have said why (1727: closed
        // while idle; 1723: refused); that is read below like a reply.
        conn.closing = true;
        break;
      }
      status = rpc::kStatusCallFailed;
      return Outcome::kFailed;
    }
    const bool left = sent == b.request.size();
    // Read the reply: header first, then exactly the body it announces.
    size = 0;
    std::size_t need = wire::kHeaderSize;
    bool headerChecked = false;
    while (size < need) {
      if (!Bound(conn, deadline)) {
        status = rpc::kStatusCallTimeout;
        return Outcome::kFailed;
      }
      // Read whatever has arrived that fits: usually the whole reply at once.
      iovec iov{b.reply.data() + size, b.reply.size() - size};
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptorsPerReply)];
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      const ssize_t n = ::recvmsg(conn.fd.get(), &msg, MSG_CMSG_CLOEXEC);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n > 0 || (n == 0 && msg.msg_controllen > 0)) {
        TakeDescriptors(msg, descriptors);
      }
      if (n > 0 && (msg.msg_flags & MSG_CTRUNC) != 0) {
        status = rpc::kStatusOutOfResources;  // a descriptor could not be received
        return Outcome::kFailed;
      }
      if (n > 0) {
        size += static_cast<std::size_t>(n);
      } else if (n == 0 || errno == ECONNRESET) {
        if (size == 0) {
          return left ? Outcome::kLostNoReply : Outcome::kStaleBefore;
        }
        status = rpc::kStatusCallFailed;
        return Outcome::kFailed;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        status = rpc::kStatusCallTimeout;
        return Outcome::kFailed;
      } else {
        status = rpc::kStatusCallFailed;
        return Outcome::kFailed;
      }
      if (!headerChecked && size >= wire::kHeaderSize) {
        wire::FrameHeader header;
        if (wire::DecodeHeader({b.reply.data(), size}, header) != wire::WireError::kOk ||
            header.kind == wire::FrameKind::kRequest ||
            (!left && header.kind != wire::FrameKind::kFault)) {
          status = rpc::kStatusProtocolError;
          return Outcome::kFailed;
        }
        need = wire::kHeaderSize + header.bodyLength;
        headerChecked = true;
        if (b.reply.size() < need) {
          b.reply.resize(need);  // bounded: DecodeHeader limits the body
        }
      }
      if (headerChecked && size > need) {
        // Beyond the reply only the broker's closing notice may follow (it closed the
        // connection right after sending the reply); anything else puts the stream out of step.
        const std::vector<std::uint8_t>& notice = ClosingNotice();
        if (size - need > notice.size() ||
            !std::equal(b.reply.begin() + static_cast<std::ptrdiff_t>(need),
                        b.reply.begin() + static_cast<std::ptrdiff_t>(size), notice.begin())) {
          status = rpc::kStatusProtocolError;
          return Outcome::kFailed;
        }
        conn.closing = true;
        size = need;
      }
    }
    return Outcome::kDone;
  }

  static void TakeDescriptors(msghdr& msg, std::vector<UniqueFd>& descriptors) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
        continue;
      }
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        descriptors.emplace_back(fd);  // owned from here: closed unless handed to the caller
      }
    }
  }

  const std::string path_;
  const std::chrono::milliseconds timeout_;
  const std::chrono::milliseconds connectRetry_;
  const std::function<void(std::u16string_view)> reportError_;
  const BrokerUser brokerUser_;
  mutable std::atomic<bool> brokerDown_{false};
  const unsigned poolSize_;
  std::unique_ptr<std::atomic<Connection*>[]> slots_;
};

bool StartsWithIgnoreCase(std::u16string_view s, std::u16string_view prefix) {
  if (s.size() < prefix.size()) {
    return false;
  }
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char16_t c = s[i];
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c - u'A' + u'a');
    }
    if (c != prefix[i]) {
      return false;
    }
  }
  return true;
}

// "ncalrpc:[endpoint]" -> endpoint; other protocol sequences and any other form are refused.
std::optional<std::u16string> ParseBinding(std::u16string_view binding, rpc::RpcStatus& status) {
  status = static_cast<rpc::RpcStatus>(rpc::kStatusInvalidStringBinding);
  const std::size_t colon = binding.find(u':');
  if (colon == std::u16string_view::npos || colon == 0 ||
      binding.find(u'@') != std::u16string_view::npos) {
    return std::nullopt;
  }
  const std::u16string_view protseq = binding.substr(0, colon);
  for (const char16_t c : protseq) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'0' && c <= u'9') || c == u'_';
    if (!ok) {
      return std::nullopt;
    }
  }
  const std::u16string_view rest = binding.substr(colon + 1);
  if (rest.size() < 2 || rest.front() != u'[' || rest.back() != u']') {
    return std::nullopt;
  }
  const std::u16string_view endpoint = rest.substr(1, rest.size() - 2);
  if (!IsValidEndpointName(endpoint)) {
    return std::nullopt;
  }
  if (protseq.size() != 7 || !StartsWithIgnoreCase(protseq, rpc::kProtocol)) {
    status = static_cast<rpc::RpcStatus>(rpc::kStatusProtseqNotSupported);
    return std::nullopt;
  }
  status = 0;
  return std::u16string(endpoint);
}

}  // namespace

std::unique_ptr<rpc::IAuthenticator> BindToBroker(std::u16string_view stringBinding,
                                                  rpc::RpcStatus* status,
                                                  const BrokerClientOptions& options) {
  rpc::RpcStatus parsed = 0;
  const std::optional<std::u16string> endpoint = ParseBinding(stringBinding, parsed);
  if (status != nullptr) {
    *status = parsed;
  }
  if (!endpoint) {
    return nullptr;
  }
  return std::make_unique<UnixBrokerClient>(BrokerSocketPath(*endpoint), options);
}

}  // namespace tokengate::platform
