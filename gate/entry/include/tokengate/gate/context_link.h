// The link between the filter role, which sees a request first, and the extension role, which
// needs the filter's per-request context to add response headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

inline constexpr std::string_view kContextHeaderName = "TarvexAuth-Context:";
inline constexpr std::string_view kContextVariable = "HTTP_TARVEXAUTH_CONTEXT";

// Eight lowercase hexadecimal digits, zero-padded.
std::string FormatContextId(std::uint32_t id);

// Reads an identifier back: leading white space skipped, an optional "0x"/"0X", then hexadecimal
// digits up to the first other character. No leading digit, or a value above 32 bits, gives 0.
std::uint32_t ParseContextId(std::string_view text);

// The filter step for a request whose headers have been read: clears the private pointer and adds
// the context header. Returns the filter status for the web server.
std::uint32_t TagRequest(IFilterNotification& notification) noexcept;

// The extension's read-back: this request's filter context, or null when the request carries no
// identifier or one that does not name this request's own context.
IFilterContext* FindFilterContext(IRequestHost& host, const GateEventLog& log);

}  // namespace tokengate::gate
