// The process code page (CP_ACP) at the boundaries that speak single-byte text.
#include <windows.h>

#include <climits>

#include "tokengate/common/text.h"

namespace tokengate::text {

std::string ToAnsi(std::u16string_view utf16) {
  if (utf16.empty() || utf16.size() > INT_MAX)
    return {};
  const auto* in = reinterpret_cast<const wchar_t*>(utf16.data());
  const int units = static_cast<int>(utf16.size());
  const int bytes = WideCharToMultiByte(CP_ACP, 0, in, units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0)
    return {};
  std::string out(static_cast<std::size_t>(bytes), '\0');
  const int written =
      WideCharToMultiByte(CP_ACP, 0, in, units, out.data(), bytes, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

std::u16string FromAnsi(std::string_view ansi) {
  if (ansi.empty() || ansi.size() > INT_MAX)
    return {};
  const int bytes = static_cast<int>(ansi.size());
  const int units = MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes, nullptr, 0);
  if (units <= 0)
    return {};
  std::u16string out(static_cast<std::size_t>(units), u'\0');
  const int written = MultiByteToWideChar(CP_ACP, 0, ansi.data(), bytes,
                                          reinterpret_cast<wchar_t*>(out.data()), units);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return out;
}

}  // namespace tokengate::text
