#include "tokengate/gate/request_values.h"

#include <array>
#include <span>

#include "tokengate/common/text.h"
#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/server_variable.h"

namespace tokengate::gate {

namespace {

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') {
    return c - u'0';
  }
  if (c >= u'a' && c <= u'f') {
    return c - u'a' + 10;
  }
  if (c >= u'A' && c <= u'F') {
    return c - u'A' + 10;
  }
  return -1;
}

// True when every "%" is followed by two hexadecimal digits.
bool Decodable(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%') {
      if (i + 2 >= text.size() || HexDigit(text[i + 1]) < 0 || HexDigit(text[i + 2]) < 0) {
        return false;
      }
      i += 2;
    }
  }
  return true;
}

// A decodable text whose decoded form is empty: nothing, or a first byte 0.
bool DecodesToEmpty(std::u16string_view text) {
  return text.empty() || text[0] == u'\0' || text.substr(0, 3) == u"%00";
}

// Plain ASCII without "%" decodes to itself on every code page.
bool DecodesToItself(std::u16string_view text) {
  for (char16_t c : text) {
    if (c == u'%' || c == u'\0' || c >= 0x80) {
      return false;
    }
  }
  return true;
}

bool DecodedEquals(std::u16string_view raw, std::u16string_view name) {
  if (DecodesToItself(raw)) {
    return raw == name;
  }
  const std::optional<std::u16string> decoded = PercentDecode(raw);
  return decoded && *decoded == name;
}

struct Piece {
  bool valid = false;
  std::u16string_view name;   // raw
  std::u16string_view value;  // raw; empty = unset
};

bool ValidEntry(std::u16string_view name, std::u16string_view value) {
  return Decodable(name) && !DecodesToEmpty(name) && Decodable(value);
}

// Splits a piece at its first "="; `valid` is false for a piece without one.
Piece SplitPiece(std::u16string_view piece) {
  const std::size_t eq = piece.find(u'=');
  if (eq == std::u16string_view::npos) {
    return {};
  }
  return {true, piece.substr(0, eq), piece.substr(eq + 1)};
}

Piece ParsePiece(std::u16string_view piece) {
  Piece out = SplitPiece(piece);
  out.valid = out.valid && ValidEntry(out.name, out.value);
  return out;
}

std::optional<std::u16string> DecodedValue(const Piece& piece) {
  if (piece.value.empty()) {
    return std::nullopt;  // unset
  }
  if (DecodesToItself(piece.value)) {
    return std::u16string(piece.value);
  }
  return PercentDecode(piece.value);
}

bool IsCookieBlank(char16_t c) {
  return c == u'\t' || c == u'\n' || c == u'\r' || c == u' ';
}

std::u16string_view SkipCookieBlanks(std::u16string_view piece) {
  std::size_t i = 0;
  while (i < piece.size() && IsCookieBlank(piece[i])) {
    ++i;
  }
  return piece.substr(i);
}

// Calls `visit(piece)` for every piece between separators, left to right, until it returns false.
template <typename Visit>
void ForEachPiece(std::u16string_view text, char16_t separator, Visit visit) {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    const std::u16string_view piece = text.substr(
        start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    if (!visit(piece) || end == std::u16string_view::npos) {
      return;
    }
    start = end + 1;
  }
}

bool Contains(const NameValueList& list, std::u16string_view name) {
  for (const auto& entry : list) {
    if (entry.first == name) {
      return true;
    }
  }
  return false;
}

std::u16string_view UpToNul(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

std::string_view UpToNul(std::string_view bytes) {
  return bytes.substr(0, bytes.find('\0'));
}

}  // namespace

std::optional<std::u16string> PercentDecode(std::u16string_view text) {
  const std::string utf8 = text::Utf16ToUtf8(text);
  std::string bytes;
  bytes.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    if (utf8[i] != '%') {
      bytes.push_back(utf8[i]);
      continue;
    }
    if (i + 2 >= utf8.size() || HexDigit(static_cast<unsigned char>(utf8[i + 1])) < 0 ||
        HexDigit(static_cast<unsigned char>(utf8[i + 2])) < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(HexDigit(static_cast<unsigned char>(utf8[i + 1])) * 16 +
                                      HexDigit(static_cast<unsigned char>(utf8[i + 2]))));
    i += 2;
  }
  return text::FromAnsi(UpToNul(std::string_view(bytes)));
}

NameValueList ParseQueryList(std::u16string_view text) {
  NameValueList list;
  bool valid = true;
  ForEachPiece(text, u'&', [&](std::u16string_view raw) {
    const Piece piece = ParsePiece(raw);
    if (!piece.valid) {
      valid = false;
      return false;
    }
    std::u16string name = *PercentDecode(piece.name);
    if (!Contains(list, name)) {
      list.emplace_back(std::move(name), DecodedValue(piece));
    }
    return true;
  });
  if (!valid) {
    list.clear();
  }
  return list;
}

NameValueList ParseCookieList(std::u16string_view text) {
  NameValueList list;
  ForEachPiece(text, u';', [&](std::u16string_view raw) {
    const Piece piece = ParsePiece(SkipCookieBlanks(raw));
    if (piece.valid) {
      std::u16string name = *PercentDecode(piece.name);
      if (!Contains(list, name)) {
        list.emplace_back(std::move(name), DecodedValue(piece));
      }
    }
    return true;
  });
  return list;
}

std::optional<std::u16string> FindInQueryText(std::u16string_view text, std::u16string_view name) {
  bool valid = true;
  bool found = false;
  Piece first;
  ForEachPiece(text, u'&', [&](std::u16string_view raw) {
    const Piece piece = ParsePiece(raw);
    if (!piece.valid) {
      valid = false;
      return false;
    }
    if (!found && DecodedEquals(piece.name, name)) {
      found = true;
      first = piece;
    }
    return true;
  });
  if (!valid || !found) {
    return std::nullopt;
  }
  return DecodedValue(first);
}

bool IsCookieNamed(std::u16string_view piece, std::u16string_view name) {
  const Piece parsed = ParsePiece(SkipCookieBlanks(piece));
  return parsed.valid && DecodedEquals(parsed.name, name);
}

std::optional<std::u16string> FindInCookieText(std::u16string_view text, std::u16string_view name) {
  std::optional<std::u16string> result;
  ForEachPiece(text, u';', [&](std::u16string_view raw) {
    // An invalid piece only hides itself, so only a piece of the wanted name needs checking.
    const Piece piece = SplitPiece(SkipCookieBlanks(raw));
    if (piece.valid && DecodedEquals(piece.name, name) && ValidEntry(piece.name, piece.value)) {
      result = DecodedValue(piece);
      return false;  // the first valid occurrence decides, also when its value is unset
    }
    return true;
  });
  return result;
}

std::optional<std::u16string> FindFormValue(IRequestHost& host, const GateEventLog& log,
                                            std::u16string_view name) {
  const std::string_view body = UpToNul(host.AvailableBody());
  if (body.size() >= kWorkAreaBytes) {
    log.Report(EventType::Warning, kFormBodyTooLarge);
    return std::nullopt;
  }
  return FindInQueryText(text::FromAnsi(body), name);
}

std::optional<std::u16string> FindQueryValue(IRequestHost& host, std::u16string_view name) {
  return FindInQueryText(UpToNul(text::FromAnsi(UpToNul(host.QueryString()))), name);
}

std::optional<std::u16string> FindCookieValue(IRequestHost& host, const GateSettings& settings,
                                              const GateEventLog& log, std::u16string_view name,
                                              std::optional<std::uint32_t>* error_response) {
  constexpr std::string_view kVariable = "HEADER_COOKIE";
  // The first read goes into a small area of its own; a larger header is read again into the
  // thread's reading area, given exactly the size the server asked for.
  std::array<char, kCookieFirstReadBytes> first;
  std::span<char> area(first);
  VariableRead read = host.GetServerVariable(kVariable, area);
  if (read.error == VariableError::InsufficientBuffer) {
    const bool too_large = read.size > kWorkAreaBytes;
    const bool larger = read.size > area.size();  // a host reporting less cannot be re-read
    if (!too_large && larger) {
      area = ThreadReadingArea().first(read.size);
      read = host.GetServerVariable(kVariable, area);
    }
    if (too_large || !larger || read.error != VariableError::None) {
      if (too_large) {
        log.Report(EventType::Error, kCookieHeaderTooLarge);
      }
      const std::uint32_t status = ErrorResponse(host, settings, log, kCookieHeaderProblem);
      if (error_response != nullptr) {
        *error_response = status;
      }
      return std::nullopt;
    }
  } else if (read.error != VariableError::None) {
    return std::nullopt;  // no cookie header
  }
  const std::size_t length = read.size > 0 && read.size <= area.size() ? read.size - 1 : 0;
  const std::string_view bytes = UpToNul(std::string_view(area.data(), length));
  return FindInCookieText(text::FromAnsi(bytes), name);
}

}  // namespace tokengate::gate
