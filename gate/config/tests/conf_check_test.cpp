#include "tokengate/gate/conf_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tokengate/common/text.h"

namespace tokengate::gate {
namespace {

constexpr const char* kGood =
    "[ISAPI]\nTesseraName=TT\nSSOUrl=https://sso/\nProtectedResourceList=^/app/|^/admin/\n"
    "AuthenticationPrefix=Tarvex-\n";

struct CheckCase {
  const char* name;
  std::string conf;
  std::vector<std::string> expected;  // one distinctive part of each warning, in order
};

class ConfCheck : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ConfCheck, Warnings) {
  const ConfCheckReport report = CheckConf(IniProfile::Parse(GetParam().conf));
  ASSERT_EQ(report.warnings.size(), GetParam().expected.size());
  for (std::size_t i = 0; i < report.warnings.size(); ++i) {
    const std::string w = text::Utf16ToUtf8(report.warnings[i]);
    EXPECT_NE(w.find(GetParam().expected[i]), std::string::npos) << w;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfCheck,
    ::testing::Values(
        CheckCase{"clean", kGood, {}},
        CheckCase{"no_section",
                  "TesseraName=TT\n",
                  {"no [ISAPI] section", "TesseraName is empty", "ProtectedResourceList is empty",
                   "SSOUrl is empty", "AuthenticationPrefix is empty"}},
        CheckCase{"empty_required_keys",
                  "[ISAPI]\nTesseraName=\nSSOUrl=x\n",
                  {"TesseraName is empty", "ProtectedResourceList is empty",
                   "AuthenticationPrefix is empty"}},
        CheckCase{"invalid_entry_with_position",
                  "[ISAPI]\nTesseraName=T\nSSOUrl=x\nProtectedResourceList=^/app/|^/a(b|^/c/\n",
                  {"ProtectedResourceList entry 2 '^/a(b' (offset 7 in the value) is not a valid "
                   "pattern: \"(\" has no matching \")\" at offset 3 of the entry; requests not "
                   "matched by an earlier entry are treated as NOT protected",
                   "AuthenticationPrefix is empty"}},
        CheckCase{"empty_and_blank_entries",
                  "[ISAPI]\nTesseraName=T\nSSOUrl=x\nProtectedResourceList=/a/ | /b/|\n",
                  {"entry 1 '/a/ '", "entry 2 ' /b/'",
                   "entry 3 '' (offset 10 in the value) is "
                   "empty and matches every request",
                   "AuthenticationPrefix is empty"}},
        CheckCase{
            "backtracking_risk",
            "[ISAPI]\nTesseraName=T\nSSOUrl=x\nProtectedResourceList=^/a/|{x}(\\0+)+y\n",
            {"entry 2 '{x}(\\0+)+y'", /* and only that one */ "AuthenticationPrefix is empty"}},
        CheckCase{"invalid_reload_and_cancel",
                  std::string(kGood) + "ReloadConfigUrl=[\nCancelUrl=/c/|(\n",
                  {"ReloadConfigUrl entry 1", "CancelUrl entry 2"}},
        CheckCase{"flags_spelled_otherwise",
                  std::string(kGood) + "EnableIWA=true\nSecureCookie=1\nSessionCookie=no\n"
                                       "DeleteTesseraCookie=Yes\n",
                  {"EnableIWA=true (line 6) reads as NO", "SecureCookie=1 (line 7) reads as NO"}},
        CheckCase{"numbers_with_garbage",
                  std::string(kGood) + "CookieAge=15min\nTokenUpdateWindow=-1\n",
                  {"CookieAge=15min (line 6) reads as 15"}},
        CheckCase{"number_without_digits",
                  std::string(kGood) + "TokenUpdateWindow=never\n",
                  {"TokenUpdateWindow=never (line 6) reads as 0"}},
        CheckCase{"unknown_keys",
                  std::string(kGood) + "ProtectedResourceLst=x\nCookiAge=5\nFrobnicate=1\n",
                  {"unknown key 'ProtectedResourceLst' (line 6) is ignored; did you mean "
                   "'ProtectedResourceList'?",
                   "did you mean 'CookieAge'?", "unknown key 'Frobnicate' (line 8) is ignored"}},
        CheckCase{"cookie_attributes",
                  std::string(kGood) + "HttpOnlyCookie=NO\nSameSiteCookie=Loose\n",
                  {"SameSiteCookie='Loose' is not Lax, Strict or None",
                   "HttpOnlyCookie is NO: scripts on the site can read the session token"}},
        CheckCase{"same_site_none_needs_secure",
                  std::string(kGood) + "SameSiteCookie=none\n",
                  {"SameSiteCookie=None without SecureCookie=YES"}},
        CheckCase{"same_site_none_with_secure",
                  std::string(kGood) + "SameSiteCookie=None\nSecureCookie=YES\n",
                  {}},
        CheckCase{"repeated_key",
                  std::string(kGood) + "tesseraname=Other\n",
                  {"key TesseraName (line 6) repeats line 2; only the first one is read"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ConfCheckReport, EffectiveValuesAndOrigins) {
  const ConfCheckReport report =
      CheckConf(IniProfile::Parse(std::string(kGood) + "Path=\nCookieAge=15min\n"));
  auto find = [&](std::u16string_view name) -> const ConfKeyReport& {
    for (const auto& k : report.keys) {
      if (k.key->name == name) {
        return k;
      }
    }
    throw std::logic_error("key missing");
  };
  EXPECT_EQ(report.keys.size(), kConfKeyCount);
  EXPECT_EQ(find(u"TesseraName").origin, ConfKeyReport::Origin::File);
  EXPECT_EQ(find(u"TesseraName").line, 2u);
  EXPECT_EQ(find(u"TesseraName").value, u"'TT'");
  EXPECT_EQ(find(u"Path").origin, ConfKeyReport::Origin::EmptyInFile);
  EXPECT_EQ(find(u"Path").value, u"'/'");
  EXPECT_EQ(find(u"CookieAge").value, u"15");
  EXPECT_EQ(find(u"EnableExtension").origin, ConfKeyReport::Origin::Default);
  EXPECT_EQ(find(u"EnableExtension").value, u"YES");
}

}  // namespace
}  // namespace tokengate::gate
