#include "tokengate/broker/auth/authentication_service.h"

#include <new>
#include <string>
#include <utility>

#include "tokengate/broker/codec/tessera_agent_wrapper.h"
#include "tokengate/common/text.h"

namespace tokengate::broker {
namespace {

constexpr std::int32_t kHresultUnexpected = static_cast<std::int32_t>(0x8000FFFF);
constexpr std::int32_t kHresultAccessDenied = static_cast<std::int32_t>(0x80070005);
constexpr std::int32_t kHresultNoInterface = static_cast<std::int32_t>(0x80004002);
constexpr std::int32_t kHresultOutOfMemory = static_cast<std::int32_t>(0x8007000E);
constexpr std::uint32_t kInvalidPackageId = 0xFFFFFFFFu;
// What a logon on a connection that is not (or no longer) registered yields.
constexpr std::int32_t kStatusInvalidHandle = static_cast<std::int32_t>(0xC0000008);
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::int32_t kStatusInternalError = static_cast<std::int32_t>(0xC00000E5);
constexpr std::uint32_t kErrorInternalError = 1359;
// Lengths in the logon block travel in 16-bit byte counts.
constexpr std::size_t kMaxLogonNameUnits = 32766;

std::u16string Dec(std::int64_t value) {
  return text::Utf8ToUtf16(std::to_string(value));
}

// An owned copy of exactly `length` units (none for a negative length or a missing array), used
// up to its first NUL.
std::u16string OwnedInput(std::int32_t length, const char16_t* units) {
  if (length <= 0 || units == nullptr)
    return {};
  std::u16string copy(units, static_cast<std::size_t>(length));
  const auto nul = copy.find(u'\0');
  if (nul != std::u16string::npos)
    copy.resize(nul);
  return copy;
}

bool AnyNull(const void* a, const void* b, const void* c, const void* d, const void* e,
             const void* f) {
  return a == nullptr || b == nullptr || c == nullptr || d == nullptr || e == nullptr ||
         f == nullptr;
}

// The message of a failed logon, by status and sub-status; tested in this order.
std::u16string LogonFailureMessage(std::int32_t status, std::int32_t subStatus,
                                   std::uint32_t winError) {
  const std::u16string general = u"LsaLogonUser call failed (" + Dec(status) + u") (ErrorCode=" +
                                 Dec(static_cast<std::int32_t>(winError)) + u")";
  switch (status) {
    case kStatusQuotaExceeded:
      return u"The caller's memory quota is insufficient to allocate the output buffer returned "
             u"by the authentication package.";
    case kStatusAccountRestriction:
      switch (subStatus) {
        case kStatusInvalidLogonHours:
          return u"The user account has time restrictions and cannot be used to log on at this "
                 u"time.";
        case kStatusInvalidWorkstation:
          return u"The user account has workstation restrictions and cannot be used to log on "
                 u"from the current workstation.";
        case kStatusPasswordExpired:
          return u"The user-account password has expired.";
        case kStatusAccountDisabled:
          return u"The user account is currently disabled and cannot be used to log on.";
        default:
          return general;
      }
    case kStatusBadValidationClass:
      return u"The authentication information provided is not recognized by the authentication "
             u"package.";
    case kStatusLogonFailure:
      return u"The logon attempt failed. The reason for the failure is not specified, but "
             u"typical reasons include misspelled user names and misspelled passwords.";
    case kStatusNoLogonServers:
      return u"No domain controllers are available to service the authentication request.";
    case kStatusNoSuchPackage:
      return u"The specified authentication package is not recognized by the LSA.";
    default:
      return general;
  }
}

}  // namespace

TokenReader CodecTokenReader() {
  return
      [](const std::u16string& config, const std::u16string& token, const std::u16string& prefix,
         std::int32_t window, std::u16string& userId, std::u16string& realm,
         std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
         char16_t* pHeader, std::int32_t* pAttributeList_Length, char16_t* pAttributeList,
         bool& expired, const std::function<void(std::u16string_view)>& warn) {
        CTesseraAgentWrapper wrapper;
        return wrapper.ReadToken(config, token, prefix, window, userId, realm, pUpdatedToken_Length,
                                 pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length,
                                 pAttributeList, expired, warn);
      };
}

AuthenticationService::AuthenticationService(IServicePlatform& platform,
                                             rpc::IRpcServerRuntime& runtime,
                                             std::unique_ptr<IS4ULogonProvider> logonProvider,
                                             std::unique_ptr<IHandleTransfer> handleTransfer,
                                             TokenReader reader)
    : RpcServiceBase(platform, runtime),
      logonProvider_(std::move(logonProvider)),
      handleTransfer_(std::move(handleTransfer)),
      reader_(std::move(reader)) {}

AuthenticationService::~AuthenticationService() = default;

std::int32_t AuthenticationService::ServiceSetup() {
  const std::int32_t base = RpcServiceBase::ServiceSetup();
  if (base < 0)
    return base;

  // The privilege is held only for the registration below.
  std::unique_ptr<IPrivilegeHold> privilege;
  const std::int32_t hr = logonProvider_->EnablePrivilege(privilege);
  if (hr < 0) {
    LogEvent(EventType::Error,
             u"Unable to get TCB privilege. Verify service is running as LOCAL_SYSTEM or a user "
             u"with 'Acts as part of operating system' privilege. Error code " +
                 Dec(hr));
    return hr;
  }

  const std::int32_t registerStatus =
      logonProvider_->RegisterLogonProcess(text::ToAnsi(readableName_));
  if (registerStatus < 0) {
    LogEvent(EventType::Error, u"LsaRegisterLogonProcess failed: " + Dec(registerStatus));
    return kHresultAccessDenied;
  }
  registered_.store(true, std::memory_order_release);

  std::uint32_t packageId = kInvalidPackageId;
  const std::int32_t lookupStatus =
      logonProvider_->LookupAuthenticationPackage("Kerberos", packageId);
  packageId_.store(packageId, std::memory_order_relaxed);
  if (lookupStatus < 0) {
    LogEvent(EventType::Error, u"LsaLookupAuthenticationPackage (Kerberos) failed");
    return kHresultUnexpected;
  }
  if (packageId == kInvalidPackageId) {
    LogEvent(EventType::Error, u"Invalid handle returned from Kerberos package lookup");
    logonProvider_->DeregisterLogonProcess();
    registered_.store(false, std::memory_order_release);
    return kHresultNoInterface;
  }
  connected_.store(true, std::memory_order_release);
  return 0;
}

std::int32_t AuthenticationService::ServiceStop() {
  connected_.store(false, std::memory_order_release);
  if (!registered_.exchange(false, std::memory_order_acq_rel))
    return kHresultUnexpected;
  return logonProvider_->DeregisterLogonProcess() < 0 ? kHresultUnexpected : 0;
}

std::intptr_t AuthenticationService::GetHeaderString(
    std::int32_t TesseraConfig_Length, const char16_t* TesseraConfig, std::int32_t Tessera_Length,
    const char16_t* Tessera, std::int32_t AuthnPrefix_Length, const char16_t* AuthnPrefix,
    std::int32_t TokenUpdateWindow, std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken,
    std::int32_t* pHeader_Length, char16_t* pHeader, std::int32_t* pAttributeList_Length,
    char16_t* pAttributeList) {
  if (AnyNull(pUpdatedToken_Length, pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length,
              pAttributeList)) {
    throw rpc::RpcException(kFaultNullRefPointer);
  }
  if (Tessera_Length > rpc::kMaxTokenUnits) {
    LogEvent(EventType::Error, u"Token longer than 4999 characters refused");
    return rpc::kResultFailure;
  }
  return GetHeaderString(
      OwnedInput(TesseraConfig_Length, TesseraConfig), OwnedInput(Tessera_Length, Tessera),
      OwnedInput(AuthnPrefix_Length, AuthnPrefix), TokenUpdateWindow, pUpdatedToken_Length,
      pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length, pAttributeList);
}

std::intptr_t AuthenticationService::GetHeaderStringWithIWA(
    std::int32_t TesseraConfig_Length, const char16_t* TesseraConfig, std::int32_t Tessera_Length,
    const char16_t* Tessera, std::int32_t AuthnPrefix_Length, const char16_t* AuthnPrefix,
    std::int32_t TokenUpdateWindow, std::int32_t ChildProcessID, std::int32_t* pUpdatedToken_Length,
    char16_t* pUpdatedToken, std::int32_t* pHeader_Length, char16_t* pHeader,
    std::int32_t* pAttributeList_Length, char16_t* pAttributeList) {
  if (AnyNull(pUpdatedToken_Length, pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length,
              pAttributeList)) {
    throw rpc::RpcException(kFaultNullRefPointer);
  }
  if (Tessera_Length > rpc::kMaxTokenUnits) {
    LogEvent(EventType::Error, u"Token longer than 4999 characters refused");
    return rpc::kResultFailure;
  }
  return GetHeaderStringWithIWA(OwnedInput(TesseraConfig_Length, TesseraConfig),
                                OwnedInput(Tessera_Length, Tessera),
                                OwnedInput(AuthnPrefix_Length, AuthnPrefix), TokenUpdateWindow,
                                ChildProcessID, pUpdatedToken_Length, pUpdatedToken, pHeader_Length,
                                pHeader, pAttributeList_Length, pAttributeList);
}

std::intptr_t AuthenticationService::Decode(
    const std::u16string& config, const std::u16string& token, const std::u16string& prefix,
    std::int32_t window, std::u16string& userId, std::u16string& realm,
    std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
    char16_t* pHeader, std::int32_t* pAttributeList_Length, char16_t* pAttributeList) {
  const std::u16string_view presented(
      token.data(), token.find(u'\0') == std::u16string::npos ? token.size() : token.find(u'\0'));
  if (presented.empty()) {
    LogEvent(EventType::Error, u"No token passed to procedure");
    throw rpc::RpcException(rpc::kFaultEmptyToken);
  }
  // Nothing meaningful leaves a failed call; start from empty outputs.
  *pUpdatedToken_Length = 0;
  *pHeader_Length = 0;
  *pAttributeList_Length = 0;
  pUpdatedToken[0] = u'\0';
  pHeader[0] = u'\0';
  pAttributeList[0] = u'\0';
  try {
    bool expired = false;
    const auto warn = [this](std::u16string_view warning) {
      LogEvent(EventType::Warning, warning);
    };
    const std::u16string message =
        reader_(config, std::u16string(presented), prefix, window, userId, realm,
                pUpdatedToken_Length, pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length,
                pAttributeList, expired, warn);
    if (expired) {
      LogEvent(EventType::Information, message);
      return rpc::kResultFailure;
    }
    if (!message.empty()) {
      LogEvent(EventType::Error, message);
      return rpc::kResultFailure;
    }
    return rpc::kResultSuccess;
  } catch (...) {
    LogEvent(EventType::Error, u"Error occured in tessera decryption.");
    return rpc::kResultFailure;
  }
}

std::intptr_t AuthenticationService::GetHeaderString(
    const std::u16string& TesseraConfig, const std::u16string& Tessera,
    const std::u16string& AuthnPrefix, std::int32_t TokenUpdateWindow,
    std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
    char16_t* pHeader, std::int32_t* pAttributeList_Length, char16_t* pAttributeList) {
  std::u16string userId;
  std::u16string realm;
  return Decode(TesseraConfig, Tessera, AuthnPrefix, TokenUpdateWindow, userId, realm,
                pUpdatedToken_Length, pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length,
                pAttributeList);
}

std::intptr_t AuthenticationService::GetHeaderStringWithIWA(
    const std::u16string& TesseraConfig, const std::u16string& Tessera,
    const std::u16string& AuthnPrefix, std::int32_t TokenUpdateWindow, std::int32_t ChildProcessID,
    std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
    char16_t* pHeader, std::int32_t* pAttributeList_Length, char16_t* pAttributeList) {
  std::u16string userId;
  std::u16string realm;
  const std::intptr_t decoded = Decode(
      TesseraConfig, Tessera, AuthnPrefix, TokenUpdateWindow, userId, realm, pUpdatedToken_Length,
      pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length, pAttributeList);
  if (decoded != rpc::kResultSuccess)
    return rpc::kResultFailure;

  std::int32_t comError = 0;
  try {
    OwnedCredential credential = S4ULogon(userId, realm);
    if (!credential)
      throw rpc::RpcException(rpc::kFaultAccessDenied);
    const IHandleTransfer::Result sent =
        handleTransfer_->Transfer(std::move(credential), ChildProcessID);
    switch (sent.outcome) {
      case IHandleTransfer::Outcome::Transferred:
        return sent.value;
      case IHandleTransfer::Outcome::OpenProcessFailed:
        LogEvent(EventType::Error, u"OpenProcess failed");
        break;
      case IHandleTransfer::Outcome::DuplicateHandleFailed:
        LogEvent(EventType::Error, u"DuplicateHandle failed");
        break;
    }
    throw rpc::RpcException(rpc::kFaultSysCallFailed);
  } catch (const ComError& e) {
    comError = e.Error();
  } catch (const std::bad_alloc&) {
    comError = kHresultOutOfMemory;
  }
  LogEvent(EventType::Error, u"COM error occurred: " + Dec(comError));
  throw rpc::RpcException(rpc::kFaultInvalidParameter);
}

OwnedCredential AuthenticationService::S4ULogon(const std::u16string& userUpn,
                                                const std::u16string& realmName) {
  if (userUpn.empty()) {
    LogEvent(EventType::Error, u"Tessera did not contain 'userId'");
    return {};
  }
  if (userUpn.size() > kMaxLogonNameUnits || realmName.size() > kMaxLogonNameUnits) {
    LogEvent(EventType::Error, u"Unable to construct LSA Logon Block");
    return {};
  }
  LogonResult result;
  if (!connected_.load(std::memory_order_acquire)) {
    // Set-up has not connected (yet): the logon fails as it does on an invalid connection.
    result.status = kStatusInvalidHandle;
    result.winError = kErrorInvalidHandle;
  } else {
    try {
      result =
          logonProvider_->LogonUser(userUpn, realmName, packageId_.load(std::memory_order_relaxed));
    } catch (const ComError&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      result = LogonResult{};
      result.status = kStatusInternalError;
      result.winError = kErrorInternalError;
    }
  }
  if (result.status < 0) {
    LogEvent(EventType::Error,
             LogonFailureMessage(result.status, result.subStatus, result.winError));
    return {};  // `result` closes any credential it holds
  }
  if (result.passwordMustChange)
    LogEvent(EventType::Warning, u"Password needs to be reset");
  LogEvent(EventType::Information, u"LsaLogonUser call succeeded");
  return std::move(result.credential);
}

}  // namespace tokengate::broker
