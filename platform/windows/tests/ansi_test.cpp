// The process code page at the single-byte boundaries.
#include <windows.h>

#include <gtest/gtest.h>

#include "tokengate/common/text.h"

namespace {

TEST(AnsiCodePage, RoundTripsTextTheCodePageHolds) {
  for (const std::u16string text : {u"", u"plain ASCII / path?x=1", u"caf\u00e9"}) {
    EXPECT_EQ(tokengate::text::FromAnsi(tokengate::text::ToAnsi(text)), text);
  }
  EXPECT_EQ(tokengate::text::ToAnsi(u"abc"), "abc");
}

TEST(AnsiCodePage, MatchesTheSystemConversion) {
  const std::u16string text = u"caf\u00e9 \u20ac";
  char expected[32] = {};
  const int n = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<const wchar_t*>(text.c_str()),
                                    static_cast<int>(text.size()), expected, sizeof expected,
                                    nullptr, nullptr);
  ASSERT_GT(n, 0);
  EXPECT_EQ(tokengate::text::ToAnsi(text), std::string(expected, static_cast<std::size_t>(n)));
}

}  // namespace
