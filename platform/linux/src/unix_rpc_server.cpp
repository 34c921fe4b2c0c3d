// Server side of the broker interface over a Unix stream socket.
//
// A fixed set of call threads share one epoll set. Every connection is registered one-shot, so a
// readable connection goes to exactly one thread, which reads a request, runs the procedure,
// writes the reply and re-arms the connection. The number of threads is the call limit, and the
// call path takes no lock: only accepting and closing connections and the listener's life cycle
// touch shared bookkeeping under a mutex.
#include <fcntl.h>
#include <grp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tokengate/common/wire.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {
namespace {

namespace wire = rpc::wire;

constexpr unsigned kMaxCallThreads = 256;
constexpr std::size_t kMaxConnections = 1024;
// A request that has started to arrive must arrive whole within this time, and a reply must be
// taken by the client within it; otherwise the connection is dropped.
constexpr int kIoTimeoutSeconds = 10;
constexpr std::size_t kMaxRequestFrame = wire::kHeaderSize + wire::kMaxRequestBody;
constexpr std::uint64_t kStopTag = 1;
constexpr std::uint64_t kListenTag = 2;

struct Connection {
  UniqueFd fd;
  std::optional<std::int32_t> peerPid;
  std::vector<std::uint8_t> in;  // bytes read and not yet consumed: in[0, have)
  std::size_t have = 0;
  // Passing a connection between threads goes through epoll; this counter makes the hand-over
  // visible to the language's memory model too (released when armed, acquired when taken).
  std::atomic<std::uint32_t> handoff{0};
};

class CallContext final : public rpc::ICallContext {
 public:
  explicit CallContext(std::optional<std::int32_t> pid) : pid_(pid) {}
  std::optional<std::int32_t> CallerProcessId() const override { return pid_; }
  UniqueFd descriptor;

 private:
  std::optional<std::int32_t> pid_;
};

thread_local CallContext* t_call = nullptr;

// Buffers a call thread reuses from call to call.
struct CallBuffers {
  wire::Request request;
  std::vector<char16_t> token = std::vector<char16_t>(rpc::kUpdatedTokenCapacity);
  std::vector<char16_t> header = std::vector<char16_t>(rpc::kHeaderCapacity);
  std::vector<char16_t> attributes = std::vector<char16_t>(rpc::kAttributeListCapacity);
  std::vector<std::uint8_t> out;
};

bool ResolveGroup(gid_t& gid) {
  const char* env = std::getenv(kSocketGroupEnv);
  if (env == nullptr || *env == '\0') {
    gid = getegid();
    return true;
  }
  const std::string name(env);
  if (name.find_first_not_of("0123456789") == std::string::npos) {
    if (name.size() > 9) {
      return false;
    }
    gid = static_cast<gid_t>(std::strtoul(name.c_str(), nullptr, 10));
    return true;
  }
  std::vector<char> buf(16384);
  group entry{};
  group* found = nullptr;
  if (getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  gid = found->gr_gid;
  return true;
}

bool FillAddress(const std::string& path, sockaddr_un& addr) {
  if (path.size() >= sizeof(addr.sun_path)) {
    return false;
  }
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when something accepts connections on `path`.
bool Listening(const std::string& path) {
  sockaddr_un addr{};
  if (!FillAddress(path, addr)) {
    return false;
  }
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) {
    return false;
  }
  return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
}

void SetIoTimeouts(int fd, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// Sends all of `bytes`, with `fd` (if valid) as SCM_RIGHTS on the first part.
bool SendAll(int sock, const std::vector<std::uint8_t>& bytes, const UniqueFd& fd, int flags = 0) {
  std::size_t sent = 0;
  bool withFd = fd.valid();
  while (sent < bytes.size()) {
    iovec iov{const_cast<std::uint8_t*>(bytes.data()) + sent, bytes.size() - sent};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (withFd) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      const int raw = fd.get();
      std::memcpy(CMSG_DATA(c), &raw, sizeof(int));
    }
    const ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL | flags);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    sent += static_cast<std::size_t>(n);
    withFd = false;
  }
  return true;
}

class UnixRpcServer final : public rpc::IRpcServerRuntime {
 public:
  UnixRpcServer() = default;
  UnixRpcServer(const UnixRpcServer&) = delete;
  UnixRpcServer& operator=(const UnixRpcServer&) = delete;
  ~UnixRpcServer() override {
    if (StopListening() == 0) {
      WaitServerListen();
    }
    std::lock_guard lock(mu_);
    ReleaseEndpoint();
  }

  rpc::RpcStatus UseProtseqEp(const std::u16string& protocol, unsigned /*maxCalls*/,
                              const std::u16string& endpoint) override {
    std::lock_guard lock(mu_);
    if (protocol != rpc::kProtocol) {
      return rpc::kStatusProtseqNotSupported;
    }
    if (!IsValidEndpointName(endpoint)) {
      return rpc::kStatusBadEndpointFormat;
    }
    if (state_ != State::kIdle) {
      return rpc::kStatusDuplicateEndpoint;
    }
    return CreateEndpoint(BrokerSocketPath(endpoint));
  }

  rpc::RpcStatus RegisterIf(rpc::IAuthenticator& implementation) override {
    impl_.store(&implementation, std::memory_order_release);
    return 0;
  }

  rpc::RpcStatus Listen(unsigned minThreads, unsigned maxCalls, bool dontWait) override {
    {
      std::lock_guard lock(mu_);
      if (state_ == State::kListening || state_ == State::kStopping) {
        return rpc::kStatusAlreadyListening;
      }
      if (state_ != State::kReady) {
        return rpc::kStatusNoProtseqsRegistered;
      }
      if (maxCalls == 0 || minThreads > maxCalls) {
        return rpc::kStatusMaxCallsTooSmall;
      }
      if (const rpc::RpcStatus s = StartThreads(std::min(maxCalls, kMaxCallThreads)); s != 0) {
        return s;
      }
      state_ = State::kListening;
    }
    return dontWait ? 0 : WaitServerListen();
  }

  rpc::RpcStatus StopListening() override {
    std::lock_guard lock(mu_);
    if (state_ == State::kStopping) {
      return 0;
    }
    if (state_ != State::kListening) {
      return rpc::kStatusNotListening;
    }
    stopping_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    // The event stays readable, so every call thread wakes and leaves.
    if (::write(stopEvent_.get(), &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one))) {
      return rpc::kStatusInternalError;
    }
    state_ = State::kStopping;
    return 0;
  }

  rpc::RpcStatus WaitServerListen() override {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mu_);
      if (state_ != State::kListening && state_ != State::kStopping) {
        return rpc::kStatusNotListening;
      }
      if (waiting_) {
        return rpc::kStatusAlreadyListening;
      }
      waiting_ = true;
      threads.swap(threads_);
    }
    for (std::thread& t : threads) {
      t.join();  // threads leave only once StopListening was called
    }
    std::lock_guard lock(mu_);
    CloseConnections();
    epoll_.reset();
    stopEvent_.reset();
    ReleaseEndpoint();
    waiting_ = false;
    state_ = State::kIdle;
    return 0;
  }

 private:
  enum class State { kIdle, kReady, kListening, kStopping };

  rpc::RpcStatus CreateEndpoint(const std::string& path) {
    const std::string dir = RuntimeDirectory();
    gid_t gid = 0;
    sockaddr_un addr{};
    if (!ResolveGroup(gid) || !FillAddress(path, addr)) {
      return rpc::kStatusCantCreateEndpoint;
    }
    const std::string dirNoSlash = dir.substr(0, dir.size() - 1);
    if (::mkdir(dirNoSlash.c_str(), 0750) == 0) {
      // mkdir honours the umask; set group and mode explicitly.
      if (::chown(dirNoSlash.c_str(), static_cast<uid_t>(-1), gid) != 0 ||
          ::chmod(dirNoSlash.c_str(), 0750) != 0) {
        return rpc::kStatusCantCreateEndpoint;
      }
    } else if (errno != EEXIST) {
      return rpc::kStatusCantCreateEndpoint;
    }
    // One listener per endpoint: the lock is held while the endpoint exists.
    UniqueFd lockFd(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lockFd) {
      return rpc::kStatusCantCreateEndpoint;
    }
    if (::flock(lockFd.get(), LOCK_EX | LOCK_NB) != 0) {
      return errno == EWOULDBLOCK ? rpc::kStatusDuplicateEndpoint : rpc::kStatusCantCreateEndpoint;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) {
        return rpc::kStatusCantCreateEndpoint;  // never replace a file that is not a socket
      }
      if (Listening(path)) {
        return rpc::kStatusDuplicateEndpoint;
      }
    }
    // Bind inside a private directory, set mode and group, then move the socket into place, so
    // the socket is never reachable with looser permissions. A stale socket is replaced.
    std::string temp = dir + ".bind-XXXXXX";
    if (::mkdtemp(temp.data()) == nullptr) {
      return rpc::kStatusCantCreateEndpoint;
    }
    const std::string tempSock = temp + "/s";
    sockaddr_un tempAddr{};
    UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const bool ok =
        sock && FillAddress(tempSock, tempAddr) &&
        ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&tempAddr), sizeof(tempAddr)) == 0 &&
        ::chown(tempSock.c_str(), static_cast<uid_t>(-1), gid) == 0 &&
        ::chmod(tempSock.c_str(), 0660) == 0 && ::listen(sock.get(), SOMAXCONN) == 0 &&
        ::rename(tempSock.c_str(), path.c_str()) == 0;
    ::unlink(tempSock.c_str());
    ::rmdir(temp.c_str());
    if (!ok || ::stat(path.c_str(), &st) != 0) {
      return rpc::kStatusCantCreateEndpoint;
    }
    listen_ = std::move(sock);
    lock_ = std::move(lockFd);
    path_ = path;
    socketDev_ = st.st_dev;
    socketIno_ = st.st_ino;
    state_ = State::kReady;
    return 0;
  }

  // Closes the listening socket and removes its file, unless another listener replaced it.
  void ReleaseEndpoint() {
    if (!listen_) {
      return;
    }
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDev_ && st.st_ino == socketIno_) {
      ::unlink(path_.c_str());
    }
    listen_.reset();
    lock_.reset();
    if (state_ == State::kReady) {
      state_ = State::kIdle;
    }
  }

  rpc::RpcStatus StartThreads(unsigned count) {
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    stopEvent_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!epoll_ || !stopEvent_) {
      return rpc::kStatusOutOfResources;
    }
    epoll_event stopEv{};
    stopEv.events = EPOLLIN;
    stopEv.data.u64 = kStopTag;
    epoll_event listenEv{};
    listenEv.events = EPOLLIN | EPOLLONESHOT;
    listenEv.data.u64 = kListenTag;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, stopEvent_.get(), &stopEv) != 0 ||
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, listen_.get(), &listenEv) != 0) {
      return rpc::kStatusOutOfResources;
    }
    stopping_.store(false, std::memory_order_release);
    try {
      for (unsigned i = 0; i < count; ++i) {
        threads_.emplace_back([this] { CallThread(); });
      }
    } catch (const std::system_error&) {
      stopping_.store(true);
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(stopEvent_.get(), &one, sizeof(one));
      for (std::thread& t : threads_) {
        t.join();
      }
      threads_.clear();
      return rpc::kStatusOutOfResources;
    }
    return 0;
  }

  void CallThread() {
    CallBuffers buffers;
    for (;;) {
      epoll_event ev{};
      const int n = ::epoll_wait(epoll_.get(), &ev, 1, -1);
      if (n < 0 && errno != EINTR) {
        return;
      }
      if (n <= 0) {
        continue;
      }
      if (ev.data.u64 == kStopTag || stopping_.load(std::memory_order_acquire)) {
        return;
      }
      if (ev.data.u64 == kListenTag) {
        AcceptPending();
        continue;
      }
      auto* conn = reinterpret_cast<Connection*>(ev.data.u64);
      conn->handoff.load(std::memory_order_acquire);
      if (Serve(*conn, buffers) && !stopping_.load(std::memory_order_acquire)) {
        Arm(*conn, EPOLL_CTL_MOD);
      } else if (!stopping_.load(std::memory_order_acquire)) {
        CloseConnection(conn);
      }
      // While stopping, connections stay registered and are closed once every thread left.
    }
  }

  // Hands `conn` back to the epoll set. Once armed another thread may take it at once, so
  // nothing of `conn` is touched after the hand-over.
  void Arm(Connection& conn, int op) {
    const int fd = conn.fd.get();
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = reinterpret_cast<std::uint64_t>(&conn);
    conn.handoff.fetch_add(1, std::memory_order_release);
    ::epoll_ctl(epoll_.get(), op, fd, &ev);
  }

  void AcceptPending() {
    for (;;) {
      UniqueFd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!fd) {
        if (errno == EINTR || errno == ECONNABORTED) {
          continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors: leave the connection queued and give others time to close.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        break;
      }
      auto conn = std::make_unique<Connection>();
      ucred cred{};
      socklen_t len = sizeof(cred);
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.pid > 0) {
        conn->peerPid = cred.pid;
      }
      SetIoTimeouts(fd.get(), kIoTimeoutSeconds);
      conn->fd = std::move(fd);
      Connection* raw = conn.get();
      {
        std::lock_guard lock(connMu_);
        if (connections_.size() >= kMaxConnections) {
          std::vector<std::uint8_t> busy;
          wire::EncodeFault(rpc::kStatusServerTooBusy, busy);
          SendAll(raw->fd.get(), busy, UniqueFd(), MSG_DONTWAIT);
          continue;  // conn closes here
        }
        connections_.emplace(raw, std::move(conn));
      }
      Arm(*raw, EPOLL_CTL_ADD);
    }
    if (!stopping_.load(std::memory_order_acquire)) {
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLONESHOT;
      ev.data.u64 = kListenTag;
      ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listen_.get(), &ev);
    }
  }

  void CloseConnection(Connection* conn) {
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, conn->fd.get(), nullptr);
    std::lock_guard lock(connMu_);
    connections_.erase(conn);
  }

  void CloseConnections() {
    std::lock_guard lock(connMu_);
    connections_.clear();
  }

  // Reads until `need` bytes are buffered. False on end of stream, error, or when the bytes do
  // not arrive within kIoTimeoutSeconds in all (a client trickling bytes cannot hold a call
  // thread for longer).
  static bool Fill(Connection& conn, std::size_t need) {
    if (conn.in.size() < need) {
      conn.in.resize(std::max<std::size_t>(need, 4096));
    }
    std::optional<std::chrono::steady_clock::time_point> deadline;
    while (conn.have < need) {
      if (deadline && std::chrono::steady_clock::now() > *deadline) {
        return false;
      }
      const ssize_t n =
          ::recv(conn.fd.get(), conn.in.data() + conn.have, conn.in.size() - conn.have, 0);
      if (n > 0) {
        conn.have += static_cast<std::size_t>(n);
        if (!deadline) {
          deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kIoTimeoutSeconds);
        }
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return false;
      }
    }
    return true;
  }

  // Serves the requests buffered or arriving on `conn` until none is left. False when the
  // connection is to be closed.
  bool Serve(Connection& conn, CallBuffers& buffers) {
    do {
      if (!Fill(conn, wire::kHeaderSize)) {
        return false;
      }
      wire::FrameHeader header;
      wire::WireError error = wire::DecodeHeader({conn.in.data(), conn.have}, header);
      if (error == wire::WireError::kOk && header.kind != wire::FrameKind::kRequest) {
        error = wire::WireError::kBadKind;
      }
      if (error != wire::WireError::kOk) {
        // The stream can no longer be split into frames: answer and close.
        wire::EncodeFault(wire::StatusFor(error), buffers.out);
        SendAll(conn.fd.get(), buffers.out, UniqueFd());
        return false;
      }
      const std::size_t total = wire::kHeaderSize + header.bodyLength;
      static_assert(kMaxRequestFrame >= wire::kHeaderSize);
      if (!Fill(conn, total)) {
        return false;
      }
      UniqueFd descriptor = Dispatch(conn, {conn.in.data(), total}, buffers);
      if (!SendAll(conn.fd.get(), buffers.out, descriptor)) {
        return false;  // `descriptor` closes here as on every path
      }
      conn.have -= total;
      std::memmove(conn.in.data(), conn.in.data() + total, conn.have);
    } while (conn.have > 0);
    if (conn.in.size() > 4096) {
      conn.in.resize(4096);
      conn.in.shrink_to_fit();
    }
    return true;
  }

  // Runs one request; leaves the reply frame in buffers.out and returns the descriptor that
  // goes with it (invalid when none).
  UniqueFd Dispatch(const Connection& conn, std::span<const std::uint8_t> frame, CallBuffers& b) {
    if (const wire::WireError e = wire::DecodeRequest(frame, b.request);
        e != wire::WireError::kOk) {
      wire::EncodeFault(wire::StatusFor(e), b.out);
      return UniqueFd();
    }
    rpc::IAuthenticator* impl = impl_.load(std::memory_order_acquire);
    if (impl == nullptr) {
      wire::EncodeFault(rpc::kStatusUnknownIf, b.out);
      return UniqueFd();
    }
    const wire::Request& r = b.request;
    std::int32_t lengths[3] = {0, 0, 0};
    b.token[0] = b.header[0] = b.attributes[0] = u'\0';
    CallContext context(conn.peerPid);
    t_call = &context;
    std::intptr_t result = rpc::kResultFailure;
    std::uint32_t fault = 0;
    try {
      if (r.procedure == rpc::Procedure::GetHeaderString) {
        result =
            impl->GetHeaderString(static_cast<std::int32_t>(r.config.size()), r.config.c_str(),
                                  static_cast<std::int32_t>(r.token.size()), r.token.c_str(),
                                  static_cast<std::int32_t>(r.prefix.size()), r.prefix.c_str(),
                                  r.tokenUpdateWindow, &lengths[0], b.token.data(), &lengths[1],
                                  b.header.data(), &lengths[2], b.attributes.data());
      } else {
        result = impl->GetHeaderStringWithIWA(
            static_cast<std::int32_t>(r.config.size()), r.config.c_str(),
            static_cast<std::int32_t>(r.token.size()), r.token.c_str(),
            static_cast<std::int32_t>(r.prefix.size()), r.prefix.c_str(), r.tokenUpdateWindow,
            r.childProcessId, &lengths[0], b.token.data(), &lengths[1], b.header.data(),
            &lengths[2], b.attributes.data());
      }
    } catch (const rpc::RpcException& e) {
      // A fault code of 0 could not be told from success on the client side.
      fault = e.code() != 0 ? e.code() : rpc::kStatusInternalError;
    } catch (const std::bad_alloc&) {
      fault = rpc::kStatusOutOfMemory;
    } catch (...) {
      fault = rpc::kStatusInternalError;
    }
    t_call = nullptr;
    UniqueFd descriptor = std::move(context.descriptor);
    if (fault != 0) {
      wire::EncodeFault(fault, b.out);
      return UniqueFd();
    }
    const bool success = result != rpc::kResultFailure;
    const std::int32_t limits[3] = {rpc::kMaxUpdatedTokenUnits, rpc::kMaxHeaderUnits,
                                    rpc::kMaxAttributeListUnits};
    for (int i = 0; i < 3; ++i) {
      if (lengths[i] < 0 || lengths[i] > limits[i]) {
        if (success) {
          // The procedure produced an output it cannot have written: nothing of it is sent.
          wire::EncodeFault(rpc::kStatusInternalError, b.out);
          return UniqueFd();
        }
        lengths[i] = 0;  // outputs of a failed call carry no meaning
      }
    }
    const bool sendDescriptor =
        success && r.procedure == rpc::Procedure::GetHeaderStringWithIWA && descriptor.valid();
    wire::EncodeReply(
        {.procedure = r.procedure,
         .result = result,
         .descriptorAttached = sendDescriptor,
         .updatedToken = {b.token.data(), static_cast<std::size_t>(lengths[0])},
         .header = {b.header.data(), static_cast<std::size_t>(lengths[1])},
         .attributeList = {b.attributes.data(), static_cast<std::size_t>(lengths[2])}},
        b.out);
    if (!sendDescriptor) {
      descriptor.reset();
    }
    return descriptor;
  }

  std::mutex mu_;  // life cycle only
  State state_ = State::kIdle;
  bool waiting_ = false;
  UniqueFd listen_;
  UniqueFd lock_;
  UniqueFd epoll_;
  UniqueFd stopEvent_;
  std::string path_;
  dev_t socketDev_ = 0;
  ino_t socketIno_ = 0;
  std::vector<std::thread> threads_;
  std::atomic<rpc::IAuthenticator*> impl_{nullptr};
  std::atomic<bool> stopping_{false};
  std::mutex connMu_;  // accepting and closing connections only
  std::unordered_map<Connection*, std::unique_ptr<Connection>> connections_;
};

}  // namespace

std::unique_ptr<rpc::IRpcServerRuntime> CreateUnixRpcServerRuntime() {
  return std::make_unique<UnixRpcServer>();
}

bool AttachReplyDescriptor(UniqueFd fd) {
  if (t_call == nullptr || t_call->descriptor.valid() || !fd.valid()) {
    return false;  // `fd` closes here
  }
  t_call->descriptor = std::move(fd);
  return true;
}

}  // namespace tokengate::platform

namespace tokengate::rpc {

const ICallContext* CurrentCallContext() {
  return platform::t_call;
}

}  // namespace tokengate::rpc
