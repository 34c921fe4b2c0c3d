// tokengate config check <conf file>: shows every key of the gate's conf file with its effective
// value and origin, and warns about settings that will fail or surprise at request time.
#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "command.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/ini_profile.h"
#include "tokengate/gate/pattern_matcher.h"

namespace tokengate::cli {
namespace {

using namespace tokengate::gate;

std::string Out(std::u16string_view s) {
  return text::ToAnsi(s);
}

char16_t Lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

// Edit distance without regard to ASCII case, for suggesting the key an unknown one was meant to
// be.
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

class Checker {
 public:
  int warnings = 0;

  void Warn(const std::string& text) {
    ++warnings;
    std::printf("warning: %s\n", text.c_str());
  }

  // Checks every entry of a pattern list; `consequence` says what an invalid entry does.
  void CheckList(std::u16string_view key, std::u16string_view list, const char* consequence) {
    std::size_t begin = 0;
    for (std::size_t index = 1;; ++index) {
      const std::size_t bar = list.find(u'|', begin);
      const std::size_t end = bar == std::u16string_view::npos ? list.size() : bar;
      const std::u16string_view entry = list.substr(begin, end - begin);
      const std::string where = Out(key) + " entry " + std::to_string(index) + " '" + Out(entry) +
                                "' (offset " + std::to_string(begin) + " in the value)";
      const PatternCheck check = CheckPattern(entry);
      if (check.error != PatternError::None) {
        Warn(where + " is not a valid pattern: " + std::string(DescribePatternError(check.error)) +
             " at offset " + std::to_string(check.errorOffset) + " of the entry; " + consequence);
      } else if (entry.empty()) {
        Warn(where + " is empty and matches every request (a doubled, leading or trailing \"|\"?)");
      } else {
        if (entry.front() == u' ' || entry.front() == u'\t' || entry.back() == u' ' ||
            entry.back() == u'\t') {
          Warn(where + " has blanks at its start or end; they must appear in the request");
        }
        if (check.backtrackingRisk) {
          Warn(where +
               " nests repetitions around a back-reference or look-ahead: hostile URLs can make "
               "its search give up, and the gate then counts the entry as matching");
        }
      }
      if (bar == std::u16string_view::npos) {
        return;
      }
      begin = bar + 1;
    }
  }
};

bool IsNumberClean(std::u16string_view v) {
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

std::string Render(const ConfKey& key, const GateSettings& s) {
  switch (key.kind) {
    case ConfKeyKind::Text:
      return "'" + Out(s.*std::get<std::u16string GateSettings::*>(key.field)) + "'";
    case ConfKeyKind::Flag:
      return s.*std::get<bool GateSettings::*>(key.field) ? "YES" : "NO";
    case ConfKeyKind::Number:
      return std::to_string(s.*std::get<std::int32_t GateSettings::*>(key.field));
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

int RunConfigCheck(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: tokengate config check <conf file>\n");
    return 2;
  }
  IniProfile profile;
  switch (IniProfile::Open(std::filesystem::path(args[0]), profile)) {
    case IniProfile::OpenResult::Ok:
      break;
    case IniProfile::OpenResult::NotFound:
      std::fprintf(stderr, "tokengate: %s: no such file (the gate would run on defaults)\n",
                   args[0].c_str());
      return 2;
    case IniProfile::OpenResult::Unreadable:
      std::fprintf(stderr, "tokengate: %s: cannot be read\n", args[0].c_str());
      return 2;
    case IniProfile::OpenResult::TooLarge:
      std::fprintf(stderr, "tokengate: %s: larger than %zu bytes\n", args[0].c_str(),
                   kMaxProfileFileBytes);
      return 2;
  }

  Checker checker;
  const IniProfile::Section* section = profile.FindSection(kConfSection);
  GateSettings settings = DefaultSettings();
  ApplyProfile(ProfileView(profile), settings);

  std::printf("%s: section [%s]%s\n\n", args[0].c_str(), Out(kConfSection).c_str(),
              section ? "" : " not found");
  for (const ConfKey& key : ConfKeys()) {
    const IniProfile::Entry* entry = nullptr;
    if (section != nullptr) {
      for (const auto& e : section->entries) {
        if (text::EqualsIgnoreAsciiCase(e.key, key.name)) {
          entry = &e;
          break;
        }
      }
    }
    std::string origin = "default";
    if (entry != nullptr) {
      origin = entry->value.empty() ? "default (empty in file, line " : "file, line ";
      origin += std::to_string(entry->line) + (entry->value.empty() ? ")" : "");
    }
    std::printf("  %-26s %-40s [%s]\n", Out(key.name).c_str(), Render(key, settings).c_str(),
                origin.c_str());
  }
  std::printf("\n");

  if (section == nullptr) {
    checker.Warn("no [ISAPI] section: every key takes its default");
  }
  if (settings.TesseraName.empty()) {
    checker.Warn(
        "TesseraName is empty: every protected request will be refused (\"TesseraName must be "
        "set in the ISAPI configuration file\")");
  }
  if (settings.ProtectedResourceList.empty()) {
    checker.Warn(
        "ProtectedResourceList is empty: every request that reaches the protection test will be "
        "refused (\"ProtectedResourceList must be set in the ISAPI configuration file\")");
  } else {
    checker.CheckList(u"ProtectedResourceList", settings.ProtectedResourceList,
                      "requests not matched by an earlier entry are treated as NOT protected");
  }
  checker.CheckList(u"ReloadConfigUrl", settings.ReloadConfigUrl,
                    "requests not matched by an earlier entry never trigger a reload");
  if (!settings.CancelUrl.empty()) {
    checker.CheckList(u"CancelUrl", settings.CancelUrl,
                      "requests not matched by an earlier entry are not recognised as cancel");
  }
  if (!settings.EnableIWA && settings.SSOUrl.empty()) {
    checker.Warn(
        "SSOUrl is empty: requests without a token cannot be sent to sign-on (\"SSOUrl must be "
        "set in the ISAPI configuration file\")");
  }

  if (section != nullptr) {
    for (std::size_t i = 0; i < section->entries.size(); ++i) {
      const auto& e = section->entries[i];
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
      const std::string at = " (line " + std::to_string(e.line) + ")";
      if (known == nullptr) {
        std::string text = "unknown key '" + Out(e.key) + "'" + at + " is ignored";
        if (closest != nullptr && best <= std::max<std::size_t>(2, closest->name.size() / 3)) {
          text += "; did you mean '" + Out(closest->name) + "'?";
        }
        checker.Warn(text);
        continue;
      }
      for (std::size_t j = 0; j < i; ++j) {
        if (text::EqualsIgnoreAsciiCase(section->entries[j].key, e.key)) {
          checker.Warn("key " + Out(known->name) + at + " repeats line " +
                       std::to_string(section->entries[j].line) + "; only the first one is read");
          break;
        }
      }
      if (e.value.empty()) {
        continue;
      }
      if (known->kind == ConfKeyKind::Flag && !ParseFlag(e.value) &&
          !text::EqualsIgnoreAsciiCase(e.value, u"no")) {
        checker.Warn(Out(known->name) + "=" + Out(e.value) + at +
                     " reads as NO: only YES (in any letter case) turns a flag on");
      }
      if (known->kind == ConfKeyKind::Number && !IsNumberClean(e.value)) {
        checker.Warn(Out(known->name) + "=" + Out(e.value) + at + " reads as " +
                     std::to_string(ParseNumber(e.value)) +
                     ": only the leading sign and digits count");
      }
    }
  }

  if (checker.warnings == 0) {
    std::printf("no warnings\n");
    return 0;
  }
  std::printf("\n%d warning%s\n", checker.warnings, checker.warnings == 1 ? "" : "s");
  return 1;
}

const Registrar kConfigCheck{CommandInfo{
    "config check", "<conf file>  show the gate's effective settings and what will bite",
    RunConfigCheck}};

}  // namespace
}  // namespace tokengate::cli
