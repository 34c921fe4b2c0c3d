// The gate's side of the broker interface: the two calls, folded into small status values.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "tokengate/common/authenticator.h"
#include "tokengate/gate/gate_event_log.h"

namespace tokengate::gate {

// What the gate sends with every call.
struct BrokerRequest {
  std::u16string config;  // path of the codec's properties file
  std::u16string token;   // the token as read from the request; never empty
  std::u16string prefix;  // AuthenticationPrefix, may be empty
  std::int32_t tokenUpdateWindow = 0;
};

// The caller-owned result areas, cleared before each call so that a failed call reads as empty.
// Clearing sets the lengths and the first unit of each area: nothing is read beyond a length or
// a terminator, so the 50,000 bytes of the areas are never filled as a whole.
struct BrokerOutputs {
  BrokerOutputs() noexcept { Clear(); }

  std::int32_t updatedTokenLength;
  std::array<char16_t, rpc::kUpdatedTokenCapacity> updatedToken;
  std::int32_t headerLength;
  std::array<char16_t, rpc::kHeaderCapacity> header;
  std::int32_t attributeListLength;
  std::array<char16_t, rpc::kAttributeListCapacity> attributeList;

  void Clear() noexcept;
  // The texts as far as their returned lengths say, clamped to the capacities.
  std::u16string_view UpdatedToken() const noexcept;
  std::u16string_view Header() const noexcept;
  std::u16string_view AttributeList() const noexcept;
  // True when the updated token is the expiry marker, in any letter case.
  bool SessionExpired() const noexcept;
};

// The calling thread's output areas (50,000 bytes), made on its first call and reused: a request
// needs them only until it is handed on, and each call clears them before it fills them.
BrokerOutputs& ThreadBrokerOutputs();

// Status values of the calls.
inline constexpr std::int32_t kBrokerOk = 0;      // GetHeaderString succeeded
inline constexpr std::int32_t kBrokerHandle = 1;  // GetHeaderStringWithIWA returned a handle
inline constexpr std::int32_t kBrokerFailed =
    4;  // the broker returned -1 (or, without IWA, any failure)

class BrokerClient {
 public:
  // `binding` is the module's one binding to the broker; null when it could not be built, in
  // which case every call fails as the runtime fails a call on an invalid binding.
  // `processId` is the gate's own process, passed as ChildProcessID on IWA calls.
  BrokerClient(rpc::IAuthenticator* binding, const GateEventLog& log, std::int32_t processId)
      : binding_(binding), log_(log), processId_(processId) {}

  // 0 on success; 4 when the broker returned -1 or the call raised anything. Writes no event.
  std::int32_t BrokerGetHeaderString(const BrokerRequest& request, BrokerOutputs& out) const;

  // 1 with the handle value in `accessTokenHolder`; 4 after "Could not obtain handle" when the
  // broker returned -1; otherwise the exception code of the failed call (its text is logged).
  std::int32_t BrokerGetHeaderStringWithIWA(const BrokerRequest& request,
                                            std::intptr_t& accessTokenHolder,
                                            BrokerOutputs& out) const;

 private:
  rpc::IAuthenticator* binding_;
  const GateEventLog& log_;
  std::int32_t processId_;
};

}  // namespace tokengate::gate
