#include "tokengate/platform/kerberos_status.h"

#include <krb5.h>

#include <cerrno>

namespace tokengate::platform {

std::uint32_t NtStatusToWinError(std::int32_t status) {
  switch (static_cast<std::uint32_t>(status)) {
    case 0x00000000u:
      return 0;
    case 0xC0000001u:
      return 31;  // ERROR_GEN_FAILURE
    case 0xC0000008u:
      return 6;  // ERROR_INVALID_HANDLE
    case 0xC000000Du:
      return 87;  // ERROR_INVALID_PARAMETER
    case 0xC000000Fu:
      return 2;  // ERROR_FILE_NOT_FOUND
    case 0xC0000017u:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case 0xC0000022u:
      return 5;  // ERROR_ACCESS_DENIED
    case 0xC0000044u:
      return 1816;  // ERROR_NOT_ENOUGH_QUOTA
    case 0xC000005Eu:
      return 1311;  // ERROR_NO_LOGON_SERVERS
    case 0xC0000064u:
      return 1317;  // ERROR_NO_SUCH_USER
    case 0xC000006Du:
      return 1326;  // ERROR_LOGON_FAILURE
    case 0xC000006Eu:
      return 1327;  // ERROR_ACCOUNT_RESTRICTION
    case 0xC0000071u:
      return 1330;  // ERROR_PASSWORD_EXPIRED
    case 0xC0000072u:
      return 1331;  // ERROR_ACCOUNT_DISABLED
    case 0xC00000A7u:
      return 1348;  // ERROR_BAD_VALIDATION_CLASS
    case 0xC00000FEu:
      return 1364;  // ERROR_NO_SUCH_PACKAGE
    case 0xC0000133u:
      return 1398;  // ERROR_TIME_SKEW
    case 0xC000015Bu:
      return 1385;  // ERROR_LOGON_TYPE_NOT_GRANTED
    case 0xC0000193u:
      return 1793;  // ERROR_ACCOUNT_EXPIRED
    default:
      return 317;  // ERROR_MR_MID_NOT_FOUND
  }
}

namespace {

// The GSSAPI Kerberos mechanism's own code for "the keytab has no key for this name".
constexpr std::int32_t kGssKeytabNoMatch = 39756033;

KerberosLogonStatus Plain(std::int32_t status) {
  return {status, 0, NtStatusToWinError(status)};
}

KerberosLogonStatus Restricted(std::int32_t subStatus) {
  return {kNtAccountRestriction, subStatus, NtStatusToWinError(kNtAccountRestriction)};
}

}  // namespace

KerberosLogonStatus MapKerberosError(std::int32_t code) {
  switch (code) {
    case 0:
      return {};
    // The subject (or the realm it names) is not known to the KDC, or the service's own keys
    // do not match the KDC's: the logon itself failed.
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
    case KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN:
    case KRB5KDC_ERR_PRINCIPAL_NOT_UNIQUE:
    case KRB5KDC_ERR_WRONG_REALM:
    case KRB5KDC_ERR_PREAUTH_FAILED:
    case KRB5KRB_AP_ERR_BAD_INTEGRITY:
    case KRB5KRB_AP_ERR_MODIFIED:
    case KRB5_PARSE_MALFORMED:
      return Plain(kNtLogonFailure);
    // Account states the KDC enforces.
    case KRB5KDC_ERR_CLIENT_REVOKED:
      return Restricted(kNtAccountDisabled);
    case KRB5KDC_ERR_NAME_EXP:
      return Restricted(kNtAccountExpired);
    case KRB5KDC_ERR_KEY_EXP:
      return Restricted(kNtPasswordExpired);
    case KRB5KDC_ERR_POLICY:
      return Restricted(0);
    // No KDC to ask.
    case KRB5_KDC_UNREACH:
    case KRB5_REALM_CANT_RESOLVE:
    case KRB5_REALM_UNKNOWN:
    case KRB5KDC_ERR_SVC_UNAVAILABLE:
    case ECONNREFUSED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
      return Plain(kNtNoLogonServers);
    case ENOMEM:
      return Plain(kNtQuotaExceeded);
    case KRB5KRB_AP_ERR_SKEW:
      return Plain(kNtTimeDifferenceAtDc);
    // Local files the set-up needs.
    case ENOENT:
    case KRB5_FCC_NOFILE:
      return Plain(kNtNoSuchFile);
    case EACCES:
    case EPERM:
    case KRB5_FCC_PERM:
      return Plain(kNtAccessDenied);
    case KRB5_KT_NOTFOUND:
    case kGssKeytabNoMatch:
      return Plain(kNtNoSuchUser);
    default:
      return Plain(kNtUnsuccessful);
  }
}

}  // namespace tokengate::platform
