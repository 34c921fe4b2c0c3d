#include "tokengate/platform/kerberos_s4u.h"

#include <fcntl.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <netdb.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "kerberos_internal.h"
#include "tokengate/common/text.h"
#include "tokengate/platform/kerberos_status.h"

namespace tokengate::platform {

namespace {

gss_OID_set_desc KrbMechSet() {
  return gss_OID_set_desc{1, const_cast<gss_OID>(gss_mech_krb5)};
}

class GssName {
 public:
  GssName() = default;
  GssName(const GssName&) = delete;
  GssName& operator=(const GssName&) = delete;
  ~GssName() {
    OM_uint32 minor = 0;
    if (name_ != GSS_C_NO_NAME)
      gss_release_name(&minor, &name_);
  }
  gss_name_t* out() { return &name_; }
  gss_name_t get() const { return name_; }

 private:
  gss_name_t name_ = GSS_C_NO_NAME;
};

class GssCred {
 public:
  GssCred() = default;
  GssCred(const GssCred&) = delete;
  GssCred& operator=(const GssCred&) = delete;
  ~GssCred() { Reset(); }
  gss_cred_id_t* out() { return &cred_; }
  gss_cred_id_t get() const { return cred_; }
  void Reset() {
    OM_uint32 minor = 0;
    if (cred_ != GSS_C_NO_CREDENTIAL)
      gss_release_cred(&minor, &cred_);
    cred_ = GSS_C_NO_CREDENTIAL;
  }

 private:
  gss_cred_id_t cred_ = GSS_C_NO_CREDENTIAL;
};

// The GSSAPI's texts for a major status and, when it carries one, the mechanism's minor code.
std::string GssMessage(OM_uint32 major, OM_uint32 minor) {
  std::string text;
  auto append = [&text](OM_uint32 code, int type) {
    OM_uint32 context = 0;
    do {
      OM_uint32 ignored = 0;
      gss_buffer_desc buffer{0, nullptr};
      gss_OID mech = type == GSS_C_MECH_CODE ? const_cast<gss_OID>(gss_mech_krb5) : GSS_C_NO_OID;
      if (gss_display_status(&ignored, code, type, mech, &context, &buffer) != GSS_S_COMPLETE) {
        break;
      }
      if (!text.empty())
        text += "; ";
      text.append(static_cast<const char*>(buffer.value), buffer.length);
      gss_release_buffer(&ignored, &buffer);
    } while (context != 0);
  };
  append(major, GSS_C_GSS_CODE);
  if (minor != 0)
    append(minor, GSS_C_MECH_CODE);
  return text;
}

// The Kerberos error behind a failed GSSAPI call: the mechanism's minor code when there is one.
std::int32_t GssKerberosError(OM_uint32 major, OM_uint32 minor) {
  if (minor != 0)
    return static_cast<std::int32_t>(minor);
  if (GSS_ROUTINE_ERROR(major) == GSS_S_NO_CRED)
    return KRB5_FCC_NOFILE;
  return KRB5KRB_ERR_GENERIC;
}

// Whether the broker's table has a message of its own for this outcome; for the others the
// Kerberos library's explanation is logged next to it.
bool HasOwnMessage(std::int32_t status, std::int32_t subStatus) {
  switch (status) {
    case kNtQuotaExceeded:
    case kNtLogonFailure:
    case kNtNoLogonServers:
    case kNtNoSuchPackage:
    case broker::kStatusBadValidationClass:
      return true;
    case kNtAccountRestriction:
      return subStatus == broker::kStatusInvalidLogonHours ||
             subStatus == broker::kStatusInvalidWorkstation || subStatus == kNtPasswordExpired ||
             subStatus == kNtAccountDisabled;
    default:
      return false;
  }
}

std::string StripFilePrefix(const std::string& keytab) {
  for (const char* prefix : {"FILE:", "WRFILE:"}) {
    const std::size_t n = std::strlen(prefix);
    if (keytab.compare(0, n, prefix) == 0)
      return keytab.substr(n);
  }
  return keytab;
}

std::string HostFqdn() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0)
    return "localhost";
  std::string result = host;
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_family = AF_UNSPEC;
  addrinfo* info = nullptr;
  if (::getaddrinfo(host, nullptr, &hints, &info) == 0) {
    if (info != nullptr && info->ai_canonname != nullptr)
      result = info->ai_canonname;
    ::freeaddrinfo(info);
  }
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

unsigned LoginDefsUidMin() {
  std::ifstream in("/etc/login.defs");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key;
    unsigned long value = 0;
    if (words >> key && key == "UID_MIN" && words >> value && value > 0 && value < 0x7FFFFFFF) {
      return static_cast<unsigned>(value);
    }
  }
  return 1000;
}

// Counts calls that may be reading the published state, so stop can wait for them.
class CallGuard {
 public:
  explicit CallGuard(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  ~CallGuard() { count_.fetch_sub(1); }

 private:
  std::atomic<int>& count_;
};

}  // namespace

namespace {

// The service's own credential and the in-memory cache holding its ticket-granting ticket.
struct ServiceCredential {
  GssCred cred;
  std::string cacheName;

  ServiceCredential() = default;
  ServiceCredential(const ServiceCredential&) = delete;
  ServiceCredential& operator=(const ServiceCredential&) = delete;
  ~ServiceCredential() {
    cred.Reset();
    if (cacheName.empty())
      return;
    krb::Context ctx;
    krb::Cache cache(ctx.get());
    if (ctx.error() == 0 && krb5_cc_resolve(ctx.get(), cacheName.c_str(), cache.out()) == 0) {
      cache.DestroyOnClose(true);
    }
  }
};

// Acquires the credential of `principal` from `keytab` (its ticket-granting ticket, fetched from
// the KDC now and renewed from the keytab when it nears its end). 0, or a Kerberos error code
// with `detail`.
std::int32_t AcquireServiceCredential(const std::string& principal, const std::string& keytab,
                                      std::unique_ptr<ServiceCredential>& out,
                                      std::string& detail) {
  auto credential = std::make_unique<ServiceCredential>();
  {
    krb::Context ctx;
    if (ctx.error() != 0) {
      detail = ctx.Message(ctx.error());
      return ctx.error();
    }
    krb::Cache cache(ctx.get());
    if (krb5_error_code rc = krb5_cc_new_unique(ctx.get(), "MEMORY", nullptr, cache.out())) {
      detail = ctx.Message(rc);
      return rc;
    }
    credential->cacheName = std::string("MEMORY:") + krb5_cc_get_name(ctx.get(), cache.get());
  }
  OM_uint32 minor = 0;
  GssName name;
  gss_buffer_desc nameBuffer{principal.size(), const_cast<char*>(principal.data())};
  OM_uint32 major = gss_import_name(&minor, &nameBuffer, GSS_KRB5_NT_PRINCIPAL_NAME, name.out());
  if (GSS_ERROR(major)) {
    detail = GssMessage(major, minor);
    return GssKerberosError(major, minor);
  }
  gss_key_value_element_desc elements[] = {
      {"client_keytab", keytab.c_str()},
      {"keytab", keytab.c_str()},
      {"ccache", credential->cacheName.c_str()},
  };
  gss_key_value_set_desc store{3, elements};
  gss_OID_set_desc mechs = KrbMechSet();
  major = gss_acquire_cred_from(&minor, name.get(), GSS_C_INDEFINITE, &mechs, GSS_C_BOTH, &store,
                                credential->cred.out(), nullptr, nullptr);
  if (GSS_ERROR(major)) {
    detail = "Service credential for " + principal + ": " + GssMessage(major, minor);
    return GssKerberosError(major, minor);
  }
  out = std::move(credential);
  return 0;
}

}  // namespace

struct KerberosS4ULogonProvider::State {
  // Set at set-up, or by the first logon when the KDC could not be reached at set-up.
  mutable std::atomic<ServiceCredential*> credential{nullptr};
  std::string principal;   // the service principal, fully qualified
  std::string realm;       // its realm
  std::string keytab;      // where its keys are
  std::string tempParent;  // where the private directory of each copy is made
  unsigned minUserUid = 1000;

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() { delete credential.load(); }

  // The published credential, acquiring and publishing one first when there is none. Several
  // calls may acquire at once; one publishes, the others drop theirs.
  const ServiceCredential* Credential(std::int32_t& error, std::string& detail) const {
    ServiceCredential* current = credential.load();
    if (current != nullptr)
      return current;
    std::unique_ptr<ServiceCredential> fresh;
    error = AcquireServiceCredential(principal, keytab, fresh, detail);
    if (error != 0)
      return nullptr;
    if (credential.compare_exchange_strong(current, fresh.get()))
      return fresh.release();
    return current;
  }
};

KerberosSettings KerberosSettings::FromEnvironment() {
  KerberosSettings settings;
  const char* keytab = std::getenv(kKeytabEnv);
  settings.keytab = keytab != nullptr && keytab[0] != '\0' ? keytab : kDefaultKeytab;
  const char* principal = std::getenv(kServicePrincipalEnv);
  settings.servicePrincipal =
      principal != nullptr && principal[0] != '\0' ? principal : "host/" + HostFqdn();
  settings.minUserUid = LoginDefsUidMin();
  return settings;
}

std::unique_ptr<broker::IS4ULogonProvider> CreateKerberosS4ULogonProvider(KerberosLogSink sink) {
  return std::make_unique<KerberosS4ULogonProvider>(KerberosSettings::FromEnvironment(),
                                                    std::move(sink));
}

void CloseCredentialDescriptor(std::intptr_t fd) noexcept {
  if (fd >= 0)
    ::close(static_cast<int>(fd));
}

KerberosS4ULogonProvider::KerberosS4ULogonProvider(KerberosSettings settings, KerberosLogSink sink)
    : settings_(std::move(settings)), sink_(std::move(sink)) {}

KerberosS4ULogonProvider::~KerberosS4ULogonProvider() {
  state_.store(nullptr);
  current_.reset();
  retired_.clear();
}

std::string KerberosS4ULogonProvider::SetupDetail() const {
  return setupDetail_;
}

namespace {

class KeytabHold final : public broker::IPrivilegeHold {
 public:
  explicit KeytabHold(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;
};

}  // namespace

std::int32_t KerberosS4ULogonProvider::EnablePrivilege(
    std::unique_ptr<broker::IPrivilegeHold>& hold) {
  setupDetail_.clear();
  const std::string path = StripFilePrefix(settings_.keytab);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    setupDetail_ = "Keytab " + path + ": " + std::strerror(err);
    if (sink_)
      sink_(KerberosEventType::Information, text::Utf8ToUtf16(setupDetail_));
    // Reading the host's keys is the privilege; a keytab that exists but may not be read is a
    // privilege that could not be turned on.
    return err == EACCES || err == EPERM ? kHrAccessDenied : kHrInvalidHandle;
  }
  hold = std::make_unique<KeytabHold>(std::move(fd));
  return 0;
}

std::int32_t KerberosS4ULogonProvider::RegisterLogonProcess(const std::string& logonProcessName) {
  (void)logonProcessName;  // the registration has no name on this platform
  setupDetail_.clear();
  auto fail = [this](std::int32_t code, std::string detail) {
    setupDetail_ = std::move(detail);
    if (sink_)
      sink_(KerberosEventType::Information, text::Utf8ToUtf16(setupDetail_));
    return MapKerberosError(code).status;
  };

  krb::Context ctx;
  if (ctx.error() != 0)
    return fail(ctx.error(), ctx.Message(ctx.error()));
  krb::Principal service(ctx.get());
  if (krb5_error_code rc =
          krb5_parse_name(ctx.get(), settings_.servicePrincipal.c_str(), service.out())) {
    return fail(rc, "Service principal '" + settings_.servicePrincipal + "': " + ctx.Message(rc));
  }
  char* unparsed = nullptr;
  if (krb5_error_code rc = krb5_unparse_name(ctx.get(), service.get(), &unparsed)) {
    return fail(rc, ctx.Message(rc));
  }
  auto state = std::make_unique<State>();
  state->tempParent = krb::TempParent();
  state->principal = unparsed;
  state->realm.assign(service.get()->realm.data, service.get()->realm.length);
  state->keytab = settings_.keytab;
  state->minUserUid = settings_.minUserUid;
  krb5_free_unparsed_name(ctx.get(), unparsed);

  std::unique_ptr<ServiceCredential> credential;
  std::string detail;
  if (std::int32_t rc =
          AcquireServiceCredential(state->principal, state->keytab, credential, detail)) {
    if (MapKerberosError(rc).status != kNtNoLogonServers)
      return fail(rc, detail);
    // Only the KDC is missing. It is asked again at every logon until it answers: the broker
    // starts, and logons fail as "no domain controllers" meanwhile.
    setupDetail_ = detail;
    if (sink_) {
      sink_(KerberosEventType::Warning,
            text::Utf8ToUtf16("No KDC reachable at start; the service credential for " +
                              state->principal + " will be acquired at the first logon (" + detail +
                              ")"));
    }
  }
  state->credential.store(credential.release());

  // Publish; a state already published (a second set-up) is withdrawn first.
  packageId_.store(kInvalidPackageId);
  const State* previous = state_.exchange(state.get());
  if (previous != nullptr) {
    std::unique_ptr<State> old = std::move(current_);
    for (int i = 0; i < 30000 && inFlight_.load() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (inFlight_.load() != 0)
      retired_.push_back(std::move(old));
  }
  current_ = std::move(state);
  return 0;
}

std::int32_t KerberosS4ULogonProvider::LookupAuthenticationPackage(const std::string& packageName,
                                                                   std::uint32_t& id) {
  id = kInvalidPackageId;
  if (packageName != "Kerberos")
    return kNtNoSuchPackage;
  OM_uint32 minor = 0;
  gss_OID_set mechs = GSS_C_NO_OID_SET;
  if (GSS_ERROR(gss_indicate_mechs(&minor, &mechs)))
    return kNtNoSuchPackage;
  int present = 0;
  gss_test_oid_set_member(&minor, const_cast<gss_OID>(gss_mech_krb5), mechs, &present);
  gss_release_oid_set(&minor, &mechs);
  if (present == 0)
    return kNtNoSuchPackage;

  const State* state = state_.load();
  if (state == nullptr)
    return kNtInvalidHandle;
  // The identifier is only good when the service credential (when there is one yet) can start
  // logons.
  const ServiceCredential* credential = state->credential.load();
  OM_uint32 initLifetime = 1;
  gss_cred_usage_t usage = GSS_C_BOTH;
  const OM_uint32 major = credential == nullptr
                              ? GSS_S_COMPLETE
                              : gss_inquire_cred_by_mech(&minor, credential->cred.get(),
                                                         const_cast<gss_OID>(gss_mech_krb5),
                                                         nullptr, &initLifetime, nullptr, &usage);
  if (GSS_ERROR(major) || usage == GSS_C_ACCEPT || initLifetime == 0) {
    setupDetail_ = "Service credential for " + state->principal + " cannot start logons";
    if (sink_)
      sink_(KerberosEventType::Information, text::Utf8ToUtf16(setupDetail_));
    return 0;
  }
  id = kKerberosPackageId;
  packageId_.store(id);
  return 0;
}

std::int32_t KerberosS4ULogonProvider::DeregisterLogonProcess() {
  packageId_.store(kInvalidPackageId);
  const State* previous = state_.exchange(nullptr);
  if (previous == nullptr)
    return kNtInvalidHandle;
  // Calls normally have ended by now; any still reading the state are waited for (bounded),
  // and a state still in use is kept until the provider goes away.
  std::unique_ptr<State> old = std::move(current_);
  for (int i = 0; i < 30000 && inFlight_.load() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (inFlight_.load() != 0)
    retired_.push_back(std::move(old));
  return 0;
}

namespace {

// Why a subject must not be logged on, or empty when it may be. Only single-component
// principals are users; a principal mapping to root, to an account below the first user uid or
// to the overflow account is a system identity.
std::string RefusalReason(krb5_context ctx, krb5_const_principal principal, unsigned minUid) {
  if (krb5_princ_size(ctx, principal) != 1)
    return "it is not a user principal";
  char local[256] = {};
  const krb5_error_code rc = krb5_aname_to_localname(ctx, principal, sizeof local, local);
  if (rc == KRB5_LNAME_NOTRANS || rc == KRB5_NO_LOCALNAME)
    return {};
  if (rc != 0)
    return "its local user name cannot be determined";
  const std::string name = local;
  if (name == "root")
    return "it maps to the local account 'root'";
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  const int err = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (err != 0 && err != ENOENT && err != ESRCH) {
    return "the local account '" + name + "' could not be looked up";
  }
  if (found != nullptr &&
      (found->pw_uid == 0 || found->pw_uid < minUid || found->pw_uid == 65534)) {
    return "it maps to the system account '" + name + "' (uid " + std::to_string(found->pw_uid) +
           ")";
  }
  return {};
}

KerberosLogon Failure(std::int32_t status, std::int32_t subStatus, std::string detail,
                      std::int32_t kerberosError = 0) {
  KerberosLogon logon;
  logon.result.status = status;
  logon.result.subStatus = subStatus;
  logon.result.winError = NtStatusToWinError(status);
  logon.kerberosError = kerberosError;
  logon.detail = std::move(detail);
  return logon;
}

KerberosLogon KerberosFailure(std::int32_t code, std::string detail) {
  const KerberosLogonStatus mapped = MapKerberosError(code);
  KerberosLogon logon = Failure(mapped.status, mapped.subStatus, std::move(detail), code);
  logon.result.winError = mapped.winError;
  return logon;
}

}  // namespace

namespace {

// Realms are domain names: the same without regard to ASCII case.
bool SameRealm(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i]))
      return false;
  }
  return true;
}

// The principal to log on, from the token's subject and realm:
//   no realm              the subject as a principal name: its own realm, or the default realm
//                         when it names none ("jdoe", "jdoe@EXAMPLE.TEST");
//   realm R, "jdoe"       jdoe@R (the subject parsed as a name without realm);
//   realm R, "jdoe@R"     the same, the suffix being the realm in any case;
//   realm R, "a@b"        the whole subject as an enterprise name (a user principal name such
//                         as jdoe@example.com) in R, for the KDC to resolve.
// A realm that is the service's own without regard to case is spelled as the service's.
krb5_error_code RequestedPrincipal(krb5_context ctx, const std::string& subject,
                                   const std::string& realm, std::string_view serviceRealm,
                                   krb5_principal* out, std::string& detail) {
  if (realm.empty())
    return krb5_parse_name(ctx, subject.c_str(), out);
  const bool printable = std::all_of(realm.begin(), realm.end(), [](char c) {
    return static_cast<unsigned char>(c) > 0x20 && c != 0x7F && c != '@' && c != '/' && c != '\\';
  });
  if (!printable) {
    detail = "it holds a blank, a control character, '@', '/' or a backslash";
    return KRB5_PARSE_MALFORMED;
  }
  const std::string spelled = SameRealm(realm, serviceRealm) ? std::string(serviceRealm) : realm;
  const std::size_t at = subject.rfind('@');
  if (at != std::string::npos && !SameRealm(std::string_view(subject).substr(at + 1), realm)) {
    if (krb5_error_code rc = krb5_build_principal_ext(
            ctx, out, static_cast<unsigned>(spelled.size()), spelled.data(),
            static_cast<unsigned>(subject.size()), subject.data(), 0)) {
      return rc;
    }
    (*out)->type = KRB5_NT_ENTERPRISE_PRINCIPAL;
    return 0;
  }
  const std::string name = at == std::string::npos ? subject : subject.substr(0, at);
  if (krb5_error_code rc =
          krb5_parse_name_flags(ctx, name.c_str(), KRB5_PRINCIPAL_PARSE_NO_REALM, out)) {
    return rc;
  }
  return krb5_set_principal_realm(ctx, *out, spelled.c_str());
}

KerberosLogon Refused(const std::string& subject, const std::string& reason) {
  return Failure(kNtLogonTypeNotGranted, 0, "Refused the logon of '" + subject + "': " + reason);
}

// The S4U2Self request for `requested` and the sealed copy of its user-only cache. `subject` is
// the token's subject, for refusals; the principal asked for names the request in the others. With
// `exactRealm` (the token named the realm), an answer for a principal of another realm is refused:
// an enterprise name resolved elsewhere is not the token's user. `foreignRealm`: the realm is not
// the service's.
KerberosLogon Impersonate(krb5_context ctx, const krb::Context& messages, gss_cred_id_t serviceCred,
                          const std::string& subject, krb5_principal requested, bool exactRealm,
                          bool foreignRealm, unsigned minUid, const std::string& tempParent) {
  OM_uint32 minor = 0;
  GssName name;
  // The principal itself, name type included (an enterprise name stays one); it outlives the
  // name, which the library may resolve only when it is used.
  gss_buffer_desc nameBuffer{sizeof requested, &requested};
  OM_uint32 major = gss_import_name(&minor, &nameBuffer, gss_nt_krb5_principal, name.out());
  if (GSS_ERROR(major)) {
    return KerberosFailure(GssKerberosError(major, minor), GssMessage(major, minor));
  }
  std::string asked = subject;
  if (exactRealm) {
    char* unparsed = nullptr;
    if (krb5_unparse_name(ctx, requested, &unparsed) == 0)
      asked = unparsed;
    krb5_free_unparsed_name(ctx, unparsed);
  }
  GssCred user;
  gss_OID_set_desc mechs = KrbMechSet();
  major = gss_acquire_cred_impersonate_name(&minor, serviceCred, name.get(), GSS_C_INDEFINITE,
                                            &mechs, GSS_C_INITIATE, user.out(), nullptr, nullptr);
  if (GSS_ERROR(major)) {
    const std::int32_t code = GssKerberosError(major, minor);
    const std::string detail = "S4U2Self for '" + asked + "': " + GssMessage(major, minor);
    // A realm nobody here knows how to reach is not a missing KDC: there is no such user.
    if (foreignRealm && (code == KRB5_REALM_UNKNOWN || code == KRB5_REALM_CANT_RESOLVE))
      return Failure(kNtLogonFailure, 0, detail, code);
    return KerberosFailure(code, detail);
  }

  // The credential as the GSSAPI stores it goes into a private in-memory cache, destroyed on
  // every path: it also holds the service's own ticket-granting ticket. Only the user's tickets
  // are copied out of it.
  krb::Cache stored(ctx);
  if (krb5_error_code rc = krb5_cc_new_unique(ctx, "MEMORY", nullptr, stored.out())) {
    return KerberosFailure(rc, messages.Message(rc));
  }
  stored.DestroyOnClose(true);
  const std::string storedName = std::string("MEMORY:") + krb5_cc_get_name(ctx, stored.get());
  gss_key_value_element_desc element{"ccache", storedName.c_str()};
  gss_key_value_set_desc store{1, &element};
  major = gss_store_cred_into(&minor, user.get(), GSS_C_INITIATE,
                              const_cast<gss_OID>(gss_mech_krb5), 1, 0, &store, nullptr, nullptr);
  user.Reset();
  if (GSS_ERROR(major)) {
    return KerberosFailure(GssKerberosError(major, minor), GssMessage(major, minor));
  }
  krb::Principal client(ctx);
  if (krb5_error_code rc = krb5_cc_get_principal(ctx, stored.get(), client.out())) {
    return KerberosFailure(rc, messages.Message(rc));
  }
  // The KDC may answer with another (canonical) name: it must pass the same checks, and a
  // user asked for in a realm is never logged on as somebody of another realm.
  if (!krb5_principal_compare(ctx, client.get(), requested)) {
    if (exactRealm &&
        !SameRealm(std::string_view(client.get()->realm.data, client.get()->realm.length),
                   std::string_view(requested->realm.data, requested->realm.length))) {
      char* answered = nullptr;
      std::string answer = krb5_unparse_name(ctx, client.get(), &answered) == 0 ? answered : "?";
      krb5_free_unparsed_name(ctx, answered);
      return Failure(kNtLogonFailure, 0,
                     "S4U2Self for '" + asked + "': the KDC answered for '" + answer + "'");
    }
    if (std::string reason = RefusalReason(ctx, client.get(), minUid); !reason.empty()) {
      return Refused(subject, reason);
    }
  }
  UniqueFd sealed;
  if (krb5_error_code rc =
          krb::SealUserCredentials(ctx, stored.get(), client.get(), tempParent, sealed)) {
    return KerberosFailure(rc, "Sealing the credential: " + messages.Message(rc));
  }
  KerberosLogon logon;
  logon.result.credential = broker::OwnedCredential(sealed.release(), &CloseCredentialDescriptor);
  // A service-for-user logon does not tell whether the password must change (the KDC does not
  // check password expiry for it), so no warning can be raised.
  logon.result.passwordMustChange = false;
  return logon;
}

}  // namespace

KerberosLogon KerberosS4ULogonProvider::Logon(std::u16string_view upn, std::uint32_t packageId) {
  return Logon(upn, {}, packageId);
}

KerberosLogon KerberosS4ULogonProvider::Logon(std::u16string_view upn, std::u16string_view realm,
                                              std::uint32_t packageId) {
  KerberosLogon logon = LogonOnce(upn, realm, packageId);
  if (logon.result.status < 0 && sink_) {
    // A refusal is this provider's own decision: say why. For other failures the broker's
    // message may be a general one; the Kerberos library's text goes with it.
    // An answer for a user of another realm than the token's is refused here too (a logon
    // failure without a Kerberos error).
    if (logon.result.status == kNtLogonTypeNotGranted ||
        (logon.result.status == kNtLogonFailure && logon.kerberosError == 0)) {
      sink_(KerberosEventType::Warning, text::Utf8ToUtf16(logon.detail));
    } else if (!HasOwnMessage(logon.result.status, logon.result.subStatus)) {
      sink_(KerberosEventType::Information, text::Utf8ToUtf16(logon.detail));
    }
  }
  return logon;
}

KerberosLogon KerberosS4ULogonProvider::LogonOnce(std::u16string_view upn,
                                                  std::u16string_view realm,
                                                  std::uint32_t packageId) {
  CallGuard guard(inFlight_);
  const State* state = state_.load();
  if (state == nullptr) {
    return Failure(kNtInvalidHandle, 0, "The service credential is not set up");
  }
  if (packageId == kInvalidPackageId || packageId != packageId_.load()) {
    return Failure(kNtNoSuchPackage, 0, "Unknown authentication package");
  }
  constexpr std::size_t kMaxUnits = 32766;
  if (upn.empty() || upn.size() > kMaxUnits || upn.find(u'\0') != std::u16string_view::npos) {
    return Failure(kNtInvalidParameter, 0, "The subject is empty, too long or holds a NUL");
  }
  if (realm.size() > kMaxUnits || realm.find(u'\0') != std::u16string_view::npos) {
    return Failure(kNtInvalidParameter, 0, "The realm is too long or holds a NUL");
  }
  const std::string subject = text::Utf16ToUtf8(upn);
  const std::string realmName = text::Utf16ToUtf8(realm);

  krb::Context ctx;
  if (ctx.error() != 0) {
    return KerberosFailure(ctx.error(), ctx.Message(ctx.error()));
  }
  const std::string_view serviceRealm = state->realm;
  // The token's realm is the subject's realm (see RequestedPrincipal).
  krb::Principal requested(ctx.get());
  std::string why;
  if (krb5_error_code rc =
          RequestedPrincipal(ctx.get(), subject, realmName, serviceRealm, requested.out(), why)) {
    return KerberosFailure(rc, "Subject '" + subject + "' of realm '" + realmName +
                                   "': " + (why.empty() ? ctx.Message(rc) : why));
  }
  if (std::string reason = RefusalReason(ctx.get(), requested.get(), state->minUserUid);
      !reason.empty()) {
    return Refused(subject, reason);
  }
  std::int32_t error = 0;
  std::string detail;
  const ServiceCredential* credential = state->Credential(error, detail);
  if (credential == nullptr)
    return KerberosFailure(error, detail);
  const bool foreign = !SameRealm(
      std::string_view(requested.get()->realm.data, requested.get()->realm.length), serviceRealm);
  return Impersonate(ctx.get(), ctx, credential->cred.get(), subject, requested.get(),
                     !realmName.empty(), foreign, state->minUserUid, state->tempParent);
}

broker::LogonResult KerberosS4ULogonProvider::LogonUser(const std::u16string& upn,
                                                        const std::u16string& realm,
                                                        std::uint32_t packageId) {
  try {
    return Logon(upn, realm, packageId).result;
  } catch (const std::bad_alloc&) {
    broker::LogonResult result;
    result.status = kNtQuotaExceeded;
    result.winError = NtStatusToWinError(kNtQuotaExceeded);
    return result;
  }
}

}  // namespace tokengate::platform
