#include "tokengate/gate/server_variable.h"

#include <memory>

#include "tokengate/common/text.h"

namespace tokengate::gate {

std::u16string ServerVariableWarning(std::string_view name, std::uint32_t code) {
  std::u16string text = text::FromAnsi(name);
  text += u" could not be obtained from request ";
  const std::string digits = std::to_string(code);
  text.append(digits.begin(), digits.end());
  return text;
}

std::span<char> ThreadReadingArea() {
  // Not zero-filled: only the bytes the host reports as written are read.
  thread_local const std::unique_ptr<char[]> area =
      std::make_unique_for_overwrite<char[]>(kWorkAreaBytes);
  return {area.get(), kWorkAreaBytes};
}

std::u16string ReadServerVariable(IRequestHost& host, const GateEventLog& log,
                                  std::string_view name) {
  std::optional<std::u16string> value = TryReadServerVariable(host, log, name);
  return value ? std::move(*value) : std::u16string();
}

std::optional<std::u16string> TryReadServerVariable(IRequestHost& host, const GateEventLog& log,
                                                    std::string_view name) {
  const std::optional<std::string_view> bytes = TryReadServerVariableBytes(host, log, name);
  if (!bytes) {
    return std::nullopt;
  }
  return text::FromAnsi(*bytes);
}

std::optional<std::string_view> TryReadServerVariableBytes(IRequestHost& host,
                                                           const GateEventLog& log,
                                                           std::string_view name) {
  const std::span<char> area = ThreadReadingArea();
  const VariableRead read = host.GetServerVariable(name, area);
  if (read.error != VariableError::None) {
    log.Report(EventType::Warning, ServerVariableWarning(name, read.code));
    return std::nullopt;
  }
  // The reported size counts the terminator; stop at the first NUL in any case so that a host
  // reporting a wrong size can never make the gate read past what it wrote.
  std::size_t length = read.size > 0 ? read.size - 1 : 0;
  if (length > kWorkAreaBytes) {
    length = kWorkAreaBytes;
  }
  const std::string_view bytes(area.data(), length);
  return bytes.substr(0, bytes.find('\0'));
}

}  // namespace tokengate::gate
