// The protected request handler: one call per request, deciding in a fixed order whether the
// request reloads the configuration, passes through untouched, ends a session, or needs a token
// that the broker turns into request headers (and, with IWA, a user identity).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "tokengate/gate/broker_client.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

// Module-wide things the handler reads; created by the start-up and shared by every request.
struct GateServices {
  GateConfiguration& configuration;
  const GateEventLog& log;
  const BrokerClient& broker;
  // Takes ownership of the handle value an IWA call returned (a descriptor or handle already
  // valid in this process). Null where IWA is not supported: the value is then closed nowhere and
  // the request is refused as if no handle had come back.
  std::function<Credential(std::intptr_t)> adoptBrokerHandle;
  // The time cookies are written at; the system clock unless a test sets it.
  std::function<std::chrono::system_clock::time_point()> now;
};

// The refusal of a cancel request whose "resume" value is not a path on CorvaneBaseUrl.
inline constexpr std::u16string_view kResumeRefused =
    u"The resume value must be a path on CorvaneBaseUrl";

// The refusal of a request whose handling failed for want of memory.
inline constexpr std::u16string_view kRequestFailed = u"Request could not be processed";

// Returns 1 after a redirect, 3 after an accepted hand-off, 4 after a page, a refused hand-off or
// a failed cookie write.
std::uint32_t HandleRequest(IRequestHost& host, const GateServices& services);

}  // namespace tokengate::gate
