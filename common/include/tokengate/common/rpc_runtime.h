// The broker's view of the local RPC runtime, and the call context its procedures may consult.
// Windows implements it over rpcrt4 (ncalrpc); Linux over a Unix domain socket.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tokengate/common/authenticator.h"

namespace tokengate::rpc {

// Status values returned by the runtime operations: 0 for success, otherwise a Windows / RPC
// status code (for example 1715 when the server is not listening).
using RpcStatus = std::int32_t;

class IRpcServerRuntime {
 public:
  virtual ~IRpcServerRuntime() = default;
  // Prepare the endpoint for `protocol` (only "ncalrpc") with at most `maxCalls` queued calls.
  virtual RpcStatus UseProtseqEp(const std::u16string& protocol, unsigned maxCalls,
                                 const std::u16string& endpoint) = 0;
  // Register the implementation that incoming calls are dispatched to. It must outlive the
  // listener.
  virtual RpcStatus RegisterIf(IAuthenticator& implementation) = 0;
  // Start serving: at least `minThreads` call threads, at most `maxCalls` concurrent calls.
  // With `dontWait` the call returns once the listener runs.
  virtual RpcStatus Listen(unsigned minThreads, unsigned maxCalls, bool dontWait) = 0;
  // Ask the listener to stop accepting calls; calls in progress complete.
  virtual RpcStatus StopListening() = 0;
  // Block until the listener has stopped and its calls have completed. Returns 0, or
  // kStatusNotListening when no listener was started.
  virtual RpcStatus WaitServerListen() = 0;
};

// A handle to pass back to the caller of the call in progress, owned until it is handed over.
// On Linux this is a file descriptor travelling with the reply; on Windows a HANDLE duplicated
// into the caller's process.
class ICallContext {
 public:
  virtual ~ICallContext() = default;
  // Process id of the caller as the transport authenticated it, when the transport knows it.
  virtual std::optional<std::int32_t> CallerProcessId() const = 0;
};

// The context of the call being served on this thread, or nullptr outside a call.
const ICallContext* CurrentCallContext();

}  // namespace tokengate::rpc
