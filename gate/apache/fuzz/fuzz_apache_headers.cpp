// The Apache host's header rules on arbitrary input: a child header block, request headers and a
// path. Checks the properties the rules promise, not just the absence of crashes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "header_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view childText = input.substr(0, split);
  const std::string_view originalText =
      split == std::string_view::npos ? std::string_view{} : input.substr(split + 1);
  using namespace tokengate::apache;
  const auto child = ParseHeaderBlock(childText);
  const auto original = ParseHeaderBlock(originalText);
  for (const auto& [name, value] : child) {
    if (name.empty() || name.find_first_of("\r\n") != std::string::npos ||
        value.find('\n') != std::string::npos) {
      __builtin_trap();
    }
  }
  const auto kept = ChildHeaderSet(child, original);
  if (kept.size() > child.size()) {
    __builtin_trap();
  }
  const std::string raw = BuildAllRaw(original);
  if (ParseHeaderBlock(raw).size() > original.size()) {
    __builtin_trap();
  }
  const std::string path = PathForMatching(input);
  if (path.find(';') != std::string::npos || path.find("/../") != std::string::npos ||
      path.find("//") != std::string::npos || path.find('\\') != std::string::npos ||
      (!input.empty() && path.front() != '/') || PathForMatching(path) != path) {
    __builtin_trap();
  }
  const std::string logged = EscapeForLog(input);
  if (logged.find_first_of("\r\n") != std::string::npos) {
    __builtin_trap();
  }
  if (IsSafeLocation(input) &&
      input.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
    __builtin_trap();
  }
  return 0;
}
