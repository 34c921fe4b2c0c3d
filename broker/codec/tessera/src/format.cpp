// Token layout (all integers big-endian):
//   header   = version (1) | key-id length (1) | key id (1..32, [A-Za-z0-9._-])
//   token    = base64url( header | nonce (12) | ciphertext | tag (16) ), no padding
//   AAD      = header
//   payload  = count (2) | count x ( name length (2) | name UTF-8 |
//                                    value count (2) | value count x ( length (2) | UTF-8 ) )
// Every length is checked against what is left before anything is read; trailing bytes,
// malformed UTF-8 and repeated names are refused.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "tessera/tessera.h"

namespace tessera::format {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr std::size_t kMaxField = 0xFFFF;

// Value of each base64url character, -1 for every other byte.
constexpr std::array<std::int8_t, 256> kDecode = [] {
  std::array<std::int8_t, 256> t{};
  t.fill(-1);
  for (int i = 0; i < 64; ++i) {
    t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  }
  return t;
}();

// Strict UTF-16 -> UTF-8; nullopt on a lone surrogate. Sized once for the longest result (at
// most three bytes per unit) and cut to what was written.
std::optional<std::string> ToUtf8(std::u16string_view in) {
  std::string out(in.size() * 3, '\0');
  char* o = out.data();
  for (std::size_t i = 0; i < in.size(); ++i) {
    std::uint32_t cp = in[i];
    if (cp < 0x80) {
      *o++ = static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF)
        return std::nullopt;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return std::nullopt;
    }
    if (cp < 0x800) {
      *o++ = static_cast<char>(0xC0 | (cp >> 6));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *o++ = static_cast<char>(0xE0 | (cp >> 12));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *o++ = static_cast<char>(0xF0 | (cp >> 18));
      *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

// Strict UTF-8 -> UTF-16; nullopt on any malformed, overlong or surrogate sequence. Every byte
// gives at most one unit, so the output is sized once and cut to what was written.
std::optional<std::u16string> FromUtf8(std::span<const std::uint8_t> in) {
  std::u16string out(in.size(), u'\0');
  char16_t* o = out.data();
  std::size_t i = 0;
  while (i < in.size()) {
    // Runs of ASCII, eight bytes at a time.
    while (in.size() - i >= 8) {
      std::uint64_t word;
      std::memcpy(&word, in.data() + i, 8);
      if ((word & 0x8080808080808080u) != 0)
        break;
      for (std::size_t k = 0; k < 8; ++k)
        o[k] = in[i + k];
      o += 8;
      i += 8;
    }
    if (i == in.size())
      break;
    const std::uint8_t b0 = in[i];
    if (b0 < 0x80) {
      *o++ = b0;
      ++i;
      continue;
    }
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
      extra = 1, cp = b0 & 0x1Fu, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2, cp = b0 & 0x0Fu, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3, cp = b0 & 0x07u, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (in.size() - i - 1 < extra)
      return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((in[i + k] & 0xC0) != 0x80)
        return std::nullopt;
      cp = (cp << 6) | (in[i + k] & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return std::nullopt;
    if (cp < 0x10000) {
      *o++ = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    i += extra + 1;
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

void PutU16(std::vector<std::uint8_t>& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void PutText(std::vector<std::uint8_t>& out, std::u16string_view text) {
  const auto utf8 = ToUtf8(text);
  if (!utf8)
    throw TokenException("Attribute text is not valid UTF-16.");
  if (utf8->size() > kMaxField)
    throw TokenException("Attribute text is too long for a token.");
  PutU16(out, utf8->size());
  out.insert(out.end(), utf8->begin(), utf8->end());
}

std::vector<std::uint8_t> EncodePayload(const MultiStringDictionary& attributes) {
  if (attributes.size() > kMaxField)
    throw TokenException("Too many attributes for a token.");
  std::vector<std::uint8_t> out;
  PutU16(out, attributes.size());
  for (const auto& entry : attributes) {
    PutText(out, entry.name);
    if (entry.values.size() > kMaxField)
      throw TokenException("Too many values for a token.");
    PutU16(out, entry.values.size());
    for (const auto& value : entry.values)
      PutText(out, value);
  }
  return out;
}

// Bounds-checked reader over the decrypted payload.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
  std::optional<std::size_t> U16() {
    if (data_.size() - pos_ < 2)
      return std::nullopt;
    const std::size_t v = (std::size_t{data_[pos_]} << 8) | data_[pos_ + 1];
    pos_ += 2;
    return v;
  }
  std::optional<std::u16string> Text() {
    const auto len = U16();
    if (!len || data_.size() - pos_ < *len)
      return std::nullopt;
    auto text = FromUtf8(data_.subspan(pos_, *len));
    pos_ += *len;
    return text;
  }
  bool AtEnd() const { return pos_ == data_.size(); }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

std::optional<MultiStringDictionary> DecodePayload(std::span<const std::uint8_t> data) {
  Reader in(data);
  const auto count = in.U16();
  if (!count)
    return std::nullopt;
  MultiStringDictionary out;
  // Every attribute takes at least four bytes (two lengths), so the count is checked against
  // what is there before room is made for it.
  if (*count > (data.size() - 2) / 4)
    return std::nullopt;
  out.Reserve(*count);
  for (std::size_t i = 0; i < *count; ++i) {
    auto name = in.Text();
    if (!name || out.Contains(*name))
      return std::nullopt;
    const auto values = in.U16();
    if (!values)
      return std::nullopt;
    MultiStringDictionary::Values list;
    for (std::size_t v = 0; v < *values; ++v) {
      auto value = in.Text();
      if (!value)
        return std::nullopt;
      list.push_back(std::move(*value));
    }
    out.Set(*name, std::move(list));
  }
  if (!in.AtEnd())
    return std::nullopt;
  return out;
}

struct Parsed {
  Header header;
  std::size_t headerBytes = 0;
};

std::optional<Parsed> ParseHeader(std::span<const std::uint8_t> raw) {
  if (raw.size() < 2)
    return std::nullopt;
  Parsed p;
  p.header.version = raw[0];
  const std::size_t idLen = raw[1];
  if (raw.size() - 2 < idLen)
    return std::nullopt;
  p.header.keyId.assign(reinterpret_cast<const char*>(raw.data() + 2), idLen);
  p.headerBytes = 2 + idLen;
  return p;
}

struct WipeOnExit {
  std::vector<std::uint8_t>& bytes;
  ~WipeOnExit() { crypto::Wipe(bytes); }
};

}  // namespace

std::string Base64UrlEncode(std::span<const std::uint8_t> bytes) {
  const std::size_t whole = bytes.size() / 3;
  const std::size_t rest = bytes.size() % 3;
  std::string out(whole * 4 + (rest == 0 ? 0 : rest + 1), '\0');
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t v =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  if (rest == 1) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
  } else if (rest == 2) {
    const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
  }
  return out;
}

std::optional<std::vector<std::uint8_t>> Base64UrlDecode(std::string_view text) {
  const std::size_t rest = text.size() % 4;
  if (rest == 1)
    return std::nullopt;
  // Four characters give three bytes; a final two or three give one or two.
  std::vector<std::uint8_t> out(text.size() / 4 * 3 + (rest == 0 ? 0 : rest - 1));
  std::uint8_t* o = out.data();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t whole = text.size() - rest;
  for (std::size_t i = 0; i < whole; i += 4) {
    const int a = kDecode[in[i]], b = kDecode[in[i + 1]], c = kDecode[in[i + 2]],
              d = kDecode[in[i + 3]];
    if ((a | b | c | d) < 0)
      return std::nullopt;
    const std::uint32_t v = (static_cast<std::uint32_t>(a) << 18) |
                            (static_cast<std::uint32_t>(b) << 12) |
                            (static_cast<std::uint32_t>(c) << 6) | static_cast<std::uint32_t>(d);
    *o++ = static_cast<std::uint8_t>(v >> 16);
    *o++ = static_cast<std::uint8_t>(v >> 8);
    *o++ = static_cast<std::uint8_t>(v);
  }
  if (rest != 0) {
    const int a = kDecode[in[whole]], b = kDecode[in[whole + 1]];
    const int c = rest == 3 ? kDecode[in[whole + 2]] : 0;
    if ((a | b | c) < 0)
      return std::nullopt;
    const std::uint32_t v = (static_cast<std::uint32_t>(a) << 18) |
                            (static_cast<std::uint32_t>(b) << 12) |
                            (static_cast<std::uint32_t>(c) << 6);
    // Leftover bits must be zero, so that every byte string has exactly one encoding.
    if ((rest == 2 && (v & 0xFFFF) != 0) || (rest == 3 && (v & 0xFF) != 0))
      return std::nullopt;
    *o++ = static_cast<std::uint8_t>(v >> 16);
    if (rest == 3)
      *o++ = static_cast<std::uint8_t>(v >> 8);
  }
  return out;
}

std::optional<Header> PeekHeader(std::string_view token) {
  if (token.size() > kMaxTokenChars)
    return std::nullopt;
  const auto raw = Base64UrlDecode(token);
  if (!raw)
    return std::nullopt;
  const auto parsed = ParseHeader(*raw);
  if (!parsed)
    return std::nullopt;
  return parsed->header;
}

std::string Seal(const AgentConfiguration& configuration, const MultiStringDictionary& attributes) {
  const std::string& keyId = configuration.WriteKeyId();
  const SecretKey* key = configuration.FindKey(keyId);
  if (key == nullptr)
    throw ConfigurationException("The write key is not configured.");

  std::vector<std::uint8_t> header{kVersion, static_cast<std::uint8_t>(keyId.size())};
  header.insert(header.end(), keyId.begin(), keyId.end());
  std::array<std::uint8_t, crypto::kNonceBytes> nonce{};
  crypto::RandomBytes(nonce);

  auto payload = EncodePayload(attributes);
  WipeOnExit wipe{payload};
  const auto sealed = crypto::SealAes256Gcm(key->bytes(), nonce, header, payload);

  std::vector<std::uint8_t> raw = header;
  raw.insert(raw.end(), nonce.begin(), nonce.end());
  raw.insert(raw.end(), sealed.begin(), sealed.end());
  std::string token = Base64UrlEncode(raw);
  if (token.size() > kMaxTokenChars) {
    throw TokenException("Token would be longer than " + std::to_string(kMaxTokenChars) +
                         " characters.");
  }
  return token;
}

MultiStringDictionary Open(const AgentConfiguration& configuration, std::string_view token) {
  if (token.empty())
    throw TokenException("Token is empty.");
  if (token.size() > kMaxTokenChars)
    throw TokenException("Token is too long.");
  const auto raw = Base64UrlDecode(token);
  if (!raw)
    throw TokenException("Token is not valid base64url.");
  const auto parsed = ParseHeader(*raw);
  if (!parsed)
    throw TokenException("Token is truncated.");
  if (parsed->header.version != kVersion) {
    throw TokenException("Token version " + std::to_string(parsed->header.version) +
                         " is not supported.");
  }
  const auto rest = std::span<const std::uint8_t>(*raw).subspan(parsed->headerBytes);
  if (rest.size() < crypto::kNonceBytes + crypto::kTagBytes) {
    throw TokenException("Token is truncated.");
  }
  // The key id came from outside: it is only compared, never echoed into messages.
  const SecretKey* key = AgentConfiguration::IsValidKeyId(parsed->header.keyId)
                             ? configuration.FindKey(parsed->header.keyId)
                             : nullptr;
  if (key == nullptr)
    throw TokenException("Token key id is not configured.");

  const auto header = std::span<const std::uint8_t>(*raw).first(parsed->headerBytes);
  auto plain = crypto::OpenAes256Gcm(key->bytes(), rest.first(crypto::kNonceBytes), header,
                                     rest.subspan(crypto::kNonceBytes));
  if (!plain)
    throw TokenException("Token authentication failed.");
  WipeOnExit wipe{*plain};
  auto attributes = DecodePayload(*plain);
  if (!attributes)
    throw TokenException("Token payload is malformed.");
  return std::move(*attributes);
}

std::u16string FormatUtc(std::chrono::sys_seconds t) {
  using namespace std::chrono;
  const auto day = floor<days>(t);
  const year_month_day ymd(day);
  const hh_mm_ss hms(t - day);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()));
  std::u16string out;
  for (const char* p = buf; *p != '\0'; ++p)
    out.push_back(static_cast<char16_t>(*p));
  return out;
}

std::optional<std::chrono::sys_seconds> ParseUtc(std::u16string_view s) {
  using namespace std::chrono;
  // YYYY-MM-DDTHH:MM:SSZ
  if (s.size() != 20 || s[4] != u'-' || s[7] != u'-' || s[10] != u'T' || s[13] != u':' ||
      s[16] != u':' || s[19] != u'Z') {
    return std::nullopt;
  }
  auto num = [&](std::size_t at, std::size_t len) -> std::optional<int> {
    int v = 0;
    for (std::size_t i = at; i < at + len; ++i) {
      if (s[i] < u'0' || s[i] > u'9')
        return std::nullopt;
      v = v * 10 + (s[i] - u'0');
    }
    return v;
  };
  const auto y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2),
             se = num(17, 2);
  if (!y || !mo || !d || !h || !mi || !se || *y < 1 || *h > 23 || *mi > 59 || *se > 59) {
    return std::nullopt;
  }
  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)},
                           day{static_cast<unsigned>(*d)}};
  if (!ymd.ok())
    return std::nullopt;
  return sys_days(ymd) + hours{*h} + minutes{*mi} + seconds{*se};
}

}  // namespace tessera::format
