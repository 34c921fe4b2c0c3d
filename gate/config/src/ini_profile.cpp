#include "tokengate/gate/ini_profile.h"

#include <fstream>
#include <system_error>

#include "tokengate/common/text.h"

namespace tokengate::gate {
namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && IsBlank(s.back())) {
    s.remove_suffix(1);
  }
  return s;
}

std::u16string Decode(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    bytes.remove_prefix(2);
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    return out;
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  }
  return text::Utf8ToUtf16(bytes);
}

std::u16string CleanValue(std::u16string_view v) {
  v = Trim(v);
  if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  if (v.size() > kMaxProfileValueChars) {
    v = v.substr(0, kMaxProfileValueChars);
  }
  return std::u16string(v);
}

}  // namespace

IniProfile IniProfile::Parse(std::string_view bytes) {
  IniProfile profile;
  const std::u16string content = Decode(bytes);
  std::u16string_view rest(content);
  Section* current = nullptr;
  std::size_t lineNo = 0;
  while (!rest.empty()) {
    ++lineNo;
    const std::size_t nl = rest.find(u'\n');
    std::u16string_view line = rest.substr(0, nl);
    rest = nl == std::u16string_view::npos ? std::u16string_view() : rest.substr(nl + 1);
    if (!line.empty() && line.back() == u'\r') {
      line.remove_suffix(1);
    }
    const std::u16string_view trimmed = Trim(line);
    if (!trimmed.empty() && trimmed.front() == u'[') {
      const std::size_t close = trimmed.find(u']');
      const std::u16string_view name = Trim(
          trimmed.substr(1, close == std::u16string_view::npos ? trimmed.size() - 1 : close - 1));
      profile.sections_.push_back(Section{std::u16string(name), lineNo, {}});
      current = &profile.sections_.back();
      continue;
    }
    const std::size_t eq = trimmed.find(u'=');
    if (current == nullptr || eq == std::u16string_view::npos) {
      continue;
    }
    current->entries.push_back(Entry{std::u16string(Trim(trimmed.substr(0, eq))),
                                     CleanValue(trimmed.substr(eq + 1)), lineNo});
  }
  return profile;
}

IniProfile::OpenResult IniProfile::Open(const std::filesystem::path& file, IniProfile& out) {
  out = IniProfile();
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    return OpenResult::NotFound;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    return OpenResult::Unreadable;
  }
  std::string bytes;
  char buf[8192];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    bytes.append(buf, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > kMaxProfileFileBytes) {
      return OpenResult::TooLarge;
    }
  }
  if (in.bad()) {
    return OpenResult::Unreadable;
  }
  out = Parse(bytes);
  return OpenResult::Ok;
}

const IniProfile::Section* IniProfile::FindSection(std::u16string_view section) const {
  const std::u16string_view wanted = Trim(section);
  for (const auto& s : sections_) {
    if (text::EqualsIgnoreAsciiCase(s.name, wanted)) {
      return &s;
    }
  }
  return nullptr;
}

std::u16string IniProfile::Get(std::u16string_view section, std::u16string_view key) const {
  const Section* s = FindSection(section);
  if (s == nullptr) {
    return {};
  }
  const std::u16string_view wanted = Trim(key);
  for (const auto& e : s->entries) {
    if (text::EqualsIgnoreAsciiCase(e.key, wanted)) {
      return e.value;
    }
  }
  return {};
}

}  // namespace tokengate::gate
