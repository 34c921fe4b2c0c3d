// Translation of Kerberos and GSSAPI failures into the NTSTATUS vocabulary the broker reports
// logon outcomes in: a status, the sub-status that qualifies an account restriction, and the
// Windows error code that goes with the status.
#pragma once

#include <cstdint>

namespace tokengate::platform {

struct KerberosLogonStatus {
  std::int32_t status = 0;
  std::int32_t subStatus = 0;
  std::uint32_t winError = 0;
};

// NTSTATUS values produced here besides the ones the broker interprets.
inline constexpr std::int32_t kNtUnsuccessful = static_cast<std::int32_t>(0xC0000001);
inline constexpr std::int32_t kNtInvalidHandle = static_cast<std::int32_t>(0xC0000008);
inline constexpr std::int32_t kNtInvalidParameter = static_cast<std::int32_t>(0xC000000D);
inline constexpr std::int32_t kNtNoSuchFile = static_cast<std::int32_t>(0xC000000F);
inline constexpr std::int32_t kNtNoMemory = static_cast<std::int32_t>(0xC0000017);
inline constexpr std::int32_t kNtAccessDenied = static_cast<std::int32_t>(0xC0000022);
inline constexpr std::int32_t kNtQuotaExceeded = static_cast<std::int32_t>(0xC0000044);
inline constexpr std::int32_t kNtNoLogonServers = static_cast<std::int32_t>(0xC000005E);
inline constexpr std::int32_t kNtNoSuchUser = static_cast<std::int32_t>(0xC0000064);
inline constexpr std::int32_t kNtLogonFailure = static_cast<std::int32_t>(0xC000006D);
inline constexpr std::int32_t kNtAccountRestriction = static_cast<std::int32_t>(0xC000006E);
inline constexpr std::int32_t kNtPasswordExpired = static_cast<std::int32_t>(0xC0000071);
inline constexpr std::int32_t kNtAccountDisabled = static_cast<std::int32_t>(0xC0000072);
inline constexpr std::int32_t kNtNoSuchPackage = static_cast<std::int32_t>(0xC00000FE);
inline constexpr std::int32_t kNtTimeDifferenceAtDc = static_cast<std::int32_t>(0xC0000133);
inline constexpr std::int32_t kNtLogonTypeNotGranted = static_cast<std::int32_t>(0xC000015B);
inline constexpr std::int32_t kNtAccountExpired = static_cast<std::int32_t>(0xC0000193);

// The Windows error code for an NTSTATUS value (0 for success, 317 for values not known here,
// as the platform's own translation reports an unmapped status).
std::uint32_t NtStatusToWinError(std::int32_t status);

// The logon outcome for a Kerberos library error code (a krb5 error, a KDC error or an errno
// value as the Kerberos library reports it). `code` 0 is success.
KerberosLogonStatus MapKerberosError(std::int32_t code);

}  // namespace tokengate::platform
