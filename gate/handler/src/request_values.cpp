#include "tokengate/gate/request_values.h"

#include <algorithm>
#include <array>
#include <span>
#include <type_traits>

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

// The list scans below read units (char16_t) or, for text that is ASCII, its bytes (char): ASCII
// is the same text in every ANSI code page, byte for unit, so both give the same answers and the
// bytes need no conversion. Only the value that is asked for is widened. Bytes are scanned only
// once the whole text is known to be ASCII.
template <typename Char>
using View = std::basic_string_view<Char>;

template <typename Char>
char16_t Unit(Char c) {
  return static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(c));
}

// The UTF-16 form of a piece of list text.
std::u16string Widened(std::u16string_view text) {
  return std::u16string(text);
}
std::u16string Widened(std::string_view ascii) {
  return text::WidenBytes(ascii);
}

// True when every "%" is followed by two hexadecimal digits.
template <typename Char>
bool Decodable(View<Char> text) {
  for (std::size_t i = text.find(Char('%')); i != View<Char>::npos;
       i = text.find(Char('%'), i + 3)) {
    if (i + 2 >= text.size() || HexDigit(Unit(text[i + 1])) < 0 ||
        HexDigit(Unit(text[i + 2])) < 0) {
      return false;
    }
  }
  return true;
}

// A decodable text whose decoded form is empty: nothing, or a first byte 0.
template <typename Char>
bool DecodesToEmpty(View<Char> text) {
  return text.empty() || text[0] == Char('\0') ||
         (text.size() >= 3 && text[0] == Char('%') && text[1] == Char('0') && text[2] == Char('0'));
}

// Plain ASCII without "%" decodes to itself on every code page. Bytes are read only from text
// already known to be ASCII.
template <typename Char>
bool DecodesToItself(View<Char> text) {
  if constexpr (std::is_same_v<Char, char>) {
    return text.find('%') == View<Char>::npos && text.find('\0') == View<Char>::npos;
  } else {
    for (const Char c : text) {
      if (c == u'%' || c == u'\0' || c >= 0x80) {
        return false;
      }
    }
    return true;
  }
}

template <typename Char>
bool DecodedEquals(View<Char> raw, std::u16string_view name) {
  if (DecodesToItself(raw)) {
    return raw.size() == name.size() && std::equal(raw.begin(), raw.end(), name.begin(),
                                                   [](Char a, char16_t b) { return Unit(a) == b; });
  }
  const std::optional<std::u16string> decoded = PercentDecode(Widened(raw));
  return decoded && *decoded == name;
}

template <typename Char>
struct Piece {
  bool valid = false;
  View<Char> name;   // raw
  View<Char> value;  // raw; empty = unset
};

template <typename Char>
bool ValidEntry(View<Char> name, View<Char> value) {
  return Decodable(name) && !DecodesToEmpty(name) && Decodable(value);
}

// Splits a piece at its first "="; `valid` is false for a piece without one.
template <typename Char>
Piece<Char> SplitPiece(View<Char> piece) {
  const std::size_t eq = piece.find(Char('='));
  if (eq == View<Char>::npos) {
    return {};
  }
  return {true, piece.substr(0, eq), piece.substr(eq + 1)};
}

template <typename Char>
Piece<Char> ParsePiece(View<Char> piece) {
  Piece<Char> out = SplitPiece(piece);
  out.valid = out.valid && ValidEntry(out.name, out.value);
  return out;
}

template <typename Char>
std::optional<std::u16string> DecodedValue(const Piece<Char>& piece) {
  if (piece.value.empty()) {
    return std::nullopt;  // unset
  }
  if (DecodesToItself(piece.value)) {
    return Widened(piece.value);
  }
  return PercentDecode(Widened(piece.value));
}

template <typename Char>
bool IsCookieBlank(Char c) {
  return c == Char('\t') || c == Char('\n') || c == Char('\r') || c == Char(' ');
}

template <typename Char>
View<Char> SkipCookieBlanks(View<Char> piece) {
  std::size_t i = 0;
  while (i < piece.size() && IsCookieBlank(piece[i])) {
    ++i;
  }
  return piece.substr(i);
}

// Calls `visit(piece)` for every piece between separators, left to right, until it returns false.
template <typename Char, typename Visit>
void ForEachPiece(View<Char> text, Char separator, Visit visit) {
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    const View<Char> piece =
        text.substr(start, end == View<Char>::npos ? View<Char>::npos : end - start);
    if (!visit(piece) || end == View<Char>::npos) {
      return;
    }
    start = end + 1;
  }
}

template <typename Char>
std::optional<std::u16string> FindInQuery(View<Char> text, std::u16string_view name) {
  bool valid = true;
  bool found = false;
  Piece<Char> first;
  ForEachPiece(text, Char('&'), [&](View<Char> raw) {
    const Piece<Char> piece = ParsePiece(raw);
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

template <typename Char>
std::optional<std::u16string> FindInCookies(View<Char> text, std::u16string_view name) {
  std::optional<std::u16string> result;
  ForEachPiece(text, Char(';'), [&](View<Char> raw) {
    // An invalid piece only hides itself, so only a piece of the wanted name needs checking.
    const Piece<Char> piece = SplitPiece(SkipCookieBlanks(raw));
    if (piece.valid && DecodedEquals(piece.name, name) && ValidEntry(piece.name, piece.value)) {
      result = DecodedValue(piece);
      return false;  // the first valid occurrence decides, also when its value is unset
    }
    return true;
  });
  return result;
}

// A list text in the ANSI code page, searched as bytes when it is ASCII, otherwise converted.
std::optional<std::u16string> FindInAnsiQuery(std::string_view bytes, std::u16string_view name) {
  if (text::IsAscii(bytes)) {
    return FindInQuery(bytes, name);
  }
  return FindInQueryText(text::FromAnsi(bytes), name);
}

bool Contains(const NameValueList& list, std::u16string_view name) {
  for (const auto& entry : list) {
    if (entry.first == name) {
      return true;
    }
  }
  return false;
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
    const Piece<char16_t> piece = ParsePiece(raw);
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
    const Piece<char16_t> piece = ParsePiece(SkipCookieBlanks(raw));
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
  return FindInQuery(text, name);
}

bool IsCookieNamed(std::u16string_view piece, std::u16string_view name) {
  const Piece<char16_t> parsed = ParsePiece(SkipCookieBlanks(piece));
  return parsed.valid && DecodedEquals(parsed.name, name);
}

bool IsCookieNamed(std::string_view piece, std::u16string_view name) {
  if (!text::IsAscii(piece)) {
    return IsCookieNamed(text::FromAnsi(piece), name);
  }
  const Piece<char> parsed = ParsePiece(SkipCookieBlanks(piece));
  return parsed.valid && DecodedEquals(parsed.name, name);
}

std::optional<std::u16string> FindInCookieText(std::u16string_view text, std::u16string_view name) {
  return FindInCookies(text, name);
}

std::optional<std::u16string> FindFormValue(IRequestHost& host, const GateEventLog& log,
                                            std::u16string_view name) {
  const std::string_view body = UpToNul(host.AvailableBody());
  if (body.size() >= kWorkAreaBytes) {
    log.Report(EventType::Warning, kFormBodyTooLarge);
    return std::nullopt;
  }
  return FindInAnsiQuery(body, name);
}

std::optional<std::u16string> FindQueryValue(IRequestHost& host, std::u16string_view name) {
  return FindInAnsiQuery(UpToNul(host.QueryString()), name);
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
  if (text::IsAscii(bytes)) {
    return FindInCookies(bytes, name);
  }
  return FindInCookieText(text::FromAnsi(bytes), name);
}

}  // namespace tokengate::gate
