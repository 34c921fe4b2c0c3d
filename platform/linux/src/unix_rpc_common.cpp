// Names shared by the server and client sides of the Unix socket transport.
#include <cstdlib>

#include "tokengate/common/text.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {

std::string RuntimeDirectory() {
  const char* env = std::getenv(kRuntimeDirEnv);
  std::string dir = (env != nullptr && *env != '\0') ? std::string(env) : kDefaultRuntimeDir;
  if (dir.back() != '/') {
    dir.push_back('/');
  }
  return dir;
}

bool IsValidEndpointName(std::u16string_view endpoint) {
  if (endpoint.empty() || endpoint.size() > 100 || endpoint.front() == u'.') {
    return false;
  }
  for (const char16_t c : endpoint) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                    (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.';
    if (!ok) {
      return false;
    }
  }
  return true;
}

std::string BrokerSocketPath(std::u16string_view endpoint) {
  return RuntimeDirectory() + text::Utf16ToUtf8(endpoint);
}

}  // namespace tokengate::platform
