// IAuthenticator's server side: the generated server stub calls the two procedures below, which
// forward to the registered implementation; the runtime operations map onto rpcrt4.
//
// The interface admits authenticated local calls only: the runtime refuses unauthenticated and
// remote callers, and every call is checked once more for its authentication before it runs.
// Registering NTLM is what lets the runtime accept the gate's authenticated binding, which in turn
// requires this process to run as LocalSystem.
#include <rpc.h>
#include <windows.h>

#include <atomic>
#include <string>

#include "authenticator.h"
#include "tokengate/platform/windows_rpc.h"

namespace tokengate::platform {
namespace {

std::atomic<rpc::IAuthenticator*> gImplementation{nullptr};

// A call is admitted when it comes over NTLM with integrity or privacy protection.
bool Authenticated(RPC_BINDING_HANDLE call) noexcept {
  unsigned long level = 0, service = 0;
  if (RpcBindingInqAuthClientW(call, nullptr, nullptr, &level, &service, nullptr) != RPC_S_OK)
    return false;
  return level >= RPC_C_AUTHN_LEVEL_PKT_INTEGRITY && service == RPC_C_AUTHN_WINNT;
}

// The interface's security callback: the runtime calls it before a call reaches the stub (and may
// keep its answer for the client's security context).
RPC_STATUS RPC_ENTRY AdmitCall(RPC_IF_HANDLE, void* context) {
  return Authenticated(static_cast<RPC_BINDING_HANDLE>(context)) ? RPC_S_OK : RPC_S_ACCESS_DENIED;
}

class RpcCallContext final : public rpc::ICallContext {
 public:
  std::optional<std::int32_t> CallerProcessId() const override {
    unsigned long pid = 0;
    if (I_RpcBindingInqLocalClientPID(nullptr, &pid) != RPC_S_OK)
      return std::nullopt;
    return static_cast<std::int32_t>(pid);
  }
};

thread_local const rpc::ICallContext* tCurrentCall = nullptr;

class CallScope {
 public:
  explicit CallScope(const rpc::ICallContext& call) { tCurrentCall = &call; }
  ~CallScope() { tCurrentCall = nullptr; }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// Runs one procedure with every C++ object confined to this frame. A fault comes back through
// `fault`; the caller raises it once nothing is left to destroy, because the structured exception
// would not run destructors of g++ frames.
template <typename Call>
std::intptr_t Dispatch(Call&& call, unsigned long& fault) noexcept {
  fault = 0;
  rpc::IAuthenticator* impl = gImplementation.load();
  if (impl == nullptr) {
    fault = RPC_S_UNKNOWN_IF;
    return rpc::kResultFailure;
  }
  // The security callback has admitted the connection; the call itself is checked as well, so
  // that no runtime path can reach the implementation unauthenticated.
  if (!Authenticated(nullptr)) {
    fault = RPC_S_ACCESS_DENIED;
    return rpc::kResultFailure;
  }
  try {
    const RpcCallContext context;
    const CallScope scope(context);
    return call(*impl);
  } catch (const rpc::RpcException& e) {
    fault = e.code();
  } catch (...) {
    fault = RPC_S_INTERNAL_ERROR;
  }
  return rpc::kResultFailure;
}

const char16_t* In(const wchar_t* units) {
  return reinterpret_cast<const char16_t*>(units);
}
char16_t* Out(wchar_t* units) {
  return reinterpret_cast<char16_t*>(units);
}
std::int32_t* Len(long* length) {
  static_assert(sizeof(long) == sizeof(std::int32_t));
  return reinterpret_cast<std::int32_t*>(length);
}

// The largest request the interface accepts on transports that honour the limit: the inputs are
// a path, a token and a prefix, far below this.
constexpr unsigned kMaxRequestBytes = 1u << 20;

class WindowsRpcServerRuntime final : public rpc::IRpcServerRuntime {
 public:
  ~WindowsRpcServerRuntime() override {
    if (registered_)
      RpcServerUnregisterIf(IAuthenticator_v1_0_s_ifspec, nullptr, TRUE);
    gImplementation.store(nullptr);
  }

  rpc::RpcStatus UseProtseqEp(const std::u16string& protocol, unsigned maxCalls,
                              const std::u16string& endpoint) override {
    std::wstring p(protocol.begin(), protocol.end());
    std::wstring e(endpoint.begin(), endpoint.end());
    return static_cast<rpc::RpcStatus>(
        RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(p.data()), maxCalls,
                               reinterpret_cast<RPC_WSTR>(e.data()), nullptr));
  }
  rpc::RpcStatus RegisterIf(rpc::IAuthenticator& implementation) override {
    // Without NTLM registered the runtime could neither authenticate callers nor prove this
    // process to the gate: the interface is not registered then.
    const RPC_STATUS auth =
        RpcServerRegisterAuthInfoW(nullptr, RPC_C_AUTHN_WINNT, nullptr, nullptr);
    if (auth != RPC_S_OK)
      return static_cast<rpc::RpcStatus>(auth);
    gImplementation.store(&implementation);
    const RPC_STATUS status =
        RpcServerRegisterIf2(IAuthenticator_v1_0_s_ifspec, nullptr, nullptr,
                             RPC_IF_ALLOW_SECURE_ONLY | RPC_IF_ALLOW_LOCAL_ONLY,
                             RPC_C_LISTEN_MAX_CALLS_DEFAULT, kMaxRequestBytes, &AdmitCall);
    registered_ = registered_ || status == RPC_S_OK;
    return static_cast<rpc::RpcStatus>(status);
  }
  rpc::RpcStatus Listen(unsigned minThreads, unsigned maxCalls, bool dontWait) override {
    return static_cast<rpc::RpcStatus>(RpcServerListen(minThreads, maxCalls, dontWait ? 1 : 0));
  }
  rpc::RpcStatus StopListening() override {
    return static_cast<rpc::RpcStatus>(RpcMgmtStopServerListening(nullptr));
  }
  rpc::RpcStatus WaitServerListen() override {
    return static_cast<rpc::RpcStatus>(RpcMgmtWaitServerListen());
  }

 private:
  bool registered_ = false;
};

}  // namespace

std::unique_ptr<rpc::IRpcServerRuntime> CreateWindowsRpcServerRuntime() {
  return std::make_unique<WindowsRpcServerRuntime>();
}

}  // namespace tokengate::platform

namespace tokengate::rpc {
const ICallContext* CurrentCallContext() {
  return platform::tCurrentCall;
}
}  // namespace tokengate::rpc

// The procedures the server stub calls.
extern "C" AUTHENTICATOR_RESULT __cdecl GetHeaderString(
    long TesseraConfig_Length, wchar_t* TesseraConfig, long Tessera_Length, wchar_t* Tessera,
    long AuthnPrefix_Length, wchar_t* AuthnPrefix, long TokenUpdateWindow,
    long* pUpdatedToken_Length, wchar_t pUpdatedToken[5000], long* pHeader_Length,
    wchar_t pHeader[10000], long* pAttributeList_Length, wchar_t pAttributeList[10000]) {
  using namespace tokengate::platform;
  unsigned long fault = 0;
  const std::intptr_t result = Dispatch(
      [&](tokengate::rpc::IAuthenticator& impl) {
        return impl.GetHeaderString(TesseraConfig_Length, In(TesseraConfig), Tessera_Length,
                                    In(Tessera), AuthnPrefix_Length, In(AuthnPrefix),
                                    TokenUpdateWindow, Len(pUpdatedToken_Length),
                                    Out(pUpdatedToken), Len(pHeader_Length), Out(pHeader),
                                    Len(pAttributeList_Length), Out(pAttributeList));
      },
      fault);
  if (fault != 0)
    RpcRaiseException(static_cast<RPC_STATUS>(fault));
  return result;
}

extern "C" AUTHENTICATOR_RESULT __cdecl GetHeaderStringWithIWA(
    long TesseraConfig_Length, wchar_t* TesseraConfig, long Tessera_Length, wchar_t* Tessera,
    long AuthnPrefix_Length, wchar_t* AuthnPrefix, long TokenUpdateWindow, long ChildProcessID,
    long* pUpdatedToken_Length, wchar_t pUpdatedToken[5000], long* pHeader_Length,
    wchar_t pHeader[10000], long* pAttributeList_Length, wchar_t pAttributeList[10000]) {
  using namespace tokengate::platform;
  unsigned long fault = 0;
  const std::intptr_t result = Dispatch(
      [&](tokengate::rpc::IAuthenticator& impl) {
        return impl.GetHeaderStringWithIWA(
            TesseraConfig_Length, In(TesseraConfig), Tessera_Length, In(Tessera),
            AuthnPrefix_Length, In(AuthnPrefix), TokenUpdateWindow, ChildProcessID,
            Len(pUpdatedToken_Length), Out(pUpdatedToken), Len(pHeader_Length), Out(pHeader),
            Len(pAttributeList_Length), Out(pAttributeList));
      },
      fault);
  if (fault != 0)
    RpcRaiseException(static_cast<RPC_STATUS>(fault));
  return result;
}
