// Cookie-style lists on arbitrary bytes: no crash, and the direct lookup agrees with the parsed
// list for every name in it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tokengate/common/text.h"
#include "tokengate/gate/request_values.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tokengate;
  const std::u16string text =
      text::FromAnsi(std::string_view(reinterpret_cast<const char*>(data), size));
  const gate::NameValueList list = gate::ParseCookieList(text);
  bool has_t = false;
  for (const auto& [name, value] : list) {
    if (name.empty() || gate::FindInCookieText(text, name) != value) {
      std::abort();
    }
    has_t = has_t || name == u"T";
  }
  if (!has_t && gate::FindInCookieText(text, u"T").has_value()) {
    std::abort();
  }
  return 0;
}
