// The readings of a request path that IIS, or a handler or backend behind it, may act on.
#include "path_views.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "tokengate/common/text.h"

namespace tokengate::isapi {
namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// An ASP.NET cookieless token: "(" then one or more "X(...)" with X a letter, then ")".
bool IsCookielessToken(std::string_view segment) {
  if (segment.size() < 5 || segment.front() != '(' || segment.back() != ')')
    return false;
  std::string_view inner = segment.substr(1, segment.size() - 2);
  while (!inner.empty()) {
    const char letter = inner[0];
    if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z')) ||
        inner.size() < 3 || inner[1] != '(') {
      return false;
    }
    const std::size_t close = inner.find(')', 2);
    if (close == std::string_view::npos ||
        inner.substr(2, close - 2).find('(') != std::string_view::npos)
      return false;
    inner.remove_prefix(close + 1);
  }
  return true;
}

// Raw bytes a client percent-encoded are UTF-8 as a rule; IIS gives its variables in the ANSI
// code page. Decoded text that is valid UTF-8 beyond ASCII is converted the same way, so that the
// readings compare with "URL".
std::string AsAnsi(std::string bytes) {
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; }) ||
      bytes.size() > INT_MAX) {
    return bytes;
  }
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                          static_cast<int>(bytes.size()), nullptr, 0) <= 0) {
    return bytes;  // not UTF-8: IIS reads such bytes in the code page itself
  }
  std::string ansi = text::ToAnsi(text::Utf8ToUtf16(bytes));
  return ansi.empty() ? bytes : ansi;
}

// Cuts ";params" off every segment of a raw path, before any decoding (the way servlet containers
// read path parameters).
std::string CutRawParams(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  bool inParams = false;
  for (const char c : path) {
    if (IsSeparator(c))
      inParams = false;
    else if (c == ';')
      inParams = true;
    if (!inParams)
      out.push_back(c);
  }
  return out;
}

}  // namespace

std::string PercentDecodeOnce(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%') {
      if (i + 5 < text.size() && (text[i + 1] == 'u' || text[i + 1] == 'U') &&
          Hex(text[i + 2]) >= 0 && Hex(text[i + 3]) >= 0 && Hex(text[i + 4]) >= 0 &&
          Hex(text[i + 5]) >= 0) {
        const int value = (Hex(text[i + 2]) << 12) | (Hex(text[i + 3]) << 8) |
                          (Hex(text[i + 4]) << 4) | Hex(text[i + 5]);
        if (value < 0x80) {
          c = static_cast<char>(value);
          i += 5;
        }
      } else if (i + 2 < text.size() && Hex(text[i + 1]) >= 0 && Hex(text[i + 2]) >= 0) {
        c = static_cast<char>((Hex(text[i + 1]) << 4) | Hex(text[i + 2]));
        i += 2;
      }
    }
    out.push_back(c);
  }
  return out;
}

std::string ResolvePath(std::string_view path, bool cutParams) {
  std::vector<std::string_view> segments;
  bool endsAsFolder = false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end]))
      ++end;
    std::string_view segment = path.substr(start, end - start);
    start = end + 1;
    if (cutParams)
      segment = segment.substr(0, segment.find(';'));
    // Only dots and blanks: "." or, with two dots or more, ".." (the file system reads ". " and
    // "... " so); otherwise trailing dots and blanks are no part of a file name.
    const bool dotsOnly =
        !segment.empty() && segment.find_first_not_of(". ") == std::string_view::npos;
    if (!dotsOnly) {
      const std::size_t last = segment.find_last_not_of(". ");
      segment = last == std::string_view::npos ? std::string_view() : segment.substr(0, last + 1);
    }
    endsAsFolder = true;
    if (segment.empty() || IsCookielessToken(segment))
      continue;
    if (dotsOnly) {
      if (std::count(segment.begin(), segment.end(), '.') >= 2 && !segments.empty())
        segments.pop_back();
      continue;
    }
    segments.push_back(segment);
    endsAsFolder = false;
  }
  std::string out;
  for (const std::string_view segment : segments) {
    out += '/';
    out += segment;
  }
  if (out.empty() || endsAsFolder)
    out += '/';
  return out;
}

std::vector<std::string> PathViews(std::string_view url, const std::vector<std::string>& raw) {
  std::vector<std::string> views;
  const auto add = [&](std::string view) {
    if (view != url && std::find(views.begin(), views.end(), view) == views.end())
      views.push_back(std::move(view));
  };
  // IIS's own reading, as the file system and ASP.NET take it further.
  if (!url.empty()) {
    add(ResolvePath(url, false));
    add(ResolvePath(url, true));
  }
  // A decoded path read whole and, where a decoded NUL ends a backend's string, up to it.
  const auto addResolved = [&](const std::string& decoded) {
    const std::size_t nul = decoded.find('\0');
    for (const std::string& text :
         {decoded, nul != std::string::npos ? decoded.substr(0, nul) : std::string()}) {
      if (text.empty())
        continue;
      // Resolved as bytes, and resolved after the code page's best fit has turned full-width
      // forms such as U+FF0E and U+FF0F into "." and "/" (as "URL" itself may show them).
      const std::string ansi = AsAnsi(text);
      for (const bool cut : {false, true}) {
        add(AsAnsi(ResolvePath(text, cut)));
        add(ResolvePath(ansi, cut));
      }
    }
  };
  for (const std::string& path : raw) {
    // What a proxy forwards, and what a backend makes of it decoding once or twice, with path
    // parameters read off after or before decoding.
    add(path);
    const std::string once = PercentDecodeOnce(path);
    addResolved(once);
    addResolved(PercentDecodeOnce(CutRawParams(path)));
    if (once.find('%') != std::string::npos)
      addResolved(PercentDecodeOnce(once));
  }
  return views;
}

}  // namespace tokengate::isapi
