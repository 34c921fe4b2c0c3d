#include "tessera/tessera.h"

namespace tessera {
namespace {

using std::chrono::seconds;
using std::chrono::sys_seconds;

// The instant carried by a codec-written time attribute, or nullopt when the attribute is absent.
// Anything but exactly one well-formed value is refused: the token's validity would be unknown.
std::optional<sys_seconds> TimeAttribute(const MultiStringDictionary& attributes,
                                         std::u16string_view name, const char* what) {
  const auto* values = attributes.Find(name);
  if (values == nullptr)
    return std::nullopt;
  if (values->size() != 1)
    throw TokenException(std::string("Token ") + what + " is malformed.");
  const auto t = format::ParseUtc(values->front());
  if (!t)
    throw TokenException(std::string("Token ") + what + " is malformed.");
  return t;
}

std::string Ascii(const std::u16string& s) {
  std::string out;
  for (char16_t c : s)
    out.push_back(static_cast<char>(c));  // FormatUtc yields ASCII only
  return out;
}

}  // namespace

std::chrono::sys_seconds SystemNow() {
  return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

Agent::Agent(const AgentConfiguration& configuration, Clock clock)
    : configuration_(configuration), clock_(clock ? std::move(clock) : Clock(SystemNow)) {}

MultiStringDictionary Agent::ReadTokenMultiStringDictionary(const std::string& token) const {
  auto attributes = format::Open(configuration_, token);
  const auto notOnOrAfter = TimeAttribute(attributes, kNotOnOrAfter, "expiry");
  const auto renewUntil = TimeAttribute(attributes, kRenewUntil, "session limit");
  const sys_seconds now = clock_();
  const seconds skew{configuration_.ClockSkew()};
  if (notOnOrAfter && now >= *notOnOrAfter + skew) {
    throw TokenExpiredException("Token expired at " + Ascii(format::FormatUtc(*notOnOrAfter)) +
                                ".");
  }
  if (renewUntil && now >= *renewUntil + skew) {
    throw TokenExpiredException("Token session ended at " + Ascii(format::FormatUtc(*renewUntil)) +
                                ".");
  }
  return attributes;
}

std::string Agent::WriteToken(const MultiStringDictionary& attributes) const {
  MultiStringDictionary out = attributes;
  const sys_seconds now = clock_();
  auto renewUntil = TimeAttribute(out, kRenewUntil, "session limit");
  if (!renewUntil && configuration_.MaxSessionLifetime() > 0) {
    renewUntil = now + seconds{configuration_.MaxSessionLifetime()};
    out.Set(kRenewUntil, {format::FormatUtc(*renewUntil)});
  }
  sys_seconds expiry = now + seconds{configuration_.TokenLifetime()};
  if (renewUntil) {
    if (now >= *renewUntil) {
      throw TokenExpiredException("Token session ended at " +
                                  Ascii(format::FormatUtc(*renewUntil)) + ".");
    }
    expiry = std::min(expiry, *renewUntil);
  }
  out.Set(kNotOnOrAfter, {format::FormatUtc(expiry)});
  return format::Seal(configuration_, out);
}

}  // namespace tessera
