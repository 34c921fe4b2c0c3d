#include "test_realm.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "kerberos_internal.h"

namespace tokengate::platform::testing {

namespace {

std::string FindProgram(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin"}) {
    const std::string path = std::string(dir) + "/" + name;
    if (::access(path.c_str(), X_OK) == 0)
      return path;
  }
  return {};
}

int FreeLoopbackPort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd)
    return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return 0;
  }
  return ntohs(addr.sin_port);
}

bool Listening(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return fd && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// Starts `program` with `args`, output to `log`; returns its pid or -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& log) {
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    if (null >= 0)
      ::dup2(null, 0);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::unique_ptr<TestRealm> TestRealm::Start(std::string* whyNot) {
  for (const char* program : {"krb5kdc", "kdb5_util", "kadmin.local"}) {
    if (FindProgram(program).empty()) {
      *whyNot = std::string("Kerberos KDC program not installed: ") + program;
      return nullptr;
    }
  }
  std::unique_ptr<TestRealm> realm(new TestRealm());
  krb::TempDir dir;
  if (dir.Create(krb::TempParent()) != 0) {
    *whyNot = "cannot create a temporary directory";
    return nullptr;
  }
  realm->dir_ = dir.Release();
  ::setenv("KRB5_CONFIG", (realm->dir_ + "/krb5.conf").c_str(), 1);
  ::setenv("KRB5_KDC_PROFILE", (realm->dir_ + "/kdc.conf").c_str(), 1);
  ::setenv("KRB5CCNAME", "MEMORY:tokengate-test-default", 1);
  ::setenv("KRB5_TRACE", "/dev/null", 1);

  for (int attempt = 0; attempt < 3 && realm->kdcPid_ < 0; ++attempt) {
    realm->port_ = FreeLoopbackPort();
    if (realm->port_ == 0 || !realm->WriteConfig())
      continue;
    if (attempt == 0) {
      for (const char* name : {kRealm, kPartnerRealm}) {
        if (!realm->Run("kdb5_util", {"-r", name, "create", "-s", "-P", "tokengate-test-master"})) {
          *whyNot = "kdb5_util create failed (see " + realm->dir_ + "/tools.log)";
          return nullptr;
        }
      }
    }
    realm->StartKdc();
  }
  if (realm->kdcPid_ < 0) {
    *whyNot = "the KDC did not start";
    return nullptr;
  }
  if (!realm->Kadmin(std::string("addprinc -randkey ") + kService) ||
      !realm->Kadmin("ktadd -k " + realm->keytab() + " " + kService)) {
    *whyNot = "cannot create the service principal";
    return nullptr;
  }
  // The trust both ways: the same cross-realm keys (same password, same salt) in both databases.
  for (const std::string& trust : {std::string("krbtgt/") + kPartnerRealm + "@" + kRealm,
                                   std::string("krbtgt/") + kRealm + "@" + kPartnerRealm}) {
    for (const char* name : {kRealm, kPartnerRealm}) {
      if (!realm->Kadmin("addprinc -pw tokengate-test-trust " + trust, name)) {
        *whyNot = "cannot create the cross-realm principal " + trust;
        return nullptr;
      }
    }
  }
  return realm;
}

bool TestRealm::WriteConfig() {
  const std::string port = std::to_string(port_);
  std::ofstream krb5(dir_ + "/krb5.conf", std::ios::trunc);
  krb5 << "[libdefaults]\n"
       << " default_realm = " << kRealm << "\n"
       << " dns_lookup_realm = false\n dns_lookup_kdc = false\n rdns = false\n"
       << " dns_canonicalize_hostname = false\n"
       << " udp_preference_limit = 0\n forwardable = true\n"
       << "[realms]\n " << kRealm << " = {\n  kdc = 127.0.0.1:" << port << "\n }\n"
       << " " << kPartnerRealm << " = {\n  kdc = 127.0.0.1:" << port << "\n }\n";
  std::ofstream kdc(dir_ + "/kdc.conf", std::ios::trunc);
  kdc << "[kdcdefaults]\n kdc_listen = 127.0.0.1:" << port
      << "\n kdc_tcp_listen = 127.0.0.1:" << port << "\n"
      << "[realms]\n";
  for (const std::string realm : {kRealm, kPartnerRealm}) {
    // The first realm keeps the file names it always had.
    const std::string suffix = realm == kRealm ? "" : "-" + realm;
    kdc << " " << realm << " = {\n"
        << "  database_name = " << dir_ << "/principal" << suffix << "\n"
        << "  key_stash_file = " << dir_ << "/stash" << suffix << "\n"
        << "  acl_file = " << dir_ << "/kadm5.acl\n"
        << "  supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal\n"
        << " }\n";
  }
  kdc << "[logging]\n kdc = FILE:" << dir_ << "/kdc.log\n";
  std::ofstream acl(dir_ + "/kadm5.acl", std::ios::trunc);
  return krb5.good() && kdc.good() && acl.good();
}

bool TestRealm::Run(const std::string& program, const std::vector<std::string>& args) {
  const pid_t pid = Spawn(FindProgram(program), args, dir_ + "/tools.log");
  return pid > 0 && Wait(pid) == 0;
}

bool TestRealm::Kadmin(const std::string& query, const std::string& realm) {
  return Run("kadmin.local", {"-r", realm, "-q", query});
}

bool TestRealm::StartKdc() {
  if (kdcPid_ > 0)
    return true;
  const pid_t pid =
      Spawn(FindProgram("krb5kdc"), {"-n", "-r", kRealm, "-r", kPartnerRealm}, dir_ + "/kdc.out");
  if (pid <= 0)
    return false;
  for (int i = 0; i < 500; ++i) {
    if (Listening(port_)) {
      kdcPid_ = pid;
      return true;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return false;  // exited: port taken?
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  Wait(pid);
  return false;
}

bool TestRealm::StopKdc() {
  if (kdcPid_ <= 0)
    return true;
  ::kill(kdcPid_, SIGTERM);
  const bool stopped = Wait(kdcPid_) != -2;
  kdcPid_ = -1;
  return stopped;
}

TestRealm::~TestRealm() {
  StopKdc();
  if (!dir_.empty()) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl("/bin/rm", "rm", "-rf", "--", dir_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (pid > 0)
      Wait(pid);
  }
}

}  // namespace tokengate::platform::testing
