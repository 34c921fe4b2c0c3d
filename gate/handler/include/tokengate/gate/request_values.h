// Named values of a request: form fields of the body, query string parameters and cookies.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

inline constexpr std::u16string_view kCookieHeaderProblem =
    u"problem retrieving cookie header data";
inline constexpr std::u16string_view kCookieHeaderTooLarge =
    u"Cookie header larger than 50000 bytes was not read";
inline constexpr std::u16string_view kFormBodyTooLarge =
    u"Form body larger than 49999 bytes was not read";

// One entry of a list: the decoded name and the decoded value, or nullopt for a name written with
// "=" and nothing after it.
using NameValueList = std::vector<std::pair<std::u16string, std::optional<std::u16string>>>;

// Percent-decoding of a name or value: "%" and two hexadecimal digits become that byte, "+" stays,
// the bytes are read in the ANSI code page and a decoded byte 0 ends the text. nullopt when a "%"
// is not followed by two hexadecimal digits.
std::optional<std::u16string> PercentDecode(std::u16string_view text);

// Query-style list ("&"-separated): one invalid piece empties the whole list.
NameValueList ParseQueryList(std::u16string_view text);
// Cookie-style list (";"-separated, leading blanks skipped): an invalid piece hides only itself.
NameValueList ParseCookieList(std::u16string_view text);

// True when one piece of a Cookie header (the text between two ";") is a cookie named `name` as
// the cookie lookup reads names (blanks skipped, "%XX" decoded).
bool IsCookieNamed(std::u16string_view piece, std::u16string_view name);
// The same for a piece in the ANSI code page.
bool IsCookieNamed(std::string_view piece, std::u16string_view name);

// The value of `name` in a list text; nullopt when absent or unset. First occurrence wins. Same
// answers as looking the name up in the parsed list, without building it.
std::optional<std::u16string> FindInQueryText(std::u16string_view text, std::u16string_view name);
std::optional<std::u16string> FindInCookieText(std::u16string_view text, std::u16string_view name);

// Lookups in the current request. Each reads its source afresh; nothing is cached.
// The body bytes already received, read as a query-style list. A body that does not fit the
// 50000-byte area is not read (warning event) and gives absent.
std::optional<std::u16string> FindFormValue(IRequestHost& host, const GateEventLog& log,
                                            std::u16string_view name);
// The query string, read as a query-style list.
std::optional<std::u16string> FindQueryValue(IRequestHost& host, std::u16string_view name);
// The Cookie header, read as a cookie-style list. When the header cannot be read even with the
// size the server reported, the error response "problem retrieving cookie header data" is sent,
// `*error_response` (when given) receives its status, and the result is absent.
std::optional<std::u16string> FindCookieValue(
    IRequestHost& host, const GateSettings& settings, const GateEventLog& log,
    std::u16string_view name, std::optional<std::uint32_t>* error_response = nullptr);

}  // namespace tokengate::gate
