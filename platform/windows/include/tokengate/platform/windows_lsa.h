// The broker's S4U logon through the Local Security Authority (Kerberos package).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "tokengate/broker/auth/logon.h"

namespace tokengate::platform {

struct LocalFreeDeleter {
  void operator()(void* block) const noexcept;
};
using LsaLogonBlock = std::unique_ptr<void, LocalFreeDeleter>;

// One zero-filled block: a KERB_S4U_LOGON (message type 12, flags 0) followed by the UPN and its
// NUL, then, for a non-empty realm, the realm and its NUL; the structure's counted strings point
// into the block. Null when the UPN or realm has 32,767 units or more (the lengths are 16-bit
// byte counts) or the allocation fails.
LsaLogonBlock ConstructLsaLogonBlock(const std::u16string& upn, const std::u16string& realm,
                                     std::size_t& size);

// The LSA connection: SeTcbPrivilege while registering, LsaRegisterLogonProcess,
// LsaLookupAuthenticationPackage, LsaLogonUser with the origin "SFULogon" and the token source
// "TarvexWe". A logon that reports success without an access token is reported as failed.
std::unique_ptr<broker::IS4ULogonProvider> CreateLsaS4ULogonProvider();

}  // namespace tokengate::platform
