#include "tokengate/platform/service_linux.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("service-linux-test-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

UniqueFd BoundDatagramSocket(const std::string& name) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, name.data(), name.size());
  socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name[0] == '@') {
    addr.sun_path[0] = '\0';
  } else {
    len += 1;
  }
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len), 0) << errno;
  return fd;
}

TEST(ServiceNotifyTest, SendsOneDatagramToAPathOrAnAbstractSocket) {
  TempDir dir;
  const std::string names[] = {(dir.path() / "notify").string(),
                               "@tokengate-notify-test-" + std::to_string(::getpid())};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    UniqueFd receiver = BoundDatagramSocket(name);
    ASSERT_EQ(SendNotify(name, "READY=1\nSTATUS=Running"), 0u);
    char buf[128] = {};
    const ssize_t n = ::recv(receiver.get(), buf, sizeof buf, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? std::size_t(n) : 0), "READY=1\nSTATUS=Running");
  }
  EXPECT_NE(SendNotify((dir.path() / "nobody").string(), "READY=1"), 0u);
}

TEST(ServiceNotifyTest, NotifySocketComesFromTheEnvironment) {
  ::unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(NotifySocketPath().has_value());
  ::setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
  EXPECT_EQ(NotifySocketPath(), "/run/systemd/notify");
  ::unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceDispatcherTest, StopSignalReachesTheHandlerOnTheCallingThread) {
  const pthread_t caller = ::pthread_self();
  std::mutex m;
  std::condition_variable cv;
  bool stopped = false;
  std::atomic<int> stops{0};
  std::atomic<bool> stopOnCaller{false};
  const std::uint32_t err = RunServiceDispatcher(
      [&] {
        ::pthread_kill(caller, SIGTERM);
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return stopped; });
      },
      [&] {
        ++stops;
        stopOnCaller = ::pthread_equal(::pthread_self(), caller) != 0;
        std::lock_guard lock(m);
        stopped = true;
        cv.notify_all();
      });
  EXPECT_EQ(err, 0u);
  EXPECT_EQ(stops.load(), 1);
  EXPECT_TRUE(stopOnCaller.load());
}

TEST(ServiceUnitTest, UnitFileIsANotifyServiceStartingTheProgram) {
  const std::string unit =
      RenderUnitFile({"TarvexWebAgent", "Corvane Web Agent Authentication Service",
                      "Performs authentication.\nX=1", "/usr/sbin/logon-broker"});
  for (const char* line :
       {"\nDescription=Corvane Web Agent Authentication Service\n", "\nType=notify\n",
        "\nExecStart=\"/usr/sbin/logon-broker\"\n", "TOKENGATE_SOCKET_GROUP",
        "\nWantedBy=multi-user.target\n", "\nAlso=TarvexWebAgent.socket\n",
        "\nRequires=TarvexWebAgent.socket\n", "# Performs authentication.X=1\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("\nX=1"), std::string::npos);
  // Ordered after its own socket only (and the network, for the KDC): nothing RPC-like.
  EXPECT_NE(unit.find("\nAfter=TarvexWebAgent.socket network.target\n"), std::string::npos);
  EXPECT_EQ(unit.find("RPCSS"), std::string::npos);
}

// The installed service is sandboxed: root without capabilities, read-only system, private
// /tmp and devices, only the address families and system calls a broker needs.
TEST(ServiceUnitTest, ServiceIsHardened) {
  UnitDefinition definition{"TarvexWebAgent", "Readable", "Longer", "/usr/sbin/logon-broker"};
  definition.socketGroup = "apache";
  const std::string unit = RenderUnitFile(definition);
  for (const char* line : {
           "Restart=on-failure",
           "Group=apache",
           "Environment=TOKENGATE_SOCKET_GROUP=apache",
           "RuntimeDirectory=TarvexWebAgent",
           "RuntimeDirectoryMode=0750",
           "RuntimeDirectoryPreserve=yes",
           "NoNewPrivileges=yes",
           "CapabilityBoundingSet=",
           "AmbientCapabilities=",
           "ProtectSystem=strict",
           "ReadWritePaths=-/dev/shm",
           "ProtectHome=yes",
           "PrivateTmp=yes",
           "PrivateDevices=yes",
           "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6",
           "SystemCallFilter=@system-service",
           "SystemCallFilter=~@privileged @resources",
           "SystemCallArchitectures=native",
           "MemoryDenyWriteExecute=yes",
           "UMask=0077",
       }) {
    EXPECT_NE(unit.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("User="), std::string::npos);
}

TEST(ServiceUnitTest, SocketUnitOwnsTheSocketForTheWebServersGroup) {
  UnitDefinition definition{"TarvexWebAgent", "Readable", "Longer", "/usr/sbin/logon-broker"};
  definition.socketGroup = "www-data";
  const std::string unit = RenderSocketUnitFile(definition);
  for (const char* line :
       {"[Socket]", "ListenStream=/run/TarvexWebAgent/TarvexWebLogonBroker", "SocketUser=root",
        "SocketGroup=www-data", "SocketMode=0660", "Accept=no", "WantedBy=sockets.target"}) {
    EXPECT_NE(unit.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
  }
}

// Values that could end a line, start a specifier, split the program path or name another
// group are quoted, escaped or refused.
TEST(ServiceUnitTest, ValuesAreQuotedAndChecked) {
  UnitDefinition odd{"TarvexWebAgent", "Name %n\nExecStartPre=/bin/evil", "Text",
                     "/opt/web agent/100%/logon-broker"};
  odd.socketGroup = "root";
  const std::string unit = RenderUnitFile(odd);
  EXPECT_NE(unit.find("\nExecStart=\"/opt/web agent/100%%/logon-broker\"\n"), std::string::npos);
  EXPECT_NE(unit.find("\nDescription=Name %%nExecStartPre=/bin/evil\n"), std::string::npos);
  EXPECT_EQ(unit.find("\nExecStartPre="), std::string::npos);
  EXPECT_EQ(CheckUnitDefinition(odd), 0u);

  const struct {
    const char* path;
    const char* group;
    std::uint32_t status;
  } cases[] = {
      {"/usr/sbin/logon-broker", "root", 0},
      {"/usr/sbin/logon-broker", "0", 0},
      {"logon-broker", "root", kSvcErrBadProgramPath},
      {"/usr/sbin/logon\"-broker", "root", kSvcErrBadProgramPath},
      {"/usr/sbin/logon\\broker", "root", kSvcErrBadProgramPath},
      {"/usr/sbin/logon\nbroker", "root", kSvcErrBadProgramPath},
      {"/usr/sbin/logon-broker", "no-such-group-tg", kSvcErrBadSocketGroup},
      {"/usr/sbin/logon-broker", "root\nUser=nobody", kSvcErrBadSocketGroup},
      {"/usr/sbin/logon-broker", "", kSvcErrBadSocketGroup},
  };
  for (const auto& c : cases) {
    UnitDefinition d{"TarvexWebAgent", "Readable", "Longer", c.path};
    d.socketGroup = c.group;
    EXPECT_EQ(CheckUnitDefinition(d), c.status) << c.path << " " << c.group;
  }
  // A group the check refuses never reaches the files.
  UnitDefinition bad{"TarvexWebAgent", "Readable", "Longer", "/usr/sbin/logon-broker"};
  bad.socketGroup = "root\nUser=nobody";
  EXPECT_EQ(RenderUnitFile(bad).find("User=nobody"), std::string::npos);
  EXPECT_EQ(RenderSocketUnitFile(bad).find("User=nobody"), std::string::npos);
}

TEST(ServiceUnitTest, SocketGroupComesFromTheEnvironmentAtInstall) {
  ::unsetenv("TOKENGATE_SOCKET_GROUP");
  EXPECT_EQ(InstallSocketGroup(), "www-data");
  ::setenv("TOKENGATE_SOCKET_GROUP", "apache", 1);
  EXPECT_EQ(InstallSocketGroup(), "apache");
  ::unsetenv("TOKENGATE_SOCKET_GROUP");
}

// systemd itself reads both units without complaint and rates the service's exposure low.
TEST(ServiceUnitTest, SystemdAcceptsTheUnitsAndRatesTheServiceWellProtected) {
  if (::access("/usr/bin/systemd-analyze", X_OK) != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  TempDir dir;
  std::uint32_t err = 0;
  const auto self = OwnExecutablePath(err);  // an executable that exists, for ExecStart=
  ASSERT_TRUE(self.has_value());
  UnitDefinition definition{"TarvexWebAgent", "Readable", "Longer", *self};
  definition.socketGroup = "root";
  std::ofstream(dir.path() / "TarvexWebAgent.service") << RenderUnitFile(definition);
  std::ofstream(dir.path() / "TarvexWebAgent.socket") << RenderSocketUnitFile(definition);
  const std::string units = (dir.path() / "TarvexWebAgent.socket").string() + " " +
                            (dir.path() / "TarvexWebAgent.service").string();
  const std::string verify = "systemd-analyze verify " + units + " 2>&1";
  FILE* out = ::popen(verify.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string complaints;
  char buf[512];
  while (std::fgets(buf, sizeof buf, out) != nullptr) {
    complaints += buf;
  }
  EXPECT_EQ(::pclose(out), 0) << complaints;
  EXPECT_EQ(complaints, "");

  const std::string security = "systemd-analyze security --offline=true " +
                               (dir.path() / "TarvexWebAgent.service").string() + " 2>&1";
  out = ::popen(security.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::string report;
  while (std::fgets(buf, sizeof buf, out) != nullptr) {
    report += buf;
  }
  ::pclose(out);
  const std::string marker = "Overall exposure level for TarvexWebAgent.service: ";
  const std::size_t at = report.find(marker);
  ASSERT_NE(at, std::string::npos) << report;
  const double exposure = std::strtod(report.c_str() + at + marker.size(), nullptr);
  EXPECT_LE(exposure, 2.5) << report;
}

// A stand-in for systemctl that records its calls and reports the state in a file.
class SystemdUnitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.path() / "units");
    fs::create_directories(dir_.path() / "running");
    const fs::path script = dir_.path() / "systemctl";
    std::ofstream(script) << "#!/bin/sh\n"
                          << "echo \"$*\" >> '" << (dir_.path() / "calls").string() << "'\n"
                          << "case \"$1\" in show) cat '" << (dir_.path() / "state").string()
                          << "';; esac\n"
                          << "exit $(cat '" << (dir_.path() / "rc").string() << "')\n";
    ::chmod(script.c_str(), 0755);
    SetState("inactive");
    SetExit(0);
  }
  SystemdUnits Units(const char* marker = "running") const {
    return SystemdUnits((dir_.path() / "units").string(), (dir_.path() / marker).string(),
                        (dir_.path() / "systemctl").string());
  }
  void SetState(const char* s) const { std::ofstream(dir_.path() / "state") << s << "\n"; }
  void SetExit(int rc) const { std::ofstream(dir_.path() / "rc") << rc << "\n"; }
  std::string Calls() const { return ReadFile(dir_.path() / "calls"); }

  const UnitDefinition unit_{"TarvexWebAgent", "Readable", "Longer", "/usr/sbin/logon-broker",
                             "root"};
  TempDir dir_;
};

TEST_F(SystemdUnitsTest, NoSystemdMeansNoServiceManager) {
  EXPECT_EQ(Units("absent").CheckManager(), kSvcErrNoSystemd);
  EXPECT_EQ(Units().CheckManager(), 0u);
  EXPECT_NE(ServiceErrorText(kSvcErrNoSystemd).find("systemd is not running"), std::string::npos);
}

TEST_F(SystemdUnitsTest, InstallWritesEnablesAndRefusesASecondInstall) {
  const auto units = Units();
  EXPECT_EQ(units.Install(unit_), 0u);
  EXPECT_EQ(ReadFile(units.UnitPath("TarvexWebAgent")), RenderUnitFile(unit_));
  EXPECT_EQ(ReadFile(units.SocketUnitPath("TarvexWebAgent")), RenderSocketUnitFile(unit_));
  EXPECT_EQ(Calls(), "daemon-reload\nenable TarvexWebAgent.socket TarvexWebAgent.service\n");
  EXPECT_EQ(units.Install(unit_), kSvcErrExists);
}

TEST_F(SystemdUnitsTest, FailedEnableLeavesNoUnitBehind) {
  SetExit(1);
  const auto units = Units();
  EXPECT_EQ(units.Install(unit_), kSvcErrSystemctlFailed);
  EXPECT_FALSE(units.Exists("TarvexWebAgent"));
  EXPECT_FALSE(fs::exists(units.SocketUnitPath("TarvexWebAgent")));
}

TEST_F(SystemdUnitsTest, UnknownSocketGroupInstallsNothing) {
  UnitDefinition unit = unit_;
  unit.socketGroup = "no-such-group-tg";
  const auto units = Units();
  EXPECT_EQ(units.Install(unit), kSvcErrBadSocketGroup);
  EXPECT_FALSE(units.Exists("TarvexWebAgent"));
  EXPECT_FALSE(fs::exists(units.SocketUnitPath("TarvexWebAgent")));
  EXPECT_EQ(Calls(), "");
  EXPECT_NE(ServiceErrorText(kSvcErrBadSocketGroup).find("TOKENGATE_SOCKET_GROUP"),
            std::string::npos);
}

TEST_F(SystemdUnitsTest, StartAndStopFollowTheUnitState) {
  const auto units = Units();
  ASSERT_EQ(units.Install(unit_), 0u);
  EXPECT_EQ(units.Stop("TarvexWebAgent"), kSvcErrNotActive);
  EXPECT_EQ(units.Start("TarvexWebAgent"), 0u);
  SetState("active");
  EXPECT_EQ(units.Start("TarvexWebAgent"), kSvcErrAlreadyRunning);
  EXPECT_EQ(units.Stop("TarvexWebAgent"), 0u);
  const std::string calls = Calls();
  EXPECT_NE(calls.find("start --no-block TarvexWebAgent.service\n"), std::string::npos);
  EXPECT_NE(calls.find("stop --no-block TarvexWebAgent.service\n"), std::string::npos);
  std::uint32_t err = 1;
  SetState("deactivating");
  EXPECT_EQ(units.State("TarvexWebAgent", err), UnitState::Deactivating);
  EXPECT_EQ(err, 0u);
}

TEST_F(SystemdUnitsTest, RemoveStopsTheSocketDisablesAndDeletesBoth) {
  const auto units = Units();
  EXPECT_EQ(units.Remove("TarvexWebAgent"), kSvcErrDoesNotExist);
  ASSERT_EQ(units.Install(unit_), 0u);
  EXPECT_EQ(units.Remove("TarvexWebAgent"), 0u);
  EXPECT_FALSE(units.Exists("TarvexWebAgent"));
  EXPECT_FALSE(fs::exists(units.SocketUnitPath("TarvexWebAgent")));
  const std::string calls = Calls();
  EXPECT_NE(calls.find("stop TarvexWebAgent.socket TarvexWebAgent.service\n"), std::string::npos);
  EXPECT_NE(calls.find("disable TarvexWebAgent.socket TarvexWebAgent.service\n"),
            std::string::npos);
}

TEST(ServiceErrorTextTest, ServiceCodesAndErrnoValuesHaveTexts) {
  EXPECT_EQ(ServiceErrorText(kSvcErrAlreadyRunning),
            "An instance of the service is already running.");
  EXPECT_EQ(ServiceErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(ServiceErrorText(0xFFFFFFF0u), "");
}

TEST(OwnExecutablePathTest, IsAnAbsolutePath) {
  std::uint32_t err = 0;
  const auto path = OwnExecutablePath(err);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(path->front(), '/');
  EXPECT_TRUE(fs::exists(*path));
}

}  // namespace
}  // namespace tokengate::platform
