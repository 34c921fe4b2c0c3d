// Server side of the broker interface over a Unix stream socket.
//
// A fixed set of call threads wait on one epoll set in which every connection is registered
// edge-triggered. The thread that takes a connection's event reads what has arrived without
// blocking: a request frame that is complete is run at once on that thread and answered with one
// send; the beginning of a frame is kept with the connection until the rest arrives, so a call
// thread never waits for a slow client and only ever runs complete frames.
//
// Each connection lives in a slot whose state word holds a generation and a count of events not
// yet accounted for. The thread that raises the count from 0 owns the connection; events that
// arrive while it serves only raise the count, and the owner serves again until it can bring the
// count back to 0. Closing a connection moves its slot to the next generation, so an event taken
// for a connection that is gone is recognised and dropped; slots are reused, never freed while
// the listener runs. Serving a call takes no lock: only accepting, closing and the housekeeping
// thread (which ends connections whose deadline has passed) touch the bookkeeping mutex.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tokengate/common/text.h"
#include "tokengate/common/wire.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {
namespace {

namespace wire = rpc::wire;

constexpr unsigned kMaxCallThreads = 256;
constexpr std::size_t kMaxRequestFrame = wire::kHeaderSize + wire::kMaxRequestBody;
constexpr std::uint64_t kStopTag = ~std::uint64_t{0};
constexpr std::uint64_t kListenTag = ~std::uint64_t{0} - 1;
constexpr std::uint64_t kCountMask = 0xFFFFFFFFu;
constexpr std::size_t kSlotsPerChunk = 256;
// How often the housekeeping thread looks for connections past their deadline.
constexpr std::chrono::milliseconds kHousekeepingTick{250};
// How long a stop waits in all for replies the clients have not taken yet.
constexpr std::chrono::milliseconds kStopFlushLimit{2000};
// A warning of one kind is logged at most this often; the ones in between are counted.
constexpr std::chrono::seconds kWarnInterval{10};
constexpr std::uint32_t kNormalEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t Ns(std::chrono::milliseconds ms) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(ms).count();
}

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

// A decimal number of at most 9 digits, nothing else.
std::optional<long> SmallDecimal(const char* s) {
  if (s == nullptr || *s == '\0' || std::strlen(s) > 9 ||
      std::strspn(s, "0123456789") != std::strlen(s)) {
    return std::nullopt;
  }
  return std::strtol(s, nullptr, 10);
}

// A listening Unix stream socket the service manager passed to this process.
struct InheritedSocket {
  std::string path;
  int fd = -1;
};

// The sockets passed with the service manager's socket activation protocol: descriptors 3 to
// 3 + $LISTEN_FDS - 1, meant for this process when $LISTEN_PID is its process id. Read once; the
// descriptors stay open for the life of the process (a later set-up in the same process uses
// them again) and are kept from programs this process might start.
const std::vector<InheritedSocket>& InheritedSockets() {
  static const std::vector<InheritedSocket> sockets = [] {
    std::vector<InheritedSocket> found;
    const std::optional<long> pid = SmallDecimal(std::getenv("LISTEN_PID"));
    const std::optional<long> count = SmallDecimal(std::getenv("LISTEN_FDS"));
    if (!pid || !count || *pid != static_cast<long>(::getpid()) || *count > 1024) {
      return found;
    }
    for (int fd = 3; fd < 3 + static_cast<int>(*count); ++fd) {
      const int flags = ::fcntl(fd, F_GETFD);
      if (flags < 0) {
        continue;
      }
      ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
      int type = 0;
      int accepting = 0;
      socklen_t len = sizeof(type);
      if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
        continue;
      }
      len = sizeof(accepting);
      if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) != 0 || accepting == 0) {
        continue;
      }
      sockaddr_un addr{};
      len = sizeof(addr);
      if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
          addr.sun_family != AF_UNIX || len <= offsetof(sockaddr_un, sun_path) ||
          addr.sun_path[0] == '\0') {
        continue;  // not a Unix socket, or one without a path
      }
      const std::size_t max = len - offsetof(sockaddr_un, sun_path);
      found.push_back({std::string(addr.sun_path, ::strnlen(addr.sun_path, max)), fd});
    }
    return found;
  }();
  return sockets;
}

bool ServiceManagerPassedSockets() {
  const std::optional<long> pid = SmallDecimal(std::getenv("LISTEN_PID"));
  return pid && *pid == static_cast<long>(::getpid()) && std::getenv("LISTEN_FDS") != nullptr;
}

// Sends `bytes` without waiting, with `fd` (if valid) as SCM_RIGHTS; the number of bytes the
// socket took, or -1 with errno set.
ssize_t SendNow(int sock, const std::uint8_t* bytes, std::size_t size, const UniqueFd& fd) {
  iovec iov{const_cast<std::uint8_t*>(bytes), size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd.valid()) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int raw = fd.get();
    std::memcpy(CMSG_DATA(c), &raw, sizeof(int));
  }
  for (;;) {
    const ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) {
      return n;
    }
  }
}

// A fault frame sent as a last word on a connection about to close; lost if it does not fit.
void SendFaultNow(int sock, std::uint32_t code) {
  std::vector<std::uint8_t> frame;
  wire::EncodeFault(code, frame);
  SendNow(sock, frame.data(), frame.size(), UniqueFd());
}

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
  std::vector<std::uint8_t> input = std::vector<std::uint8_t>(kMaxRequestFrame);
  wire::Request request;
  std::vector<char16_t> token = std::vector<char16_t>(rpc::kUpdatedTokenCapacity);
  std::vector<char16_t> header = std::vector<char16_t>(rpc::kHeaderCapacity);
  std::vector<char16_t> attributes = std::vector<char16_t>(rpc::kAttributeListCapacity);
  std::vector<std::uint8_t> out;
};

// What a connection is waiting for; the deadline that goes with it.
enum class Phase : std::uint8_t { kIdle, kAssembling, kReplying };

struct Slot {
  // generation << 32 | events not yet accounted for by the owner.
  std::atomic<std::uint64_t> state{0};
  // steady-clock nanoseconds at which the connection is ended, and why; 0 while it is closed.
  std::atomic<std::int64_t> deadline{0};
  std::atomic<Phase> phase{Phase::kIdle};

  // Touched only by the slot's owner (or by the acceptor before the slot is published).
  UniqueFd fd;
  std::optional<std::int32_t> peerPid;
  uid_t peerUid = 0;
  std::vector<std::uint8_t> in;   // bytes read and not yet run: the beginning of a frame
  std::vector<std::uint8_t> out;  // the part of a reply the socket has not taken yet
  UniqueFd outDescriptor;         // goes with `out` when nothing of the reply was sent
  bool writeArmed = false;        // EPOLLOUT is asked for while `out` waits

  std::uint32_t index = 0;  // fixed when the slot is made

  // Under the bookkeeping mutex.
  bool inUse = false;
  std::uint32_t generation = 0;  // the generation of the connection in the slot
};

std::uint32_t GenerationOf(std::uint64_t state) {
  return static_cast<std::uint32_t>(state >> 32);
}

// A warning of one kind, logged at most every kWarnInterval; the ones left out are counted and
// named with the next one.
class Warning {
 public:
  template <typename Format>
  void Emit(const std::function<void(std::u16string_view)>& sink, Format&& format) {
    if (!sink) {
      return;
    }
    const std::int64_t now = NowNs();
    std::int64_t last = last_.load(std::memory_order_relaxed);
    if (last != 0 && now - last < std::chrono::nanoseconds(kWarnInterval).count()) {
      suppressed_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (!last_.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
      suppressed_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const std::uint64_t left = suppressed_.exchange(0, std::memory_order_relaxed);
    try {
      std::string message = format();
      if (left > 0) {
        message += " (" + std::to_string(left) + " more since the last report)";
      }
      sink(text::Utf8ToUtf16(message));
    } catch (...) {
      // A warning that cannot be built or written is dropped.
    }
  }

 private:
  std::atomic<std::int64_t> last_{0};
  std::atomic<std::uint64_t> suppressed_{0};
};

class UnixRpcServer final : public UnixRpcServerRuntime {
 public:
  explicit UnixRpcServer(const UnixRpcServerOptions& options)
      : options_(options),
        maxConnections_(std::clamp(options.maxConnections, 1u, 1u << 20)),
        maxPerUid_(std::clamp(options.maxConnectionsPerUid, 1u, maxConnections_)),
        chunks_(std::make_unique<std::atomic<Slot*>[]>(ChunkCount())) {
    for (std::size_t i = 0; i < ChunkCount(); ++i) {
      chunks_[i].store(nullptr, std::memory_order_relaxed);
    }
  }
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

  UnixRpcServerStatistics Statistics() const override {
    UnixRpcServerStatistics s;
    s.accepted = stats_.accepted.load(std::memory_order_relaxed);
    s.refusedTotal = stats_.refusedTotal.load(std::memory_order_relaxed);
    s.refusedPerUid = stats_.refusedPerUid.load(std::memory_order_relaxed);
    s.closedIdle = stats_.closedIdle.load(std::memory_order_relaxed);
    s.closedSlowFrame = stats_.closedSlowFrame.load(std::memory_order_relaxed);
    s.closedSlowReply = stats_.closedSlowReply.load(std::memory_order_relaxed);
    s.open = stats_.open.load(std::memory_order_relaxed);
    return s;
  }

 private:
  enum class State { kIdle, kReady, kListening, kStopping };
  enum class Verdict { kKeep, kClose };
  enum class Reason { kPeer, kIdle, kSlowFrame, kSlowReply, kStop };

  std::size_t ChunkCount() const { return (maxConnections_ + kSlotsPerChunk - 1) / kSlotsPerChunk; }

  Slot& SlotAt(std::uint32_t index) const {
    Slot* chunk = chunks_[index / kSlotsPerChunk].load(std::memory_order_acquire);
    return chunk[index % kSlotsPerChunk];
  }

  // ---- endpoint ----------------------------------------------------------------------------

  rpc::RpcStatus CreateEndpoint(const std::string& path) {
    sockaddr_un addr{};
    if (!FillAddress(path, addr)) {
      return rpc::kStatusCantCreateEndpoint;
    }
    if (ServiceManagerPassedSockets()) {
      // Started through socket activation: the service manager owns the socket, its file, mode
      // and group, and keeps it (with the connections waiting in it) across restarts.
      for (const InheritedSocket& s : InheritedSockets()) {
        if (s.path != path) {
          continue;
        }
        UniqueFd sock(::fcntl(s.fd, F_DUPFD_CLOEXEC, 3));
        if (!sock) {
          return rpc::kStatusCantCreateEndpoint;
        }
        const int flags = ::fcntl(sock.get(), F_GETFL);
        if (flags < 0 || ::fcntl(sock.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
          return rpc::kStatusCantCreateEndpoint;
        }
        listen_ = std::move(sock);
        inherited_ = true;
        path_ = path;
        state_ = State::kReady;
        return 0;
      }
      socketWarning_.Emit(options_.warn, [&] {
        return "The service manager passed sockets to the broker, but none is bound to " + path +
               "; set-up refused (the socket unit's ListenStream= and TOKENGATE_RUNTIME_DIR "
               "must name the same path)";
      });
      return rpc::kStatusCantCreateEndpoint;
    }
    const std::string dir = RuntimeDirectory();
    gid_t gid = 0;
    if (!ResolveGroup(gid)) {
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
    inherited_ = false;
    path_ = path;
    socketDev_ = st.st_dev;
    socketIno_ = st.st_ino;
    state_ = State::kReady;
    return 0;
  }

  // Closes the listening socket. A socket of our own is removed first (unless another listener
  // replaced it), and the connections still waiting in it are told that nothing of theirs ran.
  // A socket of the service manager's stays, with its waiting connections, for the next broker.
  void ReleaseEndpoint() {
    if (!listen_) {
      return;
    }
    if (!inherited_) {
      struct stat st {};
      if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == socketDev_ && st.st_ino == socketIno_) {
        ::unlink(path_.c_str());
      }
      for (;;) {
        UniqueFd waiting(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!waiting) {
          if (errno == EINTR || errno == ECONNABORTED) {
            continue;
          }
          break;
        }
        SendFaultNow(waiting.get(), rpc::kStatusCallFailedDne);
      }
    }
    listen_.reset();
    lock_.reset();
    if (state_ == State::kReady) {
      state_ = State::kIdle;
    }
  }

  // ---- threads -----------------------------------------------------------------------------

  rpc::RpcStatus StartThreads(unsigned count) {
    RaiseDescriptorLimit();
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
    acceptPaused_.store(false, std::memory_order_relaxed);
    try {
      for (unsigned i = 0; i < count; ++i) {
        threads_.emplace_back([this] { CallThread(); });
      }
      threads_.emplace_back([this] { HousekeepingThread(); });
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

  // Every connection is a descriptor: make room for as many as may be kept open.
  void RaiseDescriptorLimit() const {
    rlimit limit{};
    const rlim_t wanted = static_cast<rlim_t>(maxConnections_) + 256;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted) {
      limit.rlim_cur = std::min(wanted, limit.rlim_max);
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
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
      const auto index = static_cast<std::uint32_t>(ev.data.u64);
      const auto generation = static_cast<std::uint32_t>(ev.data.u64 >> 32);
      Slot& slot = SlotAt(index);
      if (Acquire(slot, generation)) {
        ServeOwned(slot, index, buffers);
      }
    }
  }

  // Counts one event for the connection of `generation` in `slot`; true when the caller now
  // owns the connection (it raised the count from 0). False for an event of a connection that
  // is gone, and when another thread owns it (that thread serves this event too).
  static bool Acquire(Slot& slot, std::uint32_t generation) {
    std::uint64_t s = slot.state.load(std::memory_order_acquire);
    for (;;) {
      if (GenerationOf(s) != generation) {
        return false;
      }
      if (slot.state.compare_exchange_weak(s, s + 1, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
        return (s & kCountMask) == 0;
      }
    }
  }

  // Serves an owned connection until no event is left unaccounted for, then gives it up.
  void ServeOwned(Slot& slot, std::uint32_t index, CallBuffers& buffers) {
    std::uint64_t held = 1;
    for (;;) {
      if (Serve(slot, buffers) == Verdict::kClose) {
        CloseSlot(slot, index, Reason::kPeer, /*locked=*/false);
        return;
      }
      const std::uint64_t count =
          slot.state.fetch_sub(held, std::memory_order_acq_rel) & kCountMask;
      if (count == held) {
        return;  // given up: the next event makes its taker the owner
      }
      held = count - held;
    }
  }

  // Gives up a slot owned by a thread that does not serve calls (the housekeeper, holding the
  // bookkeeping mutex, so the descriptor stays open): events that arrived meanwhile are raised
  // again in the epoll set for a call thread to take.
  void Relinquish(Slot& slot, std::uint32_t index) {
    const std::uint64_t prev =
        slot.state.exchange(std::uint64_t{slot.generation} << 32, std::memory_order_acq_rel);
    if ((prev & kCountMask) > 1) {
      Rearm(slot, index);
    }
  }

  // Asks epoll for the connection's events again; pending readiness raises a new event.
  void Rearm(Slot& slot, std::uint32_t index) {
    epoll_event ev{};
    ev.events = kNormalEvents | (slot.writeArmed ? static_cast<std::uint32_t>(EPOLLOUT) : 0u);
    ev.data.u64 = (std::uint64_t{slot.generation} << 32) | index;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, slot.fd.get(), &ev);
  }

  void HousekeepingThread() {
    for (;;) {
      pollfd stop{stopEvent_.get(), POLLIN, 0};
      const int n = ::poll(&stop, 1, static_cast<int>(kHousekeepingTick.count()));
      if (n > 0 || stopping_.load(std::memory_order_acquire)) {
        return;
      }
      EndExpired();
    }
  }

  // Ends the connections whose deadline has passed, and resumes accepting after a pause.
  void EndExpired() {
    const std::int64_t now = NowNs();
    std::lock_guard lock(connMu_);
    for (std::uint32_t index = 0; index < slotsMade_; ++index) {
      Slot& slot = SlotAt(index);
      if (!slot.inUse) {
        continue;
      }
      const std::int64_t deadline = slot.deadline.load(std::memory_order_relaxed);
      if (deadline == 0 || deadline > now) {
        continue;
      }
      std::uint64_t s = slot.state.load(std::memory_order_acquire);
      if (GenerationOf(s) != slot.generation || (s & kCountMask) != 0 ||
          !slot.state.compare_exchange_strong(s, s + 1, std::memory_order_acq_rel)) {
        continue;  // being served right now: its deadline is renewed or checked next time
      }
      // Owned now; the owner fields are ours to read.
      if (slot.deadline.load(std::memory_order_relaxed) > now) {
        Relinquish(slot, index);
        continue;
      }
      switch (slot.phase.load(std::memory_order_relaxed)) {
        case Phase::kIdle:
          CloseSlot(slot, index, Reason::kIdle, /*locked=*/true);
          break;
        case Phase::kAssembling:
          CloseSlot(slot, index, Reason::kSlowFrame, /*locked=*/true);
          break;
        case Phase::kReplying:
          CloseSlot(slot, index, Reason::kSlowReply, /*locked=*/true);
          break;
      }
    }
    if (acceptPaused_.exchange(false, std::memory_order_relaxed)) {
      ArmListener();
    }
  }

  // ---- connections -------------------------------------------------------------------------

  void ArmListener() {
    if (stopping_.load(std::memory_order_acquire)) {
      return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLONESHOT;
    ev.data.u64 = kListenTag;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, listen_.get(), &ev);
  }

  void AcceptPending() {
    for (;;) {
      UniqueFd fd(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!fd) {
        if (errno == EINTR || errno == ECONNABORTED) {
          continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          // Out of descriptors: leave the connections queued; the housekeeper resumes
          // accepting on its next round, once others may have closed.
          const int error = errno;
          descriptorWarning_.Emit(options_.warn, [error] {
            return std::string("The broker cannot take more connections for now (") +
                   std::strerror(error) + "); they wait in the socket's queue";
          });
          acceptPaused_.store(true, std::memory_order_relaxed);
          return;
        }
        break;
      }
      ucred cred{};
      socklen_t len = sizeof(cred);
      const bool known =
          ::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof(cred);
      Admit(std::move(fd), known ? std::optional<std::int32_t>(cred.pid) : std::nullopt,
            known ? cred.uid : static_cast<uid_t>(-1));
    }
    ArmListener();
  }

  // Takes a new connection into service, or refuses it with the fault 1723 when a limit is
  // reached (logged, rate-limited).
  void Admit(UniqueFd fd, std::optional<std::int32_t> pid, uid_t uid) {
    std::unique_lock lock(connMu_);
    if (openCount_ >= maxConnections_) {
      lock.unlock();
      stats_.refusedTotal.fetch_add(1, std::memory_order_relaxed);
      SendFaultNow(fd.get(), rpc::kStatusServerTooBusy);
      totalWarning_.Emit(options_.warn, [this] {
        return "Connection refused: the broker already has " + std::to_string(maxConnections_) +
               " connections (its limit)";
      });
      return;
    }
    unsigned& perUid = perUid_[uid];
    if (perUid >= maxPerUid_) {
      lock.unlock();
      stats_.refusedPerUid.fetch_add(1, std::memory_order_relaxed);
      SendFaultNow(fd.get(), rpc::kStatusServerTooBusy);
      uidWarning_.Emit(options_.warn, [this, uid] {
        return "Connection refused: uid " + std::to_string(uid) + " already has " +
               std::to_string(maxPerUid_) + " connections to the broker (the limit per user)";
      });
      return;
    }
    std::uint32_t index = 0;
    if (!freeSlots_.empty()) {
      index = freeSlots_.back();
      freeSlots_.pop_back();
    } else {
      if (slotsMade_ % kSlotsPerChunk == 0) {
        chunkStore_.push_back(std::make_unique<Slot[]>(kSlotsPerChunk));
        for (std::size_t i = 0; i < kSlotsPerChunk; ++i) {
          chunkStore_.back()[i].index = static_cast<std::uint32_t>(slotsMade_ + i);
        }
        chunks_[slotsMade_ / kSlotsPerChunk].store(chunkStore_.back().get(),
                                                   std::memory_order_release);
      }
      index = slotsMade_++;
    }
    ++perUid;
    ++openCount_;
    Slot& slot = SlotAt(index);
    slot.fd = std::move(fd);
    slot.peerPid = pid;
    slot.peerUid = uid;
    slot.inUse = true;
    slot.generation = GenerationOf(slot.state.load(std::memory_order_relaxed));
    slot.phase.store(Phase::kIdle, std::memory_order_relaxed);
    slot.deadline.store(NowNs() + Ns(options_.idleTimeout), std::memory_order_relaxed);
    // Published to the thread that takes the first event.
    slot.state.store(std::uint64_t{slot.generation} << 32, std::memory_order_release);
    stats_.accepted.fetch_add(1, std::memory_order_relaxed);
    stats_.open.store(openCount_, std::memory_order_relaxed);
    epoll_event ev{};
    ev.events = kNormalEvents;
    ev.data.u64 = (std::uint64_t{slot.generation} << 32) | index;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, slot.fd.get(), &ev) != 0) {
      // Not served: owned by nobody else yet, so it is closed at once.
      slot.state.store((std::uint64_t{slot.generation} << 32) | 1, std::memory_order_relaxed);
      CloseSlot(slot, index, Reason::kPeer, /*locked=*/true);
    }
  }

  // Closes the connection in an owned slot and frees the slot. `locked`: the caller holds the
  // bookkeeping mutex. The descriptor is closed under the mutex, so the housekeeper, which holds
  // it, can rely on the descriptors of the slots it looks at.
  void CloseSlot(Slot& slot, std::uint32_t index, Reason reason, bool locked) {
    const std::int32_t pid = slot.peerPid.value_or(-1);
    const uid_t uid = slot.peerUid;
    {
      std::unique_lock lock(connMu_, std::defer_lock);
      if (!locked) {
        lock.lock();
      }
      if (reason == Reason::kIdle && !ReplyWaiting(slot)) {
        // The client may send a request at any moment: it learns that it was not run.
        SendFaultNow(slot.fd.get(), rpc::kStatusCallFailedDne);
      }
      if (epoll_) {
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, slot.fd.get(), nullptr);
      }
      slot.fd.reset();
      std::vector<std::uint8_t>().swap(slot.in);
      std::vector<std::uint8_t>().swap(slot.out);
      slot.outDescriptor.reset();
      slot.writeArmed = false;
      slot.deadline.store(0, std::memory_order_relaxed);
      slot.phase.store(Phase::kIdle, std::memory_order_relaxed);
      // Events still on their way for this connection no longer match.
      const std::uint32_t generation = GenerationOf(slot.state.load(std::memory_order_relaxed));
      slot.state.store(std::uint64_t{generation + 1} << 32, std::memory_order_release);
      slot.inUse = false;
      freeSlots_.push_back(index);
      if (const auto it = perUid_.find(uid); it != perUid_.end() && --it->second == 0) {
        perUid_.erase(it);
      }
      --openCount_;
      stats_.open.store(openCount_, std::memory_order_relaxed);
    }
    switch (reason) {
      case Reason::kIdle:
        stats_.closedIdle.fetch_add(1, std::memory_order_relaxed);
        break;
      case Reason::kSlowFrame:
        stats_.closedSlowFrame.fetch_add(1, std::memory_order_relaxed);
        slowFrameWarning_.Emit(options_.warn, [this, pid, uid] {
          return "Connection of process " + std::to_string(pid) + " (uid " + std::to_string(uid) +
                 ") closed: a request did not arrive whole within " +
                 std::to_string(options_.frameTimeout.count()) + " ms";
        });
        break;
      case Reason::kSlowReply:
        stats_.closedSlowReply.fetch_add(1, std::memory_order_relaxed);
        slowReplyWarning_.Emit(options_.warn, [this, pid, uid] {
          return "Connection of process " + std::to_string(pid) + " (uid " + std::to_string(uid) +
                 ") closed: a reply was not taken within " +
                 std::to_string(options_.replyTimeout.count()) + " ms";
        });
        break;
      case Reason::kPeer:
      case Reason::kStop:
        break;
    }
  }

  // After every call thread has left: replies not yet taken get a last, bounded chance; every
  // connection is told that nothing more of it runs (fault 1727) and closed.
  void CloseConnections() {
    std::lock_guard lock(connMu_);
    const auto until = std::chrono::steady_clock::now() + kStopFlushLimit;
    for (std::uint32_t index = 0; index < slotsMade_; ++index) {
      Slot& slot = SlotAt(index);
      if (!slot.inUse) {
        continue;
      }
      bool inStep = true;  // the stream is at a frame boundary on our side
      while (!slot.out.empty() || slot.outDescriptor) {
        if (FlushReply(slot) == Verdict::kClose) {
          inStep = false;
          break;
        }
        if (slot.out.empty() && !slot.outDescriptor) {
          break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd p{slot.fd.get(), POLLOUT, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
          inStep = false;
          break;
        }
      }
      if (inStep) {
        SendFaultNow(slot.fd.get(), rpc::kStatusCallFailedDne);
      }
      slot.state.fetch_add(1, std::memory_order_relaxed);  // owned from here
      CloseSlot(slot, index, Reason::kStop, /*locked=*/true);
    }
  }

  // ---- serving -----------------------------------------------------------------------------

  // Sends what is left of a reply. kKeep when it has gone or still waits for room (then
  // EPOLLOUT is asked for), kClose when the connection failed.
  Verdict FlushReply(Slot& slot) {
    const ssize_t n = SendNow(slot.fd.get(), slot.out.data(), slot.out.size(), slot.outDescriptor);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return Verdict::kClose;
      }
    } else {
      slot.outDescriptor.reset();  // it went with the first byte
      slot.out.erase(slot.out.begin(), slot.out.begin() + n);
    }
    return Verdict::kKeep;
  }

  bool ReplyWaiting(const Slot& slot) const { return !slot.out.empty() || slot.outDescriptor; }

  void SetWriteInterest(Slot& slot, std::uint32_t index, bool wanted) {
    if (slot.writeArmed == wanted) {
      return;
    }
    slot.writeArmed = wanted;
    Rearm(slot, index);
  }

  // Reads what has arrived on an owned connection and runs every complete request in it.
  Verdict Serve(Slot& slot, CallBuffers& b) {
    const std::uint32_t index = slot.index;
    if (ReplyWaiting(slot)) {
      if (FlushReply(slot) == Verdict::kClose) {
        return Verdict::kClose;
      }
      if (ReplyWaiting(slot)) {
        SetWriteInterest(slot, index, true);
        return Verdict::kKeep;
      }
      SetWriteInterest(slot, index, false);
      slot.phase.store(Phase::kIdle, std::memory_order_relaxed);
      // Requests read while the reply waited run now.
      if (!slot.in.empty() && RunBuffered(slot, b) == Verdict::kClose) {
        return Verdict::kClose;
      }
    }
    while (!ReplyWaiting(slot) && !stopping_.load(std::memory_order_acquire)) {
      const ssize_t n = ::recv(slot.fd.get(), b.input.data(), b.input.size(), MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) {
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          break;
        }
        return Verdict::kClose;
      }
      if (n == 0) {
        return Verdict::kClose;  // the client went away; anything half-sent is dropped
      }
      const std::span<const std::uint8_t> data(b.input.data(), static_cast<std::size_t>(n));
      if (slot.in.empty()) {
        if (RunDirect(slot, data, b) == Verdict::kClose) {
          return Verdict::kClose;
        }
      } else {
        slot.in.insert(slot.in.end(), data.begin(), data.end());
        if (RunBuffered(slot, b) == Verdict::kClose) {
          return Verdict::kClose;
        }
      }
      if (static_cast<std::size_t>(n) < b.input.size()) {
        break;  // all that had arrived: anything later raises a new event
      }
    }
    UpdateDeadline(slot);
    return Verdict::kKeep;
  }

  // The deadline that goes with what the connection waits for now.
  void UpdateDeadline(Slot& slot) {
    if (ReplyWaiting(slot)) {
      return;  // set when the reply began to wait
    }
    if (!slot.in.empty()) {
      if (slot.phase.load(std::memory_order_relaxed) != Phase::kAssembling) {
        slot.phase.store(Phase::kAssembling, std::memory_order_relaxed);
        slot.deadline.store(NowNs() + Ns(options_.frameTimeout), std::memory_order_relaxed);
      }
      return;
    }
    slot.phase.store(Phase::kIdle, std::memory_order_relaxed);
    slot.deadline.store(NowNs() + Ns(options_.idleTimeout), std::memory_order_relaxed);
  }

  // Runs the complete frames at the start of `data` (freshly read, nothing buffered before it);
  // what is left over is kept in the slot.
  Verdict RunDirect(Slot& slot, std::span<const std::uint8_t> data, CallBuffers& b) {
    std::size_t used = 0;
    const Verdict v = RunFrames(slot, data, used, b);
    if (v == Verdict::kKeep && used < data.size()) {
      slot.in.assign(data.begin() + static_cast<std::ptrdiff_t>(used), data.end());
    }
    return v;
  }

  // Runs the complete frames buffered in the slot and keeps the rest.
  Verdict RunBuffered(Slot& slot, CallBuffers& b) {
    std::size_t used = 0;
    // The frames are run from a copy: a reply that cannot be sent at once keeps what follows.
    std::vector<std::uint8_t> pending;
    pending.swap(slot.in);
    const Verdict v = RunFrames(slot, pending, used, b);
    if (v == Verdict::kKeep && used < pending.size()) {
      slot.in.assign(pending.begin() + static_cast<std::ptrdiff_t>(used), pending.end());
    }
    return v;
  }

  // Runs complete request frames from `data` in order; `used` is the number of bytes consumed.
  // Stops at an incomplete frame, when a reply has to wait for room, and when stopping.
  Verdict RunFrames(Slot& slot, std::span<const std::uint8_t> data, std::size_t& used,
                    CallBuffers& b) {
    while (data.size() - used >= wire::kHeaderSize) {
      const std::span<const std::uint8_t> rest = data.subspan(used);
      wire::FrameHeader header;
      wire::WireError error = wire::DecodeHeader(rest, header);
      if (error == wire::WireError::kOk && header.kind != wire::FrameKind::kRequest) {
        error = wire::WireError::kBadKind;
      }
      if (error != wire::WireError::kOk) {
        // The stream can no longer be split into frames: answer and close.
        SendFaultNow(slot.fd.get(), wire::StatusFor(error));
        return Verdict::kClose;
      }
      const std::size_t total = wire::kHeaderSize + header.bodyLength;
      if (rest.size() < total || stopping_.load(std::memory_order_acquire)) {
        return Verdict::kKeep;  // the rest of the frame has yet to come, or it is not run
      }
      UniqueFd descriptor = Dispatch(slot, rest.first(total), b);
      used += total;
      slot.phase.store(Phase::kIdle, std::memory_order_relaxed);
      if (SendReply(slot, b.out, std::move(descriptor)) == Verdict::kClose) {
        return Verdict::kClose;
      }
      if (ReplyWaiting(slot)) {
        return Verdict::kKeep;
      }
    }
    return Verdict::kKeep;
  }

  // Sends a reply in one go when the socket takes it; otherwise keeps the rest for later.
  Verdict SendReply(Slot& slot, const std::vector<std::uint8_t>& reply, UniqueFd descriptor) {
    const ssize_t n = SendNow(slot.fd.get(), reply.data(), reply.size(), descriptor);
    if (n == static_cast<ssize_t>(reply.size())) {
      return Verdict::kKeep;  // `descriptor` closes here: the client has its own copy
    }
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        return Verdict::kClose;  // `descriptor` closes here as on every path
      }
      slot.out = reply;
      slot.outDescriptor = std::move(descriptor);
    } else {
      slot.out.assign(reply.begin() + n, reply.end());
    }
    slot.phase.store(Phase::kReplying, std::memory_order_relaxed);
    slot.deadline.store(NowNs() + Ns(options_.replyTimeout), std::memory_order_relaxed);
    SetWriteInterest(slot, slot.index, true);
    return Verdict::kKeep;
  }

  // Runs one request; leaves the reply frame in b.out and returns the descriptor that goes
  // with it (invalid when none).
  UniqueFd Dispatch(const Slot& slot, std::span<const std::uint8_t> frame, CallBuffers& b) {
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
    CallContext context(slot.peerPid);
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
      // A fault code of 0 could not be told from success on the client side; 1727 tells the
      // client that its request never ran, which only the runtime may say.
      fault = e.code() != 0 && e.code() != rpc::kStatusCallFailedDne ? e.code()
                                                                     : rpc::kStatusInternalError;
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

  const UnixRpcServerOptions options_;
  const unsigned maxConnections_;
  const unsigned maxPerUid_;

  std::mutex mu_;  // life cycle only
  State state_ = State::kIdle;
  bool waiting_ = false;
  UniqueFd listen_;
  bool inherited_ = false;  // the socket belongs to the service manager
  UniqueFd lock_;
  UniqueFd epoll_;
  UniqueFd stopEvent_;
  std::string path_;
  dev_t socketDev_ = 0;
  ino_t socketIno_ = 0;
  std::vector<std::thread> threads_;
  std::atomic<rpc::IAuthenticator*> impl_{nullptr};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> acceptPaused_{false};

  // Slots: chunks are made on demand and kept until the runtime is destroyed.
  std::unique_ptr<std::atomic<Slot*>[]> chunks_;
  std::mutex connMu_;  // accepting, closing and housekeeping only
  std::vector<std::unique_ptr<Slot[]>> chunkStore_;
  std::uint32_t slotsMade_ = 0;
  std::vector<std::uint32_t> freeSlots_;
  std::unordered_map<uid_t, unsigned> perUid_;
  unsigned openCount_ = 0;

  struct {
    std::atomic<std::uint64_t> accepted{0}, refusedTotal{0}, refusedPerUid{0}, closedIdle{0},
        closedSlowFrame{0}, closedSlowReply{0}, open{0};
  } stats_;
  Warning totalWarning_, uidWarning_, slowFrameWarning_, slowReplyWarning_, descriptorWarning_,
      socketWarning_;
};

}  // namespace

std::unique_ptr<UnixRpcServerRuntime> CreateUnixRpcServerRuntime(
    const UnixRpcServerOptions& options) {
  return std::make_unique<UnixRpcServer>(options);
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
