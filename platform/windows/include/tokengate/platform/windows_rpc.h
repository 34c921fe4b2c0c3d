// IAuthenticator over local RPC (ncalrpc) with stubs generated from the interface definition.
#pragma once

#include <memory>
#include <string_view>

#include "tokengate/common/authenticator.h"
#include "tokengate/common/rpc_runtime.h"

namespace tokengate::platform {

// Client side: binds the interface's binding handle to `stringBinding` (for example
// "ncalrpc:[TarvexWebLogonBroker]") with mutual authentication: the server must run as
// LocalSystem. Null with `status` set when the binding cannot be made or cannot be authenticated
// (for example when no authentication package is available); no call is possible then.
// Faults and transport failures of a call throw rpc::RpcException with their code.
std::unique_ptr<rpc::IAuthenticator> BindAuthenticator(std::u16string_view stringBinding,
                                                       rpc::RpcStatus& status);

// Server side: the RPC runtime of the process, dispatching IAuthenticator calls to the
// registered implementation. One per process.
std::unique_ptr<rpc::IRpcServerRuntime> CreateWindowsRpcServerRuntime();

}  // namespace tokengate::platform
