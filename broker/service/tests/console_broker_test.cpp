// A real `logon-broker -console` on a private socket, called through the real client.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
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
#include <thread>
#include <vector>

#include "tessera/tessera.h"
#include "tokengate/common/authenticator.h"
#include "tokengate/common/text.h"
#include "tokengate/platform/unix_rpc.h"
#include "tokengate/testing/child_process.h"

extern char** environ;

namespace tokengate {
namespace {

namespace fs = std::filesystem;
using text::Utf8ToUtf16;

class ConsoleBrokerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("console-broker-test-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "run");
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    key.fill(0x33);
    std::ofstream(dir_ / "tessera.properties")
        << "TokenLifetime=300\nKey.k1=" << tessera::format::Base64UrlEncode(key)
        << "\nWriteKeyId=k1\n";
    runtimeDir_ = (dir_ / "run").string() + "/";
    ::setenv(platform::kRuntimeDirEnv, runtimeDir_.c_str(), 1);
    // IWA without any S4U logon, whatever this build offers, so that its outcome is fixed.
    ::setenv("TOKENGATE_S4U_PROVIDER", "none", 1);

    // The broker's environment: ours plus the private runtime directory (already set above).
    ASSERT_TRUE(broker_.Start(TG_LOGON_BROKER_PATH, {"-console"}, (dir_ / "broker.out").string()));
    ASSERT_TRUE(tokengate::testing::WaitUntilListening(platform::BrokerSocketPath(rpc::kEndpoint)))
        << "broker did not start listening";
  }

  static void TearDownTestSuite() {
    broker_.Stop(SIGTERM);
    fs::remove_all(dir_);
  }

  static std::string BrokerOutput() {
    std::ifstream in(dir_ / "broker.out");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  static std::u16string Issue(const tessera::MultiStringDictionary& d,
                              std::chrono::seconds age = std::chrono::seconds(0)) {
    const tessera::AgentConfiguration cfg((dir_ / "tessera.properties").string());
    const auto t = tessera::Agent(cfg, [age] { return tessera::SystemNow() - age; }).WriteToken(d);
    return Utf8ToUtf16(t);
  }

  struct Reply {
    std::intptr_t result = 0;
    std::uint32_t fault = 0;
    std::int32_t updatedLength = 0, headerLength = 0, listLength = 0;
    std::vector<char16_t> updated = std::vector<char16_t>(rpc::kUpdatedTokenCapacity);
    std::vector<char16_t> header = std::vector<char16_t>(rpc::kHeaderCapacity);
    std::vector<char16_t> list = std::vector<char16_t>(rpc::kAttributeListCapacity);
    std::u16string Updated() const { return {updated.data(), std::size_t(updatedLength)}; }
    std::u16string Header() const { return {header.data(), std::size_t(headerLength)}; }
  };

  // A call with the test's properties file, or the one named by `configPath`.
  static Reply Call(const std::u16string& token, bool iwa = false, std::int32_t window = -1,
                    const std::string& configPath = {}) {
    rpc::RpcStatus status = 0;
    const auto client = platform::BindToBroker(rpc::kStringBinding, &status);
    EXPECT_NE(client, nullptr);
    const std::u16string config =
        Utf8ToUtf16(configPath.empty() ? (dir_ / "tessera.properties").string() : configPath);
    const std::u16string prefix = u"TG-";
    Reply r;
    try {
      const auto n = [](const std::u16string& s) { return std::int32_t(s.size()); };
      r.result =
          iwa ? client->GetHeaderStringWithIWA(
                    n(config), config.data(), n(token), token.data(), n(prefix), prefix.data(),
                    window, std::int32_t(::getpid()), &r.updatedLength, r.updated.data(),
                    &r.headerLength, r.header.data(), &r.listLength, r.list.data())
              : client->GetHeaderString(n(config), config.data(), n(token), token.data(), n(prefix),
                                        prefix.data(), window, &r.updatedLength, r.updated.data(),
                                        &r.headerLength, r.header.data(), &r.listLength,
                                        r.list.data());
    } catch (const rpc::RpcException& e) {
      r.fault = e.code();
    }
    return r;
  }

  static tessera::MultiStringDictionary Jdoe() {
    tessera::MultiStringDictionary d;
    d.Add(u"subject", u"jdoe@EXAMPLE.ORG");
    d.Add(u"cv_attribute_list", u"subject,groups");
    d.Add(u"groups", u"a");
    d.Add(u"groups", u"b");
    return d;
  }

  static inline fs::path dir_;
  static inline std::string runtimeDir_;
  static inline tokengate::testing::ChildProcess broker_;
};

TEST_F(ConsoleBrokerTest, DecodesAValidToken) {
  const auto token = Issue(Jdoe());
  const Reply r = Call(token);
  ASSERT_EQ(r.fault, 0u);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.Updated(), token);
  EXPECT_EQ(r.Header().rfind(u"TG-subject: jdoe@EXAMPLE.ORG\r\nTG-cv_attribute_list: "
                             u"subject,groups\r\nTG-groups: [a,b]\r\nTG-not-on-or-after: ",
                             0),
            0u);
  EXPECT_EQ(std::u16string(r.list.data(), std::size_t(r.listLength)), u"subject,groups");
}

TEST_F(ConsoleBrokerTest, ReissuesWhenDue) {
  const auto token = Issue(Jdoe(), std::chrono::seconds(100));
  const Reply r = Call(token, false, 60);
  EXPECT_EQ(r.result, 0);
  EXPECT_NE(r.Updated(), token);
  EXPECT_EQ(Call(r.Updated()).result, 0);
}

TEST_F(ConsoleBrokerTest, FailuresComeBackAsResultsAndFaults) {
  const auto expired = Issue(Jdoe(), std::chrono::hours(1));
  Reply r = Call(expired);
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.Updated(), u"SESSION_EXPIRED");

  auto tampered = Issue(Jdoe());
  tampered[20] = tampered[20] == u'x' ? u'y' : u'x';
  EXPECT_EQ(Call(tampered).result, -1);
  EXPECT_EQ(Call(std::u16string(4999, u'A')).result, -1);
  EXPECT_EQ(Call(u"").fault, 1782u);
  EXPECT_EQ(Call(std::u16string(u"\0x", 2)).fault, 1782u);
  EXPECT_EQ(Call(std::u16string(u"\0x", 2), true).fault, 1782u);
}

TEST_F(ConsoleBrokerTest, IwaWithoutAnS4ULogonIsRefused) {
  EXPECT_EQ(Call(Issue(Jdoe()), true).fault, 0x8001011Bu);
  tessera::MultiStringDictionary noSubject;
  noSubject.Add(u"groups", u"a");
  EXPECT_EQ(Call(Issue(noSubject), true).fault, 0x8001011Bu);
}

TEST_F(ConsoleBrokerTest, SurvivesMalformedCalls) {
  const std::string path = platform::BrokerSocketPath(rpc::kEndpoint);
  const std::vector<std::string> junk = {std::string(1, '\0'), std::string(64, '\xff'),
                                         std::string("GET / HTTP/1.0\r\n\r\n"),
                                         std::string(100000, 'A')};
  for (const auto& bytes : junk) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
    char buf[256];
    while (::recv(fd, buf, sizeof buf, 0) > 0) {
    }
    ::close(fd);
  }
  EXPECT_EQ(Call(Issue(Jdoe())).result, 0);
}

TEST_F(ConsoleBrokerTest, LogsEveryMessageToStandardOutputInOrder) {
  Call(std::u16string());
  Call(Issue(Jdoe()), true);
  const std::string out = BrokerOutput();
  const std::vector<std::string> expected = {
      "Service started by user on console - running as console application\n", "Service Starting\n",
      "No token passed to procedure\n",
      "The specified authentication package is not recognized by the LSA.\n"};
  std::size_t at = 0;
  for (const auto& line : expected) {
    const auto found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "in:\n" << out;
    at = found + line.size();
  }
}

// Every caller names the properties file its call is decoded with. One that others could have
// written (or a link to one, or a kernel file that never ends) is refused the way a bad file
// is: result -1 and the reason, naming the fix, in the broker's log.
TEST_F(ConsoleBrokerTest, RefusesPropertiesFilesOthersCouldHaveWritten) {
  const auto token = Issue(Jdoe());
  const std::string loose = (dir_ / "loose.properties").string();
  fs::copy_file(dir_ / "tessera.properties", loose, fs::copy_options::overwrite_existing);
  fs::permissions(loose, static_cast<fs::perms>(0664));
  const std::string link = (dir_ / "link.properties").string();
  fs::remove(link);
  fs::create_symlink(dir_ / "tessera.properties", link);
  struct Case {
    std::string path;
    std::string logged;
  };
  for (const Case& c : {
           Case{loose, loose + ": must not be writable by group or others (mode 0664); chmod "
                               "go-w it."},
           Case{link, link + ": is a symbolic link; name the file it points to."},
           Case{"/proc/kmsg",
                "/proc/kmsg: is on a procfs file system, not on a local disk; keep it on a "
                "local file system, e.g. under /etc/tokengate/conf/."},
       }) {
    const Reply r = Call(token, false, -1, c.path);
    EXPECT_EQ(r.fault, 0u) << c.path;
    EXPECT_EQ(r.result, -1) << c.path;
    EXPECT_EQ(r.Updated(), u"") << c.path;
    EXPECT_EQ(r.Header(), u"") << c.path;
    EXPECT_NE(BrokerOutput().find("\n" + c.logged + "\n"), std::string::npos)
        << c.logged << "\nnot in:\n"
        << BrokerOutput();
    // The same file, refused before the token is looked at, for IWA too.
    EXPECT_EQ(Call(token, true, -1, c.path).result, -1) << c.path;
  }
  EXPECT_EQ(Call(token).result, 0);
}

// Reading /proc/kmsg waits for kernel messages for ever: more such calls than the broker has
// call threads are all refused, and sign-on goes on.
TEST_F(ConsoleBrokerTest, CallsNamingAFileThatNeverEndsDoNotHoldCallThreads) {
  const auto token = Issue(Jdoe());
  std::atomic<int> refused{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 25; ++i) {
    callers.emplace_back([&] {
      const Reply r = Call(token, false, -1, "/proc/kmsg");
      if (r.fault == 0 && r.result == -1)
        ++refused;
    });
  }
  for (std::thread& t : callers)
    t.join();
  EXPECT_EQ(refused.load(), 25);
  const Reply ok = Call(token);
  EXPECT_EQ(ok.fault, 0u);
  EXPECT_EQ(ok.result, 0);
  EXPECT_EQ(ok.Updated(), token);
}

// A caller's text reaches the log escaped: a file name holding a line break stays on one line.
TEST_F(ConsoleBrokerTest, ACallersFileNameCannotForgeLogLines) {
  const std::string forged = (dir_ / "agent\n[fake] line.txt").string();
  fs::copy_file(dir_ / "tessera.properties", forged, fs::copy_options::overwrite_existing);
  fs::permissions(forged, static_cast<fs::perms>(0664));
  EXPECT_EQ(Call(Issue(Jdoe()), false, -1, forged).result, -1);
  const std::string out = BrokerOutput();
  EXPECT_NE(out.find("\n" + dir_.string() +
                     "/agent\\n[fake] line.txt: must not be writable by group or others (mode "
                     "0664); chmod go-w it.\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("\n[fake] line"), std::string::npos) << out;
}

// `tokengate broker call` against the same broker: its output and exit codes.
TEST_F(ConsoleBrokerTest, BrokerCallCommandPrintsOutcomeAndExitCode) {
  struct Run {
    int exitCode;
    std::string out;
  };
  const auto run = [](const std::string& args, const std::string& input = "") {
    const std::string command = "printf '%s\\n' '" + input +
                                "' | '" TG_TOKENGATE_PATH "' broker call --config '" +
                                (dir_ / "tessera.properties").string() + "' " + args;
    FILE* p = ::popen(command.c_str(), "r");
    std::string out;
    char buf[512];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
      out.append(buf, n);
    const int status = ::pclose(p);
    return Run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
  };
  tessera::MultiStringDictionary d;
  d.Add(u"subject", u"jdoe");
  d.Add(u"groups", u"a");
  d.Add(u"groups", u"b");
  const std::string token = text::Utf16ToUtf8(Issue(d));

  const Run ok = run("--prefix X- -", token);  // token on standard input
  EXPECT_EQ(ok.exitCode, 0);
  EXPECT_EQ(ok.out.rfind("result: 0\nupdated-token: " + token + "\nheader-length: ", 0), 0u)
      << ok.out;
  EXPECT_NE(ok.out.find("\nheader: X-subject: jdoe\\r\\n\nheader: X-groups: [a,b]\\r\\n\n"),
            std::string::npos)
      << ok.out;

  const Run expired = run("'" + text::Utf16ToUtf8(Issue(d, std::chrono::hours(1))) + "'");
  EXPECT_EQ(expired.exitCode, 1);
  EXPECT_EQ(expired.out, "result: -1\nupdated-token: SESSION_EXPIRED\n");

  const Run empty = run("''");
  EXPECT_EQ(empty.exitCode, 3);
  EXPECT_EQ(empty.out, "fault: 1782 (0x6f6)\n");

  const Run absent = run("--runtime-dir '" + (dir_ / "nobody").string() + "/' '" + token + "'");
  EXPECT_EQ(absent.exitCode, 3);
  EXPECT_EQ(absent.out, "fault: 1722 (0x6ba)\n");
}

// Service mode under a stand-in for systemd: the notify socket receives the state changes and
// SIGTERM is the stop control.
TEST(ServiceModeTest, ReportsStartRunningStoppingAndStoppedAndStopsOnSigterm) {
  const fs::path dir =
      fs::temp_directory_path() / ("service-mode-test-" + std::to_string(::getpid()));
  fs::create_directories(dir / "run");
  const std::string notifyPath = (dir / "notify").string();
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", notifyPath.c_str());
  ASSERT_EQ(::bind(notify, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // A bound on each wait so that a broken broker fails the test instead of hanging it.
  const timeval bound{30, 0};
  ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  const auto next = [notify] {
    char buf[256] = {};
    const ssize_t n = ::recv(notify, buf, sizeof buf, 0);
    return std::string(buf, n > 0 ? std::size_t(n) : 0);
  };

  std::vector<std::string> env = {"NOTIFY_SOCKET=" + notifyPath,
                                  "TOKENGATE_RUNTIME_DIR=" + (dir / "run").string() + "/",
                                  "TOKENGATE_S4U_PROVIDER=none", "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = TG_LOGON_BROKER_PATH;
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data()), 0);
  posix_spawn_file_actions_destroy(&actions);

  EXPECT_EQ(next(), "STATUS=Starting");
  EXPECT_EQ(next(), "READY=1\nSTATUS=Running");
  ::kill(pid, SIGTERM);
  EXPECT_EQ(next(), "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(next(), "STATUS=Stopped");
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(dir / "run" / "TarvexWebLogonBroker"));
  ::close(notify);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tokengate
