#include <fcntl.h>
#include <gtest/gtest.h>
#include <krb5.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "tokengate/platform/kerberos_credential.h"
#include "tokengate/platform/kerberos_s4u.h"
#include "tokengate/platform/kerberos_status.h"
#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform {
namespace {

struct MappingCase {
  std::int32_t code;
  std::int32_t status;
  std::int32_t subStatus;
  std::uint32_t winError;
};

class KerberosErrorMapping : public ::testing::TestWithParam<MappingCase> {};

TEST_P(KerberosErrorMapping, GivesStatusSubStatusAndWindowsError) {
  const MappingCase& c = GetParam();
  const KerberosLogonStatus mapped = MapKerberosError(c.code);
  EXPECT_EQ(mapped.status, c.status);
  EXPECT_EQ(mapped.subStatus, c.subStatus);
  EXPECT_EQ(mapped.winError, c.winError);
}

INSTANTIATE_TEST_SUITE_P(
    Table, KerberosErrorMapping,
    ::testing::Values(
        MappingCase{0, 0, 0, 0}, MappingCase{KRB5_KDC_UNREACH, kNtNoLogonServers, 0, 1311},
        MappingCase{ECONNREFUSED, kNtNoLogonServers, 0, 1311},
        MappingCase{KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN, kNtLogonFailure, 0, 1326},
        MappingCase{KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN, kNtLogonFailure, 0, 1326},
        MappingCase{KRB5KRB_AP_ERR_BAD_INTEGRITY, kNtLogonFailure, 0, 1326},
        MappingCase{KRB5KDC_ERR_CLIENT_REVOKED, kNtAccountRestriction, kNtAccountDisabled, 1327},
        MappingCase{KRB5KDC_ERR_NAME_EXP, kNtAccountRestriction, kNtAccountExpired, 1327},
        MappingCase{KRB5KDC_ERR_KEY_EXP, kNtAccountRestriction, kNtPasswordExpired, 1327},
        MappingCase{KRB5KDC_ERR_POLICY, kNtAccountRestriction, 0, 1327},
        MappingCase{ENOMEM, kNtQuotaExceeded, 0, 1816},
        MappingCase{KRB5KRB_AP_ERR_SKEW, kNtTimeDifferenceAtDc, 0, 1398},
        MappingCase{EACCES, kNtAccessDenied, 0, 5}, MappingCase{ENOENT, kNtNoSuchFile, 0, 2},
        MappingCase{KRB5KDC_ERR_BADOPTION, kNtUnsuccessful, 0, 31}));

TEST(NtStatusToWinError, UnknownStatusGivesTheUnmappedCode) {
  EXPECT_EQ(NtStatusToWinError(static_cast<std::int32_t>(0xC0DE0001)), 317u);
  EXPECT_EQ(NtStatusToWinError(kNtLogonTypeNotGranted), 1385u);
}

TEST(ReceivedKerberosCredential, RefusesDescriptorsThatAreNotSealedMemoryFiles) {
  UniqueFd unsealed(::memfd_create("x", MFD_ALLOW_SEALING | MFD_CLOEXEC));
  ASSERT_TRUE(unsealed);
  ASSERT_EQ(::write(unsealed.get(), "\x05\x04", 2), 2);
  std::string error;
  EXPECT_FALSE(ReceivedKerberosCredential::Open(unsealed.get(), &error));
  EXPECT_NE(error.find("not a sealed"), std::string::npos);

  // Sealed but holding garbage: refused with the Kerberos library's reason.
  ASSERT_EQ(::fcntl(unsealed.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE), 0);
  error.clear();
  EXPECT_FALSE(ReceivedKerberosCredential::Open(unsealed.get(), &error));
  EXPECT_FALSE(error.empty());

  error.clear();
  EXPECT_FALSE(ReceivedKerberosCredential::Open(-1, &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace tokengate::platform

namespace tokengate::platform {
namespace {

TEST(KerberosSettings, EnvironmentOverridesKeytabAndPrincipal) {
  ::setenv(kKeytabEnv, "/srv/keys/http.keytab", 1);
  ::setenv(kServicePrincipalEnv, "HTTP/www.example.test@EXAMPLE.TEST", 1);
  KerberosSettings set = KerberosSettings::FromEnvironment();
  EXPECT_EQ(set.keytab, "/srv/keys/http.keytab");
  EXPECT_EQ(set.servicePrincipal, "HTTP/www.example.test@EXAMPLE.TEST");

  // Empty counts as unset.
  ::setenv(kKeytabEnv, "", 1);
  ::unsetenv(kServicePrincipalEnv);
  KerberosSettings defaults = KerberosSettings::FromEnvironment();
  ::unsetenv(kKeytabEnv);
  EXPECT_EQ(defaults.keytab, kDefaultKeytab);
  EXPECT_EQ(defaults.servicePrincipal.rfind("host/", 0), 0u);
  EXPECT_GT(defaults.servicePrincipal.size(), 5u);
  EXPECT_GE(defaults.minUserUid, 1u);
}

}  // namespace
}  // namespace tokengate::platform
