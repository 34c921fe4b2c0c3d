#include "tokengate/common/text.h"

#include <gtest/gtest.h>

#include <cstdint>

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

TEST(Text, SurrogatesAndMixedTextConvertExactly) {
  // Long ASCII runs before and after non-ASCII text, so that a conversion that copies ASCII in
  // bulk meets every kind of unit at and after the end of such a run.
  const std::string ascii(300, 'a');
  const std::u16string wide(300, u'a');
  struct Case {
    std::u16string in;
    std::string out;
  };
  const Case cases[] = {
      {u"", ""},
      {u"\u00ff\u0100\u07ff\u0800\uffff", "\xC3\xBF\xC4\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {u"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},                  // lone high
      {u"x" + std::u16string(1, char16_t(0xDC00)) + u"y", "x\xEF\xBF\xBDy"},  // lone low
      {std::u16string{char16_t(0xDC00), char16_t(0xD800)},
       "\xEF\xBF\xBD\xEF\xBF\xBD"},  // a pair in the wrong order is two lone halves
      {std::u16string{char16_t(0xD83D), u'x'}, "\xEF\xBF\xBDx"},  // high without its low
      {wide + u"\u00e9" + wide, ascii + "\xC3\xA9" + ascii},
      {wide + std::u16string(1, char16_t(0xD800)), ascii + "\xEF\xBF\xBD"},
      {std::u16string(std::size_t{1000}, u'\u20ac'),
       [] {
         std::string s;
         for (int i = 0; i < 1000; ++i) {
           s += "\xE2\x82\xAC";
         }
         return s;
       }()},
      {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.in), c.out) << Utf16ToUtf8(c.in).size();
  }
}

TEST(Text, EveryCodePointRoundTrips) {
  std::u16string all;
  std::size_t utf8Bytes = 0;
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x10000 ? 1 : 0x101)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      continue;
    }
    if (cp < 0x10000) {
      all.push_back(static_cast<char16_t>(cp));
    } else {
      all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    utf8Bytes += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  }
  const std::string utf8 = Utf16ToUtf8(all);
  EXPECT_EQ(utf8.size(), utf8Bytes);
  EXPECT_EQ(Utf8ToUtf16(utf8), all);
}

TEST(Text, MalformedUtf8AfterLongAsciiRun) {
  const std::string ascii(300, 'a');
  const std::u16string wide(300, u'a');
  struct Case {
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {ascii + "\xF0\x9F\x98", wide + u"\uFFFD\uFFFD\uFFFD"},  // truncated at the end
      {ascii + "\xF0\x9F\x98\x80" + ascii, wide + u"\U0001F600" + wide},
      {ascii + "\xE2\x82" + ascii, wide + u"\uFFFD\uFFFD" + wide},
      {ascii + "\xF4\x90\x80\x80", wide + u"\uFFFD"},  // above U+10FFFF
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.in), c.out);
  }
}

TEST(Text, NarrowBytesRefusesUnitsAboveFF) {
  EXPECT_EQ(NarrowBytes(u"ab\u00ff"), std::string("ab\xff"));
  EXPECT_EQ(NarrowBytes(u"a\u0100"), std::nullopt);
  EXPECT_EQ(WidenBytes("\xe9"), u"\u00e9");
  EXPECT_EQ(NarrowBytes(std::u16string(u"\0\u0080", 2)), std::string("\0\x80", 2));
  EXPECT_EQ(NarrowBytes(std::u16string(400, u'x') + u"\u0100"), std::nullopt);
  EXPECT_EQ(WidenBytes(std::string("\0\x80\xff", 3)), std::u16string(u"\0\u0080\u00ff", 3));
}

TEST(Text, AsciiChecksAndAppendsLookAtEveryPosition) {
  for (std::size_t size = 0; size < 20; ++size) {
    const std::string ascii(size, 'a');
    EXPECT_TRUE(IsAscii(ascii));
    std::string out = "x";
    EXPECT_TRUE(AppendAscii(out, std::u16string(size, u'a')));
    EXPECT_EQ(out, "x" + ascii);
    for (std::size_t at = 0; at < size; ++at) {
      std::string high = ascii;
      high[at] = '\x80';
      EXPECT_FALSE(IsAscii(high)) << size << " " << at;
      for (const char16_t unit : {u'\u0080', u'\u00ff', u'\u0100', u'\uffff'}) {
        std::u16string units(size, u'a');
        units[at] = unit;
        out = "x";
        EXPECT_FALSE(AppendAscii(out, units)) << size << " " << at;
        EXPECT_EQ(out, "x");
        EXPECT_EQ(AppendNarrowBytes(out, units), unit <= 0xFF) << size << " " << at;
        EXPECT_EQ(out, unit <= 0xFF ? "x" + *NarrowBytes(units) : "x");
      }
    }
  }
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
