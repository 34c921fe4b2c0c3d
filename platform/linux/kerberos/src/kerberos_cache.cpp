#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kerberos_internal.h"

namespace tokengate::platform::krb {

std::string Context::Message(krb5_error_code code) const {
  if (ctx_ == nullptr)
    return "Kerberos error " + std::to_string(code);
  const char* text = krb5_get_error_message(ctx_, code);
  std::string result = text != nullptr ? text : "Kerberos error " + std::to_string(code);
  krb5_free_error_message(ctx_, text);
  return result;
}

std::string TempParent() {
  const char* dir = std::getenv("TMPDIR");
  if (dir != nullptr && dir[0] == '/')
    return dir;
  struct stat st {};
  if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return "/tmp";
}

int TempDir::Create(const std::string& parent) {
  Remove();
  std::string pattern = parent + "/tokengate-krb-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr)
    return errno;
  path_ = buffer.data();
  return 0;
}

void TempDir::Remove() noexcept {
  if (path_.empty())
    return;
  // Only files this code created live here: the cache file and krb5's own temporary siblings.
  if (DIR* dir = ::opendir(path_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..")
        ::unlink((path_ + "/" + name).c_str());
    }
    ::closedir(dir);
  }
  ::rmdir(path_.c_str());
  path_.clear();
}

krb5_error_code CopyClientCredentials(krb5_context ctx, krb5_ccache source,
                                      krb5_const_principal client, const std::string& path,
                                      int* copied) {
  *copied = 0;
  Cache target(ctx);
  const std::string name = "FILE:" + path;
  if (krb5_error_code rc = krb5_cc_resolve(ctx, name.c_str(), target.out()))
    return rc;
  if (krb5_error_code rc =
          krb5_cc_initialize(ctx, target.get(), const_cast<krb5_principal>(client)))
    return rc;

  krb5_cc_cursor cursor = nullptr;
  if (krb5_error_code rc = krb5_cc_start_seq_get(ctx, source, &cursor))
    return rc;
  krb5_error_code result = 0;
  krb5_creds creds;
  while (krb5_cc_next_cred(ctx, source, &cursor, &creds) == 0) {
    // Only the user's own tickets leave: no ticket of the service (its ticket-granting ticket
    // would let the holder act as the service and impersonate anyone) and no configuration
    // entries such as the record of who impersonated the user.
    const bool keep = !krb5_is_config_principal(ctx, creds.server) &&
                      krb5_principal_compare(ctx, creds.client, client);
    if (keep && result == 0) {
      result = krb5_cc_store_cred(ctx, target.get(), &creds);
      if (result == 0)
        ++*copied;
    }
    krb5_free_cred_contents(ctx, &creds);
  }
  krb5_cc_end_seq_get(ctx, source, &cursor);
  return result;
}

namespace {

// Reads a whole regular file of bounded size.
int ReadBounded(const std::string& path, std::vector<char>& bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd)
    return errno;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0)
    return errno;
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxCacheBytes)
    return EFBIG;
  bytes.resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n < 0 ? errno : EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int WriteAll(int fd, const std::vector<char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return n < 0 ? errno : EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

krb5_error_code SealUserCredentials(krb5_context ctx, krb5_ccache source,
                                    krb5_const_principal client, const std::string& tempParent,
                                    UniqueFd& out) {
  // The Kerberos library writes caches only through its own file handling, so the filtered
  // cache is written into a private directory made for this one copy, read back and moved into
  // the memfd. Nothing stays behind between logons.
  TempDir dir;
  if (int err = dir.Create(tempParent))
    return err;
  const std::string path = dir.path() + "/ccache";
  int copied = 0;
  if (krb5_error_code rc = CopyClientCredentials(ctx, source, client, path, &copied))
    return rc;
  if (copied == 0)
    return KRB5_CC_NOTFOUND;

  std::vector<char> bytes;
  if (int err = ReadBounded(path, bytes)) {
    ::explicit_bzero(bytes.data(), bytes.size());
    return err;
  }
  dir.Remove();

  UniqueFd memfd(::memfd_create("tokengate-credential", MFD_ALLOW_SEALING | MFD_CLOEXEC));
  if (!memfd)
    return errno;
  const int written = WriteAll(memfd.get(), bytes);
  // The bytes hold session keys: wipe the copy before it is freed.
  ::explicit_bzero(bytes.data(), bytes.size());
  if (written != 0)
    return written;
  if (::fcntl(memfd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) !=
      0) {
    return errno;
  }
  if (::lseek(memfd.get(), 0, SEEK_SET) < 0)
    return errno;
  out = std::move(memfd);
  return 0;
}

}  // namespace tokengate::platform::krb
