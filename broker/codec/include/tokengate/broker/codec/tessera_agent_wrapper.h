// The broker's bridge to the Tessera codec: turns a token into the header string, the attribute
// list, the user id and realm, and the token to hand back to the browser (re-issued when due).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessera {
class PropertiesFileSource;
}

namespace tokengate::broker {

// How the wrapper reports warnings (the procedure logs them as warning events).
using WrapperWarningFn = std::function<void(std::u16string_view)>;
// The current time in UTC; the token's instants are UTC as well.
using WrapperClock = std::function<std::chrono::sys_seconds()>;

// A decoded attribute has no values at all.
class AttributeWithoutValuesError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A "not-on-or-after" value that is not a date-time.
class DateTimeFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CTesseraAgentWrapper {
 public:
  // `clock` defaults to the system clock. The properties file is read through `source`, by
  // default the platform's checking source (tessera::CheckedPropertiesFileSource): the file
  // names come from callers.
  explicit CTesseraAgentWrapper(WrapperClock clock = {},
                                const tessera::PropertiesFileSource* source = nullptr);

  // Decodes `Tessera` with the codec configured by the properties file `TesseraConfig` and
  // fills the outputs (arrays of the capacities in tokengate/common/authenticator.h). Returns
  // an empty text on success, otherwise the failure's message; `expired` is set when the token
  // has expired (then `pUpdatedToken` holds "SESSION_EXPIRED"). Failures it does not map (an
  // attribute without values, an unparsable "not-on-or-after", allocation failures) leave as
  // exceptions. Outputs written before a failure stay written.
  std::u16string ReadToken(const std::u16string& TesseraConfig, const std::u16string& Tessera,
                           const std::u16string& AuthnPrefix, std::int32_t TokenUpdateWindow,
                           std::u16string& userId, std::u16string& realm,
                           std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken,
                           std::int32_t* pHeader_Length, char16_t* pHeader,
                           std::int32_t* pAttributeList_Length, char16_t* pAttributeList,
                           bool& expired, const WrapperWarningFn& warn = {});

  // The general date-time parser used for "not-on-or-after": "YYYY-MM-DD", optionally followed
  // by "T" or a blank and "HH:MM[:SS[.fraction]]", optionally followed by "Z" or "+HH:MM" /
  // "-HH:MM" / "+HHMM"; no zone means UTC. Throws DateTimeFormatError.
  static std::chrono::sys_seconds ParseDateTime(std::u16string_view text);

  // True when `name` is a valid HTTP header field name (RFC 9110 token; not empty).
  static bool IsHeaderFieldName(std::string_view name);

 private:
  WrapperClock clock_;
  const tessera::PropertiesFileSource* source_;
};

}  // namespace tokengate::broker
