#include "tokengate/gate/child_header_block.h"

#include <gtest/gtest.h>

#include "tokengate/common/text.h"

#include "tokengate/gate/request_host.h"

namespace tokengate::gate {
namespace {

struct RetainCase {
  const char* what;
  std::u16string prefix;
  std::u16string attribute_list;
  std::u16string raw;
  HeaderBlockStatus status;
  std::u16string retained;
};

TEST(BuildRetainedHeaders, StrippingRules) {
  const RetainCase cases[] = {
      {"prefix in any case is dropped, prefix later in the name stays", u"X-Auth-", u"",
       u"Host: a\r\nX-Auth-mail: evil\r\nx-auth-UID: e\r\nMy-X-Auth-: keep\r\n",
       HeaderBlockStatus::Ok, u"Host: a\r\nMy-X-Auth-: keep\r\n"},
      {"name shorter than the prefix stays", u"X-Auth-", u"", u"X-A: v\r\n", HeaderBlockStatus::Ok,
       u"X-A: v\r\n"},
      {"attribute list items compared without case", u"", u"mail, uid",
       u"UID: x\r\nuidx: y\r\nMail: z\r\nHost: h\r\n", HeaderBlockStatus::Ok,
       u"uidx: y\r\nHost: h\r\n"},
      {"items without a blank lose their first character", u"", u"mail,uid,cn",
       u"mail: 1\r\nuid: 2\r\nid: 3\r\ncn: 4\r\nn: 5\r\n", HeaderBlockStatus::Ok,
       u"uid: 2\r\ncn: 4\r\n"},
      {"items are stripped", u"", u"  mail ,  uid\t", u"mail: 1\r\nuid: 2\r\nx: 3\r\n",
       HeaderBlockStatus::Ok, u"x: 3\r\n"},
      {"empty prefix needs the attribute list", u"", u"", u"Host: h\r\n",
       HeaderBlockStatus::AttributeListMissing, u""},
      {"value without the blank loses its first character", u"P-", u"", u"X:value\r\n",
       HeaderBlockStatus::Ok, u"X: alue\r\n"},
      {"last header without CR LF", u"P-", u"", u"A: 1\r\nB: 2", HeaderBlockStatus::Ok,
       u"A: 1\r\nB: 2\r\n"},
      {"text without a colon ends the split", u"P-", u"", u"A: 1\r\ngarbage", HeaderBlockStatus::Ok,
       u"A: 1\r\n"},
      {"order kept with context and cookie headers", u"P-", u"",
       u"Host: h\r\nCookie: T=x\r\nTarvexAuth-Context: 00c0ffee\r\nP-uid: evil\r\nAccept: */*\r\n",
       HeaderBlockStatus::Ok,
       u"Host: h\r\nCookie: T=x\r\nTarvexAuth-Context: 00c0ffee\r\nAccept: */*\r\n"},
      {"bare LF in a value", u"P-", u"", u"A: x\nP-uid: admin\r\n",
       HeaderBlockStatus::UnsafeCharacter, u""},
      {"bare CR in a value", u"P-", u"", u"A: x\rB\r\n", HeaderBlockStatus::UnsafeCharacter, u""},
      {"line without colon glued to the next name", u"P-", u"", u"Junk\r\nP-uid: admin\r\n",
       HeaderBlockStatus::UnsafeCharacter, u""},
      {"NUL in a value", u"P-", u"", std::u16string(u"A: x\0y\r\n", 8),
       HeaderBlockStatus::UnsafeCharacter, u""},
      {"unsafe characters in a dropped header do not matter", u"P-", u"", u"P-x: a\rb\r\nA: 1\r\n",
       HeaderBlockStatus::Ok, u"A: 1\r\n"},
  };
  for (const RetainCase& c : cases) {
    GateSettings settings;
    settings.AuthenticationPrefix = c.prefix;
    std::u16string retained = u"stale";
    EXPECT_EQ(BuildRetainedHeaders(c.raw, c.attribute_list, settings, retained), c.status)
        << c.what;
    EXPECT_EQ(retained, c.retained) << c.what;
  }
}

TEST(BuildRetainedHeaders, StripTokenCookieKeepsEveryOtherCookieByteForByte) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"TSR=abc", u""},
      {u"a=1; TSR=abc; b=2", u"a=1; b=2"},
      {u"TSR=abc; a=1;b=2 ;  c=3", u"a=1;b=2 ;  c=3"},
      {u"a=1;TSR=x;TSR=y", u"a=1"},
      {u"T%53R=abc; a=1", u"a=1"},  // the name as the lookup decodes it
      {u"tsr=abc; TSRx=1; xTSR=2", u"tsr=abc; TSRx=1; xTSR=2"},
      {u"a=\"x;y\"; TSR=1", u"a=\"x;y\""},  // split at every ";" as the lookup does
  };
  for (const auto& [cookie, kept] : cases) {
    EXPECT_EQ(WithoutCookie(cookie, u"TSR"), kept) << text::Utf16ToUtf8(cookie);
  }
  GateSettings settings;
  settings.AuthenticationPrefix = u"P-";
  settings.TesseraName = u"TSR";
  std::u16string retained;
  const std::u16string raw = u"Host: h\r\nCookie: a=1; TSR=abc\r\nCookie: TSR=2\r\nAccept: x\r\n";
  ASSERT_EQ(BuildRetainedHeaders(raw, u"", settings, retained), HeaderBlockStatus::Ok);
  EXPECT_EQ(retained, raw) << "kept unless StripTokenCookie";
  settings.StripTokenCookie = true;
  ASSERT_EQ(BuildRetainedHeaders(raw, u"", settings, retained), HeaderBlockStatus::Ok);
  EXPECT_EQ(retained, u"Host: h\r\nCookie: a=1\r\nAccept: x\r\n");
}

TEST(BuildChildHeaderBlock, ConversionsAndLimits) {
  struct Case {
    const char* what;
    std::u16string retained;
    std::u16string header_string;
    HeaderBlockStatus status;
    std::string block;
  };
  const Case cases[] = {
      {"retained then header string", u"Host: h\r\n", u"P-uid: alice\r\n", HeaderBlockStatus::Ok,
       "Host: h\r\nP-uid: alice\r\n"},
      {"retained in the ANSI code page, header string byte for unit", u"X: \u00e9\r\n",
       u"P-cn: \u00e9\r\n", HeaderBlockStatus::Ok, "X: \xc3\xa9\r\nP-cn: \xe9\r\n"},
      {"unit above U+00FF drops the whole header string", u"Host: h\r\n",
       u"P-a: 1\r\nP-cn: \u20ac\r\n", HeaderBlockStatus::Ok, "Host: h\r\n"},
      {"bare LF in the header string", u"Host: h\r\n", u"P-cn: a\nP-admin: yes\r\n",
       HeaderBlockStatus::UnsafeCharacter, ""},
      {"NUL in the header string", u"Host: h\r\n", std::u16string(u"P-cn: a\0\r\n", 10),
       HeaderBlockStatus::UnsafeCharacter, ""},
      {"empty header string", u"Host: h\r\n", u"", HeaderBlockStatus::Ok, "Host: h\r\n"},
  };
  for (const Case& c : cases) {
    std::string block = "stale";
    EXPECT_EQ(BuildChildHeaderBlock(c.retained, c.header_string, block), c.status) << c.what;
    EXPECT_EQ(block, c.block) << c.what;
  }
}

TEST(BuildChildHeaderBlock, LineBreaksAnywhereInALongHeaderStringAreRefused) {
  // Every position of a long line, so that no part of the text is looked at in a way that skips
  // a CR, an LF or a NUL; other low bytes (a tab, 0x0b) pass.
  const std::u16string value(40, u'v');
  for (std::size_t at = 0; at < value.size(); ++at) {
    for (const char16_t c : {u'\r', u'\n', u'\0'}) {
      std::u16string bad = value;
      bad[at] = c;
      std::string block;
      EXPECT_EQ(BuildChildHeaderBlock(u"Host: h\r\n", u"P-a: " + bad + u"\r\n", block),
                HeaderBlockStatus::UnsafeCharacter)
          << at << " " << int(c);
      EXPECT_EQ(BuildChildHeaderBlock(u"X: " + bad + u"\r\n", u"", block),
                HeaderBlockStatus::UnsafeCharacter)
          << at << " " << int(c);
    }
    std::u16string tabbed = value;
    tabbed[at] = at % 2 == 0 ? u'\t' : u'\x0b';
    std::string block;
    EXPECT_EQ(BuildChildHeaderBlock(u"X: " + tabbed + u"\r\n", u"P-a: " + tabbed + u"\r\n", block),
              HeaderBlockStatus::Ok);
  }
}

TEST(BuildChildHeaderBlock, BlockMustFitWithItsTerminator) {
  const std::u16string line = u"A: " + std::u16string(kWorkAreaBytes, u'v') + u"\r\n";
  std::string block;
  const std::u16string fits = u"A: " + std::u16string(kWorkAreaBytes - 1 - 5 - 9, u'v') + u"\r\n";
  EXPECT_EQ(BuildChildHeaderBlock(fits, u"B: 1234\r\n", block), HeaderBlockStatus::Ok);
  EXPECT_EQ(block.size(), kWorkAreaBytes - 1);
  const std::u16string over = fits.substr(0, 3) + u"v" + fits.substr(3);
  EXPECT_EQ(BuildChildHeaderBlock(over, u"B: 1234\r\n", block), HeaderBlockStatus::TooLarge);
  EXPECT_EQ(block, "");
  EXPECT_EQ(BuildChildHeaderBlock(line, u"", block), HeaderBlockStatus::TooLarge);
}

// The block straight from the request's ANSI headers is the block of the two steps over their
// UTF-16 form: for ASCII headers (read as bytes) and for every other kind (converted first).
TEST(BuildChildHeaderBlockFromRaw, AgreesWithTheStepsOverTheConvertedHeaders) {
  std::vector<std::string> raws = {
      "Host: a\r\nX-Auth-mail: evil\r\nx-auth-UID: e\r\nMy-X-Auth-: keep\r\n",
      "UID: x\r\nuidx: y\r\nMail: z\r\nHost: h\r\n",
      "X:value\r\n",
      "A: 1\r\nB: 2",
      "A: 1\r\ngarbage",
      "Host: h\r\nCookie: a=1; TSR=abc\r\nCookie: TSR=2\r\nAccept: x\r\n",
      "Cookie: T%53R=1;b=2 ; TSR=3\r\nCookie: TSR=x\r\n",
      "A: x\nP-uid: admin\r\n",
      "A: x\rB\r\n",
      "Junk\r\nP-uid: admin\r\n",
      std::string("A: x\0y\r\n", 8),
      "P-x: a\rb\r\nA: 1\r\n",
      "",
      // Not ASCII: UTF-8 text, bytes invalid in it, a character right after the colon, a name
      // that carries the prefix only once decoded, a cookie header.
      "X: \xc3\xa9t\xc3\xa9\r\nHost: h\r\n",
      "X: \xff\xfe\r\nY: \xe2\x82\r\n",
      "X:\xc3\xa9t\xc3\xa9\r\nZ:\xf0\x9f\x98\x80x\r\n",
      "\xc3\x89-uid: evil\r\nP-\xc3\xa9: evil\r\nmail: z\r\n",
      "Cookie: caf\xc3\xa9=1; TSR=abc\r\n",
      "X: \xc3\xa9\nP-uid: admin\r\n",
  };
  // Every position of a long value, for the parts that look at eight bytes at a time.
  for (std::size_t at = 0; at < 24; ++at) {
    for (const char c : {'\r', '\n', '\0', '\t', '\x0b', '\x0e'}) {
      std::string value(24, 'v');
      value[at] = c;
      raws.push_back("Host: h\r\nX: " + value + "\r\n");
    }
  }
  struct Naming {
    std::u16string prefix;
    std::u16string attribute_list;
    bool strip;
  };
  const Naming namings[] = {{u"X-Auth-", u"", false},
                            {u"P-", u"", true},
                            {u"\u00e9-", u"", false},
                            {u"", u"mail, uid, \u00c9-uid", false},
                            {u"", u"", false}};
  const std::u16string header_strings[] = {u"P-uid: alice\r\n", u"P-cn: \u00e9\r\n",
                                           u"P-cn: \u20ac\r\n", u"P-cn: a\nP-admin: yes\r\n", u""};
  for (const std::string& raw : raws) {
    for (const Naming& naming : namings) {
      for (const std::u16string& header_string : header_strings) {
        GateSettings settings;
        settings.AuthenticationPrefix = naming.prefix;
        settings.StripTokenCookie = naming.strip;
        settings.TesseraName = u"TSR";
        std::u16string retained;
        std::string expected;
        HeaderBlockStatus status =
            BuildRetainedHeaders(text::FromAnsi(raw), naming.attribute_list, settings, retained);
        if (status == HeaderBlockStatus::Ok) {
          status = BuildChildHeaderBlock(retained, header_string, expected);
        }
        std::string block = "stale";
        EXPECT_EQ(BuildChildHeaderBlockFromRaw(raw, naming.attribute_list, header_string, settings,
                                               block),
                  status)
            << raw;
        EXPECT_EQ(block, expected) << raw;
      }
    }
  }
}

TEST(BuildChildHeaderBlockFromRaw, BlockMustFitWithItsTerminator) {
  GateSettings settings;
  settings.AuthenticationPrefix = u"P-";
  const std::string fits = "A: " + std::string(kWorkAreaBytes - 1 - 5 - 9, 'v') + "\r\n";
  std::string block;
  EXPECT_EQ(BuildChildHeaderBlockFromRaw(fits, u"", u"B: 1234\r\n", settings, block),
            HeaderBlockStatus::Ok);
  EXPECT_EQ(block.size(), kWorkAreaBytes - 1);
  EXPECT_EQ(
      BuildChildHeaderBlockFromRaw("A: v" + fits.substr(3), u"", u"B: 1234\r\n", settings, block),
      HeaderBlockStatus::TooLarge);
  EXPECT_EQ(block, "");
}

TEST(HeaderBlockMessage, AttributeListText) {
  EXPECT_EQ(HeaderBlockMessage(HeaderBlockStatus::AttributeListMissing),
            u"'cv_attribute_list' must be specified in Attribute Contract, if Authentication "
            u"Prefix is empty.");
  EXPECT_FALSE(HeaderBlockMessage(HeaderBlockStatus::TooLarge).empty());
  EXPECT_FALSE(HeaderBlockMessage(HeaderBlockStatus::UnsafeCharacter).empty());
}

}  // namespace
}  // namespace tokengate::gate
