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

// The auth scheme of the 401 answer to scripts, and the event that records that answer.
inline constexpr std::string_view kScriptAuthScheme = "Tessera";
inline constexpr std::u16string_view kScriptAnswered =
    u"Script request answered with 401 and the sign-on URL instead of a redirect";

// True for a request that is clearly not a top-level navigation: "X-Requested-With:
// XMLHttpRequest", a Sec-Fetch-Mode other than "navigate", or an Accept that asks for JSON and
// not for HTML.
bool IsScriptRequest(IRequestHost& host);

// The sign-on redirect (the target form-encoded). Returns the status of the redirect, or of the
// error response when SSOUrl is missing outside IWA mode. A script request (IsScriptRequest) is
// answered with 401, "WWW-Authenticate: Tessera signon=\"<url>\"", "Cache-Control: no-store"
// and {"error":"unauthenticated","signOnUrl":"<url>"} instead, unless ScriptUnauthenticated is
// "redirect" or the server cannot send that response.
std::uint32_t RedirectToSignOn(IRequestHost& host, const GateSettings& settings,
                               const GateEventLog& log);
// The single-logout redirect (the target appended as it is).
std::uint32_t RedirectToLogout(IRequestHost& host, const GateSettings& settings,
                               const GateEventLog& log);

}  // namespace tokengate::gate
