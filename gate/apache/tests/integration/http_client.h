// A minimal HTTP/1.1 client over loopback for the integration tests: one request per connection,
// the raw request text is the caller's, so tests can send what a browser never would.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tokengate::apache::testing {

struct HttpResponse {
  int status = 0;
  // Header names lower-cased; a name may occur several times.
  std::multimap<std::string, std::string> headers;
  std::string raw_headers;
  std::string body;

  std::optional<std::string> Header(const std::string& lowerName) const;
  std::vector<std::string> Headers(const std::string& lowerName) const;
};

// Sends `target` (the request-target, sent as is) with `extraHeaders` ("Name: value" lines) and
// reads the whole response. Throws std::runtime_error on connection failures.
HttpResponse Get(int port, const std::string& target,
                 const std::vector<std::string>& extraHeaders = {});

// Sends a complete raw request.
HttpResponse Send(int port, const std::string& request);

}  // namespace tokengate::apache::testing
