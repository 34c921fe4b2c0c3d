#include "tokengate/gate/child_header_block.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
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

bool StartsWithIgnoreCase(std::u16string_view name, std::u16string_view prefix) {
  return name.size() >= prefix.size() &&
         text::EqualsIgnoreAsciiCase(name.substr(0, prefix.size()), prefix);
}

bool HasLineBreakOrNul(std::u16string_view text) {
  return std::any_of(text.begin(), text.end(), [](char16_t c) {
    return c <= u'\r' && (c == u'\r' || c == u'\n' || c == u'\0');
  });
}

// Position of the first CR LF in `text`, or npos.
std::size_t FindLineEnd(std::u16string_view text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == u'\r' && text[i + 1] == u'\n') {
      return i;
    }
  }
  return std::u16string_view::npos;
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

std::u16string WithoutCookie(std::u16string_view header, std::u16string_view name) {
  std::u16string out;
  std::u16string_view rest = header;
  while (!rest.empty()) {
    const std::size_t semicolon = rest.find(u';');
    const std::u16string_view piece = rest.substr(0, semicolon);
    rest =
        semicolon == std::u16string_view::npos ? std::u16string_view{} : rest.substr(semicolon + 1);
    if (IsCookieNamed(piece, name)) {
      continue;
    }
    if (!out.empty()) {
      out += u';';
    }
    // The first cookie kept loses the blank the separator before it carried.
    out += out.empty() && !piece.empty() && piece.front() == u' ' ? piece.substr(1) : piece;
  }
  return out;
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

HeaderBlockStatus BuildRetainedHeaders(std::u16string_view raw_headers,
                                       std::u16string_view attribute_list,
                                       const GateSettings& settings, std::u16string& retained) {
  retained.clear();
  const std::u16string_view prefix = settings.AuthenticationPrefix;
  std::vector<std::u16string_view> items;
  if (prefix.empty()) {
    if (attribute_list.empty()) {
      return HeaderBlockStatus::AttributeListMissing;
    }
    items = AttributeItems(attribute_list);
  }
  retained.reserve(raw_headers.size());
  std::u16string_view rest = raw_headers;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(u':');
    if (colon == std::u16string_view::npos) {
      break;
    }
    const std::u16string_view name = rest.substr(0, colon);
    rest.remove_prefix(std::min(colon + 2, rest.size()));
    std::u16string_view value;
    if (const std::size_t crlf = FindLineEnd(rest); crlf != std::u16string_view::npos) {
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
        if (text::EqualsIgnoreAsciiCase(item, name)) {
          drop = true;
          break;
        }
      }
    }
    if (drop) {
      continue;
    }
    if (HasLineBreakOrNul(name) || HasLineBreakOrNul(value)) {
      retained.clear();
      return HeaderBlockStatus::UnsafeCharacter;
    }
    if (settings.StripTokenCookie && text::EqualsIgnoreAsciiCase(name, u"Cookie")) {
      const std::u16string kept = WithoutCookie(value, settings.TesseraName);
      if (!kept.empty()) {
        retained.append(name).append(u": ").append(kept).append(u"\r\n");
      }
      continue;
    }
    retained.append(name).append(u": ").append(value).append(u"\r\n");
  }
  return HeaderBlockStatus::Ok;
}

HeaderBlockStatus BuildChildHeaderBlock(std::u16string_view retained,
                                        std::u16string_view header_string, std::string& block) {
  block = text::ToAnsi(retained);
  if (!WellFormedLines(block)) {
    block.clear();
    return HeaderBlockStatus::UnsafeCharacter;
  }
  const std::optional<std::string> attributes = text::NarrowBytes(header_string);
  if (attributes) {
    if (!WellFormedLines(*attributes)) {
      block.clear();
      return HeaderBlockStatus::UnsafeCharacter;
    }
    block += *attributes;
  }
  if (block.size() >= kWorkAreaBytes) {
    block.clear();
    return HeaderBlockStatus::TooLarge;
  }
  return HeaderBlockStatus::Ok;
}

}  // namespace tokengate::gate
