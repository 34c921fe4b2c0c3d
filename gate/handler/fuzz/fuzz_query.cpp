// Query-style lists (query string and form body) on arbitrary bytes: no crash, and the direct
// lookup agrees with the parsed list for every name in it.
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
  const gate::NameValueList list = gate::ParseQueryList(text);
  for (const auto& [name, value] : list) {
    if (name.empty() || gate::FindInQueryText(text, name) != value) {
      std::abort();
    }
  }
  if (list.empty() && gate::FindInQueryText(text, u"T").has_value()) {
    std::abort();
  }
  (void)gate::PercentDecode(text);
  return 0;
}
