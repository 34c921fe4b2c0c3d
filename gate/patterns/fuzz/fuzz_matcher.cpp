// Fuzzes the pattern list and the subject together. The input is split at its first 0xFF byte
// (list before, subject after); bytes are widened to UTF-16 units so every unit below U+0100 and
// the dialect's special characters are reachable. The matcher's own step budget bounds every
// input: at most 4,000,000 machine steps per entry and 16,000,000 per list test (about 50 ms in an
// optimised build, a few seconds under the fuzzer's instrumentation), so no input can hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tokengate/gate/pattern_matcher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tokengate::gate;
  std::u16string list;
  std::u16string subject;
  std::size_t i = 0;
  for (; i < size && data[i] != 0xFF; ++i) {
    list.push_back(static_cast<char16_t>(data[i]));
  }
  for (++i; i < size; ++i) {
    subject.push_back(static_cast<char16_t>(data[i]));
  }
  const PatternListResult r = MatchPatternList(list, subject);
  // The diagnostics must agree with the yes/no answer and with the static check.
  const bool yes = MatchesPatternList(list, subject);
  if (yes != (r.outcome == PatternOutcome::Match || r.outcome == PatternOutcome::Exhausted)) {
    std::abort();
  }
  if (r.outcome == PatternOutcome::Invalid && CheckPattern(r.entry).error != r.error) {
    std::abort();
  }
  if (r.outcome == PatternOutcome::Match && CheckPattern(r.entry).error != PatternError::None) {
    std::abort();
  }
  return 0;
}
