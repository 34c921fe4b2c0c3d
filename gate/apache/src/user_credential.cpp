#include "user_credential.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <utility>

#include "tokengate/common/text.h"

namespace tokengate::apache {

std::unique_ptr<KerberosUserCredential> KerberosUserCredential::Adopt(int fd, std::string* error) {
  platform::UniqueFd owned(fd);
  if (fd < 0) {
    *error = "The broker handed over no descriptor";
    return nullptr;
  }
  std::optional<platform::ReceivedKerberosCredential> credential =
      platform::ReceivedKerberosCredential::Open(owned.get(), error);
  if (!credential) {
    return nullptr;
  }
  return std::make_unique<KerberosUserCredential>(Key{}, std::move(owned), std::move(*credential));
}

const std::string& KerberosUserCredential::userName() const {
  const std::optional<std::string>& local = credential_.localName();
  return local ? *local : credential_.principal();
}

std::optional<std::string> KerberosUserCredential::OfferToBackends(const std::string& parent,
                                                                   std::string* error) {
  if (!cacheFile_) {
    std::optional<platform::KerberosCacheFile> file = credential_.WriteCacheFile(parent, error);
    if (!file) {
      return std::nullopt;
    }
    cacheFile_ = std::move(file);
  }
  return cacheFile_->CacheName();
}

gate::Credential AdoptBrokerCredential(std::intptr_t handle,
                                       const std::function<void(std::u16string_view)>& report) {
  std::string error;
  std::unique_ptr<KerberosUserCredential> credential;
  if (handle < 0 || handle > INT_MAX) {
    error = "The handle value is not a descriptor";
  } else {
    try {
      credential = KerberosUserCredential::Adopt(static_cast<int>(handle), &error);
    } catch (...) {
      error = "Not enough memory to read the credential";
    }
  }
  if (!credential && report) {
    report(text::Utf8ToUtf16("The user's credential from the broker was refused: " + error));
  }
  return credential;
}

std::string BackendCacheParent() {
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] == '/') {
    return tmp;
  }
  struct stat st {};
  if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) {
    return "/dev/shm";
  }
  return "/tmp";
}

}  // namespace tokengate::apache
