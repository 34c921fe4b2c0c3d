// Redirects to the federation server's sign-on and single-logout URLs, carrying the address of the
// current request as TargetResource.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

inline constexpr std::u16string_view kSsoUrlMissing =
    u"SSOUrl must be set in the ISAPI configuration file";

// Form encoding of bytes: letters, digits and ! ' ( ) * - . / : _ ~ stay, a blank becomes "+",
// every other byte "%" and two lowercase hexadecimal digits.
std::string FormEncode(std::string_view bytes);

// The request's address as the browser should see it: scheme, host, port (with the configured
// overrides), the path from the server variable `path_variable`, and "?" and the query string.
std::u16string BuildTargetResource(IRequestHost& host, const GateSettings& settings,
                                   const GateEventLog& log, std::string_view path_variable);

// The sign-on redirect (the target form-encoded). Returns the status of the redirect, or of the
// error response when SSOUrl is missing outside IWA mode.
std::uint32_t RedirectToSignOn(IRequestHost& host, const GateSettings& settings,
                               const GateEventLog& log);
// The single-logout redirect (the target appended as it is).
std::uint32_t RedirectToLogout(IRequestHost& host, const GateSettings& settings,
                               const GateEventLog& log);

}  // namespace tokengate::gate
