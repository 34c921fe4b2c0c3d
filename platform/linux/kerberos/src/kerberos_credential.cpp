#include "tokengate/platform/kerberos_credential.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "kerberos_internal.h"

namespace tokengate::platform {

KerberosCacheFile::KerberosCacheFile(KerberosCacheFile&& other) noexcept
    : path_(std::exchange(other.path_, std::string())) {}

KerberosCacheFile& KerberosCacheFile::operator=(KerberosCacheFile&& other) noexcept {
  if (this != &other) {
    KerberosCacheFile old(std::move(*this));
    path_ = std::exchange(other.path_, std::string());
  }
  return *this;
}

KerberosCacheFile::~KerberosCacheFile() {
  if (path_.empty())
    return;
  const std::size_t slash = path_.rfind('/');
  ::unlink(path_.c_str());
  // The file lives alone in a private directory made for it; remove that too.
  if (slash != std::string::npos && slash > 0)
    ::rmdir(path_.substr(0, slash).c_str());
}

struct ReceivedKerberosCredential::Impl {
  krb::Context ctx;
  krb::Cache cache{ctx.get()};
  std::string principal;
  std::optional<std::string> localName;
  std::string cacheName;
  int count = 0;
};

ReceivedKerberosCredential::ReceivedKerberosCredential(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}
ReceivedKerberosCredential::ReceivedKerberosCredential(ReceivedKerberosCredential&&) noexcept =
    default;
ReceivedKerberosCredential& ReceivedKerberosCredential::operator=(
    ReceivedKerberosCredential&&) noexcept = default;
ReceivedKerberosCredential::~ReceivedKerberosCredential() = default;

const std::string& ReceivedKerberosCredential::principal() const {
  return impl_->principal;
}
const std::optional<std::string>& ReceivedKerberosCredential::localName() const {
  return impl_->localName;
}
const std::string& ReceivedKerberosCredential::cacheName() const {
  return impl_->cacheName;
}
int ReceivedKerberosCredential::credentialCount() const {
  return impl_->count;
}

namespace {

void SetError(std::string* error, std::string text) {
  if (error != nullptr)
    *error = std::move(text);
}

}  // namespace

std::optional<ReceivedKerberosCredential> ReceivedKerberosCredential::Open(int fd,
                                                                           std::string* error) {
  // Only a sealed memfd is accepted: its contents cannot change between checking and use.
  const int seals = ::fcntl(fd, F_GET_SEALS);
  constexpr int kRequired = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
  if (seals < 0 || (seals & kRequired) != kRequired) {
    SetError(error, "The credential descriptor is not a sealed memory file");
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > krb::kMaxCacheBytes) {
    SetError(error, "The credential descriptor holds no credential cache of acceptable size");
    return std::nullopt;
  }

  auto impl = std::make_unique<Impl>();
  if (impl->ctx.error() != 0) {
    SetError(error, "Kerberos initialisation failed: " + impl->ctx.Message(impl->ctx.error()));
    return std::nullopt;
  }
  krb5_context ctx = impl->ctx.get();
  const std::string fileName = "FILE:/proc/self/fd/" + std::to_string(fd);
  krb::Cache file(ctx);
  krb::Principal client(ctx);
  krb5_error_code rc = krb5_cc_resolve(ctx, fileName.c_str(), file.out());
  if (rc == 0)
    rc = krb5_cc_get_principal(ctx, file.get(), client.out());
  if (rc == 0)
    rc = krb5_cc_new_unique(ctx, "MEMORY", nullptr, impl->cache.out());
  if (rc == 0) {
    impl->cache.DestroyOnClose(true);
    rc = krb5_cc_initialize(ctx, impl->cache.get(), client.get());
  }
  if (rc == 0)
    rc = krb5_cc_copy_creds(ctx, file.get(), impl->cache.get());
  if (rc != 0) {
    SetError(error, "Unable to read the credential cache: " + impl->ctx.Message(rc));
    return std::nullopt;
  }

  krb5_cc_cursor cursor = nullptr;
  if (krb5_cc_start_seq_get(ctx, impl->cache.get(), &cursor) == 0) {
    krb5_creds creds;
    while (krb5_cc_next_cred(ctx, impl->cache.get(), &cursor, &creds) == 0) {
      if (!krb5_is_config_principal(ctx, creds.server))
        ++impl->count;
      krb5_free_cred_contents(ctx, &creds);
    }
    krb5_cc_end_seq_get(ctx, impl->cache.get(), &cursor);
  }
  if (impl->count == 0) {
    SetError(error, "The credential cache holds no ticket");
    return std::nullopt;
  }

  char* unparsed = nullptr;
  if (krb5_unparse_name(ctx, client.get(), &unparsed) != 0) {
    SetError(error, "Unable to read the credential's principal");
    return std::nullopt;
  }
  impl->principal = unparsed;
  krb5_free_unparsed_name(ctx, unparsed);

  char local[256];
  if (krb5_aname_to_localname(ctx, client.get(), sizeof local, local) == 0) {
    impl->localName = std::string(local);
  }
  const char* memoryName = nullptr;
  std::string type = krb5_cc_get_type(ctx, impl->cache.get());
  memoryName = krb5_cc_get_name(ctx, impl->cache.get());
  impl->cacheName = type + ":" + memoryName;
  return ReceivedKerberosCredential(std::move(impl));
}

std::optional<KerberosCacheFile> ReceivedKerberosCredential::WriteCacheFile(
    const std::string& parent, std::string* error) const {
  krb5_context ctx = impl_->ctx.get();
  krb::TempDir dir;
  if (int err = dir.Create(parent)) {
    SetError(error, std::string("Unable to create a private directory: ") + std::strerror(err));
    return std::nullopt;
  }
  krb::Principal client(ctx);
  krb5_error_code rc = krb5_cc_get_principal(ctx, impl_->cache.get(), client.out());
  int copied = 0;
  const std::string path = dir.path() + "/ccache";
  if (rc == 0) {
    rc = krb::CopyClientCredentials(ctx, impl_->cache.get(), client.get(), path, &copied);
  }
  if (rc != 0) {
    SetError(error, "Unable to write the credential cache: " + impl_->ctx.Message(rc));
    return std::nullopt;
  }
  dir.Release();
  return KerberosCacheFile(path);
}

}  // namespace tokengate::platform
