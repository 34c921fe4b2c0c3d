#include "tokengate/common/text.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace tokengate::text {

namespace {
constexpr char16_t kReplacement = 0xFFFD;

// Writes the UTF-8 form of `cp` at `out` and returns the position after it.
char* PutUtf8(char* out, std::uint32_t cp) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Bulk copies between bytes and units, four at a time through 64-bit words, each returning the
// OR of everything it copied so that the caller learns in the same pass whether all of it was
// ASCII. Text at the boundaries nearly always is.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// out[i] = in[i] (byte to unit).
std::uint32_t WidenInto(const unsigned char* in, std::size_t n, char16_t* out) {
  std::uint32_t seen = 0;
  std::size_t i = 0;
  if constexpr (kLittleEndian) {
    for (; i + 4 <= n; i += 4) {
      std::uint32_t b;
      std::memcpy(&b, in + i, 4);
      seen |= b;
      const std::uint64_t w = std::uint64_t{b & 0xFFu} | (std::uint64_t{b & 0xFF00u} << 8) |
                              (std::uint64_t{b & 0xFF0000u} << 16) |
                              (std::uint64_t{b & 0xFF000000u} << 24);
      std::memcpy(out + i, &w, 8);
    }
    seen = (seen | (seen >> 8) | (seen >> 16) | (seen >> 24)) & 0xFFu;
  }
  for (; i < n; ++i) {
    seen |= in[i];
    out[i] = in[i];
  }
  return seen;
}

// out[i] = low byte of in[i] (unit to byte); the result tells whether any unit was above 0xFF.
std::uint32_t NarrowInto(const char16_t* in, std::size_t n, char* out) {
  std::uint64_t seen64 = 0;
  std::uint32_t seen = 0;
  std::size_t i = 0;
  if constexpr (kLittleEndian) {
    for (; i + 4 <= n; i += 4) {
      std::uint64_t w;
      std::memcpy(&w, in + i, 8);
      seen64 |= w;
      const auto b = static_cast<std::uint32_t>(
          (w & 0xFFu) | ((w >> 8) & 0xFF00u) | ((w >> 16) & 0xFF0000u) | ((w >> 24) & 0xFF000000u));
      std::memcpy(out + i, &b, 4);
    }
    seen = static_cast<std::uint32_t>((seen64 | (seen64 >> 16) | (seen64 >> 32) | (seen64 >> 48)) &
                                      0xFFFFu);
  }
  for (; i < n; ++i) {
    seen |= in[i];
    out[i] = static_cast<char>(static_cast<unsigned char>(in[i]));
  }
  return seen;
}

}  // namespace

// The output is sized once for the longest result and cut to what was written; text is mostly
// ASCII, which is copied unit by unit without any per-unit bookkeeping.
std::u16string Utf8ToUtf16(std::string_view in) {
  // Every byte yields at most one unit (a four-byte sequence yields two).
  std::u16string out(in.size(), u'\0');
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const std::size_t n = in.size();
  char16_t* o = out.data();
  if (WidenInto(s, n, o) < 0x80) {
    return out;
  }
  std::size_t i = 0;
  while (i < n) {
    if (s[i] < 0x80) {
      *o++ = s[i++];
      continue;
    }
    const unsigned char b0 = s[i];
    int extra = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
      extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
      *o++ = kReplacement;
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= n || (s[j] & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (s[j] & 0x3F);
    }
    if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      *o++ = kReplacement;
      i = ok ? j : i + 1;
      continue;
    }
    if (cp < 0x10000) {
      *o++ = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    i = j;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view in) {
  const std::size_t n = in.size();
  std::string out(n, '\0');
  if (NarrowInto(in.data(), n, out.data()) < 0x80) {
    return out;
  }
  // At most three bytes per unit (a surrogate pair, two units, gives four).
  out.assign(3 * n, '\0');
  char* o = out.data();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t cp = in[i];
    if (cp < 0x80) {
      *o++ = static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    o = PutUtf8(o, cp);
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

std::optional<std::string> NarrowBytes(std::u16string_view units) {
  std::string out(units.size(), '\0');
  if (NarrowInto(units.data(), units.size(), out.data()) > 0xFF) {
    return std::nullopt;
  }
  return out;
}

bool AppendNarrowBytes(std::string& out, std::u16string_view units) {
  const std::size_t at = out.size();
  out.resize(at + units.size());
  if (NarrowInto(units.data(), units.size(), out.data() + at) > 0xFF) {
    out.resize(at);
    return false;
  }
  return true;
}

std::u16string WidenBytes(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  WidenInto(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
  return out;
}

void WidenBytesInto(std::string_view bytes, char16_t* out) noexcept {
  WidenInto(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out);
}

bool IsAscii(std::string_view bytes) noexcept {
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  std::uint64_t seen = 0;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    seen |= w;
  }
  for (; i < bytes.size(); ++i) {
    seen |= static_cast<unsigned char>(bytes[i]);
  }
  return (seen & kHigh) == 0;
}

bool AppendAscii(std::string& out, std::u16string_view units) {
  const std::size_t at = out.size();
  out.resize(at + units.size());
  if (NarrowInto(units.data(), units.size(), out.data() + at) >= 0x80) {
    out.resize(at);
    return false;
  }
  return true;
}

char16_t AsciiLower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

bool EqualsIgnoreAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace tokengate::text
