// The IAuthenticator contract between TokenGate and LogonBroker: procedure numbers, parameter
// order, capacities, results and fault codes. Both sides and every transport build on this header.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tokengate::rpc {

// Interface identity (the Windows build generates its stubs from an IDL carrying the same values).
inline constexpr char kInterfaceUuid[] = "25E769DA-D865-47C2-B402-275CD2606326";
inline constexpr std::uint16_t kInterfaceVersionMajor = 1;
inline constexpr std::uint16_t kInterfaceVersionMinor = 0;
inline constexpr char16_t kProtocol[] = u"ncalrpc";
inline constexpr char16_t kEndpoint[] = u"TarvexWebLogonBroker";
inline constexpr char16_t kStringBinding[] = u"ncalrpc:[TarvexWebLogonBroker]";

enum class Procedure : std::uint32_t {
  GetHeaderString = 0,
  GetHeaderStringWithIWA = 1,
};

// Output array capacities in UTF-16 units, terminating NUL included.
inline constexpr std::int32_t kUpdatedTokenCapacity = 5000;
inline constexpr std::int32_t kHeaderCapacity = 10000;
inline constexpr std::int32_t kAttributeListCapacity = 10000;
// Longest text each output can carry, and the longest token the broker accepts.
inline constexpr std::int32_t kMaxUpdatedTokenUnits = kUpdatedTokenCapacity - 1;
inline constexpr std::int32_t kMaxHeaderUnits = kHeaderCapacity - 1;
inline constexpr std::int32_t kMaxAttributeListUnits = kAttributeListCapacity - 1;
inline constexpr std::int32_t kMaxTokenUnits = 4999;

// Procedure results.
inline constexpr std::intptr_t kResultSuccess = 0;
inline constexpr std::intptr_t kResultFailure = -1;

// Marker put into the updated token when the presented token has expired.
inline constexpr char16_t kSessionExpired[] = u"SESSION_EXPIRED";
inline constexpr std::int32_t kSessionExpiredUnits = 15;

// TokenUpdateWindow value meaning "never re-issue".
inline constexpr std::int32_t kNeverReissue = -1;

// Fault codes raised by the broker.
inline constexpr std::uint32_t kFaultEmptyToken = 1782;              // RPC_X_BYTE_COUNT_TOO_SMALL
inline constexpr std::uint32_t kFaultAccessDenied = 0x8001011B;      // RPC_E_ACCESS_DENIED
inline constexpr std::uint32_t kFaultSysCallFailed = 0x80010100;     // RPC_E_SYS_CALL_FAILED
inline constexpr std::uint32_t kFaultInvalidParameter = 0x80010010;  // RPC_E_INVALID_PARAMETER

// Status codes of the RPC runtime that a client may see for transport failures.
inline constexpr std::uint32_t kStatusServerUnavailable = 1722;  // RPC_S_SERVER_UNAVAILABLE
inline constexpr std::uint32_t kStatusCallFailed = 1726;         // RPC_S_CALL_FAILED
inline constexpr std::uint32_t kStatusCallFailedDne = 1727;      // RPC_S_CALL_FAILED_DNE
inline constexpr std::uint32_t kStatusProtocolError = 1728;      // RPC_S_PROTOCOL_ERROR
inline constexpr std::uint32_t kStatusServerTooBusy = 1723;      // RPC_S_SERVER_TOO_BUSY
inline constexpr std::uint32_t kStatusCallTimeout = 1818;        // RPC_S_CALL_CANCELLED
inline constexpr std::uint32_t kStatusUnknownIf = 1717;          // RPC_S_UNKNOWN_IF
inline constexpr std::uint32_t kStatusProcNumOutOfRange = 1745;  // RPC_S_PROCNUM_OUT_OF_RANGE
inline constexpr std::uint32_t kStatusInvalidBinding = 1702;     // RPC_S_INVALID_BINDING
inline constexpr std::uint32_t kStatusOutOfMemory = 14;          // ERROR_OUTOFMEMORY
inline constexpr std::uint32_t kStatusNotListening = 1715;       // RPC_S_NOT_LISTENING
// Further runtime statuses of the local transport.
inline constexpr std::uint32_t kStatusAccessDenied = 5;             // RPC_S_ACCESS_DENIED
inline constexpr std::uint32_t kStatusInvalidStringBinding = 1700;  // RPC_S_INVALID_STRING_BINDING
inline constexpr std::uint32_t kStatusProtseqNotSupported = 1703;   // RPC_S_PROTSEQ_NOT_SUPPORTED
inline constexpr std::uint32_t kStatusBadEndpointFormat = 1706;     // RPC_S_INVALID_ENDPOINT_FORMAT
inline constexpr std::uint32_t kStatusAlreadyListening = 1713;      // RPC_S_ALREADY_LISTENING
inline constexpr std::uint32_t kStatusNoProtseqsRegistered = 1714;  // RPC_S_NO_PROTSEQS_REGISTERED
inline constexpr std::uint32_t kStatusCantCreateEndpoint = 1720;    // RPC_S_CANT_CREATE_ENDPOINT
inline constexpr std::uint32_t kStatusOutOfResources = 1721;        // RPC_S_OUT_OF_RESOURCES
inline constexpr std::uint32_t kStatusInvalidBound = 1734;          // RPC_S_INVALID_BOUND
inline constexpr std::uint32_t kStatusDuplicateEndpoint = 1740;     // RPC_S_DUPLICATE_ENDPOINT
inline constexpr std::uint32_t kStatusMaxCallsTooSmall = 1742;      // RPC_S_MAX_CALLS_TOO_SMALL
inline constexpr std::uint32_t kStatusInternalError = 1766;         // RPC_S_INTERNAL_ERROR
inline constexpr std::uint32_t kStatusNullRefPointer = 1780;        // RPC_X_NULL_REF_POINTER
inline constexpr std::uint32_t kStatusBadStubData = 1783;           // RPC_X_BAD_STUB_DATA

// A fault raised by a procedure, or a failure of the call itself as the client sees it: the
// call ends without outputs and the caller receives `code`, as an RPC exception code.
class RpcException : public std::exception {
 public:
  explicit RpcException(std::uint32_t code) : code_(code) {}
  std::uint32_t code() const noexcept { return code_; }
  const char* what() const noexcept override { return "RPC exception"; }

 private:
  std::uint32_t code_;
};

// The two procedures with their parameters in contract order. Input strings come as
// (length, units) pairs with no terminating NUL; outputs are caller-owned arrays of the fixed
// capacities above. The server side implements this on top of the service object; the client
// side implements it over the transport. Faults and transport failures throw RpcException.
class IAuthenticator {
 public:
  virtual ~IAuthenticator() = default;

  virtual std::intptr_t GetHeaderString(
      std::int32_t TesseraConfig_Length, const char16_t* TesseraConfig, std::int32_t Tessera_Length,
      const char16_t* Tessera, std::int32_t AuthnPrefix_Length, const char16_t* AuthnPrefix,
      std::int32_t TokenUpdateWindow, std::int32_t* pUpdatedToken_Length,
      char16_t* pUpdatedToken /* [kUpdatedTokenCapacity] */, std::int32_t* pHeader_Length,
      char16_t* pHeader /* [kHeaderCapacity] */, std::int32_t* pAttributeList_Length,
      char16_t* pAttributeList /* [kAttributeListCapacity] */) = 0;

  virtual std::intptr_t GetHeaderStringWithIWA(
      std::int32_t TesseraConfig_Length, const char16_t* TesseraConfig, std::int32_t Tessera_Length,
      const char16_t* Tessera, std::int32_t AuthnPrefix_Length, const char16_t* AuthnPrefix,
      std::int32_t TokenUpdateWindow, std::int32_t ChildProcessID,
      std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken, std::int32_t* pHeader_Length,
      char16_t* pHeader, std::int32_t* pAttributeList_Length, char16_t* pAttributeList) = 0;
};

}  // namespace tokengate::rpc
