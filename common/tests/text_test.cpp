#include "tokengate/common/text.h"

#include <gtest/gtest.h>

namespace tokengate::text {
namespace {

TEST(Text, Utf8RoundTripKeepsEveryPlane) {
  const std::u16string s = u"a\u00e9\u20ac\U0001F600z";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(s)), s);
  EXPECT_EQ(Utf16ToUtf8(s), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
}

TEST(Text, MalformedUtf8BecomesReplacementCharacter) {
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {"\xC3", u"\uFFFD"},            // truncated sequence
      {"\xC0\xAF", u"\uFFFD"},        // overlong "/" never decodes to "/"
      {"\xED\xA0\x80x", u"\uFFFDx"},  // encoded surrogate
      {"\xFF", u"\uFFFD"},            // never valid
      {"a\x80"
       "b",
       u"a\uFFFDb"},  // stray continuation
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
  }
}

TEST(Text, NarrowBytesRefusesUnitsAboveFF) {
  EXPECT_EQ(NarrowBytes(u"ab\u00ff"), std::string("ab\xff"));
  EXPECT_EQ(NarrowBytes(u"a\u0100"), std::nullopt);
  EXPECT_EQ(WidenBytes("\xe9"), u"\u00e9");
}

TEST(Text, AnsiIsUtf8OnLinux) {
  EXPECT_EQ(ToAnsi(u"\u00e9"), "\xC3\xA9");
  EXPECT_EQ(FromAnsi("\xC3\xA9"), u"\u00e9");
}

TEST(Text, CaseInsensitiveOnlyForAsciiLetters) {
  EXPECT_TRUE(EqualsIgnoreAsciiCase(u"X-Mail", u"x-MAIL"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase(u"\u00c9", u"\u00e9"));
}

}  // namespace
}  // namespace tokengate::text
