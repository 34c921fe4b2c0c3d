// The broker's properties-file reader: what it reads and what it refuses, with the message the
// operator gets.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "tessera/tessera.h"
#include "tokengate/platform/properties_file.h"

namespace tokengate::platform {
namespace {

constexpr char kContent[] = "TokenLifetime=300\n# a comment\n";
constexpr uid_t kStranger = 4242;  // an account that is neither root nor the broker

// Writes a file of `mode` with the test content.
std::string Put(const std::string& path, mode_t mode = 0600,
                const std::string& content = kContent) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ::chmod(path.c_str(), mode);
  return path;
}

std::string Dir(const std::string& path, mode_t mode = 0755) {
  ::mkdir(path.c_str(), 0700);
  ::chmod(path.c_str(), mode);
  return path;
}

std::string Own(const std::string& path, uid_t uid) {
  EXPECT_EQ(::lchown(path.c_str(), uid, static_cast<gid_t>(-1)), 0) << path;
  return path;
}

enum class Outcome { kRead, kRefused, kMissing };

struct Case {
  const char* name;
  bool needsRoot;  // chown to other accounts
  // Builds the fixture inside the private directory `d`; returns the path to read.
  std::function<std::string(const std::string& d)> make;
  Outcome outcome;
  // For a refusal: the message after "<path>: ", with "{d}" standing for the private directory.
  std::string message;
};

class PropertiesFileTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tg-props-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string dir_;
};

std::string Substitute(std::string text, const std::string& d) {
  for (std::size_t at = text.find("{d}"); at != std::string::npos; at = text.find("{d}", at)) {
    text.replace(at, 3, d);
    at += d.size();
  }
  return text;
}

TEST_P(PropertiesFileTest, ReadsOnlyFilesNobodyElseCanHaveWritten) {
  const Case& c = GetParam();
  if (c.needsRoot && ::geteuid() != 0)
    GTEST_SKIP() << "needs root to give files to another account";
  const std::string path = c.make(dir_);
  const StrictPropertiesFileSource source(::geteuid());
  std::string text = "left over";
  switch (c.outcome) {
    case Outcome::kRead:
      source.Read(path, text);
      EXPECT_EQ(text, kContent);
      break;
    case Outcome::kMissing:
      try {
        source.Read(path, text);
        ADD_FAILURE() << "read " << path;
      } catch (const tessera::FileNotFoundException& e) {
        EXPECT_STREQ(e.what(), "No such file or directory");
      }
      break;
    case Outcome::kRefused:
      try {
        source.Read(path, text);
        ADD_FAILURE() << "read " << path;
      } catch (const tessera::ConfigurationException& e) {
        EXPECT_EQ(e.what(), path + ": " + Substitute(c.message, dir_));
      }
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PropertiesFileTest,
    ::testing::Values(
        Case{"ok", false, [](auto& d) { return Put(d + "/agent-config.txt"); }, Outcome::kRead, ""},
        Case{"readableByAll", false, [](auto& d) { return Put(d + "/a.txt", 0644); },
             Outcome::kRead, ""},
        Case{"symlink", false,
             [](auto& d) {
               Put(d + "/real.txt");
               ::symlink((d + "/real.txt").c_str(), (d + "/link.txt").c_str());
               return d + "/link.txt";
             },
             Outcome::kRefused, "is a symbolic link; name the file it points to."},
        Case{"fifo", false,
             [](auto& d) {
               ::mkfifo((d + "/fifo").c_str(), 0600);
               return d + "/fifo";
             },
             Outcome::kRefused, "is not a regular file (it is a FIFO)."},
        Case{"device", false, [](auto&) { return std::string("/dev/null"); }, Outcome::kRefused,
             "is not a regular file (it is a character device)."},
        Case{"procFile", false, [](auto&) { return std::string("/proc/version"); },
             Outcome::kRefused,
             "is on a procfs file system, not on a local disk; keep it on a local file system, "
             "e.g. under /etc/tokengate/conf/."},
        // Reading it would wait for kernel messages for ever.
        Case{"procKmsg", false, [](auto&) { return std::string("/proc/kmsg"); }, Outcome::kRefused,
             "is on a procfs file system, not on a local disk; keep it on a local file system, "
             "e.g. under /etc/tokengate/conf/."},
        Case{"sysFile", false, [](auto&) { return std::string("/sys/kernel/uevent_seqnum"); },
             Outcome::kRefused,
             "is on a sysfs file system, not on a local disk; keep it on a local file system, "
             "e.g. under /etc/tokengate/conf/."},
        Case{"directory", false, [](auto& d) { return Dir(d + "/conf"); }, Outcome::kRefused,
             "is not a regular file (it is a directory)."},
        Case{"trailingSlash", false, [](auto& d) { return Dir(d + "/conf") + "/"; },
             Outcome::kRefused, "is not a regular file (it is a directory)."},
        Case{"relative", false, [](auto&) { return std::string("conf/agent-config.txt"); },
             Outcome::kRefused, "must be an absolute path."},
        Case{"groupWritable", false, [](auto& d) { return Put(d + "/agent-config.txt", 0664); },
             Outcome::kRefused,
             "must not be writable by group or others (mode 0664); chmod go-w it."},
        Case{"othersWritable", false, [](auto& d) { return Put(d + "/agent-config.txt", 0602); },
             Outcome::kRefused,
             "must not be writable by group or others (mode 0602); chmod go-w it."},
        Case{"ownedByAnother", true,
             [](auto& d) { return Own(Put(d + "/agent-config.txt"), kStranger); },
             Outcome::kRefused, "must be owned by root (owner is uid 4242); chown root it."},
        Case{"parentGroupWritable", false,
             [](auto& d) { return Put(Dir(d + "/conf", 0775) + "/agent-config.txt"); },
             Outcome::kRefused,
             "directory {d}/conf must not be writable by group or others (mode 0775); chmod go-w "
             "{d}/conf."},
        Case{"parentOwnedByAnother", true,
             [](auto& d) { return Put(Own(Dir(d + "/conf"), kStranger) + "/agent-config.txt"); },
             Outcome::kRefused,
             "directory {d}/conf is owned by uid 4242; it must be owned by root (chown root "
             "{d}/conf)."},
        Case{"grandparentGroupWritable", false,
             [](auto& d) {
               Dir(d + "/install", 0770);
               return Put(Dir(d + "/install/conf") + "/agent-config.txt");
             },
             Outcome::kRefused,
             "directory {d}/install must not be writable by group or others (mode 0770); chmod "
             "go-w {d}/install."},
        Case{"stickyParent", false,
             [](auto& d) { return Put(Dir(d + "/tmp", 01777) + "/agent-config.txt"); },
             Outcome::kRead, ""},
        Case{"stickyParentOwnedByAnother", true,
             [](auto& d) {
               return Put(Own(Dir(d + "/tmp", 01777), kStranger) + "/agent-config.txt");
             },
             Outcome::kRefused,
             "directory {d}/tmp is owned by uid 4242; it must be owned by root (chown root "
             "{d}/tmp)."},
        Case{"anotherUsersFileInStickyParent", true,
             [](auto& d) {
               return Own(Put(Dir(d + "/tmp", 01777) + "/agent-config.txt"), kStranger);
             },
             Outcome::kRefused, "must be owned by root (owner is uid 4242); chown root it."},
        // A link between directories is followed; what it leads through is checked.
        Case{"symlinkedTrustedParent", false,
             [](auto& d) {
               Put(Dir(d + "/real") + "/agent-config.txt");
               ::symlink("real", (d + "/conf").c_str());
               return d + "/conf/agent-config.txt";
             },
             Outcome::kRead, ""},
        Case{"symlinkedParentToAnUntrustedOne", false,
             [](auto& d) {
               Put(Dir(d + "/shared", 0777) + "/agent-config.txt");
               ::symlink((d + "/shared").c_str(), (d + "/conf").c_str());
               return d + "/conf/agent-config.txt";
             },
             Outcome::kRefused,
             "directory {d}/shared must not be writable by group or others (mode 0777); chmod "
             "go-w {d}/shared."},
        Case{"dotDotThroughAnUntrustedOne", false,
             [](auto& d) {
               Put(d + "/agent-config.txt");
               return Dir(d + "/open", 0777) + "/../agent-config.txt";
             },
             Outcome::kRefused,
             "directory {d}/open must not be writable by group or others (mode 0777); chmod "
             "go-w {d}/open."},
        Case{"symlinkLoop", false,
             [](auto& d) {
               ::symlink("b", (d + "/a").c_str());
               ::symlink("a", (d + "/b").c_str());
               return d + "/a/agent-config.txt";
             },
             Outcome::kRefused, "has too many symbolic links on its way."},
        Case{"tooLarge", false,
             [](auto& d) {
               return Put(d + "/big.txt", 0600,
                          std::string(tessera::AgentConfiguration::kMaxFileBytes + 1, '#'));
             },
             Outcome::kRefused, "is larger than 65536 bytes."},
        Case{"missing", false, [](auto& d) { return d + "/agent-config.txt"; }, Outcome::kMissing,
             ""},
        Case{"missingDirectory", false, [](auto& d) { return d + "/conf/agent-config.txt"; },
             Outcome::kMissing, ""}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

// The broker's own account is trusted like root, and only it.
TEST(PropertiesFileOwner, TheBrokersOwnAccountIsTrustedToo) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to give files to another account";
  std::string pattern = (std::filesystem::temp_directory_path() / "tg-props-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string d = pattern;
  const std::string path = Own(Put(Own(Dir(d + "/conf"), kStranger) + "/agent.txt"), kStranger);
  std::string text;
  StrictPropertiesFileSource(kStranger).Read(path, text);
  EXPECT_EQ(text, kContent);
  try {
    StrictPropertiesFileSource(kStranger + 1).Read(path, text);
    ADD_FAILURE() << "read " << path;
  } catch (const tessera::ConfigurationException& e) {
    EXPECT_EQ(std::string(e.what()), path + ": directory " + d +
                                         "/conf is owned by uid 4242; it must be owned by root "
                                         "or uid 4243 (the broker's own) (chown root " +
                                         d + "/conf).");
  }
  std::filesystem::remove_all(d);
}

// A kernel file mounted over an ordinary file of a checked directory is still seen for what it
// is: the file system is asked again for a file that is not on its directory's.
TEST(PropertiesFileMount, AKernelFileMountedOverTheFileIsRefused) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root to mount";
  std::string pattern = (std::filesystem::temp_directory_path() / "tg-props-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string d = pattern;
  const std::string path = Put(d + "/agent-config.txt");
  if (::mount("/proc/version", path.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    std::filesystem::remove_all(d);
    GTEST_SKIP() << "bind mounts are not allowed here";
  }
  std::string text;
  try {
    StrictPropertiesFileSource(0).Read(path, text);
    ADD_FAILURE() << "read " << path;
  } catch (const tessera::ConfigurationException& e) {
    EXPECT_NE(std::string(e.what()).find("is on a procfs file system"), std::string::npos)
        << e.what();
  }
  ::umount2(path.c_str(), MNT_DETACH);
  std::filesystem::remove_all(d);
}

// The codec reads through the checking source it is given.
TEST(PropertiesFileCodec, ConfigurationReadsThroughTheCheckingSource) {
  std::string pattern = (std::filesystem::temp_directory_path() / "tg-props-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const std::string d = pattern;
  const std::string good =
      Put(d + "/good.txt", 0600,
          "TokenLifetime=300\nKey.k1=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\nWriteKeyId=k1\n");
  EXPECT_EQ(tessera::AgentConfiguration(good, tessera::CheckedPropertiesFileSource()).KeyIds(),
            std::vector<std::string>{"k1"});
  const std::string loose = Put(d + "/loose.txt", 0666);
  EXPECT_THROW(tessera::AgentConfiguration(loose, tessera::CheckedPropertiesFileSource()),
               tessera::ConfigurationException);
  std::filesystem::remove_all(d);
}

}  // namespace
}  // namespace tokengate::platform
