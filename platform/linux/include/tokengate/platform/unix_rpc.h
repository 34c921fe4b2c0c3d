// The broker interface over a Unix stream socket: the server runtime LogonBroker listens with,
// and the client binding TokenGate calls through. Framing in tokengate/common/wire.h; status
// codes and behaviour in docs/rpc-transport.md.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tokengate/common/authenticator.h"
#include "tokengate/common/rpc_runtime.h"
#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform {

// Environment variables read by both sides.
inline constexpr char kRuntimeDirEnv[] = "TOKENGATE_RUNTIME_DIR";    // socket directory
inline constexpr char kSocketGroupEnv[] = "TOKENGATE_SOCKET_GROUP";  // group name or number
// Read by the client: a user (name or number) besides root that may serve the broker's socket.
inline constexpr char kBrokerUidEnv[] = "TOKENGATE_BROKER_UID";
inline constexpr char kDefaultRuntimeDir[] = "/run/TarvexWebAgent/";

// The socket directory: $TOKENGATE_RUNTIME_DIR when set and not empty, else the default; always
// ends in "/".
std::string RuntimeDirectory();

// An endpoint name usable as a socket file name: 1 to 100 characters of A-Z, a-z, 0-9, "_",
// "-" and ".", not starting with ".".
bool IsValidEndpointName(std::u16string_view endpoint);

// Path of the socket that stands for `endpoint`: RuntimeDirectory() followed by the endpoint.
std::string BrokerSocketPath(std::u16string_view endpoint);

// Bounds of the server runtime (docs/rpc-transport.md explains each one).
struct UnixRpcServerOptions {
  // A request frame must arrive whole within this time from its first byte.
  std::chrono::milliseconds frameTimeout{5000};
  // A connection with no request in progress and no reply waiting is closed after this time.
  std::chrono::milliseconds idleTimeout{60000};
  // A reply the socket could not take at once must be taken by the client within this time.
  std::chrono::milliseconds replyTimeout{10000};
  // Connections kept open at once, in all and per peer user id.
  unsigned maxConnections = 8192;
  unsigned maxConnectionsPerUid = 4096;
  // Receives a warning when a limit refuses or ends a connection (rate-limited; called from the
  // runtime's threads). May be empty.
  std::function<void(std::u16string_view message)> warn;
};

// What the server runtime has done since it was created; for diagnostics and tests.
struct UnixRpcServerStatistics {
  std::uint64_t accepted = 0;         // connections taken into service
  std::uint64_t refusedTotal = 0;     // refused: maxConnections reached
  std::uint64_t refusedPerUid = 0;    // refused: maxConnectionsPerUid reached
  std::uint64_t closedIdle = 0;       // closed after idleTimeout
  std::uint64_t closedSlowFrame = 0;  // closed: a frame did not complete within frameTimeout
  std::uint64_t closedSlowReply = 0;  // closed: a reply was not taken within replyTimeout
  std::uint64_t open = 0;             // connections open now
};

class UnixRpcServerRuntime : public rpc::IRpcServerRuntime {
 public:
  virtual UnixRpcServerStatistics Statistics() const = 0;
};

// A server runtime over a Unix stream socket.
// - UseProtseqEp takes the socket from the service manager when the process was started with
//   one for <runtime dir>/<endpoint> ($LISTEN_PID, $LISTEN_FDS); otherwise it creates the
//   runtime directory if missing (0750) and the socket with mode 0660, group
//   $TOKENGATE_SOCKET_GROUP (default: the process's group). A stale socket file is replaced; a
//   live listener gives 1740.
// - Listen starts max(1, maxCalls) call threads (at most 256); at most that many calls run at
//   once, each connection may carry many calls in sequence. A call thread never waits for a
//   client: a request is run once it has arrived whole.
// - StopListening stops taking calls; calls in progress complete and their replies are sent.
//   WaitServerListen joins the call threads, tells every open connection that its next request
//   was not run (fault 1727) and closes it, removes the socket (unless the service manager owns
//   it) and returns 0; 1715 when not listening, 1713 while another thread is already waiting.
std::unique_ptr<UnixRpcServerRuntime> CreateUnixRpcServerRuntime(
    const UnixRpcServerOptions& options = {});

// Called by a procedure during a call: hands `fd` to the server runtime, which sends it to the
// caller with the call's reply. It travels only with a successful reply (result other than -1)
// of GetHeaderStringWithIWA; the runtime closes its own copy in every case (sent, fault, -1
// result, failed send). Returns false (and closes `fd`) outside a call or when a descriptor is
// already attached to this call.
bool AttachReplyDescriptor(UniqueFd fd);

struct BrokerClientOptions {
  // Longest time a call may wait for the broker (connect, send, and reply together).
  std::chrono::milliseconds callTimeout{30000};
  // Idle connections kept for reuse (1..64).
  unsigned poolSize = 8;
  // How long a call keeps trying to connect while the socket is missing or refuses (a broker
  // being restarted), within callTimeout.
  std::chrono::milliseconds connectRetry{2000};
  // Receives the reason when a call is refused for something its status code cannot say (the
  // socket is served by a user other than the broker's). Called on the calling thread; may be
  // empty.
  std::function<void(std::u16string_view message)> reportError;
};

// Client binding to the broker. `stringBinding` is "ncalrpc:[<endpoint>]"; a malformed binding
// gives nullptr and *status = 1700 (1703 for another protocol sequence). Nothing is connected
// here: each call connects lazily or reuses a pooled connection. Calls are safe from many threads
// at once. Transport failures throw rpc::RpcException with an RPC status code. For
// GetHeaderStringWithIWA the result is a descriptor in this process that the caller owns and
// closes, or 0 when the broker reported success without sending one.
std::unique_ptr<rpc::IAuthenticator> BindToBroker(std::u16string_view stringBinding,
                                                  rpc::RpcStatus* status,
                                                  const BrokerClientOptions& options = {});

}  // namespace tokengate::platform
