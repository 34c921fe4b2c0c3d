// Feeds arbitrary file bytes to the conf file reader and checks the promises it makes: no value
// longer than the cut, and a lookup returns the first occurrence of a key in the first section.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tokengate/common/text.h"
#include "tokengate/gate/ini_profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tokengate::gate::IniProfile;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const IniProfile profile = IniProfile::Parse(bytes);
  for (const auto& section : profile.Sections()) {
    if (profile.FindSection(section.name) != &section) {
      continue;  // a later section of the same name is never read
    }
    for (const auto& entry : section.entries) {
      if (entry.value.size() > tokengate::gate::kMaxProfileValueChars) {
        std::abort();
      }
      const IniProfile::Entry* first = nullptr;
      for (const auto& e : section.entries) {
        if (tokengate::text::EqualsIgnoreAsciiCase(e.key, entry.key)) {
          first = &e;
          break;
        }
      }
      if (profile.Get(section.name, entry.key) != first->value) {
        std::abort();
      }
    }
  }
  return 0;
}
