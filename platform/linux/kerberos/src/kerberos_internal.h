// Scoped owners for Kerberos library objects and the cache copy shared by the broker's and the
// gate's side.
#pragma once

#include <krb5.h>

#include <cstdint>
#include <string>
#include <utility>

#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform::krb {

class Context {
 public:
  Context() { error_ = krb5_init_context(&ctx_); }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() {
    if (ctx_ != nullptr)
      krb5_free_context(ctx_);
  }
  krb5_error_code error() const { return error_; }
  krb5_context get() const { return ctx_; }
  // The library's text for `code`, with this context's extended detail when it has one.
  std::string Message(krb5_error_code code) const;

 private:
  krb5_context ctx_ = nullptr;
  krb5_error_code error_ = 0;
};

class Principal {
 public:
  explicit Principal(krb5_context ctx) : ctx_(ctx) {}
  Principal(const Principal&) = delete;
  Principal& operator=(const Principal&) = delete;
  ~Principal() {
    if (p_ != nullptr)
      krb5_free_principal(ctx_, p_);
  }
  krb5_principal* out() { return &p_; }
  krb5_principal get() const { return p_; }

 private:
  krb5_context ctx_;
  krb5_principal p_ = nullptr;
};

// An open cache; closed, or destroyed when marked so, on destruction.
class Cache {
 public:
  explicit Cache(krb5_context ctx) : ctx_(ctx) {}
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;
  ~Cache() { Reset(); }
  krb5_ccache* out() { return &cc_; }
  krb5_ccache get() const { return cc_; }
  void DestroyOnClose(bool destroy) { destroy_ = destroy; }
  void Reset() {
    if (cc_ == nullptr)
      return;
    if (destroy_) {
      krb5_cc_destroy(ctx_, cc_);
    } else {
      krb5_cc_close(ctx_, cc_);
    }
    cc_ = nullptr;
  }

 private:
  krb5_context ctx_;
  krb5_ccache cc_ = nullptr;
  bool destroy_ = false;
};

// A private directory (mode 0700) removed with everything directly inside it.
class TempDir {
 public:
  TempDir() = default;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, std::string())) {}
  ~TempDir() { Remove(); }
  // Creates a new directory under `parent`; errno value on failure, else 0.
  int Create(const std::string& parent);
  const std::string& path() const { return path_; }
  void Remove() noexcept;
  std::string Release() { return std::exchange(path_, std::string()); }

 private:
  std::string path_;
};

// Directory for short-lived private files: $TMPDIR when set, else /dev/shm (memory, so tickets
// never reach a disk) when it exists, else /tmp.
std::string TempParent();

// Copies the credentials of `source` whose client is `client` (leaving out configuration
// entries and any other client's tickets) into a new cache file at `path`. Returns the number
// copied through `copied`; a Kerberos or errno code on failure.
krb5_error_code CopyClientCredentials(krb5_context ctx, krb5_ccache source,
                                      krb5_const_principal client, const std::string& path,
                                      int* copied);

// Copies the user's credentials of `source` into a new sealed memfd (contents and size fixed),
// passing through a file in a private directory made under `tempParent`. 0 and `out` set on
// success, else a Kerberos or errno code. File and directory are gone when this returns, on
// every path.
krb5_error_code SealUserCredentials(krb5_context ctx, krb5_ccache source,
                                    krb5_const_principal client, const std::string& tempParent,
                                    UniqueFd& out);

// Largest cache file accepted either way (a handful of tickets, each at most a few tens of KB).
inline constexpr std::int64_t kMaxCacheBytes = 1 << 20;

}  // namespace tokengate::platform::krb
