// Client side of the broker interface over a Unix stream socket.
//
// Connections are made on first use and kept in a small pool of atomic slots for later calls,
// so the call path takes no lock. A pooled connection found dead (the broker restarted) is
// replaced by a fresh one once, as long as nothing of the reply had been read.
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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

// Counts fork()s of this process, so that a child never uses connections inherited from its
// parent (both would read each other's replies). Cheaper than asking for the pid on every call.
std::atomic<std::uint64_t> g_forkGeneration{0};
std::once_flag g_forkHook;

struct Connection {
  UniqueFd fd;
  std::uint64_t generation = 0;  // g_forkGeneration when connected
  std::chrono::milliseconds timeout{0};
};

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
  kStaleBefore,  // the connection was dead before the request left (send failed)
  kLostNoReply,  // the connection ended after sending, before any byte of the reply
  kFailed,       // `status` says why
};

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
    Outcome outcome = Exchange(*conn, buffers, deadline, descriptors, replySize, status);
    if (pooled && (outcome == Outcome::kStaleBefore || outcome == Outcome::kLostNoReply)) {
      // The broker went away since this connection was last used: one fresh attempt. When
      // that cannot even connect, a request that may have reached the old broker is reported
      // as a failed call, one that never left as an unavailable server.
      const Outcome first = outcome;
      conn.reset();
      try {
        conn = Connect(deadline);
      } catch (const rpc::RpcException& e) {
        if (first == Outcome::kLostNoReply && e.code() == rpc::kStatusServerUnavailable) {
          Fail(rpc::kStatusCallFailed);
        }
        throw;
      }
      pooled = false;
      descriptors.clear();
      outcome = Exchange(*conn, buffers, deadline, descriptors, replySize, status);
    }
    switch (outcome) {
      case Outcome::kDone:
        break;
      case Outcome::kStaleBefore:
      case Outcome::kLostNoReply:
        Fail(rpc::kStatusCallFailed);
      case Outcome::kFailed:
        Fail(status);
    }
    wire::ReplyInfo info;
    const wire::WireError e = wire::DecodeReply(
        {buffers.reply.data(), replySize}, info, {tokenLength, token, rpc::kUpdatedTokenCapacity},
        {headerLength, header, rpc::kHeaderCapacity},
        {attrLength, attributes, rpc::kAttributeListCapacity});
    if (e != wire::WireError::kOk) {
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

  std::unique_ptr<Connection> Connect(Clock::time_point deadline) const {
    sockaddr_un addr{};
    if (path_.size() >= sizeof(addr.sun_path)) {
      Fail(rpc::kStatusServerUnavailable);
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    auto conn = std::make_unique<Connection>();
    conn->fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!conn->fd) {
      Fail(ConnectStatus(errno));
    }
    conn->generation = g_forkGeneration.load(std::memory_order_relaxed);
    conn->timeout = Remaining(deadline);
    // A blocking connect waits for room in the listener's queue at most this long.
    SetTimeout(conn->fd.get(), SO_SNDTIMEO, conn->timeout);
    SetTimeout(conn->fd.get(), SO_RCVTIMEO, conn->timeout);
    while (::connect(conn->fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
      if (errno != EINTR) {
        Fail(ConnectStatus(errno));
      }
    }
    return conn;
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
        return Outcome::kStaleBefore;
      }
      status = rpc::kStatusCallFailed;
      return Outcome::kFailed;
    }
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
          return Outcome::kLostNoReply;
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
            header.kind == wire::FrameKind::kRequest) {
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
        status = rpc::kStatusProtocolError;  // bytes beyond the reply: the stream is out of step
        return Outcome::kFailed;
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
