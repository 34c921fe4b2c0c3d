// Gate events into Apache's error log: error, warning and information map to the levels err, warn
// and info of the module's own log level; each entry carries its type, category and id.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "tokengate/gate/gate_event_log.h"

struct server_rec;
struct request_rec;

namespace tokengate::apache {

class ErrorLogSink final : public gate::IEventSink {
 public:
  // `site` names the configuration the events come from where a server runs several (their
  // installation paths); empty where there is one.
  ErrorLogSink(server_rec* server, int moduleIndex, std::string site = {})
      : server_(server), moduleIndex_(moduleIndex), site_(std::move(site)) {}
  void Write(gate::EventType type, std::uint16_t category, std::uint32_t id,
             std::u16string_view text) noexcept override;

 private:
  server_rec* server_;
  int moduleIndex_;
  std::string site_;
};

// While alive, events written on this thread are logged against `r` (with its client address)
// instead of the server.
class ScopedLogRequest {
 public:
  explicit ScopedLogRequest(request_rec* r) noexcept;
  ~ScopedLogRequest();
  ScopedLogRequest(const ScopedLogRequest&) = delete;
  ScopedLogRequest& operator=(const ScopedLogRequest&) = delete;

 private:
  request_rec* previous_;
};

}  // namespace tokengate::apache
