// On Linux the single-byte code page of the web server boundary is UTF-8.
#include "tokengate/common/text.h"

namespace tokengate::text {

std::string ToAnsi(std::u16string_view utf16) {
  return Utf16ToUtf8(utf16);
}
std::u16string FromAnsi(std::string_view ansi) {
  return Utf8ToUtf16(ansi);
}

}  // namespace tokengate::text
