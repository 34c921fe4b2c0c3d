// tokengate match '<pattern list>' '<subject>': tests a subject against a pattern list exactly as
// the gate does and says which entry decided.
#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/pattern_matcher.h"

namespace tokengate::cli {
namespace {

int RunMatch(const std::vector<std::string>& args) {
  using namespace tokengate::gate;
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: tokengate match '<pattern list>' '<subject>'\n");
    return 2;
  }
  const std::u16string list = text::FromAnsi(args[0]);
  const std::u16string subject = text::FromAnsi(args[1]);
  const PatternListResult r = MatchPatternList(list, subject);
  const std::string entry = text::ToAnsi(r.entry);
  switch (r.outcome) {
    case PatternOutcome::Match:
      std::printf("match: entry %zu '%s' (at offset %zu of the list)\n", r.entryIndex + 1,
                  entry.c_str(), r.entryOffset);
      return 0;
    case PatternOutcome::Exhausted:
      std::printf(
          "match: entry %zu '%s' used up the search budget before deciding; the gate counts this "
          "as a match\n",
          r.entryIndex + 1, entry.c_str());
      return 0;
    case PatternOutcome::NoMatch:
      if (CountPatternEntries(list) == 0) {
        std::printf("no match: the list is empty\n");
      } else if (CountPatternEntries(list) == 1) {
        std::printf("no match: the only entry did not match\n");
      } else {
        std::printf("no match: none of the %zu entries matched\n", CountPatternEntries(list));
      }
      return 1;
    case PatternOutcome::Invalid:
      std::printf(
          "invalid: entry %zu '%s' is not a valid pattern (offset %zu in the entry: %s); the test "
          "stops here with no match, and later entries are never tried\n",
          r.entryIndex + 1, entry.c_str(), r.errorOffset,
          std::string(DescribePatternError(r.error)).c_str());
      return 2;
  }
  return 2;
}

const Registrar kMatch{CommandInfo{
    "match", "'<pattern list>' '<subject>'  test a request subject against a pattern list",
    RunMatch}};

}  // namespace
}  // namespace tokengate::cli
