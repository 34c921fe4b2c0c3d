#include "header_policy.h"

#include <algorithm>
#include <set>

namespace tokengate::apache {

namespace {
char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}
}  // namespace

bool HasUnderscore(std::string_view name) noexcept {
  return name.find('_') != std::string_view::npos;
}

bool CarriesAttributePrefix(std::string_view name, std::string_view prefix) noexcept {
  if (prefix.empty() || name.size() < prefix.size()) {
    return false;
  }
  const auto fold = [](char c) { return c == '_' ? '-' : LowerAscii(c); };
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (fold(name[i]) != fold(prefix[i])) {
      return false;
    }
  }
  return true;
}

bool IsFramingHeader(std::string_view name) noexcept {
  const auto equals = [name](std::string_view wanted) {
    return name.size() == wanted.size() &&
           std::equal(name.begin(), name.end(), wanted.begin(),
                      [](char a, char b) { return LowerAscii(a) == b; });
  };
  return equals("content-length") || equals("transfer-encoding");
}

std::vector<HeaderLine> KeepRequestFraming(std::vector<HeaderLine> lines,
                                           const std::vector<HeaderLine>& original) {
  std::erase_if(lines, [](const HeaderLine& line) { return IsFramingHeader(line.first); });
  for (const HeaderLine& line : original) {
    if (IsFramingHeader(line.first)) {
      lines.push_back(line);
    }
  }
  return lines;
}

std::optional<std::string> PrivateCacheControl(std::string_view directives) {
  const auto trim = [](std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) {
      v.remove_prefix(1);
    }
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) {
      v.remove_suffix(1);
    }
    return v;
  };
  std::string out = "private";
  while (!directives.empty()) {
    const std::size_t comma = directives.find(',');
    const std::string_view item = trim(directives.substr(0, comma));
    directives =
        comma == std::string_view::npos ? std::string_view{} : directives.substr(comma + 1);
    if (item.empty()) {
      continue;
    }
    const std::string name = NormalisedHeaderName(trim(item.substr(0, item.find('='))));
    if (name == "private" || name == "no-store") {
      return std::nullopt;
    }
    if (name == "public" || name == "s-maxage") {
      continue;
    }
    out.append(", ").append(item);
  }
  return out;
}

std::string NormalisedHeaderName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    out.push_back(c == '_' ? '-' : LowerAscii(c));
  }
  return out;
}

std::string BuildAllRaw(const std::vector<HeaderLine>& headers) {
  std::string out;
  for (const auto& [name, value] : headers) {
    if (name.empty() || HasUnderscore(name)) {
      continue;
    }
    out.append(name).append(": ").append(value).append("\r\n");
  }
  return out;
}

std::vector<HeaderLine> ParseHeaderBlock(std::string_view block) {
  std::vector<HeaderLine> out;
  while (!block.empty()) {
    std::size_t end = block.find('\n');
    std::string_view line = block.substr(0, end);
    block = end == std::string_view::npos ? std::string_view{} : block.substr(end + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                     IsTokenChar) ||
        std::any_of(line.begin() + static_cast<std::ptrdiff_t>(colon), line.end(),
                    [](char c) { return c != '\t' && IsControl(static_cast<unsigned char>(c)); })) {
      continue;  // not a header line that can be passed on safely
    }
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
      value.remove_prefix(1);
    }
    out.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return out;
}

std::vector<HeaderLine> ChildHeaderSet(const std::vector<HeaderLine>& child,
                                       const std::vector<HeaderLine>& original) {
  const std::set<HeaderLine> fromRequest(original.begin(), original.end());
  std::set<std::string> added;
  for (const auto& line : child) {
    if (!fromRequest.contains(line)) {
      added.insert(NormalisedHeaderName(line.first));
    }
  }
  std::vector<HeaderLine> out;
  out.reserve(child.size());
  for (const auto& line : child) {
    const bool clientSent = fromRequest.contains(line);
    if (clientSent &&
        (HasUnderscore(line.first) || added.contains(NormalisedHeaderName(line.first)))) {
      continue;
    }
    out.push_back(line);
  }
  return out;
}

std::string PathForMatching(std::string_view path) {
  if (path.empty()) {
    return {};
  }
  // Separators first: "/", "\" and an encoded slash or backslash.
  std::string unified;
  unified.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size() + 0 && path[i + 1] == '2' &&
        (path[i + 2] == 'f' || path[i + 2] == 'F')) {
      unified.push_back('/');
      i += 2;
    } else if (path[i] == '%' && i + 2 < path.size() + 0 && path[i + 1] == '5' &&
               (path[i + 2] == 'c' || path[i + 2] == 'C')) {
      unified.push_back('/');
      i += 2;
    } else {
      unified.push_back(path[i] == '\\' ? '/' : path[i]);
    }
  }
  std::vector<std::string_view> segments;
  std::string_view rest = unified;
  bool endsWithSlash = false;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    segment = segment.substr(0, segment.find(';'));
    endsWithSlash = slash != std::string_view::npos;
    if (segment.empty() || segment == ".") {
      endsWithSlash = true;
    } else if (segment == "..") {
      if (!segments.empty()) {
        segments.pop_back();
      }
      endsWithSlash = true;
    } else {
      segments.push_back(segment);
    }
  }
  std::string out;
  for (const std::string_view segment : segments) {
    out.append("/").append(segment);
  }
  if (endsWithSlash || out.empty()) {
    out.push_back('/');
  }
  return out;
}

bool IsSafeLocation(std::string_view location) noexcept {
  return !location.empty() && std::none_of(location.begin(), location.end(), [](char c) {
    return IsControl(static_cast<unsigned char>(c));
  });
}

std::string EscapeForLog(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (IsControl(b) || c == '\\') {
      out.append("\\x").push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace tokengate::apache
