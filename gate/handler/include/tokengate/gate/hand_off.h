// Handing a request on to the web server as a child request, and the completion step that closes
// the request when the child has finished.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

inline constexpr std::string_view kImpersonatedAuthType = "Corvane Tessera";
inline constexpr std::u16string_view kNoThreadToken = u"Unable to get thread token";
inline constexpr std::u16string_view kCannotImpersonate = u"Unable to set impersonation token";
inline constexpr std::u16string_view kCannotRestoreIdentity =
    u"Unable to revert to original thread token";

// Each returns 3 when the server accepted the child request and 4 when it refused it; a refused
// hand-off is released at once and never gets a completion step.
std::uint32_t PassOnUnchanged(IRequestHost& host);
// `child_headers` comes from BuildChildHeaderBlock.
std::uint32_t PassOnWithHeaders(IRequestHost& host, std::string child_headers);
// Runs the child under `user_token`, with the account name the system reports for it and the auth
// type "Corvane Tessera". The calling thread's identity is the same before and after. A failed
// identity step ends in an error event and the error response; `user_token` is closed on every
// path that does not hand it to the server.
std::uint32_t PassOnImpersonated(IRequestHost& host, const GateSettings& settings,
                                 const GateEventLog& log, Credential user_token,
                                 std::string child_headers);

// The completion step: closes the user credential, releases the hand-off, copies the child's
// status to the request and tells the server the gate is done with it.
void CompleteHandOff(IRequestHost& host, std::unique_ptr<HandOff> hand_off) noexcept;

}  // namespace tokengate::gate
