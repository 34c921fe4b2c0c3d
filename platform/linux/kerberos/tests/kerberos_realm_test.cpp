// The S4U2Self logon against a real KDC of a throwaway realm.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <krb5.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "kerberos_internal.h"
#include "test_realm.h"
#include "tokengate/platform/kerberos_credential.h"
#include "tokengate/platform/kerberos_s4u.h"
#include "tokengate/platform/kerberos_status.h"

namespace tokengate::platform {
namespace {

using testing::TestRealm;

struct Entry {
  std::string client;
  std::string server;
  bool config;
};

// Every entry of the cache held by a credential descriptor, configuration entries included.
std::vector<Entry> Entries(int fd) {
  std::vector<Entry> entries;
  krb::Context ctx;
  krb::Cache cache(ctx.get());
  const std::string name = "FILE:/proc/self/fd/" + std::to_string(fd);
  if (krb5_cc_resolve(ctx.get(), name.c_str(), cache.out()) != 0)
    return entries;
  krb5_cc_cursor cursor = nullptr;
  if (krb5_cc_start_seq_get(ctx.get(), cache.get(), &cursor) != 0)
    return entries;
  krb5_creds creds;
  while (krb5_cc_next_cred(ctx.get(), cache.get(), &cursor, &creds) == 0) {
    char* client = nullptr;
    char* server = nullptr;
    krb5_unparse_name(ctx.get(), creds.client, &client);
    krb5_unparse_name(ctx.get(), creds.server, &server);
    entries.push_back({client, server, krb5_is_config_principal(ctx.get(), creds.server) != 0});
    krb5_free_unparsed_name(ctx.get(), client);
    krb5_free_unparsed_name(ctx.get(), server);
    krb5_free_cred_contents(ctx.get(), &creds);
  }
  krb5_cc_end_seq_get(ctx.get(), cache.get(), &cursor);
  return entries;
}

class KerberosRealm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    realm_ = TestRealm::Start(&whyNot_).release();
    if (realm_ == nullptr)
      return;
    // Private files of the provider go here, where the tests can see what is left behind.
    const std::string tmp = realm_->dir() + "/tmp";
    ::mkdir(tmp.c_str(), 0700);
    if (const char* previous = std::getenv("TMPDIR"))
      previousTmpdir_ = previous;
    ::setenv("TMPDIR", tmp.c_str(), 1);
    for (const char* query :
         {"addprinc -pw pw1 jdoe", "addprinc -pw pw2 -allow_tix revoked",
          "addprinc -pw pw3 -expire 2020-01-01 expired", "addprinc -pw pw4 root",
          "addprinc -pw pw5 daemon", "addprinc -pw pw6 -pwexpire 2020-01-01 oldpassword"}) {
      if (!realm_->Kadmin(query))
        whyNot_ = std::string("kadmin failed: ") + query;
    }
    // Another person called jdoe in the partner realm, a user only it has, and a principal of
    // the service's realm named by a user principal name.
    for (const char* query : {"addprinc -pw pw7 jdoe", "addprinc -pw pw8 partneronly"}) {
      if (!realm_->Kadmin(query, TestRealm::kPartnerRealm))
        whyNot_ = std::string("kadmin failed: ") + query;
    }
    if (!realm_->Kadmin("addprinc -pw pw9 jdoe\\@example.com"))
      whyNot_ = "kadmin failed: addprinc jdoe\\@example.com";
  }
  static void TearDownTestSuite() {
    if (previousTmpdir_)
      ::setenv("TMPDIR", previousTmpdir_->c_str(), 1);
    else
      ::unsetenv("TMPDIR");
    previousTmpdir_.reset();
    delete realm_;
    realm_ = nullptr;
  }

  void SetUp() override {
    if (realm_ == nullptr || !whyNot_.empty())
      GTEST_SKIP() << whyNot_;
    ASSERT_TRUE(realm_->StartKdc());
  }

  KerberosSettings Settings() const {
    KerberosSettings settings;
    settings.keytab = realm_->keytab();
    settings.servicePrincipal = TestRealm::kService;
    settings.minUserUid = 1000;
    return settings;
  }

  // A provider through all three set-up steps.
  std::unique_ptr<KerberosS4ULogonProvider> Ready() {
    auto provider = std::make_unique<KerberosS4ULogonProvider>(
        Settings(),
        [this](auto type, auto text) { logged_.emplace_back(type, std::u16string(text)); });
    std::unique_ptr<broker::IPrivilegeHold> hold;
    EXPECT_EQ(provider->EnablePrivilege(hold), 0);
    EXPECT_EQ(provider->RegisterLogonProcess("Corvane Web Agent Authentication Service"), 0)
        << provider->SetupDetail();
    std::uint32_t id = 0;
    EXPECT_EQ(provider->LookupAuthenticationPackage("Kerberos", id), 0);
    EXPECT_EQ(id, kKerberosPackageId);
    return provider;
  }

  static TestRealm* realm_;
  static std::string whyNot_;
  static std::optional<std::string> previousTmpdir_;
  std::vector<std::pair<KerberosEventType, std::u16string>> logged_;
};

TestRealm* KerberosRealm::realm_ = nullptr;
std::string KerberosRealm::whyNot_;
std::optional<std::string> KerberosRealm::previousTmpdir_;

TEST_F(KerberosRealm, LogonHandsOutOnlyTheUsersTicketInASealedMemfd) {
  auto provider = Ready();
  broker::LogonResult result = provider->LogonUser(u"jdoe", u"EXAMPLE.TEST", kKerberosPackageId);
  ASSERT_EQ(result.status, 0);
  ASSERT_TRUE(result.credential);
  EXPECT_FALSE(result.passwordMustChange);
  const int fd = static_cast<int>(result.credential.Get());

  const int seals = ::fcntl(fd, F_GET_SEALS);
  EXPECT_EQ(seals, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  EXPECT_LT(::write(fd, "x", 1), 0);
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

  // The user's service ticket only: neither the service's ticket-granting ticket nor the
  // record of the impersonation.
  const std::vector<Entry> entries = Entries(fd);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].client, "jdoe@EXAMPLE.TEST");
  EXPECT_EQ(entries[0].server, TestRealm::kService);
  EXPECT_FALSE(entries[0].config);

  std::string error;
  auto received = ReceivedKerberosCredential::Open(fd, &error);
  ASSERT_TRUE(received) << error;
  EXPECT_EQ(received->principal(), "jdoe@EXAMPLE.TEST");
  EXPECT_EQ(received->localName(), std::optional<std::string>("jdoe"));
  EXPECT_EQ(received->credentialCount(), 1);
  EXPECT_EQ(received->cacheName().rfind("MEMORY:", 0), 0u);

  std::string directory;
  {
    auto file = received->WriteCacheFile(realm_->dir(), &error);
    ASSERT_TRUE(file) << error;
    struct stat st {};
    ASSERT_EQ(::stat(file->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    directory = file->path().substr(0, file->path().rfind('/'));
    ASSERT_EQ(::stat(directory.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  EXPECT_NE(::access(directory.c_str(), F_OK), 0);  // removed with its file

  // The provider's private files of the copy are gone.
  EXPECT_TRUE(std::filesystem::is_empty(realm_->dir() + "/tmp"));
}

TEST_F(KerberosRealm, ExpiredPasswordStillLogsOnWithoutWarning) {
  auto provider = Ready();
  broker::LogonResult result = provider->LogonUser(u"oldpassword", u"", kKerberosPackageId);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.credential);
  EXPECT_FALSE(result.passwordMustChange);
}

struct FailureCase {
  const char* name;
  std::u16string subject;
  std::int32_t status;
  std::int32_t subStatus;
};

class KerberosRealmFailure : public KerberosRealm,
                             public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KerberosRealmFailure, MapsOntoTheLogonStatusAndHandsOutNothing) {
  const FailureCase& c = GetParam();
  auto provider = Ready();
  KerberosLogon logon = provider->Logon(c.subject, kKerberosPackageId);
  EXPECT_EQ(logon.result.status, c.status) << logon.detail;
  EXPECT_EQ(logon.result.subStatus, c.subStatus);
  EXPECT_EQ(logon.result.winError, NtStatusToWinError(c.status));
  EXPECT_FALSE(logon.result.credential);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KerberosRealmFailure,
    ::testing::Values(
        FailureCase{"unknown", u"nosuchuser", kNtLogonFailure, 0},
        FailureCase{"revoked", u"revoked", kNtAccountRestriction, kNtAccountDisabled},
        FailureCase{"expired", u"expired@EXAMPLE.TEST", kNtAccountRestriction, kNtAccountExpired},
        FailureCase{"otherRealm", u"jdoe@OTHER.TEST", kNtLogonFailure, 0},
        FailureCase{"root", u"root", kNtLogonTypeNotGranted, 0},
        FailureCase{"systemAccount", u"daemon@EXAMPLE.TEST", kNtLogonTypeNotGranted, 0},
        FailureCase{"servicePrincipal", u"host/localhost", kNtLogonTypeNotGranted, 0},
        FailureCase{"empty", u"", kNtInvalidParameter, 0},
        FailureCase{"tooLong", std::u16string(32767, u'a'), kNtInvalidParameter, 0}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return param.param.name; });

// The token's realm is the subject's realm: the same name in two realms is two people.
struct RealmCase {
  const char* name;
  std::u16string subject;
  std::u16string realm;
  std::string client;  // whose ticket the credential holds
};

class KerberosRealmOfToken : public KerberosRealm,
                             public ::testing::WithParamInterface<RealmCase> {};

TEST_P(KerberosRealmOfToken, LogsOnTheUserOfTheTokensRealm) {
  const RealmCase& c = GetParam();
  auto provider = Ready();
  KerberosLogon logon = provider->Logon(c.subject, c.realm, kKerberosPackageId);
  ASSERT_EQ(logon.result.status, 0) << logon.detail;
  ASSERT_TRUE(logon.result.credential);
  const std::vector<Entry> entries = Entries(static_cast<int>(logon.result.credential.Get()));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].client, c.client);
  EXPECT_EQ(entries[0].server, TestRealm::kService);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KerberosRealmOfToken,
    ::testing::Values(RealmCase{"noRealm", u"jdoe", u"", "jdoe@EXAMPLE.TEST"},
                      RealmCase{"serviceRealm", u"jdoe", u"EXAMPLE.TEST", "jdoe@EXAMPLE.TEST"},
                      RealmCase{"serviceRealmInAnotherCase", u"jdoe", u"example.test",
                                "jdoe@EXAMPLE.TEST"},
                      RealmCase{"subjectWithTheRealm", u"jdoe@EXAMPLE.TEST", u"EXAMPLE.TEST",
                                "jdoe@EXAMPLE.TEST"},
                      RealmCase{"enterpriseName", u"jdoe@example.com", u"EXAMPLE.TEST",
                                "jdoe\\@example.com@EXAMPLE.TEST"}),
    [](const ::testing::TestParamInfo<RealmCase>& param) { return param.param.name; });

struct RealmFailureCase {
  const char* name;
  std::u16string subject;
  std::u16string realm;
  std::int32_t status;
};

class KerberosRealmOfTokenFailure : public KerberosRealm,
                                    public ::testing::WithParamInterface<RealmFailureCase> {};

TEST_P(KerberosRealmOfTokenFailure, NeverLogsOnSomebodyElse) {
  const RealmFailureCase& c = GetParam();
  auto provider = Ready();
  broker::LogonResult result = provider->LogonUser(c.subject, c.realm, kKerberosPackageId);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.winError, NtStatusToWinError(c.status));
  EXPECT_FALSE(result.credential);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KerberosRealmOfTokenFailure,
    ::testing::Values(
        // A realm the KDC does not know: no such user, never jdoe of the service's realm.
        RealmFailureCase{"unknownRealm", u"jdoe", u"OTHER.TEST", kNtLogonFailure},
        RealmFailureCase{"subjectOfTheServiceRealmInAnUnknownOne", u"jdoe@EXAMPLE.TEST",
                         u"OTHER.TEST", kNtLogonFailure},
        RealmFailureCase{"enterpriseNameInAnUnknownRealm", u"jdoe@example.com", u"OTHER.TEST",
                         kNtLogonFailure},
        // A realm the KDC trusts, with a jdoe of its own: this KDC cannot log its users on
        // for the service, so the logon fails, and never as jdoe of the service's realm.
        RealmFailureCase{"partnerRealm", u"jdoe", u"PARTNER.TEST", kNtLogonFailure},
        RealmFailureCase{"partnerSubjectWithTheRealm", u"jdoe@partner.test", u"PARTNER.TEST",
                         kNtLogonFailure},
        RealmFailureCase{"enterpriseNameInThePartnerRealm", u"jdoe@example.com", u"PARTNER.TEST",
                         kNtLogonFailure},
        RealmFailureCase{"userOfThePartnerRealmOnly", u"partneronly", u"EXAMPLE.TEST",
                         kNtLogonFailure},
        RealmFailureCase{"serviceRealmUserInThePartnerRealm", u"oldpassword", u"PARTNER.TEST",
                         kNtLogonFailure},
        RealmFailureCase{"malformedRealm", u"jdoe", u"EXAMPLE.TEST@EVIL", kNtLogonFailure},
        RealmFailureCase{"realmWithNul", u"jdoe", std::u16string(u"EXAMPLE.TEST\0x", 14),
                         kNtInvalidParameter},
        // The mapping rules hold whatever realm spelling the token uses.
        RealmFailureCase{"root", u"root", u"EXAMPLE.TEST", kNtLogonTypeNotGranted},
        RealmFailureCase{"rootInAnotherCase", u"root", u"example.test", kNtLogonTypeNotGranted},
        RealmFailureCase{"systemAccount", u"daemon", u"EXAMPLE.TEST", kNtLogonTypeNotGranted},
        RealmFailureCase{"servicePrincipal", u"host/localhost", u"EXAMPLE.TEST",
                         kNtLogonTypeNotGranted}),
    [](const ::testing::TestParamInfo<RealmFailureCase>& param) { return param.param.name; });

// Where the host's default realm is not the service's, a token's realm still picks the user's
// realm; without one the subject is a user of the default realm, as before.
TEST_F(KerberosRealm, TheTokensRealmNotTheDefaultRealmNamesTheUser) {
  auto provider = Ready();
  const std::string config = realm_->dir() + "/krb5-partner-default.conf";
  {
    std::ifstream in(realm_->dir() + "/krb5.conf");
    std::stringstream text;
    text << in.rdbuf();
    std::string conf = text.str();
    const std::string from = std::string("default_realm = ") + TestRealm::kRealm;
    ASSERT_NE(conf.find(from), std::string::npos);
    conf.replace(conf.find(from), from.size(),
                 std::string("default_realm = ") + TestRealm::kPartnerRealm);
    std::ofstream(config) << conf;
  }
  const std::string previous = std::getenv("KRB5_CONFIG");
  ::setenv("KRB5_CONFIG", config.c_str(), 1);
  KerberosLogon withRealm = provider->Logon(u"jdoe", u"EXAMPLE.TEST", kKerberosPackageId);
  KerberosLogon withoutRealm = provider->Logon(u"jdoe", u"", kKerberosPackageId);
  ::setenv("KRB5_CONFIG", previous.c_str(), 1);

  ASSERT_EQ(withRealm.result.status, 0) << withRealm.detail;
  const std::vector<Entry> entries = Entries(static_cast<int>(withRealm.result.credential.Get()));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].client, "jdoe@EXAMPLE.TEST");
  EXPECT_EQ(withoutRealm.result.status, kNtLogonFailure)
      << "jdoe@PARTNER.TEST: " << withoutRealm.detail;
  EXPECT_FALSE(withoutRealm.result.credential);
}

// An enterprise name the KDC resolves to a user of another realm than the token's is refused,
// and the reason logged.
TEST_F(KerberosRealm, AnAnswerForAnotherRealmIsRefusedAndExplained) {
  auto provider = Ready();
  logged_.clear();
  broker::LogonResult result =
      provider->LogonUser(u"jdoe@example.com", u"OTHER.TEST", kKerberosPackageId);
  EXPECT_EQ(result.status, kNtLogonFailure);
  EXPECT_FALSE(result.credential);
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0].first, KerberosEventType::Warning);
  EXPECT_EQ(logged_[0].second,
            u"S4U2Self for 'jdoe\\@example.com@OTHER.TEST': the KDC answered "
            u"for 'jdoe\\@example.com@EXAMPLE.TEST'");
}

TEST_F(KerberosRealm, RefusedSubjectIsExplainedInTheLog) {
  auto provider = Ready();
  logged_.clear();
  provider->LogonUser(u"root", u"", kKerberosPackageId);
  ASSERT_EQ(logged_.size(), 1u);
  EXPECT_EQ(logged_[0].first, KerberosEventType::Warning);
  EXPECT_EQ(logged_[0].second, u"Refused the logon of 'root': it maps to the local account 'root'");
}

TEST_F(KerberosRealm, KdcDownFailsLogonsUntilItAnswers) {
  auto provider = Ready();
  ASSERT_TRUE(realm_->StopKdc());
  EXPECT_EQ(provider->LogonUser(u"jdoe", u"", kKerberosPackageId).status, kNtNoLogonServers);

  // A broker starting while the KDC is down still starts; its logons fail as "no domain
  // controllers" until the KDC answers, and then succeed.
  std::vector<std::u16string> warnings;
  KerberosS4ULogonProvider fresh(Settings(), [&](KerberosEventType type, std::u16string_view text) {
    if (type == KerberosEventType::Warning)
      warnings.emplace_back(text);
  });
  std::unique_ptr<broker::IPrivilegeHold> hold;
  ASSERT_EQ(fresh.EnablePrivilege(hold), 0);
  EXPECT_EQ(fresh.RegisterLogonProcess("x"), 0);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind(u"No KDC reachable at start; the service credential for "
                              u"host/localhost@EXAMPLE.TEST will be acquired at the first logon",
                              0),
            0u);
  std::uint32_t id = 0;
  EXPECT_EQ(fresh.LookupAuthenticationPackage("Kerberos", id), 0);
  EXPECT_EQ(id, kKerberosPackageId);
  EXPECT_EQ(fresh.LogonUser(u"jdoe", u"", id).status, kNtNoLogonServers);
  ASSERT_TRUE(realm_->StartKdc());
  // Several first logons at once: each may acquire the service credential, one publishes it.
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      broker::LogonResult later = fresh.LogonUser(u"jdoe", u"", id);
      if (later.status == 0 && later.credential)
        ++good;
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(good.load(), 4);
}

TEST_F(KerberosRealm, LogonBeforeSetupAfterStopOrWithAnotherPackageFails) {
  KerberosS4ULogonProvider provider(Settings());
  EXPECT_EQ(provider.LogonUser(u"jdoe", u"", kKerberosPackageId).status, kNtInvalidHandle);
  std::uint32_t id = 0;
  EXPECT_EQ(provider.LookupAuthenticationPackage("NTLM", id), kNtNoSuchPackage);
  EXPECT_EQ(id, kInvalidPackageId);

  auto ready = Ready();
  EXPECT_EQ(ready->LogonUser(u"jdoe", u"", kInvalidPackageId).status, kNtNoSuchPackage);
  EXPECT_EQ(ready->DeregisterLogonProcess(), 0);
  EXPECT_EQ(ready->LogonUser(u"jdoe", u"", kKerberosPackageId).status, kNtInvalidHandle);
  EXPECT_EQ(ready->DeregisterLogonProcess(), kNtInvalidHandle);
}

TEST_F(KerberosRealm, UnreadableKeytabFailsThePrivilegeStep) {
  // Root reads every file, so the check runs in a child that has given up root.
  const bool root = ::geteuid() == 0;
  const std::string keytab = realm_->dir() + "/locked.keytab";
  ASSERT_EQ(::symlink(realm_->keytab().c_str(), keytab.c_str()), 0);
  if (!root)
    ::chmod(realm_->keytab().c_str(), 0);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const pid_t pid = root ? ::fork() : 0;
  if (pid == 0) {
    if (root && (::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(2);
    KerberosSettings settings = Settings();
    settings.keytab = keytab;
    KerberosS4ULogonProvider provider(settings);
    std::unique_ptr<broker::IPrivilegeHold> hold;
    const std::int32_t codes[2] = {provider.EnablePrivilege(hold),
                                   provider.RegisterLogonProcess("x")};
    const bool written = ::write(pipeFds[1], codes, sizeof codes) == sizeof codes;
    if (root)
      ::_exit(written ? 0 : 3);
  }
  std::int32_t codes[2] = {};
  if (root) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  } else {
    ::chmod(realm_->keytab().c_str(), 0600);
  }
  ASSERT_EQ(::read(pipeFds[0], codes, sizeof codes), static_cast<ssize_t>(sizeof codes));
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  EXPECT_EQ(codes[0], kHrAccessDenied);
  EXPECT_EQ(codes[1], kNtAccessDenied);

  KerberosSettings missing = Settings();
  missing.keytab = realm_->dir() + "/missing.keytab";
  KerberosS4ULogonProvider provider(missing);
  std::unique_ptr<broker::IPrivilegeHold> hold;
  EXPECT_EQ(provider.EnablePrivilege(hold), kHrInvalidHandle);
}

TEST_F(KerberosRealm, PrincipalMissingFromTheKeytabFailsRegistration) {
  KerberosSettings settings = Settings();
  settings.servicePrincipal = "HTTP/localhost";
  KerberosS4ULogonProvider provider(settings);
  std::unique_ptr<broker::IPrivilegeHold> hold;
  ASSERT_EQ(provider.EnablePrivilege(hold), 0);
  EXPECT_EQ(provider.RegisterLogonProcess("x"), kNtNoSuchUser) << provider.SetupDetail();
}

TEST_F(KerberosRealm, StaleKeytabFailsRegistration) {
  const std::string stale = realm_->dir() + "/stale.keytab";
  ASSERT_TRUE(realm_->Kadmin("addprinc -randkey host/stale.example.test"));
  ASSERT_TRUE(realm_->Kadmin("ktadd -k " + stale + " host/stale.example.test"));
  ASSERT_TRUE(realm_->Kadmin("cpw -randkey host/stale.example.test"));  // new keys at the KDC
  KerberosSettings settings = Settings();
  settings.keytab = stale;
  settings.servicePrincipal = "host/stale.example.test";
  KerberosS4ULogonProvider provider(settings);
  std::unique_ptr<broker::IPrivilegeHold> hold;
  ASSERT_EQ(provider.EnablePrivilege(hold), 0);
  EXPECT_EQ(provider.RegisterLogonProcess("x"), kNtLogonFailure) << provider.SetupDetail();
}

TEST_F(KerberosRealm, CopyingACacheWithoutServiceTicketsKeepsTheUsersOnly) {
  auto provider = Ready();
  broker::LogonResult result = provider->LogonUser(u"jdoe", u"", kKerberosPackageId);
  ASSERT_TRUE(result.credential);
  const std::string source = "FILE:/proc/self/fd/" + std::to_string(result.credential.Get());

  krb::Context ctx;
  krb::Cache cache(ctx.get());
  krb::Principal user(ctx.get());
  krb::Principal stranger(ctx.get());
  ASSERT_EQ(krb5_cc_resolve(ctx.get(), source.c_str(), cache.out()), 0);
  ASSERT_EQ(krb5_parse_name(ctx.get(), "jdoe@EXAMPLE.TEST", user.out()), 0);
  ASSERT_EQ(krb5_parse_name(ctx.get(), "someone@EXAMPLE.TEST", stranger.out()), 0);

  const std::string tmp = realm_->dir() + "/tmp";
  UniqueFd copy;
  ASSERT_EQ(krb::SealUserCredentials(ctx.get(), cache.get(), user.get(), tmp, copy), 0);
  const std::vector<Entry> entries = Entries(copy.get());
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].client, "jdoe@EXAMPLE.TEST");

  UniqueFd none;
  EXPECT_EQ(krb::SealUserCredentials(ctx.get(), cache.get(), stranger.get(), tmp, none),
            KRB5_CC_NOTFOUND);
  EXPECT_FALSE(none);
  EXPECT_TRUE(std::filesystem::is_empty(tmp));  // nothing left behind either way
}

TEST_F(KerberosRealm, ConcurrentLogonsEachGetTheirOwnCredential) {
  auto provider = Ready();
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        broker::LogonResult r = provider->LogonUser(u"jdoe", u"", kKerberosPackageId);
        if (r.status == 0 && r.credential &&
            Entries(static_cast<int>(r.credential.Get())).size() == 1) {
          ++good;
        }
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(good.load(), 40);
}

}  // namespace
}  // namespace tokengate::platform
