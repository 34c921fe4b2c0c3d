// Reading server variables of the current request as UTF-16 text.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

// Reads `name` into a 50000-byte area and converts it from the ANSI code page. A variable the
// server cannot deliver (also one that does not fit the area) gives an empty text after the
// warning event "<name> could not be obtained from request <code>".
std::u16string ReadServerVariable(IRequestHost& host, const GateEventLog& log,
                                  std::string_view name);
// The same read for a caller that must tell a failed read from an empty value: nullopt after the
// warning event.
std::optional<std::u16string> TryReadServerVariable(IRequestHost& host, const GateEventLog& log,
                                                    std::string_view name);
// The same read without the conversion: the value's bytes (up to the first NUL) in the thread's
// reading area, valid until the thread's next read; nullopt after the warning event.
std::optional<std::string_view> TryReadServerVariableBytes(IRequestHost& host,
                                                           const GateEventLog& log,
                                                           std::string_view name);

// The calling thread's reading area of kWorkAreaBytes bytes, for the server's answers: made on the
// thread's first read and reused by every later one, never cleared (a read uses only what the
// server reports as written). What it holds is valid until the thread's next read.
std::span<char> ThreadReadingArea();

// The warning text of a failed read.
std::u16string ServerVariableWarning(std::string_view name, std::uint32_t code);

}  // namespace tokengate::gate
