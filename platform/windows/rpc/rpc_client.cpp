// IAuthenticator's client side over the generated stub and its interface-wide binding handle.
//
// The binding is authenticated both ways before anything travels: the runtime must prove that the
// process serving the endpoint runs as LocalSystem, the broker service's account, and the broker
// learns who calls it. Any local process may register the endpoint's name while the service is
// down; without this check it would receive every user's token and could answer with any headers.
#include <rpc.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "authenticator.h"
#include "client_guard.h"
#include "tokengate/platform/windows_rpc.h"

namespace tokengate::platform {
namespace {

// The stub has one binding handle for the whole process; one client owns it at a time.
std::atomic<bool> gBound{false};

// The stub wants non-const pointers for inputs it only reads, and a real pointer even for an
// empty array.
wchar_t* In(const char16_t* units) {
  static wchar_t empty = L'\0';
  return units == nullptr ? &empty : const_cast<wchar_t*>(reinterpret_cast<const wchar_t*>(units));
}
wchar_t* Out(char16_t* units) {
  return reinterpret_cast<wchar_t*>(units);
}

class RpcAuthenticatorClient final : public rpc::IAuthenticator {
 public:
  RpcAuthenticatorClient() = default;
  ~RpcAuthenticatorClient() override {
    RpcBindingFree(&IAuthenticator_Binding);
    gBound.store(false);
  }
  RpcAuthenticatorClient(const RpcAuthenticatorClient&) = delete;
  RpcAuthenticatorClient& operator=(const RpcAuthenticatorClient&) = delete;

  std::intptr_t GetHeaderString(std::int32_t configLength, const char16_t* config,
                                std::int32_t tokenLength, const char16_t* token,
                                std::int32_t prefixLength, const char16_t* prefix,
                                std::int32_t updateWindow, std::int32_t* updatedLength,
                                char16_t* updated, std::int32_t* headerLength, char16_t* header,
                                std::int32_t* listLength, char16_t* list) override {
    static_assert(sizeof(long) == sizeof(std::int32_t));
    intptr_t result = rpc::kResultFailure;
    const unsigned long code = TgGuardedGetHeaderString(
        configLength, In(config), tokenLength, In(token), prefixLength, In(prefix), updateWindow,
        reinterpret_cast<long*>(updatedLength), Out(updated), reinterpret_cast<long*>(headerLength),
        Out(header), reinterpret_cast<long*>(listLength), Out(list), &result);
    if (code != 0)
      throw rpc::RpcException(code);
    return result;
  }

  std::intptr_t GetHeaderStringWithIWA(std::int32_t configLength, const char16_t* config,
                                       std::int32_t tokenLength, const char16_t* token,
                                       std::int32_t prefixLength, const char16_t* prefix,
                                       std::int32_t updateWindow, std::int32_t childProcessId,
                                       std::int32_t* updatedLength, char16_t* updated,
                                       std::int32_t* headerLength, char16_t* header,
                                       std::int32_t* listLength, char16_t* list) override {
    intptr_t result = rpc::kResultFailure;
    const unsigned long code = TgGuardedGetHeaderStringWithIWA(
        configLength, In(config), tokenLength, In(token), prefixLength, In(prefix), updateWindow,
        childProcessId, reinterpret_cast<long*>(updatedLength), Out(updated),
        reinterpret_cast<long*>(headerLength), Out(header), reinterpret_cast<long*>(listLength),
        Out(list), &result);
    if (code != 0)
      throw rpc::RpcException(code);
    return result;
  }
};

// Sets mutual authentication on `binding`: NTLM over the local transport at the privacy level,
// the server's identity pinned to LocalSystem's SID (over ncalrpc the runtime compares it with the
// account of the process that owns the endpoint), the caller's identity fixed when the binding is
// first used (the worker process account) and only offered for identification, never for
// impersonation.
RPC_STATUS RequireBrokerIdentity(RPC_BINDING_HANDLE binding) {
  // Kept for the life of the process: the runtime is not documented to copy the SID the QoS
  // points to. Only one binding exists at a time (gBound), so only one writer.
  static BYTE sid[SECURITY_MAX_SID_SIZE] = {};
  DWORD sidSize = sizeof sid;
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, sid, &sidSize))
    return static_cast<RPC_STATUS>(GetLastError());
  RPC_SECURITY_QOS_V3_W qos{};
  qos.Version = RPC_C_SECURITY_QOS_VERSION_3;
  qos.Capabilities = RPC_C_QOS_CAPABILITIES_MUTUAL_AUTH;
  qos.IdentityTracking = RPC_C_QOS_IDENTITY_STATIC;
  qos.ImpersonationType = RPC_C_IMP_LEVEL_IDENTIFY;
  qos.Sid = sid;
  return RpcBindingSetAuthInfoExW(binding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                  RPC_C_AUTHN_WINNT, nullptr, RPC_C_AUTHZ_NONE,
                                  reinterpret_cast<RPC_SECURITY_QOS*>(&qos));
}

}  // namespace

std::unique_ptr<rpc::IAuthenticator> BindAuthenticator(std::u16string_view stringBinding,
                                                       rpc::RpcStatus& status) {
  if (gBound.exchange(true)) {
    status = static_cast<rpc::RpcStatus>(RPC_S_ALREADY_REGISTERED);
    return nullptr;
  }
  std::wstring binding(stringBinding.begin(), stringBinding.end());
  const RPC_STATUS made = RpcBindingFromStringBindingW(reinterpret_cast<RPC_WSTR>(binding.data()),
                                                       &IAuthenticator_Binding);
  status = static_cast<rpc::RpcStatus>(made);
  if (made != RPC_S_OK) {
    gBound.store(false);
    return nullptr;
  }
  // A binding whose server cannot be authenticated is no binding: every call then fails as if the
  // broker were not running, and no token is ever sent.
  const RPC_STATUS secured = RequireBrokerIdentity(IAuthenticator_Binding);
  if (secured != RPC_S_OK) {
    RpcBindingFree(&IAuthenticator_Binding);
    gBound.store(false);
    status = static_cast<rpc::RpcStatus>(secured);
    return nullptr;
  }
  try {
    return std::make_unique<RpcAuthenticatorClient>();
  } catch (...) {
    RpcBindingFree(&IAuthenticator_Binding);
    gBound.store(false);
    status = static_cast<rpc::RpcStatus>(rpc::kStatusOutOfMemory);
    return nullptr;
  }
}

}  // namespace tokengate::platform
