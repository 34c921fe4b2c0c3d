// Header rules shared by every web server host: which request headers a backend could take for
// attribute headers, and the Cache-Control of a response that carries the token cookie. Pure
// functions over bytes (header names are ASCII), so each host applies exactly the same rule.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokengate::gate {

// A header name character as a backend may read it: ASCII letters in lower case, "_" as "-".
constexpr char NormalisedHeaderChar(char c) noexcept {
  return c == '_' ? '-' : (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Lower-case ASCII with "_" read as "-": two names that a backend could confuse compare equal.
std::string NormalisedHeaderName(std::string_view name);
// NormalisedHeaderName(a) == NormalisedHeaderName(b), without making either.
bool NamesAlike(std::string_view a, std::string_view b) noexcept;

// True when the request header `name` carries the attribute header prefix `prefix`, read as a
// backend may read it: ASCII case ignored and "_" taken for "-" on both sides. An empty prefix
// matches nothing (attribute headers are then named by the token alone). A short prefix such as
// "X-" matches every header that starts with it ("X-Requested-With", "X-Forwarded-For", ...).
bool CarriesAttributePrefix(std::string_view name, std::string_view prefix) noexcept;

// The names of the header lines of `raw` ("Name: value" lines ending in CR LF or LF, as the
// ALL_RAW variable holds them) that carry `prefix`, in request order, each line's name once (a
// name sent on several lines is listed for each). Lines without a colon and continuation lines
// (starting with a blank) name no header. Empty for an empty prefix.
std::vector<std::string_view> AttributeLookAlikes(std::string_view raw, std::string_view prefix);

// The Cache-Control value a response that carries the token cookie goes out with, given the
// directives the application set (all its Cache-Control values joined by ","): nullopt when they
// already keep shared caches from storing it ("private", "no-store"); otherwise "private"
// followed by the application's directives less those that invite shared caches ("public",
// "s-maxage").
std::optional<std::string> PrivateCacheControl(std::string_view directives);

}  // namespace tokengate::gate
