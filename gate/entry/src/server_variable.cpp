#include "tokengate/gate/server_variable.h"

#include <vector>

#include "tokengate/common/text.h"

namespace tokengate::gate {

std::u16string ServerVariableWarning(std::string_view name, std::uint32_t code) {
  std::u16string text = text::FromAnsi(name);
  text += u" could not be obtained from request ";
  const std::string digits = std::to_string(code);
  text.append(digits.begin(), digits.end());
  return text;
}

std::u16string ReadServerVariable(IRequestHost& host, const GateEventLog& log,
                                  std::string_view name) {
  std::vector<char> area(kWorkAreaBytes);
  const VariableRead read = host.GetServerVariable(name, area);
  if (read.error != VariableError::None) {
    log.Report(EventType::Warning, ServerVariableWarning(name, read.code));
    return {};
  }
  // The reported size counts the terminator; stop at the first NUL in any case so that a host
  // reporting a wrong size can never make the gate read past what it wrote.
  std::size_t length = read.size > 0 ? read.size - 1 : 0;
  if (length > area.size()) {
    length = area.size();
  }
  const std::string_view bytes(area.data(), length);
  return text::FromAnsi(bytes.substr(0, bytes.find('\0')));
}

}  // namespace tokengate::gate
