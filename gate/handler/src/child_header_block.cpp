#include "tokengate/gate/child_header_block.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

#include "tokengate/common/text.h"
#include "tokengate/gate/request_host.h"
#include "tokengate/gate/request_values.h"

namespace tokengate::gate {

namespace {

bool IsWhiteSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

std::u16string_view Strip(std::u16string_view item) {
  while (!item.empty() && IsWhiteSpace(item.front())) {
    item.remove_prefix(1);
  }
  while (!item.empty() && IsWhiteSpace(item.back())) {
    item.remove_suffix(1);
  }
  return item;
}

// Items of the attribute list: the text before each ",", the walk resuming two characters after
// it (the comma and the blank that normally follows), each item stripped.
std::vector<std::u16string_view> AttributeItems(std::u16string_view list) {
  std::vector<std::u16string_view> items;
  while (true) {
    const std::size_t comma = list.find(u',');
    if (comma == std::u16string_view::npos) {
      items.push_back(Strip(list));
      return items;
    }
    items.push_back(Strip(list.substr(0, comma)));
    list.remove_prefix(std::min(comma + 2, list.size()));
  }
}

// The header walk reads units (char16_t) or, for headers that are ASCII, their bytes (char): ASCII
// is the same text in every ANSI code page, byte for unit, so both walks split, compare and keep
// the same lines, and the bytes need no conversion in either direction.
template <typename Char>
using View = std::basic_string_view<Char>;

template <typename Char>
char16_t Unit(Char c) {
  return static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(c));
}

template <typename Char>
bool EqualsIgnoreCase(View<Char> a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](Char x, char16_t y) {
           return text::AsciiLower(Unit(x)) == text::AsciiLower(y);
         });
}

template <typename Char>
bool StartsWithIgnoreCase(View<Char> name, std::u16string_view prefix) {
  return name.size() >= prefix.size() && EqualsIgnoreCase(name.substr(0, prefix.size()), prefix);
}

template <typename Char>
bool HasLineBreakOrNul(View<Char> text) {
  std::size_t i = 0;
  if constexpr (std::is_same_v<Char, char>) {
    // Eight bytes at a time while none of them is below 0x0E.
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    for (; text.size() - i >= 8; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if (((word - 0x0E * kOnes) & ~word & 0x80 * kOnes) != 0) {
        break;
      }
    }
  }
  return std::any_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), [](Char c) {
    return c <= Char('\r') && (c == Char('\r') || c == Char('\n') || c == Char('\0'));
  });
}

// Position of the first CR LF in `text`, or npos.
template <typename Char>
std::size_t FindLineEnd(View<Char> text) {
  if constexpr (std::is_same_v<Char, char>) {
    return text.find("\r\n", 0, 2);
  } else {
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
      if (text[i] == u'\r' && text[i + 1] == u'\n') {
        return i;
      }
    }
    return std::u16string_view::npos;
  }
}

// Every CR is the start of a CR LF pair and every LF the end of one; no NUL. Two texts that each
// pass also pass joined: neither can end in a bare CR nor start with a bare LF.
bool WellFormedLines(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Eight bytes at a time while none of them is CR, LF, NUL or another byte below 0x0E.
    while (text.size() - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      constexpr std::uint64_t kOnes = 0x0101010101010101u;
      if (((word - 0x0E * kOnes) & ~word & 0x80 * kOnes) != 0) {
        break;
      }
      i += 8;
    }
    if (i >= text.size()) {
      break;
    }
    const char c = text[i];
    if (static_cast<unsigned char>(c) > '\r') {
      continue;  // the common case: nothing to look at
    }
    if (c == '\0') {
      return false;
    }
    if (c == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')) {
      return false;
    }
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

template <typename Char>
std::basic_string<Char> KeptCookies(View<Char> header, std::u16string_view name) {
  std::basic_string<Char> out;
  View<Char> rest = header;
  while (!rest.empty()) {
    const std::size_t semicolon = rest.find(Char(';'));
    const View<Char> piece = rest.substr(0, semicolon);
    rest = semicolon == View<Char>::npos ? View<Char>{} : rest.substr(semicolon + 1);
    if (IsCookieNamed(piece, name)) {
      continue;
    }
    if (!out.empty()) {
      out += Char(';');
    }
    // The first cookie kept loses the blank the separator before it carried.
    out += out.empty() && !piece.empty() && piece.front() == Char(' ') ? piece.substr(1) : piece;
  }
  return out;
}

}  // namespace

std::u16string WithoutCookie(std::u16string_view header, std::u16string_view name) {
  return KeptCookies(header, name);
}

std::u16string_view HeaderBlockMessage(HeaderBlockStatus status) {
  switch (status) {
    case HeaderBlockStatus::Ok:
      return u"";
    case HeaderBlockStatus::AttributeListMissing:
      return u"'cv_attribute_list' must be specified in Attribute Contract, if Authentication "
             u"Prefix is empty.";
    case HeaderBlockStatus::UnsafeCharacter:
      return u"Child request headers refused: a header holds a line break or a NUL";
    case HeaderBlockStatus::TooLarge:
      return u"Child request headers refused: larger than 50000 bytes";
    case HeaderBlockStatus::RequestHeadersUnavailable:
      return u"Child request headers refused: the request's own headers could not be read";
  }
  return u"";
}

namespace {

// Appends to `retained` every line of `raw_headers` that BuildRetainedHeaders keeps.
template <typename Char>
HeaderBlockStatus RetainHeaders(View<Char> raw_headers, std::u16string_view attribute_list,
                                const GateSettings& settings, std::basic_string<Char>& retained) {
  const std::u16string_view prefix = settings.AuthenticationPrefix;
  std::vector<std::u16string_view> items;
  if (prefix.empty()) {
    if (attribute_list.empty()) {
      return HeaderBlockStatus::AttributeListMissing;
    }
    items = AttributeItems(attribute_list);
  }
  View<Char> rest = raw_headers;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(Char(':'));
    if (colon == View<Char>::npos) {
      break;
    }
    const View<Char> name = rest.substr(0, colon);
    rest.remove_prefix(std::min(colon + 2, rest.size()));
    View<Char> value;
    if (const std::size_t crlf = FindLineEnd(rest); crlf != View<Char>::npos) {
      value = rest.substr(0, crlf);
      rest.remove_prefix(crlf + 2);
    } else {
      value = rest;
      rest = {};
    }
    bool drop = false;
    if (!prefix.empty()) {
      drop = StartsWithIgnoreCase(name, prefix);
    } else {
      for (std::u16string_view item : items) {
        if (EqualsIgnoreCase(name, item)) {
          drop = true;
          break;
        }
      }
    }
    if (drop) {
      continue;
    }
    if (HasLineBreakOrNul(name) || HasLineBreakOrNul(value)) {
      return HeaderBlockStatus::UnsafeCharacter;
    }
    if (settings.StripTokenCookie && EqualsIgnoreCase(name, u"Cookie")) {
      const std::basic_string<Char> kept = KeptCookies(value, settings.TesseraName);
      if (!kept.empty()) {
        retained.append(name).append(1, Char(':')).append(1, Char(' ')).append(kept);
        retained.append(1, Char('\r')).append(1, Char('\n'));
      }
      continue;
    }
    retained.append(name).append(1, Char(':')).append(1, Char(' ')).append(value);
    retained.append(1, Char('\r')).append(1, Char('\n'));
  }
  return HeaderBlockStatus::Ok;
}

// Appends the header string narrowed byte for unit (nothing when it holds a unit above U+00FF)
// to a block whose lines are well formed, and checks the whole against its area.
HeaderBlockStatus AppendAttributeHeaders(std::u16string_view header_string, std::string& block) {
  const std::size_t retained = block.size();
  if (text::AppendNarrowBytes(block, header_string) &&
      !WellFormedLines(std::string_view(block).substr(retained))) {
    block.clear();
    return HeaderBlockStatus::UnsafeCharacter;
  }
  if (block.size() >= kWorkAreaBytes) {
    block.clear();
    return HeaderBlockStatus::TooLarge;
  }
  return HeaderBlockStatus::Ok;
}

}  // namespace

HeaderBlockStatus BuildRetainedHeaders(std::u16string_view raw_headers,
                                       std::u16string_view attribute_list,
                                       const GateSettings& settings, std::u16string& retained) {
  retained.clear();
  retained.reserve(raw_headers.size());
  const HeaderBlockStatus status = RetainHeaders(raw_headers, attribute_list, settings, retained);
  if (status != HeaderBlockStatus::Ok) {
    retained.clear();
  }
  return status;
}

HeaderBlockStatus BuildChildHeaderBlock(std::u16string_view retained,
                                        std::u16string_view header_string, std::string& block) {
  block = text::ToAnsi(retained);
  if (!WellFormedLines(block)) {
    block.clear();
    return HeaderBlockStatus::UnsafeCharacter;
  }
  return AppendAttributeHeaders(header_string, block);
}

HeaderBlockStatus BuildChildHeaderBlockFromRaw(std::string_view raw_headers,
                                               std::u16string_view attribute_list,
                                               std::u16string_view header_string,
                                               const GateSettings& settings, std::string& block) {
  block.clear();
  if (!text::IsAscii(raw_headers)) {
    std::u16string retained;
    const HeaderBlockStatus status =
        BuildRetainedHeaders(text::FromAnsi(raw_headers), attribute_list, settings, retained);
    if (status != HeaderBlockStatus::Ok) {
      return status;
    }
    return BuildChildHeaderBlock(retained, header_string, block);
  }
  // ASCII headers are their own ANSI form: the kept lines go into the block as they are. Every
  // one of them is a name and a value without CR, LF or NUL joined by ": " and ended by CR LF, so
  // the lines of the block are well formed before the attribute headers are added.
  block.reserve(raw_headers.size() + header_string.size());
  const HeaderBlockStatus status = RetainHeaders(raw_headers, attribute_list, settings, block);
  if (status != HeaderBlockStatus::Ok) {
    block.clear();
    return status;
  }
  return AppendAttributeHeaders(header_string, block);
}

}  // namespace tokengate::gate
