#include "tokengate/gate/ini_profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace tokengate::gate {
namespace {

struct LookupCase {
  const char* name;
  std::string file;
  std::u16string section;
  std::u16string key;
  std::u16string expected;
};

class IniLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(IniLookup, ReturnsTheValueTheGateReliesOn) {
  const auto& c = GetParam();
  EXPECT_EQ(IniProfile::Parse(c.file).Get(c.section, c.key), c.expected);
}

const std::string kValue12000(12000, 'v');

INSTANTIATE_TEST_SUITE_P(
    Cases, IniLookup,
    ::testing::Values(
        LookupCase{"plain", "[ISAPI]\nSSOUrl=https://sso/x\n", u"ISAPI", u"SSOUrl",
                   u"https://sso/x"},
        LookupCase{"section_case", "[isapi]\nSSOUrl=a\n", u"ISAPI", u"SSOUrl", u"a"},
        LookupCase{"key_case", "[ISAPI]\nssourl=a\n", u"ISAPI", u"SSOURL", u"a"},
        LookupCase{"first_occurrence_wins", "[ISAPI]\nPath=/a\nPath=/b\n", u"ISAPI", u"Path",
                   u"/a"},
        LookupCase{"blanks_trimmed", "[ISAPI]\n  Path \t=  /a b \t\n", u"ISAPI", u"Path", u"/a b"},
        LookupCase{"section_blanks", "[ ISAPI ]\nPath=/a\n", u"ISAPI", u"Path", u"/a"},
        LookupCase{"crlf", "[ISAPI]\r\nPath=/a\r\nDomain=d\r\n", u"ISAPI", u"Path", u"/a"},
        LookupCase{"double_quotes", "[ISAPI]\nPath=\" /a \"\n", u"ISAPI", u"Path", u" /a "},
        LookupCase{"single_quotes", "[ISAPI]\nPath='/a'\n", u"ISAPI", u"Path", u"/a"},
        LookupCase{"unmatched_quote_kept", "[ISAPI]\nPath=\"/a\n", u"ISAPI", u"Path", u"\"/a"},
        LookupCase{"mixed_quotes_kept", "[ISAPI]\nPath=\"/a'\n", u"ISAPI", u"Path", u"\"/a'"},
        LookupCase{"value_keeps_equals", "[ISAPI]\nReloadConfigUrl=/x?cmd=reload\n", u"ISAPI",
                   u"ReloadConfigUrl", u"/x?cmd=reload"},
        LookupCase{"absent_key", "[ISAPI]\nPath=/a\n", u"ISAPI", u"Domain", u""},
        LookupCase{"empty_value", "[ISAPI]\nDomain=\n", u"ISAPI", u"Domain", u""},
        LookupCase{"line_without_equals_ignored", "[ISAPI]\nDomain\nDomain=d\n", u"ISAPI",
                   u"Domain", u"d"},
        LookupCase{"other_section_not_read", "[Other]\nPath=/o\n[ISAPI]\nDomain=d\n", u"ISAPI",
                   u"Path", u""},
        LookupCase{"keys_before_any_section", "Path=/o\n[ISAPI]\n", u"ISAPI", u"Path", u""},
        LookupCase{"first_section_of_a_name", "[ISAPI]\nPath=/a\n[ISAPI]\nPath=/b\nDomain=d\n",
                   u"ISAPI", u"Domain", u""},
        LookupCase{"utf8_bom_skipped", "\xEF\xBB\xBF[ISAPI]\nPath=/a\n", u"ISAPI", u"Path", u"/a"},
        LookupCase{"utf8_decoded", "[ISAPI]\nDomain=caf\xC3\xA9\n", u"ISAPI", u"Domain",
                   u"caf\u00e9"},
        LookupCase{"utf16le_bom", std::string("\xFF\xFE[\0I\0S\0A\0P\0I\0]\0\n\0P\0=\0x\0", 24),
                   u"ISAPI", u"P", u"x"},
        LookupCase{"no_final_newline", "[ISAPI]\nPath=/a", u"ISAPI", u"Path", u"/a"},
        LookupCase{"long_value_cut", "[ISAPI]\nProtectedResourceList=" + kValue12000 + "\n",
                   u"ISAPI", u"ProtectedResourceList", std::u16string(9999, u'v')}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(IniProfileFile, MissingFileReportsNotFoundAndReadsEmpty) {
  IniProfile p;
  EXPECT_EQ(IniProfile::Open(std::filesystem::temp_directory_path() / "tg-no-such-dir/x.conf", p),
            IniProfile::OpenResult::NotFound);
  EXPECT_EQ(p.Get(u"ISAPI", u"Path"), u"");
}

TEST(IniProfileFile, OversizedFileIsRefusedNotReadInPart) {
  const auto path = std::filesystem::temp_directory_path() / "tg-ini-oversized.conf";
  {
    std::ofstream out(path, std::ios::binary);
    out << "[ISAPI]\nPath=/a\n";
    const std::string filler(1024 * 1024, ' ');
    for (std::size_t i = 0; i <= kMaxProfileFileBytes / filler.size(); ++i) {
      out << filler;
    }
  }
  IniProfile p;
  EXPECT_EQ(IniProfile::Open(path, p), IniProfile::OpenResult::TooLarge);
  EXPECT_EQ(p.Get(u"ISAPI", u"Path"), u"");
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace tokengate::gate
