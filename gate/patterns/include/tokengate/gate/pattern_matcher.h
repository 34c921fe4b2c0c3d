// Resource pattern lists: "|"-separated lists of patterns in the gate's own regular-expression
// dialect, tested against the request subject (URL plus "?" and query string).
//
// The list test lowercases ASCII letters in both the subject and the list, takes the entries from
// left to right, and answers true at the first entry that matches somewhere in the subject. The
// first invalid entry reached ends the test with false; an empty list is false; an empty entry
// matches every subject.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tokengate::gate {

// Why an entry is not a valid pattern.
enum class PatternError : std::uint8_t {
  None,
  UnclosedGroup,           // "(" without ")"
  UnclosedCaptureGroup,    // "{" without "}"
  StrayCloserInGroup,      // ")", "]" or "}" inside a group that it does not close
  NegationWithoutElement,  // "!" with nothing to negate inside a group
  UnclosedClass,           // "[" without "]"
  EmptyClass,              // "[]" or "[^]"
  RangeWithoutEnd,         // "[a-]"
  RangeBelowStart,         // "[z-a]"
  UnknownBackReference,    // "\N" before capture group N was opened
  RepeatedEmpty,           // "*", "+", "*?" or "+?" on an element that can match nothing
  NestedTooDeeply,         // more than kMaxPatternNesting groups, classes or negations inside
                           // one another
};

// English description of an error, for diagnostics.
std::string_view DescribePatternError(PatternError error) noexcept;

inline constexpr std::size_t kMaxPatternNesting = 200;

// Outcome of testing one entry or one list.
enum class PatternOutcome : std::uint8_t {
  Match,
  NoMatch,
  Invalid,
  // The search of an entry used up its step or memory budget before it could decide. This only
  // happens for entries with back-references or look-aheads around nested repetitions run against
  // hostile subjects; the list test then counts the entry as matching (see MatchesPatternList).
  Exhausted,
};

// What the list test decided and why.
struct PatternListResult {
  PatternOutcome outcome = PatternOutcome::NoMatch;
  // The entry that decided (Match, Invalid, Exhausted): its 0-based index among the entries, its
  // offset in the list and its text as written. For NoMatch the index equals the entry count.
  std::size_t entryIndex = 0;
  std::size_t entryOffset = 0;
  std::u16string entry;
  // For Invalid: the error and its offset within the entry.
  PatternError error = PatternError::None;
  std::size_t errorOffset = 0;
  // Search steps spent over the whole list test.
  std::uint64_t steps = 0;
};

// The list test with its diagnostics.
PatternListResult MatchPatternList(std::u16string_view list, std::u16string_view subject);

// The list test as the request handler uses it: true when an entry matches the subject. Note the
// argument order: the pattern list first, then the subject. An entry whose search exhausts its
// budget counts as matching, so that a protected-resource list never lets a request through as
// unprotected because of an undecided search.
bool MatchesPatternList(std::u16string_view list, std::u16string_view subject);

// Static checks of one entry (as written; it is lowercased like in the list test).
struct PatternCheck {
  PatternError error = PatternError::None;
  std::size_t errorOffset = 0;
  // A repetition nested inside another repetition in an entry that also holds a back-reference or
  // a look-ahead around it: such entries can take exponential time, which the search cuts off
  // with its budget.
  bool backtrackingRisk = false;
  // A repetition nested inside another repetition at all (harmless for the search itself, which
  // remembers failed states, but worth simplifying).
  bool nestedRepetition = false;
};
PatternCheck CheckPattern(std::u16string_view entry);

// Splits a list into its entries, as the list test does (empty entries included).
std::size_t CountPatternEntries(std::u16string_view list) noexcept;

}  // namespace tokengate::gate
