#include "tokengate/gate/conf_check.h"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "tokengate/common/text.h"
#include "tokengate/gate/pattern_matcher.h"

namespace tokengate::gate {
namespace {

char16_t Lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

std::u16string Num(std::size_t n) {
  return text::Utf8ToUtf16(std::to_string(n));
}
std::u16string Num(std::int32_t n) {
  return text::Utf8ToUtf16(std::to_string(n));
}

// Edit distance without regard to ASCII case, to suggest the key an unknown one was meant to be.
std::size_t Distance(std::u16string_view a, std::u16string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      const std::size_t cost = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + cost});
      diag = up;
    }
  }
  return row[b.size()];
}

bool IsCleanNumber(std::u16string_view v) {
  std::size_t i = 0;
  while (i < v.size() && (v[i] == u' ' || (v[i] >= u'\t' && v[i] <= u'\r'))) {
    ++i;
  }
  if (i < v.size() && (v[i] == u'+' || v[i] == u'-')) {
    ++i;
  }
  const std::size_t digits = i;
  while (i < v.size() && v[i] >= u'0' && v[i] <= u'9') {
    ++i;
  }
  return i > digits && i == v.size();
}

std::u16string Render(const ConfKey& key, const GateSettings& s) {
  switch (key.kind) {
    case ConfKeyKind::Text:
      return u"'" + s.*std::get<std::u16string GateSettings::*>(key.field) + u"'";
    case ConfKeyKind::Flag:
      return s.*std::get<bool GateSettings::*>(key.field) ? u"YES" : u"NO";
    case ConfKeyKind::Number:
      return Num(s.*std::get<std::int32_t GateSettings::*>(key.field));
  }
  return {};
}

class ProfileView final : public IProfile {
 public:
  explicit ProfileView(const IniProfile& p) : p_(p) {}
  std::u16string Get(std::u16string_view section, std::u16string_view key) const override {
    return p_.Get(section, key);
  }

 private:
  const IniProfile& p_;
};

// Warnings for every entry of a pattern list; `consequence` says what an invalid entry does.
void CheckList(std::u16string_view key, std::u16string_view list, std::u16string_view consequence,
               std::vector<std::u16string>& out) {
  std::size_t begin = 0;
  for (std::size_t index = 1;; ++index) {
    const std::size_t bar = list.find(u'|', begin);
    const std::size_t end = bar == std::u16string_view::npos ? list.size() : bar;
    const std::u16string_view entry = list.substr(begin, end - begin);
    const std::u16string where = std::u16string(key) + u" entry " + Num(index) + u" '" +
                                 std::u16string(entry) + u"' (offset " + Num(begin) +
                                 u" in the value)";
    const PatternCheck check = CheckPattern(entry);
    if (check.error != PatternError::None) {
      const std::string_view reason = DescribePatternError(check.error);
      out.push_back(where + u" is not a valid pattern: " + text::Utf8ToUtf16(reason) +
                    u" at offset " + Num(check.errorOffset) + u" of the entry; " +
                    std::u16string(consequence));
    } else if (entry.empty()) {
      out.push_back(where +
                    u" is empty and matches every request (a doubled, leading or trailing "
                    u"\"|\"?)");
    } else {
      if (entry.front() == u' ' || entry.front() == u'\t' || entry.back() == u' ' ||
          entry.back() == u'\t') {
        out.push_back(where + u" has blanks at its start or end; they must appear in the request");
      }
      if (check.backtrackingRisk) {
        out.push_back(where +
                      u" nests repetitions around a back-reference or look-ahead: hostile URLs "
                      u"can make its search give up, and the gate then counts the entry as "
                      u"matching");
      }
    }
    if (bar == std::u16string_view::npos) {
      return;
    }
    begin = bar + 1;
  }
}

}  // namespace

ConfCheckReport CheckConf(const IniProfile& profile) {
  ConfCheckReport report;
  const IniProfile::Section* section = profile.FindSection(kConfSection);
  report.sectionFound = section != nullptr;
  ApplyProfile(ProfileView(profile), report.settings);
  const GateSettings& s = report.settings;
  auto& warn = report.warnings;

  for (const ConfKey& key : ConfKeys()) {
    ConfKeyReport k;
    k.key = &key;
    k.value = Render(key, s);
    if (section != nullptr) {
      for (const auto& e : section->entries) {
        if (text::EqualsIgnoreAsciiCase(e.key, key.name)) {
          k.origin =
              e.value.empty() ? ConfKeyReport::Origin::EmptyInFile : ConfKeyReport::Origin::File;
          k.line = e.line;
          break;
        }
      }
    }
    report.keys.push_back(std::move(k));
  }

  if (section == nullptr) {
    warn.push_back(u"no [ISAPI] section: every key takes its default");
  }
  if (s.TesseraName.empty()) {
    warn.push_back(
        u"TesseraName is empty: every protected request will be refused (\"TesseraName must be "
        u"set in the ISAPI configuration file\")");
  }
  if (s.ProtectedResourceList.empty()) {
    warn.push_back(
        u"ProtectedResourceList is empty: every request that reaches the protection test will be "
        u"refused (\"ProtectedResourceList must be set in the ISAPI configuration file\")");
  } else {
    CheckList(u"ProtectedResourceList", s.ProtectedResourceList,
              u"requests not matched by an earlier entry are treated as NOT protected", warn);
  }
  CheckList(u"ReloadConfigUrl", s.ReloadConfigUrl,
            u"requests not matched by an earlier entry never trigger a reload", warn);
  if (!s.CancelUrl.empty()) {
    CheckList(u"CancelUrl", s.CancelUrl,
              u"requests not matched by an earlier entry are not recognised as cancel", warn);
  }
  if (!s.EnableIWA && s.SSOUrl.empty()) {
    warn.push_back(
        u"SSOUrl is empty: requests without a token cannot be sent to sign-on (\"SSOUrl must be "
        u"set in the ISAPI configuration file\")");
  }

  if (s.AuthenticationPrefix.empty()) {
    warn.push_back(
        u"AuthenticationPrefix is empty: attribute headers then carry the bare attribute names, "
        u"and a header a client sends under such a name reaches applications on every request "
        u"that is not protected (only protected requests are cleaned, by the token's "
        u"cv_attribute_list); set a prefix such as 'Tarvex-' so the gate can remove look-alikes "
        u"from every request");
  }
  if (!s.SameSiteCookie.empty() && SameSiteValue(s.SameSiteCookie).empty()) {
    warn.push_back(u"SameSiteCookie='" + s.SameSiteCookie +
                   u"' is not Lax, Strict or None: the cookie is written without SameSite");
  } else if (SameSiteValue(s.SameSiteCookie) == u"None" && !s.SecureCookie) {
    warn.push_back(
        u"SameSiteCookie=None without SecureCookie=YES: browsers refuse such a cookie, so users "
        u"cannot stay signed on");
  }
  if (!text::EqualsIgnoreAsciiCase(s.ScriptUnauthenticated, u"401") &&
      !text::EqualsIgnoreAsciiCase(s.ScriptUnauthenticated, u"redirect")) {
    warn.push_back(u"ScriptUnauthenticated='" + s.ScriptUnauthenticated +
                   u"' is neither 401 nor redirect: script requests get the 401 answer");
  }
  if (!s.HttpOnlyCookie) {
    warn.push_back(
        u"HttpOnlyCookie is NO: scripts on the site can read the session token (any script "
        u"injection can steal sessions)");
  }

  if (section == nullptr) {
    return report;
  }
  for (std::size_t i = 0; i < section->entries.size(); ++i) {
    const auto& e = section->entries[i];
    const std::u16string at = u" (line " + Num(e.line) + u")";
    const ConfKey* known = nullptr;
    const ConfKey* closest = nullptr;
    std::size_t best = SIZE_MAX;
    for (const ConfKey& key : ConfKeys()) {
      if (text::EqualsIgnoreAsciiCase(e.key, key.name)) {
        known = &key;
      }
      const std::size_t d = Distance(e.key, key.name);
      if (d < best) {
        best = d;
        closest = &key;
      }
    }
    if (known == nullptr) {
      std::u16string w = u"unknown key '" + e.key + u"'" + at + u" is ignored";
      if (closest != nullptr && best <= std::max<std::size_t>(2, closest->name.size() / 3)) {
        w += u"; did you mean '" + std::u16string(closest->name) + u"'?";
      }
      warn.push_back(std::move(w));
      continue;
    }
    const auto earlier = std::find_if(
        section->entries.begin(), section->entries.begin() + static_cast<long>(i),
        [&](const IniProfile::Entry& o) { return text::EqualsIgnoreAsciiCase(o.key, e.key); });
    if (earlier != section->entries.begin() + static_cast<long>(i)) {
      warn.push_back(u"key " + std::u16string(known->name) + at + u" repeats line " +
                     Num(earlier->line) + u"; only the first one is read");
      continue;
    }
    if (e.value.empty()) {
      continue;
    }
    if (known->kind == ConfKeyKind::Flag && !ParseFlag(e.value) &&
        !text::EqualsIgnoreAsciiCase(e.value, u"no")) {
      warn.push_back(std::u16string(known->name) + u"=" + e.value + at +
                     u" reads as NO: only YES (in any letter case) turns a flag on");
    }
    if (known->kind == ConfKeyKind::Number && !IsCleanNumber(e.value)) {
      warn.push_back(std::u16string(known->name) + u"=" + e.value + at + u" reads as " +
                     Num(ParseNumber(e.value)) + u": only the leading sign and digits count");
    }
  }
  return report;
}

}  // namespace tokengate::gate
