// UTF-16 text of the core as the wide strings of the Windows API (wchar_t is 16 bits there).
#pragma once

#include <string>
#include <string_view>

namespace tokengate::platform {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "the Windows API uses 16-bit wide characters");

inline std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}
inline std::u16string FromWide(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

}  // namespace tokengate::platform
