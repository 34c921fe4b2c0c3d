// Writes the token cookie's Set-Cookie line through the filter context of the current request.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

inline constexpr std::u16string_view kCookieUpdateFailed = u"Error in updating cookies.";

// The dates an expiry can carry: "%Y" is written with four digits, and nothing before the epoch
// is needed (any past date removes the cookie).
inline constexpr std::chrono::sys_seconds kEarliestCookieExpiry{};
inline constexpr std::chrono::sys_seconds kLatestCookieExpiry =
    std::chrono::sys_days{std::chrono::year{9999} / 12 / 31} + std::chrono::hours{23} +
    std::chrono::minutes{59} + std::chrono::seconds{59};

// "%a, %d-%b-%Y %H:%M:%S GMT" in English, for a UTC time, clamped to the dates above.
std::string FormatCookieExpiry(std::chrono::system_clock::time_point when);
std::string FormatCookieExpiry(std::chrono::sys_seconds when);
// `minutes` after `now`, clamped to the dates above (no count of minutes can wrap around).
std::chrono::sys_seconds CookieExpiry(std::chrono::system_clock::time_point now,
                                      std::int32_t minutes);

// The clearing line for the token cookie, or nullopt when it cannot be sent safely (a CR, LF or NUL
// in a name, domain or path, or a line of 50000 bytes or more).
std::optional<std::string> BuildClearCookieLine(const GateSettings& settings);
// The line that sets `name` to `value`, expiring CookieAge minutes after `now` unless the cookie
// is a session cookie; nullopt as above. Both lines end with "; HttpOnly" (HttpOnlyCookie) and
// "; SameSite=<value>" (SameSiteCookie) when those are set.
std::optional<std::string> BuildWriteCookieLine(const GateSettings& settings,
                                                std::u16string_view name, std::u16string_view value,
                                                std::chrono::system_clock::time_point now);

// Expires the token cookie. 1 on success; 4 after the error event "Error in updating cookies."
std::uint32_t ClearTokenCookie(IFilterContext& filter, const GateSettings& settings,
                               const GateEventLog& log);
// Sets cookie `name` to `value`. 1 on success; 4 after the error event.
std::uint32_t WriteCookie(
    IFilterContext& filter, const GateSettings& settings, const GateEventLog& log,
    std::u16string_view name, std::u16string_view value,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace tokengate::gate
