// The seams of the IWA path: the security authority that performs the service-for-user logon,
// the owned credential it produces, and the transfer of that credential into the caller's
// process. Each platform implements them (Windows: LSA and DuplicateHandle; Linux: Kerberos and
// a descriptor passed with the reply).
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace tokengate::broker {

// A credential (access token) owned by whoever holds this object; closed on destruction.
class OwnedCredential {
 public:
  using Closer = void (*)(std::intptr_t) noexcept;

  OwnedCredential() = default;
  OwnedCredential(std::intptr_t value, Closer closer) : value_(value), closer_(closer) {}
  OwnedCredential(OwnedCredential&& other) noexcept
      : value_(std::exchange(other.value_, kNone)), closer_(other.closer_) {}
  OwnedCredential& operator=(OwnedCredential&& other) noexcept {
    if (this != &other) {
      Reset();
      value_ = std::exchange(other.value_, kNone);
      closer_ = other.closer_;
    }
    return *this;
  }
  OwnedCredential(const OwnedCredential&) = delete;
  OwnedCredential& operator=(const OwnedCredential&) = delete;
  ~OwnedCredential() { Reset(); }

  explicit operator bool() const noexcept { return value_ != kNone; }
  std::intptr_t Get() const noexcept { return value_; }
  // Gives up ownership without closing.
  std::intptr_t Release() noexcept { return std::exchange(value_, kNone); }
  void Reset() noexcept {
    const std::intptr_t v = std::exchange(value_, kNone);
    if (v != kNone && closer_ != nullptr)
      closer_(v);
  }

  static constexpr std::intptr_t kNone = -1;

 private:
  std::intptr_t value_ = kNone;
  Closer closer_ = nullptr;
};

// An allocation failure of the platform's string type while the logon is prepared; carries an
// HRESULT.
class ComError : public std::exception {
 public:
  explicit ComError(std::int32_t hr) : hr_(hr) {}
  std::int32_t Error() const noexcept { return hr_; }
  const char* what() const noexcept override { return "COM error"; }

 private:
  std::int32_t hr_;
};

// What one logon attempt gives back: an NTSTATUS-style status (negative is failure), the
// sub-status that qualifies an account restriction, the matching Windows error code, and on
// success the credential and whether the account must change its password at once.
struct LogonResult {
  std::int32_t status = 0;
  std::int32_t subStatus = 0;
  std::uint32_t winError = 0;
  OwnedCredential credential;
  bool passwordMustChange = false;
};

// A privilege held while it is in scope; the previous state comes back on destruction.
class IPrivilegeHold {
 public:
  virtual ~IPrivilegeHold() = default;
};

// The security authority. The broker sequences the calls, logs and maps the results; a provider
// only performs them. Setup and stop run on the service thread; LogonUser on many call threads
// at once, after RegisterLogonProcess has succeeded (or before, in which case it must fail).
class IS4ULogonProvider {
 public:
  virtual ~IS4ULogonProvider() = default;
  // Turns on the privilege needed to register; fills `hold` on success and returns 0, or returns
  // a negative HRESULT.
  virtual std::int32_t EnablePrivilege(std::unique_ptr<IPrivilegeHold>& hold) = 0;
  // Registers the broker as a logon process under `logonProcessName` (8-bit text). NTSTATUS.
  virtual std::int32_t RegisterLogonProcess(const std::string& logonProcessName) = 0;
  // Looks up the authentication package `packageName`; NTSTATUS, identifier through `id`.
  virtual std::int32_t LookupAuthenticationPackage(const std::string& packageName,
                                                   std::uint32_t& id) = 0;
  // Ends the registration. NTSTATUS.
  virtual std::int32_t DeregisterLogonProcess() = 0;
  // Logs `upn` on without a password (network logon) through package `packageId`. The origin
  // name and token source are fixed by the caller.
  virtual LogonResult LogonUser(const std::u16string& upn, const std::u16string& realm,
                                std::uint32_t packageId) = 0;
};

// Hands a credential to another process. On every path the credential given is closed in this
// process.
class IHandleTransfer {
 public:
  enum class Outcome { Transferred, OpenProcessFailed, DuplicateHandleFailed };
  struct Result {
    Outcome outcome = Outcome::OpenProcessFailed;
    std::intptr_t value = -1;  // the handle's value in the target process
  };
  virtual ~IHandleTransfer() = default;
  virtual Result Transfer(OwnedCredential credential, std::int32_t childProcessId) = 0;
};

// The provider used where no S4U logon is available in this build: set-up succeeds without
// connecting anywhere, and every logon fails as "package not recognised" (0xC00000FE), so an IWA
// call ends in the access-denied fault with a clear message instead of a fake success.
std::unique_ptr<IS4ULogonProvider> CreateUnavailableS4ULogonProvider();

// NTSTATUS values the broker interprets.
inline constexpr std::int32_t kStatusQuotaExceeded = static_cast<std::int32_t>(0xC0000044);
inline constexpr std::int32_t kStatusAccountRestriction = static_cast<std::int32_t>(0xC000006E);
inline constexpr std::int32_t kStatusInvalidLogonHours = static_cast<std::int32_t>(0xC000006F);
inline constexpr std::int32_t kStatusInvalidWorkstation = static_cast<std::int32_t>(0xC0000070);
inline constexpr std::int32_t kStatusPasswordExpired = static_cast<std::int32_t>(0xC0000071);
inline constexpr std::int32_t kStatusAccountDisabled = static_cast<std::int32_t>(0xC0000072);
inline constexpr std::int32_t kStatusBadValidationClass = static_cast<std::int32_t>(0xC00000A7);
inline constexpr std::int32_t kStatusLogonFailure = static_cast<std::int32_t>(0xC000006D);
inline constexpr std::int32_t kStatusNoLogonServers = static_cast<std::int32_t>(0xC000005E);
inline constexpr std::int32_t kStatusNoSuchPackage = static_cast<std::int32_t>(0xC00000FE);

}  // namespace tokengate::broker
