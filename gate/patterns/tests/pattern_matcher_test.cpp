#include "tokengate/gate/pattern_matcher.h"

#include <gtest/gtest.h>

#include <string>

namespace tokengate::gate {
namespace {

using O = PatternOutcome;

struct MatchCase {
  std::u16string list;
  std::u16string subject;
  PatternOutcome expected;
};

std::string Printable(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

void PrintTo(const MatchCase& c, std::ostream* os) {
  *os << "list '" << Printable(c.list) << "' subject '" << Printable(c.subject) << "'";
}

class ListTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ListTest, Outcome) {
  const auto& c = GetParam();
  const PatternListResult r = MatchPatternList(c.list, c.subject);
  EXPECT_EQ(r.outcome, c.expected);
  EXPECT_EQ(MatchesPatternList(c.list, c.subject), c.expected == O::Match);
}

// The list test itself: splitting, order, empty and invalid entries, letter case.
INSTANTIATE_TEST_SUITE_P(
    Lists, ListTest,
    ::testing::Values(
        MatchCase{u"", u"/a", O::NoMatch}, MatchCase{u"", u"", O::NoMatch},
        MatchCase{u"a||b", u"/x", O::Match}, MatchCase{u"|a", u"/x", O::Match},
        MatchCase{u"a|", u"/x", O::Match}, MatchCase{u"[||b", u"/x", O::Invalid},
        MatchCase{u"a|[", u"/a", O::Match}, MatchCase{u"a|[", u"/b", O::Invalid},
        MatchCase{u"[|a", u"/a", O::Invalid}, MatchCase{u"/x|/b/|/c/", u"/b/1", O::Match},
        MatchCase{u"/.*cmd=reload.*", u"/app?CMD=Reload", O::Match},
        MatchCase{u"/.*cmd=reload.*", u"/app/page?x=1&cmd=reload", O::Match},
        MatchCase{u"/.*cmd=reload.*", u"cmd=reload", O::NoMatch},
        MatchCase{u"/app/", u"/public/page?next=/app/x", O::Match},
        MatchCase{u"^/app/", u"/public/page?next=/app/x", O::NoMatch},
        MatchCase{u"^/app/", u"/app/x", O::Match}, MatchCase{u"/App/", u"/app/", O::Match},
        MatchCase{u"/APP/", u"/aPp/", O::Match}, MatchCase{u"/a/ | /b/", u"/b/", O::NoMatch},
        MatchCase{u"/a/ | /b/", u"x /b/", O::Match}, MatchCase{u"/a/ | /b/", u"/a/ x", O::Match},
        // The end of the list text is its first NUL, like the subject's.
        MatchCase{std::u16string(u"^/x\0|[", 6), u"/y", O::NoMatch},
        MatchCase{u"^/x$", std::u16string(u"/x\0/y", 5), O::Match}));

// The dialect, element by element.
INSTANTIATE_TEST_SUITE_P(
    Dialect, ListTest,
    ::testing::Values(
        // Anchors and start positions.
        MatchCase{u"$", u"", O::Match}, MatchCase{u"$", u"a", O::NoMatch},
        MatchCase{u"b*$", u"a", O::NoMatch},  // the end is never a start position
        MatchCase{u"b*$", u"ab", O::Match}, MatchCase{u"^$", u"", O::Match},
        MatchCase{u"^", u"anything", O::Match}, MatchCase{u"|", u"", O::Match},
        MatchCase{u"(a$)", u"xa$", O::Match}, MatchCase{u"(a$)", u"a", O::NoMatch},
        MatchCase{u"a$b", u"a$b", O::Match}, MatchCase{u"^^a", u"^a", O::Match},
        MatchCase{u"^^a", u"a", O::NoMatch}, MatchCase{u"x^", u"x^", O::Match},
        MatchCase{u"\\.gif$", u"/a.gif", O::Match}, MatchCase{u"\\.gif$", u"/a.gif?x", O::NoMatch},
        // Literal stars where no element precedes them; one quantifier per element.
        MatchCase{u"*.gif", u"/x*.gif", O::Match}, MatchCase{u"*.gif", u"/x.gif", O::NoMatch},
        MatchCase{u"^*a", u"*a", O::Match}, MatchCase{u"(*)", u"*", O::Match},
        MatchCase{u"a**", u"aaa*", O::Match}, MatchCase{u"a**", u"aaa", O::NoMatch},
        MatchCase{u"^a*??$", u"aa?", O::Match}, MatchCase{u"^a*??$", u"aa", O::NoMatch},
        MatchCase{u"!*", u"a", O::Match}, MatchCase{u"^!*", u"*", O::NoMatch},
        // Quantifiers.
        MatchCase{u"^ab*c$", u"ac", O::Match}, MatchCase{u"^ab*c$", u"abbbc", O::Match},
        MatchCase{u"^ab+c$", u"ac", O::NoMatch}, MatchCase{u"^ab+c$", u"abbc", O::Match},
        MatchCase{u"^ab?c$", u"abbc", O::NoMatch}, MatchCase{u"^ab?c$", u"ac", O::Match},
        MatchCase{u"^a.*?c$", u"abcbc", O::Match}, MatchCase{u"^ab+?c$", u"ac", O::NoMatch},
        MatchCase{u"^ab+?bc$", u"abbc", O::Match}, MatchCase{u"a??b", u"b", O::Match},
        MatchCase{u"^a??b", u"ab", O::Match}, MatchCase{u"^(ab)??c", u"c", O::Match},
        MatchCase{u"^(ab)??c", u"abc", O::Match}, MatchCase{u"^(ab)*$", u"ababab", O::Match},
        MatchCase{u"^(ab)*$", u"ababa", O::NoMatch}, MatchCase{u"^(a|b)", u"a|b", O::Invalid},
        // Groups and capture groups.
        MatchCase{u"x{2,3}", u"x2,3", O::Match}, MatchCase{u"x{2,3}", u"xx", O::NoMatch},
        MatchCase{u"()", u"z", O::Match}, MatchCase{u"^()?a", u"a", O::Match},
        MatchCase{u"^{ab}\\0$", u"abab", O::Match}, MatchCase{u"^{ab}\\0$", u"abaa", O::NoMatch},
        MatchCase{u"^{a*}b\\0$", u"aabaa", O::Match}, MatchCase{u"^{a*}b\\0$", u"aaba", O::NoMatch},
        MatchCase{u"^{a}{b}\\1\\0$", u"abba", O::Match},
        MatchCase{u"^{a}{b}\\01$", u"abb", O::Match}, MatchCase{u"^{\\z}-\\0$", u"12-12", O::Match},
        MatchCase{u"^{\\z}-\\0$", u"12-1", O::NoMatch},
        MatchCase{u"^{.}*\\0$", u"abcc", O::Match},  // the last pass of the group is recorded
        MatchCase{u"^{.}*\\0$", u"abcb", O::NoMatch},
        MatchCase{u"^{a\\0}$", u"a", O::Match},  // inside its own group: the previous pass, empty
        MatchCase{u"^{a\\0}+$", u"aa", O::NoMatch}, MatchCase{u"^{a\\0}+$", u"aaa", O::Match},
        MatchCase{u"^({x}|y)\\0", u"x", O::Invalid},
        // An optional pass that matched nothing is not made, so it does not re-record a group.
        MatchCase{u"^({a?}?x)+\\0$", u"axx", O::NoMatch},
        MatchCase{u"^({a?}?x)+\\0$", u"axxa", O::Match},
        // Back-reference to a group that recorded nothing: the empty string.
        MatchCase{u"^({a})?b\\0$", u"b", O::Match}, MatchCase{u"^({a})?b\\0$", u"aba", O::Match},
        MatchCase{u"^({a})?b\\0$", u"ab", O::NoMatch},
        // Negative look-ahead.
        MatchCase{u"^/!admin", u"/dmin", O::Match}, MatchCase{u"^/!admin", u"/admin", O::NoMatch},
        MatchCase{u"^/!(admin)", u"/admin", O::NoMatch},
        MatchCase{u"^/!(admin)", u"/adm", O::Match}, MatchCase{u"^/!a.$", u"/b", O::Match},
        MatchCase{u"^/!a.$", u"/a", O::NoMatch}, MatchCase{u"^!$", u"", O::NoMatch},
        MatchCase{u"^!$", u"a", O::Match}, MatchCase{u"^a!b*c", u"ac", O::Match},  // (!b)* then c
        MatchCase{u"^a!b*c", u"abc", O::NoMatch},
        MatchCase{u"^{a}!{b}\\0", u"aa", O::Match},  // a failed look-ahead leaves no captures
        MatchCase{u"^!!a", u"ab", O::Match}, MatchCase{u"^!!a", u"b", O::NoMatch},
        MatchCase{u"^(!a)*?b", u"b", O::Match}, MatchCase{u"^(!a)*?b", u"c", O::NoMatch},
        // Stray closers and a "!" with nothing after it end the pattern.
        MatchCase{u"/a)/b", u"x/ay", O::Match}, MatchCase{u")x", u"anything", O::Match},
        MatchCase{u"a]b", u"a", O::Match}, MatchCase{u"a}b", u"xa", O::Match},
        MatchCase{u"a!", u"a", O::Match}, MatchCase{u"a!)b", u"a", O::Match},
        MatchCase{u"^!", u"", O::Match}, MatchCase{u"a!!", u"ab", O::Match},
        MatchCase{u"(a]", u"a", O::Invalid}, MatchCase{u"(a}", u"a", O::Invalid},
        MatchCase{u"{a)", u"a", O::Invalid}, MatchCase{u"{a]", u"a", O::Invalid},
        MatchCase{u"(a!)", u"a", O::Invalid}, MatchCase{u"(a", u"a", O::Invalid},
        MatchCase{u"{a", u"a", O::Invalid}, MatchCase{u"((a)", u"a", O::Invalid},
        // Escapes and abbreviations.
        MatchCase{u"\\t", u"t", O::Match}, MatchCase{u"\\t", u"\t", O::NoMatch},
        MatchCase{u"\\.", u"a", O::NoMatch}, MatchCase{u"\\\\", u"a\\b", O::Match},
        MatchCase{u"\\!", u"!", O::Match}, MatchCase{u"\\|", u"\\", O::Match},
        MatchCase{u"a\\", u"a\\", O::Match},  // a trailing "\" is a literal backslash
        MatchCase{u"a\\", u"a", O::NoMatch}, MatchCase{u"\\s", u"s", O::Match},
        MatchCase{u"^\\a$", u"Q", O::Match}, MatchCase{u"^\\a$", u"7", O::Match},
        MatchCase{u"^\\a$", u"_", O::NoMatch}, MatchCase{u"^\\b$", u"\t", O::Match},
        MatchCase{u"^\\b$", u" ", O::Match}, MatchCase{u"^\\c$", u"1", O::NoMatch},
        MatchCase{u"^\\d$", u"5", O::Match}, MatchCase{u"^\\D$", u"5", O::Match},
        MatchCase{u"^\\h$", u"F", O::Match}, MatchCase{u"^\\h$", u"g", O::NoMatch},
        MatchCase{u"^a\\nb$", u"a\rb", O::Match}, MatchCase{u"^a\\nb$", u"a\nb", O::Match},
        MatchCase{u"^a\\nb$", u"a\r\nb", O::Match}, MatchCase{u"^a\\nb$", u"a\n\rb", O::NoMatch},
        MatchCase{u"^\\q$", u"\"a'b\"", O::Match}, MatchCase{u"^\\q$", u"'a\"b'", O::Match},
        MatchCase{u"^\\q$", u"\"\"", O::Match}, MatchCase{u"^\\q$", u"\"a'", O::NoMatch},
        MatchCase{u"^\\w$", u"Abc", O::Match}, MatchCase{u"^\\w$", u"ab1", O::NoMatch},
        MatchCase{u"^\\z$", u"0123", O::Match}, MatchCase{u"^\\z\\d$", u"12", O::Match},
        MatchCase{u"^\\w*1", u"ab1", O::Match}, MatchCase{u"^\\d*$", u"", O::Match},
        // Classes.
        MatchCase{u"^[abc]$", u"b", O::Match}, MatchCase{u"^[^abc]$", u"b", O::NoMatch},
        MatchCase{u"^[^abc]$", u"d", O::Match}, MatchCase{u"^[^abc]", u"", O::NoMatch},
        MatchCase{u"^[A-Z]$", u"Q", O::Match}, MatchCase{u"^[a-z]$", u"Q", O::Match},
        MatchCase{u"[Z-a]", u"a", O::Invalid}, MatchCase{u"[z-a]", u"a", O::Invalid},
        MatchCase{u"^[\\t]$", u"\t", O::Match}, MatchCase{u"^[\\t]$", u"t", O::NoMatch},
        MatchCase{u"^[\\d]$", u"d", O::Match}, MatchCase{u"^[\\d]$", u"5", O::NoMatch},
        MatchCase{u"^[-a]$", u"-", O::Match}, MatchCase{u"^[a-c-e]$", u"-", O::Match},
        MatchCase{u"^[a-c-e]$", u"d", O::NoMatch}, MatchCase{u"^[a\\-c]$", u"b", O::NoMatch},
        MatchCase{u"^[a\\-c]$", u"-", O::Match}, MatchCase{u"^[\\]]$", u"]", O::Match},
        MatchCase{u"^[!-\\]$", u"\\", O::Match},  // the range end is taken as written
        MatchCase{u"^[.]$", u"x", O::NoMatch}, MatchCase{u"^[(]$", u"(", O::Match},
        MatchCase{u"^[^]]", u"x", O::Invalid}, MatchCase{u"[]", u"x", O::Invalid},
        MatchCase{u"[^]", u"x", O::Invalid}, MatchCase{u"[a-]", u"x", O::Invalid},
        MatchCase{u"[a-", u"x", O::Invalid}, MatchCase{u"[abc", u"x", O::Invalid},
        MatchCase{u"[a\\", u"x", O::Invalid}, MatchCase{u"^[$]$", u"$", O::Match},
        // Repetition of elements that can match nothing.
        MatchCase{u"(a*)*", u"a", O::Invalid}, MatchCase{u"(a?)+", u"a", O::Invalid},
        MatchCase{u"(a+?)*", u"a", O::Invalid}, MatchCase{u"(a?\?)+?", u"a", O::Invalid},
        MatchCase{u"(a+)*", u"a", O::Match}, MatchCase{u"(ab)*", u"x", O::Match},
        MatchCase{u"\\d*", u"x", O::Match}, MatchCase{u"(a*)?", u"x", O::Match},
        MatchCase{u"()*", u"x", O::Invalid}, MatchCase{u"{}+", u"x", O::Invalid},
        MatchCase{u"(a*b?)*", u"x", O::Invalid}, MatchCase{u"(!(a*))*", u"x", O::Invalid},
        MatchCase{u"^(!a)*b", u"b", O::Match},  // valid: each pass is empty and not made
        MatchCase{u"^(!a)+b", u"b", O::Match}, MatchCase{u"^(!a)+b", u"ab", O::NoMatch},
        // Back-references to groups not opened yet.
        MatchCase{u"\\0", u"x", O::Invalid}, MatchCase{u"{a}\\1", u"x", O::Invalid},
        MatchCase{u"{a}\\99999999999999999999", u"x", O::Invalid},
        MatchCase{u"\\0{a}", u"x", O::Invalid}));

TEST(MatchPatternList, ReportsTheDecidingEntry) {
  auto r = MatchPatternList(u"^/a/|^/B/|^/c/", u"/b/x");
  EXPECT_EQ(r.outcome, O::Match);
  EXPECT_EQ(r.entryIndex, 1u);
  EXPECT_EQ(r.entryOffset, 5u);
  EXPECT_EQ(r.entry, u"^/B/");

  r = MatchPatternList(u"^/a/|^/b/(x|^/c/", u"/c/");
  EXPECT_EQ(r.outcome, O::Invalid);
  EXPECT_EQ(r.entryIndex, 1u);
  EXPECT_EQ(r.entry, u"^/b/(x");
  EXPECT_EQ(r.error, PatternError::UnclosedGroup);
  EXPECT_EQ(r.errorOffset, 4u);

  r = MatchPatternList(u"^/a/|^/b/", u"/c/");
  EXPECT_EQ(r.outcome, O::NoMatch);
  EXPECT_EQ(r.entryIndex, 2u);
}

struct ErrorCase {
  std::u16string entry;
  PatternError error;
  std::size_t offset;
};

class CheckErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(CheckErrors, NamesTheErrorAndWhere) {
  const PatternCheck check = CheckPattern(GetParam().entry);
  EXPECT_EQ(check.error, GetParam().error);
  EXPECT_EQ(check.errorOffset, GetParam().offset);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckErrors,
    ::testing::Values(ErrorCase{u"/a(b", PatternError::UnclosedGroup, 2},
                      ErrorCase{u"{b", PatternError::UnclosedCaptureGroup, 0},
                      ErrorCase{u"(a]", PatternError::StrayCloserInGroup, 2},
                      ErrorCase{u"(a!)", PatternError::NegationWithoutElement, 2},
                      ErrorCase{u"x[ab", PatternError::UnclosedClass, 1},
                      ErrorCase{u"x[^]", PatternError::EmptyClass, 1},
                      ErrorCase{u"[ab-]", PatternError::RangeWithoutEnd, 2},
                      ErrorCase{u"[Z-a]", PatternError::RangeBelowStart, 1},
                      ErrorCase{u"{a}\\1", PatternError::UnknownBackReference, 3},
                      ErrorCase{u"/(a?)*", PatternError::RepeatedEmpty, 1},
                      ErrorCase{std::u16string(300, u'(') + u"a" + std::u16string(300, u')'),
                                PatternError::NestedTooDeeply, 200},
                      ErrorCase{u"^/app/(.*)\\.gif$", PatternError::None, 0}));

TEST(CheckPattern, FlagsNestedRepetitionAndItsRisk) {
  EXPECT_FALSE(CheckPattern(u"^/app/.*").nestedRepetition);
  EXPECT_TRUE(CheckPattern(u"(a+)+b").nestedRepetition);
  EXPECT_FALSE(CheckPattern(u"(a+)+b").backtrackingRisk);  // the search remembers failed states
  EXPECT_TRUE(CheckPattern(u"{a}(\\0+)+b").backtrackingRisk);
  EXPECT_TRUE(CheckPattern(u"!((a+)+b)").backtrackingRisk);
  EXPECT_TRUE(CheckPattern(u"(\\w-)*x").nestedRepetition);
}

// Nesting just inside the limit still works, including in the search.
TEST(MatchPatternList, DeepButAllowedNesting) {
  const std::u16string entry =
      std::u16string(kMaxPatternNesting, u'(') + u"a" + std::u16string(kMaxPatternNesting, u')');
  EXPECT_TRUE(MatchesPatternList(entry, u"xa"));
  EXPECT_EQ(MatchPatternList(u"(" + entry + u")", u"xa").outcome, O::Invalid);
  EXPECT_EQ(MatchPatternList(std::u16string(kMaxPatternNesting + 1, u'!') + u"a", u"a").outcome,
            O::Invalid);
}

// Hostile subjects: nested repetitions against long runs that almost match. These finish with a
// definite answer and a bounded number of steps instead of exponential time.
struct HostileCase {
  std::u16string entry;
  std::u16string subject;
  PatternOutcome expected;
  std::uint64_t maxSteps;
};

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, DecidesWithinBoundedSteps) {
  const auto r = MatchPatternList(GetParam().entry, GetParam().subject);
  EXPECT_EQ(r.outcome, GetParam().expected);
  EXPECT_LE(r.steps, GetParam().maxSteps);
}

const std::u16string kRunA(5000, u'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, Hostile,
    ::testing::Values(
        HostileCase{u"(a+)+b", kRunA, O::NoMatch, 200'000},
        HostileCase{u"^(a|aa)", kRunA, O::Invalid, 0}, HostileCase{u"(a*)+b", kRunA, O::Invalid, 0},
        HostileCase{u"((a+)+)+b", kRunA, O::NoMatch, 400'000},
        HostileCase{u"(.*a){20}", kRunA, O::NoMatch, 400'000},
        HostileCase{u"(\\w+)*1", std::u16string(5000, u'x'), O::NoMatch, 200'000},
        HostileCase{u"(.*)*x", std::u16string(5000, u'y'), O::Invalid, 0},
        HostileCase{u"(.+)*x", std::u16string(5000, u'y'), O::NoMatch, 200'000},
        HostileCase{u"(a+)+b", kRunA + u"b", O::Match, 200'000},
        // Back-references turn the remembered states off; the budget ends these.
        HostileCase{u"{a}(\\0+)+b", std::u16string(60, u'a'), O::Exhausted, 5'000'000},
        HostileCase{u"!((a+)+b)c", std::u16string(60, u'a'), O::Exhausted, 5'000'000}));

TEST(MatchesPatternList, AnUndecidedSearchCountsAsMatching) {
  // A protected list must not let a request through as unprotected because the search gave up.
  EXPECT_TRUE(MatchesPatternList(u"{a}(\\0+)+b", std::u16string(60, u'a')));
}

TEST(MatchPatternList, LongSubjectsDoNotExhaustTheStack) {
  const std::u16string subject = u"/" + std::u16string(50000, u'x');
  EXPECT_EQ(MatchPatternList(u"^/.*y", subject).outcome, O::NoMatch);
  EXPECT_EQ(MatchPatternList(u"^/.*$", subject).outcome, O::Match);
  EXPECT_EQ(MatchPatternList(u"^/(x)*$", subject).outcome, O::Match);
}

}  // namespace
}  // namespace tokengate::gate

namespace tokengate::gate {
namespace {

// A plain entry ("^" and "$" aside, characters that stand for themselves) is searched without
// the machine. Put in a group, the same characters compile to the same instructions and go
// through the machine: both must decide alike and count the same steps, also when the step
// budget ends the search.
std::u16string InGroup(std::u16string entry) {
  const bool anchored = !entry.empty() && entry.front() == u'^';
  const bool atEnd = !entry.empty() && entry.back() == u'$' && (entry.size() > 1 || !anchored);
  std::u16string body = entry.substr(anchored ? 1 : 0);
  if (atEnd) {
    body.pop_back();
  }
  return (anchored ? u"^(" : u"(") + body + (atEnd ? u")$" : u")");
}

TEST(MatchPatternList, PlainEntriesDecideAndCountLikeTheMachine) {
  const std::u16string alphabet = u"ab^$/-";
  std::uint32_t seed = 12345;
  const auto next = [&](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  const auto word = [&](std::uint32_t maxLength) {
    std::u16string w;
    for (std::uint32_t i = next(maxLength + 1); i > 0; --i) {
      w.push_back(alphabet[next(static_cast<std::uint32_t>(alphabet.size()))]);
    }
    return w;
  };
  for (int i = 0; i < 4000; ++i) {
    const std::u16string entry = word(5);
    const std::u16string subject = word(10);
    // After a first entry, so that an empty entry is one of a list rather than an empty list.
    const PatternListResult plain = MatchPatternList(u"zz|" + entry, subject);
    const PatternListResult machine = MatchPatternList(u"zz|" + InGroup(entry), subject);
    ASSERT_EQ(plain.outcome, machine.outcome)
        << "'" << Printable(entry) << "' on '" << Printable(subject) << "'";
    ASSERT_EQ(plain.steps, machine.steps)
        << "'" << Printable(entry) << "' on '" << Printable(subject) << "'";
  }
  // Nearly matching at every start position: 200 steps each, 30,000 starts, more than the
  // 4,000,000 steps an entry may take. An undecided search counts as matching.
  const std::u16string entry = std::u16string(199, u'a') + u"b";
  const std::u16string subject(30000, u'a');
  const PatternListResult plain = MatchPatternList(entry, subject);
  const PatternListResult machine = MatchPatternList(InGroup(entry), subject);
  EXPECT_EQ(plain.outcome, O::Exhausted);
  EXPECT_EQ(machine.outcome, O::Exhausted);
  EXPECT_EQ(plain.steps, machine.steps);
  EXPECT_TRUE(MatchesPatternList(u"^/public/|" + entry, subject));
  // Entries that only look plain go to the machine: a stray closer ends the entry, "$" inside
  // is a character, letter case does not count.
  EXPECT_EQ(MatchPatternList(u"/a)/b", u"x/a").outcome, O::Match);
  EXPECT_EQ(MatchPatternList(u"a$b", u"xa$b").outcome, O::Match);
  EXPECT_EQ(MatchPatternList(u"^/APP/", u"/app/x").outcome, O::Match);
  EXPECT_EQ(MatchPatternList(u"$", u"abc").outcome, O::NoMatch);
  EXPECT_EQ(MatchPatternList(u"$", u"").outcome, O::Match);
}

}  // namespace
}  // namespace tokengate::gate

namespace tokengate::gate {
namespace {

// Entries of characters and "." with "*" repetitions are decided without the machine where its
// step count cannot matter. With every element put in a group, the same entry compiles to the
// same instructions and goes through the machine: the answers must agree, first or last in the
// list, and the machine must stay within the step bound the shortcut relies on.
struct GlobCase {
  std::u16string entry;     // as written
  std::u16string grouped;   // every element in a group
  std::uint64_t program{};  // instructions of the compiled entry
};

TEST(MatchPatternList, RepeatedElementEntriesDecideLikeTheMachine) {
  std::uint32_t seed = 777;
  const auto next = [&](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  const std::u16string elements[] = {u"a", u"b", u".", u"\\.", u"$", u"\\$"};
  const auto makeCase = [&] {
    GlobCase c;
    c.program = 1;
    if (next(3) == 0) {
      c.entry = c.grouped = u"^";
    }
    for (std::uint32_t i = next(6); i > 0; --i) {
      const std::u16string& e = elements[next(6)];
      const std::u16string q = next(2) == 0 ? u"" : (next(2) == 0 ? u"*" : u"*?");
      c.entry += e + q;
      // A "$" that ends the entry is its end, in a group it would be a character.
      c.grouped += i == 1 && e == u"$" && q.empty() ? e : u"(" + e + u")" + q;
      c.program += q.empty() ? 1 : 5;
    }
    if (next(3) == 0) {
      c.entry += u"$";
      c.grouped += u"$";
      c.program += 1;
    }
    return c;
  };
  const std::u16string letters = u"ab.$";
  for (int i = 0; i < 6000; ++i) {
    const GlobCase c = makeCase();
    std::u16string subject;
    for (std::uint32_t j = next(12); j > 0; --j) {
      subject.push_back(letters[next(4)]);
    }
    const std::string what = "'" + Printable(c.entry) + "' on '" + Printable(subject) + "'";
    const PatternListResult machineLast = MatchPatternList(u"zz|" + c.grouped, subject);
    ASSERT_EQ(MatchPatternList(u"zz|" + c.entry, subject).outcome, machineLast.outcome) << what;
    ASSERT_EQ(MatchPatternList(c.entry + u"|zz", subject).outcome,
              MatchPatternList(c.grouped + u"|zz", subject).outcome)
        << what;
    ASSERT_LE(machineLast.steps, 3 + (5 * c.program + 1) * (subject.size() + 1)) << what;
  }
  // Long subjects, near and beyond what the shortcut takes on.
  for (const std::size_t n : {100u, 30000u, 40000u}) {
    for (const auto& [entry, grouped] :
         {std::pair<std::u16string, std::u16string>{u"/.*cmd=reload.*", u"/(.)*cmd=reload(.)*"},
          {u".*a.*a.*a.*b", u"(.)*(a)(.)*(a)(.)*(a)(.)*(b)"},
          {u"a*a*a*a*c$", u"(a)*(a)*(a)*(a)*(c)$"}}) {
      const std::u16string subject = u"/" + std::u16string(n, u'a');
      EXPECT_EQ(MatchPatternList(entry, subject).outcome,
                MatchPatternList(grouped, subject).outcome)
          << Printable(entry) << " " << n;
      EXPECT_EQ(MatchPatternList(entry, subject + u"cmd=reload").outcome,
                MatchPatternList(grouped, subject + u"cmd=reload").outcome)
          << Printable(entry) << " " << n;
    }
  }
}

}  // namespace
}  // namespace tokengate::gate

namespace tokengate::gate {
namespace {

// An entry that starts with plain characters is known not to match, after a known number of
// steps, where no start position begins with all of them. Put in a group, the same characters
// compile to the same instructions and the machine runs them: outcome and steps must agree.
TEST(MatchPatternList, LeadingCharactersRejectLikeTheMachine) {
  std::uint32_t seed = 4242;
  const auto next = [&](std::uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  const std::u16string letters = u"ab/";
  const std::u16string tails[] = {u"[ab]", u"(a)*b", u"\\d", u"!a", u"{b}\\0", u".*", u"[b", u""};
  for (int i = 0; i < 4000; ++i) {
    std::u16string prefix;
    for (std::uint32_t j = 1 + next(4); j > 0; --j) {
      prefix.push_back(letters[next(3)]);
    }
    const std::u16string anchor = next(2) == 0 ? u"^" : u"";
    const std::u16string& tail = tails[next(8)];
    std::u16string subject;
    for (std::uint32_t j = next(10); j > 0; --j) {
      subject.push_back(letters[next(3)]);
    }
    const std::u16string entry = anchor + prefix + tail;
    const std::u16string grouped = anchor + u"(" + prefix + u")" + tail;
    const PatternListResult shortcut = MatchPatternList(entry + u"|zz", subject);
    const PatternListResult machine = MatchPatternList(grouped + u"|zz", subject);
    const std::string what = "'" + Printable(entry) + "' on '" + Printable(subject) + "'";
    ASSERT_EQ(shortcut.outcome, machine.outcome) << what;
    if (shortcut.outcome != O::Match) {
      ASSERT_EQ(shortcut.steps, machine.steps) << what;
    }
  }
}

}  // namespace
}  // namespace tokengate::gate
