// The user's credential as the gate receives it from the broker: what is accepted, what is
// refused, the name the request runs under and the cache file offered to backends.
#include "user_credential.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <krb5.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tokengate::apache {
namespace {

namespace fs = std::filesystem;

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

class UserCredentialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tg-iwa-unit-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    work_ = dir;
    // A realm of its own, so that name mapping does not depend on the host's configuration.
    std::ofstream(work_ / "krb5.conf") << "[libdefaults]\n default_realm = EXAMPLE.TEST\n";
    ::setenv("KRB5_CONFIG", (work_ / "krb5.conf").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(work_, ec);
  }

  // The bytes of a credential cache file holding one made-up ticket of `client`.
  std::string CacheBytes(const std::string& client) {
    krb5_context ctx = nullptr;
    EXPECT_EQ(krb5_init_context(&ctx), 0);
    const fs::path file = work_ / "made.ccache";
    fs::remove(file);
    krb5_ccache cache = nullptr;
    krb5_principal user = nullptr;
    krb5_principal service = nullptr;
    EXPECT_EQ(krb5_cc_resolve(ctx, ("FILE:" + file.string()).c_str(), &cache), 0);
    EXPECT_EQ(krb5_parse_name(ctx, client.c_str(), &user), 0);
    EXPECT_EQ(krb5_parse_name(ctx, "host/localhost@EXAMPLE.TEST", &service), 0);
    EXPECT_EQ(krb5_cc_initialize(ctx, cache, user), 0);
    krb5_creds creds{};
    creds.client = user;
    creds.server = service;
    unsigned char key[32] = {};
    creds.keyblock.enctype = ENCTYPE_AES256_CTS_HMAC_SHA1_96;
    creds.keyblock.length = sizeof key;
    creds.keyblock.contents = key;
    creds.times.authtime = static_cast<krb5_timestamp>(std::time(nullptr));
    creds.times.endtime = creds.times.authtime + 3600;
    char ticket[] = "not a real ticket";
    creds.ticket.data = ticket;
    creds.ticket.length = sizeof ticket - 1;
    EXPECT_EQ(krb5_cc_store_cred(ctx, cache, &creds), 0);
    krb5_cc_close(ctx, cache);
    krb5_free_principal(ctx, user);
    krb5_free_principal(ctx, service);
    krb5_free_context(ctx);
    std::ostringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    return bytes.str();
  }

  // A memory file with `bytes`, sealed against change when `seal`.
  static int MemoryFile(const std::string& bytes, bool seal) {
    const int fd = ::memfd_create("cache", MFD_ALLOW_SEALING | MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    if (seal) {
      EXPECT_EQ(::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL),
                0);
    }
    return fd;
  }

  gate::Credential Adopt(int fd) {
    reports_.clear();
    return AdoptBrokerCredential(fd,
                                 [this](std::u16string_view why) { reports_.emplace_back(why); });
  }

  fs::path work_;
  std::vector<std::u16string> reports_;
};

TEST_F(UserCredentialTest, DescriptorThatIsNotASealedCacheIsRefusedAndClosed) {
  const std::string cache = CacheBytes("jdoe@EXAMPLE.TEST");
  struct Case {
    const char* what;
    int fd;
  };
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ::close(pipeFds[1]);
  const Case cases[] = {
      {"a pipe", pipeFds[0]},
      {"an unsealed memory file holding a cache", MemoryFile(cache, false)},
      {"a sealed memory file holding no cache", MemoryFile("garbage, not a cache", true)},
      {"a sealed empty memory file", MemoryFile("", true)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Adopt(c.fd), nullptr) << c.what;
    EXPECT_FALSE(IsOpen(c.fd)) << c.what;
    ASSERT_EQ(reports_.size(), 1u) << c.what;
    EXPECT_TRUE(reports_[0].starts_with(u"The user's credential from the broker was refused: "))
        << c.what;
  }
  EXPECT_EQ(Adopt(-1), nullptr);
  EXPECT_EQ(reports_.size(), 1u);
}

TEST_F(UserCredentialTest, RequestRunsAsTheLocalNameOrElseThePrincipal) {
  struct Case {
    const char* principal;
    const char* user;
  };
  const Case cases[] = {
      {"jdoe@EXAMPLE.TEST", "jdoe"},
      // Another realm without a mapping rule has no local name.
      {"alice@OTHER.TEST", "alice@OTHER.TEST"},
  };
  for (const Case& c : cases) {
    const int fd = MemoryFile(CacheBytes(c.principal), true);
    gate::Credential credential = Adopt(fd);
    ASSERT_NE(credential, nullptr) << c.principal;
    EXPECT_TRUE(reports_.empty());
    EXPECT_EQ(credential->NativeHandle(), static_cast<std::uintptr_t>(fd));
    const auto* user = dynamic_cast<const KerberosUserCredential*>(credential.get());
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->principal(), c.principal);
    EXPECT_EQ(user->userName(), c.user);
    credential.reset();
    EXPECT_FALSE(IsOpen(fd)) << c.principal;
  }
}

TEST_F(UserCredentialTest, BackendCacheIsPrivateAndGoesWithTheCredential) {
  const fs::path parent = work_ / "parent";
  fs::create_directory(parent);
  const int fd = MemoryFile(CacheBytes("jdoe@EXAMPLE.TEST"), true);
  gate::Credential credential = Adopt(fd);
  ASSERT_NE(credential, nullptr);
  auto* user = dynamic_cast<KerberosUserCredential*>(credential.get());
  std::string error;
  const std::optional<std::string> name = user->OfferToBackends(parent.string(), &error);
  ASSERT_TRUE(name) << error;
  ASSERT_TRUE(name->starts_with("FILE:" + parent.string() + "/")) << *name;
  const fs::path file = name->substr(5);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(user->OfferToBackends(parent.string(), &error), name);  // one file per request

  // The file holds the user's ticket, readable by a backend's Kerberos library.
  krb5_context ctx = nullptr;
  ASSERT_EQ(krb5_init_context(&ctx), 0);
  krb5_ccache cache = nullptr;
  krb5_principal client = nullptr;
  ASSERT_EQ(krb5_cc_resolve(ctx, name->c_str(), &cache), 0);
  ASSERT_EQ(krb5_cc_get_principal(ctx, cache, &client), 0);
  char* unparsed = nullptr;
  ASSERT_EQ(krb5_unparse_name(ctx, client, &unparsed), 0);
  EXPECT_STREQ(unparsed, "jdoe@EXAMPLE.TEST");
  krb5_free_unparsed_name(ctx, unparsed);
  krb5_free_principal(ctx, client);
  krb5_cc_close(ctx, cache);
  krb5_free_context(ctx);

  credential.reset();
  EXPECT_FALSE(fs::exists(file.parent_path()));
  EXPECT_FALSE(IsOpen(fd));
  EXPECT_TRUE(fs::is_empty(parent));
}

}  // namespace
}  // namespace tokengate::apache
