#include "header_policy.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tokengate::apache {

namespace {
char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// True when `text` holds a control character other than a tab. Eight bytes at a time while none
// of them is below 0x20 or 0x7F.
bool HasControlBesidesTab(std::string_view text) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  std::size_t i = 0;
  for (; text.size() - i >= 8; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    const std::uint64_t del = word ^ (0x7F * kOnes);
    if ((((word - 0x20 * kOnes) & ~word) | ((del - kOnes) & ~del)) & (0x80 * kOnes)) {
      break;  // a byte in this word needs a closer look
    }
  }
  return std::any_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(),
                     [](char c) { return c != '\t' && IsControl(static_cast<unsigned char>(c)); });
}

// HTTP token characters (RFC 9110 "tchar").
constexpr std::array<bool, 256> kTokenChars = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) {
    t[static_cast<std::size_t>(c)] =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  }
  return t;
}();

bool IsTokenChar(char c) {
  return kTokenChars[static_cast<unsigned char>(c)];
}
}  // namespace

bool HasUnderscore(std::string_view name) noexcept {
  return name.find('_') != std::string_view::npos;
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

std::vector<HeaderView> KeepRequestFramingViews(std::vector<HeaderView> lines,
                                                const std::vector<HeaderView>& original) {
  std::erase_if(lines, [](const HeaderView& line) { return IsFramingHeader(line.name); });
  for (const HeaderView& line : original) {
    if (IsFramingHeader(line.name)) {
      lines.push_back(line);
    }
  }
  return lines;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

bool InAllRaw(std::string_view name) noexcept {
  return !name.empty() && !HasUnderscore(name);
}

std::string BuildAllRaw(const std::vector<HeaderLine>& headers) {
  std::string out;
  for (const auto& [name, value] : headers) {
    if (!InAllRaw(name)) {
      continue;
    }
    out.append(name).append(": ").append(value).append("\r\n");
  }
  return out;
}

std::vector<HeaderView> ParseHeaderBlockViews(std::string_view block) {
  // One entry per line at most; the line ends are found by memchr, not byte by byte.
  std::size_t lines = 1;
  for (std::size_t at = block.find('\n'); at != std::string_view::npos;
       at = block.find('\n', at + 1)) {
    ++lines;
  }
  std::vector<HeaderView> out;
  out.reserve(lines);
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
        HasControlBesidesTab(line.substr(colon))) {
      continue;  // not a header line that can be passed on safely
    }
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
      value.remove_prefix(1);
    }
    out.push_back({line.substr(0, colon), value});
  }
  return out;
}

std::vector<HeaderLine> ParseHeaderBlock(std::string_view block) {
  std::vector<HeaderLine> out;
  for (const HeaderView& line : ParseHeaderBlockViews(block)) {
    out.emplace_back(std::string(line.name), std::string(line.value));
  }
  return out;
}

namespace {
// Up to this many lines a plain scan is quicker than sorting.
constexpr std::size_t kScanLimit = 32;

bool ExactOrder(const HeaderView& a, const HeaderView& b) {
  return a.name != b.name ? a.name < b.name : a.value < b.value;
}

bool AlikeOrder(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return gate::NormalisedHeaderChar(x) < gate::NormalisedHeaderChar(y);
  });
}
}  // namespace

HeaderLineSet::HeaderLineSet(std::vector<HeaderView> lines)
    : lines_(std::move(lines)), sorted_(lines_.size() > kScanLimit) {
  if (sorted_) {
    std::sort(lines_.begin(), lines_.end(), ExactOrder);
  }
}

bool HeaderLineSet::Contains(const HeaderView& line) const {
  return sorted_ ? std::binary_search(lines_.begin(), lines_.end(), line, ExactOrder)
                 : std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

std::vector<HeaderView> ChildHeaderSetViews(const std::vector<HeaderView>& child,
                                            std::vector<HeaderView> original) {
  return ChildHeaderSetViews(child, HeaderLineSet(std::move(original)));
}

std::vector<HeaderView> ChildHeaderSetViews(const std::vector<HeaderView>& child,
                                            const HeaderLineSet& fromRequest) {
  std::vector<bool> sent(child.size());
  std::vector<std::string_view> added;
  for (std::size_t i = 0; i < child.size(); ++i) {
    sent[i] = fromRequest.Contains(child[i]);
    if (!sent[i]) {
      added.push_back(child[i].name);
    }
  }
  // The names the gate added, asked "does this name read as one of them" the same two ways.
  const bool sortAdded = added.size() > kScanLimit;
  if (sortAdded) {
    std::sort(added.begin(), added.end(), AlikeOrder);
  }
  const auto isAdded = [&](std::string_view name) {
    return sortAdded ? std::binary_search(added.begin(), added.end(), name, AlikeOrder)
                     : std::any_of(added.begin(), added.end(),
                                   [&](std::string_view a) { return NamesAlike(a, name); });
  };
  std::vector<HeaderView> out;
  out.reserve(child.size());
  for (std::size_t i = 0; i < child.size(); ++i) {
    if (sent[i] && (HasUnderscore(child[i].name) || isAdded(child[i].name))) {
      continue;
    }
    out.push_back(child[i]);
  }
  return out;
}

std::vector<HeaderLine> ChildHeaderSet(const std::vector<HeaderLine>& child,
                                       const std::vector<HeaderLine>& original) {
  const auto views = [](const std::vector<HeaderLine>& lines) {
    std::vector<HeaderView> out;
    out.reserve(lines.size());
    for (const auto& [name, value] : lines) {
      out.push_back({name, value});
    }
    return out;
  };
  std::vector<HeaderLine> out;
  for (const HeaderView& line : ChildHeaderSetViews(views(child), views(original))) {
    out.emplace_back(std::string(line.name), std::string(line.value));
  }
  return out;
}

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

unsigned HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return static_cast<unsigned>(c - '0');
  }
  return static_cast<unsigned>(LowerAscii(c) - 'a' + 10);
}

// "%XX" at `at` of `text`, with XX two hex digits.
bool IsEscape(std::string_view text, std::size_t at) {
  return at + 2 < text.size() && text[at] == '%' && IsHex(text[at + 1]) && IsHex(text[at + 2]);
}

unsigned EscapedByte(std::string_view text, std::size_t at) {
  return HexValue(text[at + 1]) * 16 + HexValue(text[at + 2]);
}

// Replaces the escape that `out` ends with by the character it stands for; false when `out` ends
// in none. Read as escapes: "%XX", "%uXXXX" of an ASCII character, the over-long UTF-8 forms of
// ASCII characters (two bytes C0/C1 xx, three bytes E0 80/81 xx) and the full-width forms of ASCII
// characters (U+FF01 to U+FF5E, which compatibility normalisation and best-fit code page
// conversions turn into ASCII), as lenient decoders read them. A NUL is never produced.
bool DecodeEscapeAtEnd(std::string& out) {
  const std::size_t n = out.size();
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(out[i]); };
  unsigned value = 0;
  std::size_t length = 0;
  if (n >= 3 && IsEscape(out, n - 3)) {
    value = EscapedByte(out, n - 3);
    length = 3;
  } else if (n >= 6 && out[n - 6] == '%' && (out[n - 5] == 'u' || out[n - 5] == 'U') &&
             IsHex(out[n - 4]) && IsHex(out[n - 3]) && IsHex(out[n - 2]) && IsHex(out[n - 1])) {
    value = ((HexValue(out[n - 4]) * 16 + HexValue(out[n - 3])) * 16 + HexValue(out[n - 2])) * 16 +
            HexValue(out[n - 1]);
    length = value < 0x80 ? 6 : 0;
  } else if (n >= 2 && (byte(n - 2) == 0xC0 || byte(n - 2) == 0xC1) &&
             (byte(n - 1) & 0xC0) == 0x80) {
    value = ((byte(n - 2) & 0x01u) << 6) | (byte(n - 1) & 0x3Fu);
    length = 2;
  } else if (n >= 3 && byte(n - 3) == 0xE0 && (byte(n - 2) == 0x80 || byte(n - 2) == 0x81) &&
             (byte(n - 1) & 0xC0) == 0x80) {
    value = ((byte(n - 2) & 0x01u) << 6) | (byte(n - 1) & 0x3Fu);
    length = 3;
  } else if (n >= 3 && byte(n - 3) == 0xEF && (byte(n - 2) == 0xBC || byte(n - 2) == 0xBD) &&
             (byte(n - 1) & 0xC0) == 0x80) {
    const unsigned codePoint = 0xF000u | ((byte(n - 2) & 0x3Fu) << 6) | (byte(n - 1) & 0x3Fu);
    value = codePoint - 0xFEE0u;
    length = codePoint >= 0xFF01u && codePoint <= 0xFF5Eu ? 3 : 0;
  }
  if (length == 0 || value == 0) {
    return false;
  }
  out.resize(n - length);
  out.push_back(static_cast<char>(value));
  return true;
}

// The segments of `path` resolved: empty and "." segments dropped, ".." removes the segment before
// it (never above the root), a final "/" kept, the result starts with "/". `backend`: "\" and an
// encoded slash or backslash also separate segments, and ";parameters" are cut from each one.
std::string ResolveSegments(std::string_view path, bool backend) {
  std::string unified;
  if (backend) {
    unified.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
      if (IsEscape(path, i) && (EscapedByte(path, i) == '/' || EscapedByte(path, i) == '\\')) {
        unified.push_back('/');
        i += 2;
      } else {
        unified.push_back(path[i] == '\\' ? '/' : path[i]);
      }
    }
    path = unified;
  }
  std::vector<std::string_view> segments;
  std::string_view rest = path;
  bool endsWithSlash = false;
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    std::string_view segment = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
    if (backend) {
      segment = segment.substr(0, segment.find(';'));
    }
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
  out.reserve(path.size() + 1);
  for (const std::string_view segment : segments) {
    out.append("/").append(segment);
  }
  if (endsWithSlash || out.empty()) {
    out.push_back('/');
  }
  return out;
}

// True when every reading of `path` is `path` itself: it starts with "/" and holds no escape,
// backslash, ";", empty, "." or ".." segment, nor a lead byte of an over-long or full-width
// UTF-8 form.
bool IsPlainPath(std::string_view path) noexcept {
  if (path.empty() || path.front() != '/') {
    return false;
  }
  std::size_t segmentStart = 1;
  for (std::size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      const std::string_view segment = path.substr(segmentStart, i - segmentStart);
      if ((segment.empty() && i != path.size()) || segment == "." || segment == "..") {
        return false;
      }
      segmentStart = i + 1;
      continue;
    }
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '%' || c == '\\' || c == ';' || c == 0xC0 || c == 0xC1 || c == 0xE0 || c == 0xEF) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string PathForMatching(std::string_view path) {
  if (path.empty()) {
    return {};
  }
  return ResolveSegments(path, true);
}

std::string ResolveDotSegments(std::string_view path) {
  return ResolveSegments(path, false);
}

std::string DecodeOnce(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsEscape(text, i) && EscapedByte(text, i) != 0) {
      out.push_back(static_cast<char>(EscapedByte(text, i)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string DecodeFully(std::string_view text) {
  // Each character is decoded as soon as it ends an escape, and the result again: that reaches
  // what repeated decoding reaches, in one pass.
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    out.push_back(c);
    while (DecodeEscapeAtEnd(out)) {
    }
  }
  return out;
}

std::string_view RequestTargetPath(std::string_view target) noexcept {
  if (!target.starts_with('/')) {
    // Absolute form "scheme://authority/path": the path starts after the authority.
    const std::size_t scheme = target.find("://");
    if (scheme != std::string_view::npos && scheme < target.find('/')) {
      const std::size_t path = target.find_first_of("/?#", scheme + 3);
      target = path == std::string_view::npos ? std::string_view{} : target.substr(path);
      if (!target.starts_with('/')) {
        return "/";
      }
    }
  }
  return target.substr(0, target.find_first_of("?#"));
}

std::string_view RequestLineTarget(std::string_view line) noexcept {
  const std::size_t method = line.find(' ');
  if (method == std::string_view::npos) {
    return {};
  }
  line.remove_prefix(method);
  while (!line.empty() && line.front() == ' ') {
    line.remove_prefix(1);
  }
  return line.substr(0, line.find(' '));
}

std::vector<std::string> OtherPathReadings(std::string_view uri, std::string_view target,
                                           std::string_view original) {
  const std::string_view targetPath = RequestTargetPath(target);
  if (original.empty() && targetPath == uri && IsPlainPath(uri)) {
    return {};
  }
  const std::string primary = PathForMatching(uri);
  std::vector<std::string> readings;
  const auto add = [&](std::string reading) {
    if (reading != primary &&
        std::find(readings.begin(), readings.end(), reading) == readings.end()) {
      readings.push_back(std::move(reading));
    }
  };
  // Apache's own: the path it maps the request by (location, file, script and path info).
  add(std::string(uri));
  // A backend that decodes what it is given once more, or until nothing is left to decode.
  add(PathForMatching(DecodeOnce(uri)));
  add(PathForMatching(DecodeFully(uri)));
  // The request-target as sent (REQUEST_URI of CGI scripts, "nocanon" proxying, the path a
  // rewrite started from): read raw as a router would, with Apache's dot rules, the backend way.
  for (const std::string_view raw : {targetPath, RequestTargetPath(original)}) {
    if (raw.empty()) {
      continue;
    }
    std::string decoded = DecodeOnce(raw);
    add(ResolveDotSegments(decoded));
    add(PathForMatching(decoded));
    add(PathForMatching(DecodeFully(decoded)));
    add(std::move(decoded));
  }
  return readings;
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
