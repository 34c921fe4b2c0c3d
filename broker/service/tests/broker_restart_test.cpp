// A broker restarted the way an upgrade restarts it under systemd: the listening socket is held
// outside the broker and passed to each new `logon-broker` process ($LISTEN_FDS); callers keep
// calling through the restarts.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tessera/tessera.h"
#include "tokengate/common/authenticator.h"
#include "tokengate/common/text.h"
#include "tokengate/platform/unique_fd.h"
#include "tokengate/platform/unix_rpc.h"

extern char** environ;

namespace tokengate {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;

// A listening Unix socket at `path`, mode 0660, as a socket unit would make it.
UniqueFd ListenAt(const std::string& path) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::chmod(path.c_str(), 0660), 0);
  EXPECT_EQ(::listen(fd.get(), SOMAXCONN), 0);
  return fd;
}

// `logon-broker -console` with `socket` as its descriptor 3 and $LISTEN_PID / $LISTEN_FDS
// naming it, the way systemd starts a socket-activated service.
pid_t StartWithSocket(int socket, const std::string& output) {
  // Kept away from 3, so that the dup2 below is a real one (it clears close-on-exec).
  UniqueFd high(::fcntl(socket, F_DUPFD_CLOEXEC, 10));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, high.get(), 3);
  std::string script = "LISTEN_PID=$$ LISTEN_FDS=1 exec \"$0\" -console";
  std::string shell = "/bin/sh", dashC = "-c", broker = TG_LOGON_BROKER_PATH;
  char* argv[] = {shell.data(), dashC.data(), script.data(), broker.data(), nullptr};
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Sends SIGTERM and reaps the process; its wait status.
int Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  int status = -1;
  ::waitpid(pid, &status, 0);
  return status;
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class BrokerRestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("broker-restart-test-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "run");
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    key.fill(0x5A);
    properties_ = (dir_ / "tessera.properties").string();
    std::ofstream(properties_) << "TokenLifetime=300\nKey.k1="
                               << tessera::format::Base64UrlEncode(key) << "\nWriteKeyId=k1\n";
    ::chmod(properties_.c_str(), 0600);
    ::setenv(platform::kRuntimeDirEnv, (dir_ / "run").string().c_str(), 1);
    ::setenv("TOKENGATE_S4U_PROVIDER", "none", 1);
    tessera::MultiStringDictionary attributes;
    attributes.Add(u"subject", u"jdoe");
    token_ = text::Utf8ToUtf16(
        tessera::Agent(tessera::AgentConfiguration(properties_)).WriteToken(attributes));
  }
  void TearDown() override {
    ::unsetenv(platform::kRuntimeDirEnv);
    fs::remove_all(dir_);
  }

  // One GetHeaderString call; 0 on success, the fault code otherwise (or ~0 for a -1 result).
  std::uint32_t Call(rpc::IAuthenticator& client) const {
    const std::u16string config = text::Utf8ToUtf16(properties_);
    std::int32_t lengths[3] = {};
    std::vector<char16_t> updated(rpc::kUpdatedTokenCapacity), header(rpc::kHeaderCapacity),
        list(rpc::kAttributeListCapacity);
    try {
      const auto r = client.GetHeaderString(static_cast<std::int32_t>(config.size()), config.data(),
                                            static_cast<std::int32_t>(token_.size()), token_.data(),
                                            0, u"", -1, &lengths[0], updated.data(), &lengths[1],
                                            header.data(), &lengths[2], list.data());
      return r == rpc::kResultSuccess ? 0 : ~0u;
    } catch (const rpc::RpcException& e) {
      return e.code();
    }
  }

  fs::path dir_;
  std::string properties_;
  std::u16string token_;
};

TEST_F(BrokerRestartTest, RestartsWithTheSocketKeptCostNoCall) {
  const std::string path = platform::BrokerSocketPath(rpc::kEndpoint);
  UniqueFd socket = ListenAt(path);
  const std::string output = (dir_ / "broker.out").string();
  pid_t broker = StartWithSocket(socket.get(), output);
  ASSERT_GT(broker, 0);

  rpc::RpcStatus status = 0;
  const auto client = platform::BindToBroker(rpc::kStringBinding, &status);
  ASSERT_NE(client, nullptr);
  std::atomic<bool> run{true};
  std::atomic<int> calls{0};
  std::atomic<int> failures{0};
  std::atomic<std::uint32_t> lastFailure{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      while (run) {
        const std::uint32_t s = Call(*client);
        ++calls;
        if (s != 0) {
          ++failures;
          lastFailure = s;
        }
      }
    });
  }
  auto waitForCalls = [&](int more) {
    const int target = calls + more;
    for (int i = 0; i < 2000 && calls < target; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return calls >= target;
  };
  EXPECT_TRUE(waitForCalls(200));
  for (int restart = 0; restart < 2; ++restart) {
    const int ended = Stop(broker);
    // A stop signal ends the console broker through its stop, not by the signal itself.
    EXPECT_TRUE(WIFEXITED(ended) && WEXITSTATUS(ended) == 0) << ended;
    broker = StartWithSocket(socket.get(), output);
    ASSERT_GT(broker, 0);
    EXPECT_TRUE(waitForCalls(200));
  }
  run = false;
  for (std::thread& t : callers) {
    t.join();
  }
  Stop(broker);
  EXPECT_EQ(failures.load(), 0) << "last failure " << lastFailure.load();
  // The socket belongs to its holder: no broker removed it.
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(ReadAll(output).find("Service setup failed"), std::string::npos) << ReadAll(output);
}

// A socket passed for another path is not this broker's endpoint: set-up fails and says why.
TEST_F(BrokerRestartTest, PassedSocketForAnotherPathIsRefused) {
  UniqueFd socket = ListenAt((dir_ / "other-socket").string());
  const std::string output = (dir_ / "broker.out").string();
  const pid_t broker = StartWithSocket(socket.get(), output);
  ASSERT_GT(broker, 0);
  std::string text;
  for (int i = 0; i < 500 && text.find("Service setup failed") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    text = ReadAll(output);
  }
  Stop(broker);
  EXPECT_NE(text.find("none is bound to " + platform::BrokerSocketPath(rpc::kEndpoint)),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Service setup failed"), std::string::npos) << text;
}

}  // namespace
}  // namespace tokengate
