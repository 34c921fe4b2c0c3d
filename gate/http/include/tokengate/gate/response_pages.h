// The gate's own responses: the error response (error page or redirect to ErrorUrl), the info page
// and the redirect that every redirecting path uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

inline constexpr std::u16string_view kInfoMessage = u"ISAPI Configuration successfully reloaded";
inline constexpr std::string_view kLogFieldFallback =
    "Internal error, unable to return error message";
// Refusals of a redirect target that cannot be sent safely.
inline constexpr std::u16string_view kRedirectRefused =
    u"Redirect location refused: it holds a line break, a NUL or a character above U+00FF";
inline constexpr std::u16string_view kRedirectTooLong =
    u"Redirect location refused: longer than 49999 bytes";
inline constexpr std::u16string_view kPageTooLarge =
    u"Error page not sent: the message makes it larger than 50000 bytes";

// The error page with `message` (single-byte) inserted verbatim, or an empty text when the page
// would not fit its 50000-byte area.
std::string BuildErrorPage(std::string_view message);
// The info page.
std::string BuildInfoPage();

// Sends the error page with status 500 and returns 4, or, when ErrorUrl is set, redirects there
// with "ErrorMessage=" and the message and returns 1.
std::uint32_t ErrorResponse(IRequestHost& host, const GateSettings& settings,
                            const GateEventLog& log, std::u16string_view message);

// Writes the info page; the caller returns 4.
void InfoPage(IRequestHost& host);

// The single-byte form of a redirect target, or nullopt with the refusal text (a CR, LF or NUL, a
// unit above U+00FF, or 50000 bytes or more).
std::optional<std::string> SendableLocation(std::u16string_view target,
                                            std::u16string_view& refusal);

// Sends a redirect to `target` and returns 1 whatever the server answered. A target with CR, LF or
// NUL, a unit above U+00FF or more than 49999 bytes is not sent: the refusal is written as an error
// event and answered with the error response.
std::uint32_t Redirect(IRequestHost& host, const GateSettings& settings, const GateEventLog& log,
                       std::u16string_view target);

// True when `resume` is a path on a base URL: it starts with exactly one "/" and holds no "\" and
// no control character, so appending it to the base cannot change the base's host.
bool IsSafeResumePath(std::u16string_view resume);

}  // namespace tokengate::gate
