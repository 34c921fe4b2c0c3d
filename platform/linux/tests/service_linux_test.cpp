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
        "\nExecStart=/usr/sbin/logon-broker\n", "TOKENGATE_RUNTIME_DIR", "TOKENGATE_SOCKET_GROUP",
        "\nWantedBy=multi-user.target\n", "# Performs authentication.X=1\n"}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("\nX=1"), std::string::npos);
  EXPECT_EQ(unit.find("After="), std::string::npos);
  EXPECT_EQ(unit.find("RPCSS"), std::string::npos);
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

  const UnitDefinition unit_{"TarvexWebAgent", "Readable", "Longer", "/usr/sbin/logon-broker"};
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
  EXPECT_EQ(Calls(), "daemon-reload\nenable TarvexWebAgent.service\n");
  EXPECT_EQ(units.Install(unit_), kSvcErrExists);
}

TEST_F(SystemdUnitsTest, FailedEnableLeavesNoUnitBehind) {
  SetExit(1);
  const auto units = Units();
  EXPECT_EQ(units.Install(unit_), kSvcErrSystemctlFailed);
  EXPECT_FALSE(units.Exists("TarvexWebAgent"));
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

TEST_F(SystemdUnitsTest, RemoveDisablesAndDeletes) {
  const auto units = Units();
  EXPECT_EQ(units.Remove("TarvexWebAgent"), kSvcErrDoesNotExist);
  ASSERT_EQ(units.Install(unit_), 0u);
  EXPECT_EQ(units.Remove("TarvexWebAgent"), 0u);
  EXPECT_FALSE(units.Exists("TarvexWebAgent"));
  EXPECT_NE(Calls().find("disable TarvexWebAgent.service\n"), std::string::npos);
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
