#include "tokengate/gate/context_link.h"

#include "tokengate/common/text.h"
#include "tokengate/gate/server_variable.h"

namespace tokengate::gate {

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

std::string FormatContextId(std::uint32_t id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(8, '0');
  for (int i = 7; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[id & 0xF];
    id >>= 4;
  }
  return out;
}

std::uint32_t ParseContextId(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) {
    ++i;
  }
  if (i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      HexValue(text[i + 2]) >= 0) {
    i += 2;
  }
  std::uint64_t value = 0;
  bool any = false;
  for (; i < text.size(); ++i) {
    const int digit = HexValue(text[i]);
    if (digit < 0) {
      break;
    }
    any = true;
    value = (value << 4) | static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFull) {
      return 0;  // no context id has more than 32 bits
    }
  }
  return any ? static_cast<std::uint32_t>(value) : 0;
}

std::uint32_t TagRequest(IFilterNotification& notification) noexcept {
  notification.ClearPrivateContext();
  const std::string id = FormatContextId(notification.ContextId());
  return notification.AddHeader(kContextHeaderName, id) ? kSfStatusReqNextNotification
                                                        : kSfStatusReqError;
}

IFilterContext* FindFilterContext(IRequestHost& host, const GateEventLog& log) {
  const std::uint32_t id =
      ParseContextId(text::ToAnsi(ReadServerVariable(host, log, kContextVariable)));
  if (id == 0) {
    return nullptr;
  }
  return host.ResolveFilterContext(id);
}

}  // namespace tokengate::gate
