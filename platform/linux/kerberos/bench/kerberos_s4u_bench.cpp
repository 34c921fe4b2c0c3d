// S4U2Self logons per second against a local throwaway KDC: through the broker's provider
// (logon, user-only copy, sealed memfd) next to bare GSSAPI impersonation calls, both with a
// warm service credential.
#include <benchmark/benchmark.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "test_realm.h"
#include "tokengate/platform/kerberos_s4u.h"

namespace {

using tokengate::platform::KerberosS4ULogonProvider;
using tokengate::platform::KerberosSettings;
using tokengate::platform::testing::TestRealm;

TestRealm* Realm() {
  static std::unique_ptr<TestRealm> realm = [] {
    std::string whyNot;
    auto started = TestRealm::Start(&whyNot);
    if (started)
      started->Kadmin("addprinc -pw benchpw jdoe");
    if (!started)
      std::fprintf(stderr, "no test realm: %s\n", whyNot.c_str());
    return started;
  }();
  return realm.get();
}

void BM_ProviderLogon(benchmark::State& state) {
  TestRealm* realm = Realm();
  if (realm == nullptr) {
    state.SkipWithError("no Kerberos KDC");
    return;
  }
  KerberosSettings settings;
  settings.keytab = realm->keytab();
  settings.servicePrincipal = TestRealm::kService;
  KerberosS4ULogonProvider provider(settings);
  std::unique_ptr<tokengate::broker::IPrivilegeHold> hold;
  std::uint32_t id = 0;
  if (provider.EnablePrivilege(hold) != 0 || provider.RegisterLogonProcess("bench") != 0 ||
      provider.LookupAuthenticationPackage("Kerberos", id) != 0) {
    state.SkipWithError("set-up failed");
    return;
  }
  for (auto _ : state) {
    tokengate::broker::LogonResult result = provider.LogonUser(u"jdoe", u"", id);
    if (result.status != 0) {
      state.SkipWithError("logon failed");
      return;
    }
    benchmark::DoNotOptimize(result.credential.Get());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_BareGssImpersonate(benchmark::State& state) {
  TestRealm* realm = Realm();
  if (realm == nullptr) {
    state.SkipWithError("no Kerberos KDC");
    return;
  }
  OM_uint32 minor = 0;
  const std::string keytab = realm->keytab();
  gss_key_value_element_desc elements[] = {{"client_keytab", keytab.c_str()},
                                           {"keytab", keytab.c_str()},
                                           {"ccache", "MEMORY:tokengate-bench-service"}};
  gss_key_value_set_desc store{3, elements};
  gss_OID_set_desc mechs{1, const_cast<gss_OID>(gss_mech_krb5)};
  std::string service = TestRealm::kService;
  gss_buffer_desc serviceBuffer{service.size(), service.data()};
  gss_name_t serviceName = GSS_C_NO_NAME;
  gss_cred_id_t serviceCred = GSS_C_NO_CREDENTIAL;
  gss_import_name(&minor, &serviceBuffer, GSS_KRB5_NT_PRINCIPAL_NAME, &serviceName);
  if (GSS_ERROR(gss_acquire_cred_from(&minor, serviceName, GSS_C_INDEFINITE, &mechs, GSS_C_BOTH,
                                      &store, &serviceCred, nullptr, nullptr))) {
    state.SkipWithError("service credential failed");
    gss_release_name(&minor, &serviceName);
    return;
  }
  std::string user = "jdoe";
  gss_buffer_desc userBuffer{user.size(), user.data()};
  gss_name_t userName = GSS_C_NO_NAME;
  gss_import_name(&minor, &userBuffer, GSS_KRB5_NT_PRINCIPAL_NAME, &userName);
  for (auto _ : state) {
    gss_cred_id_t userCred = GSS_C_NO_CREDENTIAL;
    if (GSS_ERROR(gss_acquire_cred_impersonate_name(&minor, serviceCred, userName, GSS_C_INDEFINITE,
                                                    &mechs, GSS_C_INITIATE, &userCred, nullptr,
                                                    nullptr))) {
      state.SkipWithError("impersonation failed");
      break;
    }
    gss_release_cred(&minor, &userCred);
  }
  state.SetItemsProcessed(state.iterations());
  gss_release_name(&minor, &userName);
  gss_release_name(&minor, &serviceName);
  gss_release_cred(&minor, &serviceCred);
}

BENCHMARK(BM_BareGssImpersonate)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ProviderLogon)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_BareGssImpersonate)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(4);
BENCHMARK(BM_ProviderLogon)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(4);

}  // namespace

BENCHMARK_MAIN();
