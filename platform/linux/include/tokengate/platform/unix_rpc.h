// The broker interface over a Unix stream socket: the server runtime LogonBroker listens with,
// and the client binding TokenGate calls through. Framing in tokengate/common/wire.h; status
// codes and behaviour in docs/rpc-transport.md.
#pragma once

#include <chrono>
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
inline constexpr char kDefaultRuntimeDir[] = "/run/TarvexWebAgent/";

// The socket directory: $TOKENGATE_RUNTIME_DIR when set and not empty, else the default; always
// ends in "/".
std::string RuntimeDirectory();

// An endpoint name usable as a socket file name: 1 to 100 characters of A-Z, a-z, 0-9, "_",
// "-" and ".", not starting with ".".
bool IsValidEndpointName(std::u16string_view endpoint);

// Path of the socket that stands for `endpoint`: RuntimeDirectory() followed by the endpoint.
std::string BrokerSocketPath(std::u16string_view endpoint);

// A server runtime over a Unix stream socket.
// - UseProtseqEp creates the runtime directory if missing (0750) and the socket
//   <runtime dir>/<endpoint> with mode 0660, group $TOKENGATE_SOCKET_GROUP (default: the
//   process's group). A stale socket file is replaced; a live listener gives 1740.
// - Listen starts max(1, maxCalls) call threads (at most 256); at most that many calls run at
//   once, each connection may carry many calls in sequence.
// - StopListening stops taking calls; calls in progress complete. WaitServerListen joins the call
//   threads, removes the socket and returns 0; 1715 when not listening, 1713 while another thread
//   is already waiting.
std::unique_ptr<rpc::IRpcServerRuntime> CreateUnixRpcServerRuntime();

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
