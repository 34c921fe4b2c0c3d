// The broker's service-for-user logon on Linux: a Kerberos S4U2Self ("protocol transition")
// through GSSAPI with MIT Kerberos, using the host's keytab the way the Windows security
// authority uses the machine account. The credential handed out is a sealed memfd holding a
// credential cache with only the user's own tickets.
//
// Set-up steps and what they stand for:
//   EnablePrivilege             opens the keytab for reading (only root, or the keytab's owner,
//                               may); the open keytab is held for the rest of the set-up.
//   RegisterLogonProcess        acquires the service's own credential (its ticket-granting
//                               ticket) from the keytab into a private in-memory cache. When
//                               only the KDC is unreachable, the step succeeds with a warning
//                               and the first logon that reaches the KDC acquires it.
//   LookupAuthenticationPackage checks that the package asked for is "Kerberos" and that the
//                               GSSAPI library offers the Kerberos mechanism; the identifier is
//                               0xFFFFFFFF when the acquired credential cannot start a logon.
//   DeregisterLogonProcess      releases the service credential and destroys its cache.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokengate/broker/auth/logon.h"

namespace tokengate::platform {

// Environment of the broker that selects the keytab and the service principal.
inline constexpr char kKeytabEnv[] = "TOKENGATE_KEYTAB";
inline constexpr char kServicePrincipalEnv[] = "TOKENGATE_SERVICE_PRINCIPAL";
inline constexpr char kDefaultKeytab[] = "/etc/krb5.keytab";

// The package identifier handed out by a successful lookup, and the value meaning "none".
inline constexpr std::uint32_t kKerberosPackageId = 2;
inline constexpr std::uint32_t kInvalidPackageId = 0xFFFFFFFF;

// HRESULTs of the privilege step.
inline constexpr std::int32_t kHrInvalidHandle = static_cast<std::int32_t>(0x80070006);
inline constexpr std::int32_t kHrAccessDenied = static_cast<std::int32_t>(0x80070005);

struct KerberosSettings {
  std::string keytab;            // a path, or a "FILE:" keytab name
  std::string servicePrincipal;  // e.g. "host/www.example.com@EXAMPLE.COM"
  // Accounts with a uid below this (and uid 0, and the overflow uid 65534) are never logged on.
  unsigned minUserUid = 1000;

  // $TOKENGATE_KEYTAB or /etc/krb5.keytab; $TOKENGATE_SERVICE_PRINCIPAL or "host/<fqdn>" (the
  // host's canonical name; the default realm is added when the name has none); UID_MIN from
  // /etc/login.defs, else 1000.
  static KerberosSettings FromEnvironment();
};

enum class KerberosEventType : std::uint16_t { Error = 1, Warning = 2, Information = 4 };
// Receives the provider's own explanations (refused subjects, the Kerberos library's text for
// a failure the status alone does not explain). Called from any thread.
using KerberosLogSink = std::function<void(KerberosEventType, std::u16string_view)>;

// Everything one logon gives back, with the Kerberos library's own error code and text.
struct KerberosLogon {
  broker::LogonResult result;
  std::int32_t kerberosError = 0;
  std::string detail;
};

class KerberosS4ULogonProvider final : public broker::IS4ULogonProvider {
 public:
  explicit KerberosS4ULogonProvider(KerberosSettings settings, KerberosLogSink sink = {});
  ~KerberosS4ULogonProvider() override;
  KerberosS4ULogonProvider(const KerberosS4ULogonProvider&) = delete;
  KerberosS4ULogonProvider& operator=(const KerberosS4ULogonProvider&) = delete;

  std::int32_t EnablePrivilege(std::unique_ptr<broker::IPrivilegeHold>& hold) override;
  std::int32_t RegisterLogonProcess(const std::string& logonProcessName) override;
  std::int32_t LookupAuthenticationPackage(const std::string& packageName,
                                           std::uint32_t& id) override;
  std::int32_t DeregisterLogonProcess() override;
  // Logs on the token's subject `upn` of `realm`. With a realm, the subject is a user of that
  // realm: "jdoe" and "jdoe@<realm>" are jdoe@<realm>, and another name with "@" (a user
  // principal name such as jdoe@example.com) is an enterprise name the realm's KDC resolves.
  // Without one the subject names its own realm, or is in the default realm. A realm that is
  // the service's own in another case is taken as the service's.
  broker::LogonResult LogonUser(const std::u16string& upn, const std::u16string& realm,
                                std::uint32_t packageId) override;

  // The logon with its Kerberos detail. The credential is a sealed memfd descriptor.
  KerberosLogon Logon(std::u16string_view upn, std::uint32_t packageId);
  KerberosLogon Logon(std::u16string_view upn, std::u16string_view realm, std::uint32_t packageId);

  // The Kerberos library's text for the last failed set-up step (empty when none failed).
  std::string SetupDetail() const;

  struct State;

 private:
  KerberosLogon LogonOnce(std::u16string_view upn, std::u16string_view realm,
                          std::uint32_t packageId);

  KerberosSettings settings_;
  KerberosLogSink sink_;
  // Written on the service thread during set-up and stop, read by call threads.
  std::atomic<const State*> state_{nullptr};
  std::atomic<std::uint32_t> packageId_{kInvalidPackageId};
  // Calls currently reading the state; stop waits for them before freeing it.
  std::atomic<int> inFlight_{0};
  // States replaced or retired on the service thread; freed with the provider, so a call that
  // still reads one never sees it go away.
  std::vector<std::unique_ptr<State>> retired_;
  std::unique_ptr<State> current_;
  std::string setupDetail_;
};

// The provider for the logon-broker program: settings from the environment (see
// KerberosSettings::FromEnvironment).
std::unique_ptr<broker::IS4ULogonProvider> CreateKerberosS4ULogonProvider(
    KerberosLogSink sink = {});

// Closes a credential descriptor (the closer of the credentials this provider hands out).
void CloseCredentialDescriptor(std::intptr_t fd) noexcept;

}  // namespace tokengate::platform
