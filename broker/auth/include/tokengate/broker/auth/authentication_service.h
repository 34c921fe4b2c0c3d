// LogonBroker's service object: the names it runs under, the security-authority set-up and stop,
// and the two IAuthenticator procedures that decode a token and, for IWA, log its subject on and
// hand the resulting credential to the caller's process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tokengate/broker/auth/logon.h"
#include "tokengate/broker/service/rpc_service_base.h"
#include "tokengate/common/authenticator.h"

namespace tokengate::broker {

inline constexpr char16_t kServiceName[] = u"TarvexWebAgent";
inline constexpr char16_t kServiceReadableName[] = u"Corvane Web Agent Authentication Service";
inline constexpr char16_t kServiceDescription[] =
    u"This service performs authentication based on the cookie value sent from the Corvane "
    u"server.";

// RPC exception for a null output pointer reaching a procedure.
inline constexpr std::uint32_t kFaultNullRefPointer = 1780;

// Decodes a token into the procedure outputs; the codec wrapper's ReadToken in production.
// Returns an empty text on success, otherwise the failure's message; `warn` receives warnings.
using TokenReader = std::function<std::u16string(
    const std::u16string& config, const std::u16string& token, const std::u16string& prefix,
    std::int32_t tokenUpdateWindow, std::u16string& userId, std::u16string& realm,
    std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
    char16_t* pHeader, std::int32_t* pAttributeList_Length, char16_t* pAttributeList, bool& expired,
    const std::function<void(std::u16string_view)>& warn)>;

// The production reader: one CTesseraAgentWrapper per call.
TokenReader CodecTokenReader();

class AuthenticationService final : public RpcServiceBase, public rpc::IAuthenticator {
 public:
  AuthenticationService(IServicePlatform& platform, rpc::IRpcServerRuntime& runtime,
                        std::unique_ptr<IS4ULogonProvider> logonProvider,
                        std::unique_ptr<IHandleTransfer> handleTransfer,
                        TokenReader reader = CodecTokenReader());
  ~AuthenticationService() override;

  std::u16string ServiceName() const override { return serviceName_; }
  std::u16string ServiceReadableName() const override { return readableName_; }
  std::u16string ServiceDescription() const override { return description_; }
  std::u16string ServiceProtocol() const override { return rpc::kProtocol; }
  std::u16string ServiceEndpoint() const override { return rpc::kEndpoint; }
  rpc::IAuthenticator& ServiceRpcInterfaceSpec() override { return *this; }
  // RPC set-up, then the security-authority connection.
  std::int32_t ServiceSetup() override;
  // Ends the security-authority connection; 0, or 0x8000FFFF when that fails.
  std::int32_t ServiceStop() override;

  // Dispatch routines: owned copies of the (length, units) inputs, then the methods below.
  std::intptr_t GetHeaderString(std::int32_t TesseraConfig_Length, const char16_t* TesseraConfig,
                                std::int32_t Tessera_Length, const char16_t* Tessera,
                                std::int32_t AuthnPrefix_Length, const char16_t* AuthnPrefix,
                                std::int32_t TokenUpdateWindow, std::int32_t* pUpdatedToken_Length,
                                char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
                                char16_t* pHeader, std::int32_t* pAttributeList_Length,
                                char16_t* pAttributeList) override;
  std::intptr_t GetHeaderStringWithIWA(
      std::int32_t TesseraConfig_Length, const char16_t* TesseraConfig, std::int32_t Tessera_Length,
      const char16_t* Tessera, std::int32_t AuthnPrefix_Length, const char16_t* AuthnPrefix,
      std::int32_t TokenUpdateWindow, std::int32_t ChildProcessID,
      std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
      char16_t* pHeader, std::int32_t* pAttributeList_Length, char16_t* pAttributeList) override;

  // The procedures proper. Return 0 / a handle value, or -1; faults are thrown as
  // rpc::RpcException.
  std::intptr_t GetHeaderString(const std::u16string& TesseraConfig, const std::u16string& Tessera,
                                const std::u16string& AuthnPrefix, std::int32_t TokenUpdateWindow,
                                std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken,
                                std::int32_t* pHeader_Length, char16_t* pHeader,
                                std::int32_t* pAttributeList_Length, char16_t* pAttributeList);
  std::intptr_t GetHeaderStringWithIWA(const std::u16string& TesseraConfig,
                                       const std::u16string& Tessera,
                                       const std::u16string& AuthnPrefix,
                                       std::int32_t TokenUpdateWindow, std::int32_t ChildProcessID,
                                       std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken,
                                       std::int32_t* pHeader_Length, char16_t* pHeader,
                                       std::int32_t* pAttributeList_Length,
                                       char16_t* pAttributeList);

  // Logs `userUpn` on without a password; the credential, or none (the reason is logged).
  OwnedCredential S4ULogon(const std::u16string& userUpn, const std::u16string& realmName);

  bool LogonConnected() const noexcept { return connected_.load(std::memory_order_acquire); }

 private:
  std::intptr_t Decode(const std::u16string& config, const std::u16string& token,
                       const std::u16string& prefix, std::int32_t window, std::u16string& userId,
                       std::u16string& realm, std::int32_t* pUpdatedToken_Length,
                       char16_t* pUpdatedToken, std::int32_t* pHeader_Length, char16_t* pHeader,
                       std::int32_t* pAttributeList_Length, char16_t* pAttributeList);

  const std::u16string serviceName_ = kServiceName;
  const std::u16string readableName_ = kServiceReadableName;
  const std::u16string description_ = kServiceDescription;
  std::unique_ptr<IS4ULogonProvider> logonProvider_;
  std::unique_ptr<IHandleTransfer> handleTransfer_;
  TokenReader reader_;
  // Written by set-up and stop on the service thread while call threads may read them: the
  // package id is stored before `connected_` is released, and read after it is acquired.
  std::atomic<bool> registered_{false};
  std::atomic<bool> connected_{false};
  std::atomic<std::uint32_t> packageId_{0xFFFFFFFFu};
};

}  // namespace tokengate::broker
