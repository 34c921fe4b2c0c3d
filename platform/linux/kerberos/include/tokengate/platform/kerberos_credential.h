// The receiving side of a Kerberos credential handed over by the broker: a sealed memfd
// holding a credential cache with the user's own tickets.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace tokengate::platform {

// A credential cache file written for a backend process; removed when the owner goes away.
class KerberosCacheFile {
 public:
  KerberosCacheFile() = default;
  explicit KerberosCacheFile(std::string path) : path_(std::move(path)) {}
  KerberosCacheFile(KerberosCacheFile&& other) noexcept;
  KerberosCacheFile& operator=(KerberosCacheFile&& other) noexcept;
  KerberosCacheFile(const KerberosCacheFile&) = delete;
  KerberosCacheFile& operator=(const KerberosCacheFile&) = delete;
  ~KerberosCacheFile();

  const std::string& path() const { return path_; }
  // The value for KRB5CCNAME: "FILE:<path>".
  std::string CacheName() const { return "FILE:" + path_; }

 private:
  std::string path_;
};

class ReceivedKerberosCredential {
 public:
  // Reads the cache held by `fd` (which stays owned by the caller; read through /proc/self/fd)
  // into a private in-memory cache of this process. One object is used by one thread at a time. The
  // descriptor must be a sealed memfd (no writes, no resizing), so what was checked is what is
  // used. nullopt with `*error` set when it cannot be read.
  static std::optional<ReceivedKerberosCredential> Open(int fd, std::string* error);

  ReceivedKerberosCredential(ReceivedKerberosCredential&&) noexcept;
  ReceivedKerberosCredential& operator=(ReceivedKerberosCredential&&) noexcept;
  ~ReceivedKerberosCredential();

  // The user's principal, e.g. "jdoe@EXAMPLE.TEST".
  const std::string& principal() const;
  // The local user name the principal maps to (krb5_aname_to_localname), when there is one.
  const std::optional<std::string>& localName() const;
  // The in-memory cache's name ("MEMORY:..."), usable by this process's Kerberos calls.
  const std::string& cacheName() const;
  // Number of credentials the cache holds.
  int credentialCount() const;

  // Writes the credentials into a new cache file (mode 0600) in a fresh private directory
  // under `parent`, for a backend process to use as KRB5CCNAME.
  std::optional<KerberosCacheFile> WriteCacheFile(const std::string& parent,
                                                  std::string* error) const;

  struct Impl;

 private:
  explicit ReceivedKerberosCredential(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tokengate::platform
