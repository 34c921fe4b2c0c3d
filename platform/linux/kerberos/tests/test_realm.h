// A throwaway MIT Kerberos realm on loopback for tests and benchmarks: its own krb5.conf and
// kdc.conf in a private temporary directory, a database made with kdb5_util, a KDC (krb5kdc)
// on a free 127.0.0.1 port over TCP only, and principals made with kadmin.local. The KDC is
// stopped by its pid and the directory removed when the realm goes away.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace tokengate::platform::testing {

class TestRealm {
 public:
  static constexpr char kRealm[] = "EXAMPLE.TEST";
  static constexpr char kService[] = "host/localhost@EXAMPLE.TEST";
  // A second realm served by the same KDC, trusting and trusted by kRealm (each has the other's
  // cross-realm ticket-granting principal), for users of another realm.
  static constexpr char kPartnerRealm[] = "PARTNER.TEST";

  // Creates both realms, starts their KDC, adds the service principal with a keytab, and points
  // this process's Kerberos library at kRealm (KRB5_CONFIG, KRB5_KDC_PROFILE, a MEMORY default
  // cache). nullptr with `*whyNot` set when the Kerberos binaries are missing or the realm
  // cannot be started.
  static std::unique_ptr<TestRealm> Start(std::string* whyNot);
  ~TestRealm();
  TestRealm(const TestRealm&) = delete;
  TestRealm& operator=(const TestRealm&) = delete;

  const std::string& dir() const { return dir_; }
  std::string keytab() const { return dir_ + "/service.keytab"; }
  int port() const { return port_; }

  // Runs one kadmin.local query ("addprinc -randkey jdoe", ...) in `realm`; true when it
  // exited with 0.
  bool Kadmin(const std::string& query, const std::string& realm = kRealm);
  bool StopKdc();
  bool StartKdc();

 private:
  TestRealm() = default;
  bool WriteConfig();
  bool Run(const std::string& program, const std::vector<std::string>& args);

  std::string dir_;
  int port_ = 0;
  pid_t kdcPid_ = -1;
};

}  // namespace tokengate::platform::testing
