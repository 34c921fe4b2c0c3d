// The user's Kerberos credential as the broker hands it to the gate on Linux: a sealed memory file
// holding a credential cache, passed over the broker's socket. Needs no web server.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tokengate/gate/request_host.h"
#include "tokengate/platform/kerberos_credential.h"
#include "tokengate/platform/unique_fd.h"

namespace tokengate::apache {

class KerberosUserCredential final : public gate::ICredential {
  // Only Adopt makes one.
  struct Key {
    explicit Key() = default;
  };

 public:
  // Takes ownership of `fd` in every case: on failure it is closed before returning null, with
  // the reason in `*error`.
  static std::unique_ptr<KerberosUserCredential> Adopt(int fd, std::string* error);

  KerberosUserCredential(Key, platform::UniqueFd fd,
                         platform::ReceivedKerberosCredential credential)
      : fd_(std::move(fd)), credential_(std::move(credential)) {}
  KerberosUserCredential(const KerberosUserCredential&) = delete;
  KerberosUserCredential& operator=(const KerberosUserCredential&) = delete;
  ~KerberosUserCredential() override = default;

  std::uintptr_t NativeHandle() const noexcept override {
    return static_cast<std::uintptr_t>(fd_.get());
  }

  const std::string& principal() const { return credential_.principal(); }
  // The account name the request runs under: the principal's local name, or the full principal
  // when it maps to none.
  const std::string& userName() const;

  // Writes the user's tickets into a private cache file for backend processes (the first call
  // only; later calls return the same name) and returns its KRB5CCNAME value. The file and its
  // directory are removed when this object goes away.
  std::optional<std::string> OfferToBackends(const std::string& parent, std::string* error);

 private:
  // Declared in this order so that the cache file goes first, the descriptor last.
  platform::UniqueFd fd_;
  platform::ReceivedKerberosCredential credential_;
  std::optional<platform::KerberosCacheFile> cacheFile_;
};

// Turns the handle value of an IWA call (a received descriptor) into the user's credential;
// null, after passing the reason to `report`, when it is not a sealed credential cache. The
// descriptor is owned from the call on and closed exactly once.
gate::Credential AdoptBrokerCredential(std::intptr_t handle,
                                       const std::function<void(std::u16string_view)>& report);

// Where per-request cache files for backends go: $TMPDIR when set, else /dev/shm (tickets stay in
// memory), else /tmp.
std::string BackendCacheParent();

}  // namespace tokengate::apache
