// The header set of the child request: the request's own headers without look-alikes of attribute
// headers, followed by the attribute headers the broker made from the token.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_settings.h"

namespace tokengate::gate {

enum class HeaderBlockStatus : std::uint8_t {
  Ok,
  AttributeListMissing,  // empty prefix and empty attribute list
  UnsafeCharacter,       // a header would carry CR, LF or NUL into the child request
  TooLarge,              // the block would not fit its 50000-byte area
  // The request's own headers could not be read: handing it on with only the attribute headers
  // would drop its framing (Content-Length, Transfer-Encoding) and let its body be read as a
  // second request.
  RequestHeadersUnavailable,
};

// A Cookie header value without the cookies named `name` (as the cookie lookup reads names);
// every other cookie is kept byte for byte, in order. Empty when nothing is left.
std::u16string WithoutCookie(std::u16string_view header, std::u16string_view name);

// The message for the error event and error response of a status other than Ok.
std::u16string_view HeaderBlockMessage(HeaderBlockStatus status);

// Splits `raw_headers` ("Name: value" CR LF lines) and keeps, in order, every header that is not an
// attribute look-alike: with a non-empty AuthenticationPrefix those whose name starts with it
// (letters A-Z compared without case), otherwise those named in `attribute_list`. A kept header
// whose name or value holds CR, LF or NUL gives UnsafeCharacter.
HeaderBlockStatus BuildRetainedHeaders(std::u16string_view raw_headers,
                                       std::u16string_view attribute_list,
                                       const GateSettings& settings, std::u16string& retained);

// The retained headers in the ANSI code page followed directly by the header string narrowed byte
// for unit (dropped as a whole when it holds a unit above U+00FF). UnsafeCharacter when the header
// string holds NUL or a CR or LF outside a CR LF pair; TooLarge when the block and its terminator
// exceed 50000 bytes.
HeaderBlockStatus BuildChildHeaderBlock(std::u16string_view retained,
                                        std::u16string_view header_string, std::string& block);

// Both steps from the request's own headers as the server gives them (ALL_RAW, in the ANSI code
// page): the same block and status as BuildRetainedHeaders over their UTF-16 form followed by
// BuildChildHeaderBlock, without converting headers that are ASCII to UTF-16 and back.
HeaderBlockStatus BuildChildHeaderBlockFromRaw(std::string_view raw_headers,
                                               std::u16string_view attribute_list,
                                               std::u16string_view header_string,
                                               const GateSettings& settings, std::string& block);

}  // namespace tokengate::gate
