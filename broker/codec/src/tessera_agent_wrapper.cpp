#include "tokengate/broker/codec/tessera_agent_wrapper.h"

#include <algorithm>
#include <array>
#include <string>

#include "tessera/tessera.h"
#include "tokengate/common/authenticator.h"
#include "tokengate/common/text.h"

namespace tokengate::broker {
namespace {

using std::chrono::seconds;
using std::chrono::sys_seconds;

// 8-bit work text with a fixed capacity (terminating NUL included), allocated once per call.
class WorkText {
 public:
  explicit WorkText(std::size_t capacity) : capacity_(capacity) { text_.reserve(capacity); }
  // False, leaving the text as it was, when `s` would not fit with the terminating NUL.
  bool Append(std::string_view s) {
    if (s.size() >= capacity_ - text_.size())
      return false;
    text_.append(s);
    return true;
  }
  const std::string& str() const { return text_; }

 private:
  std::size_t capacity_;
  std::string text_;
};

enum class Narrowed { kOk, kWide, kControl };

// Byte-for-unit narrowing of an attribute name or value. A text with a unit above U+00FF, or
// with CR, LF or NUL (which would break the header line apart), becomes empty as a whole; the
// first such unit decides which of the two it is.
Narrowed NarrowAttributeText(std::u16string_view in, std::string& out) {
  out.resize(in.size());
  char* o = out.data();
  for (std::size_t i = 0; i < in.size(); ++i) {
    const char16_t c = in[i];
    if (c > 0xFF) {
      out.clear();
      return Narrowed::kWide;
    }
    if (c == u'\r' || c == u'\n' || c == u'\0') {
      out.clear();
      return Narrowed::kControl;
    }
    o[i] = static_cast<char>(c);
  }
  return Narrowed::kOk;
}

// Writes `units` with a terminating NUL into an output array and sets its length.
void WriteOut(std::u16string_view units, std::int32_t* length, char16_t* out) {
  if (out != nullptr) {
    std::copy(units.begin(), units.end(), out);
    out[units.size()] = u'\0';
  }
  if (length != nullptr)
    *length = static_cast<std::int32_t>(units.size());
}

// Writes 8-bit text widened byte for unit, with a terminating NUL, into an output array.
void WriteWidened(std::string_view bytes, std::int32_t* length, char16_t* out) {
  if (out != nullptr) {
    text::WidenBytesInto(bytes, out);
    out[bytes.size()] = u'\0';
  }
  if (length != nullptr)
    *length = static_cast<std::int32_t>(bytes.size());
}

bool IsAscii(std::string_view bytes) {
  return std::all_of(bytes.begin(), bytes.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::u16string Position(std::size_t index) {
  return text::WidenBytes(std::to_string(index));
}

// HTTP token characters (RFC 9110 "tchar").
constexpr std::array<bool, 256> kTchar = [] {
  std::array<bool, 256> t{};
  for (int c = '0'; c <= '9'; ++c)
    t[static_cast<std::size_t>(c)] = true;
  for (int c = 'A'; c <= 'Z'; ++c)
    t[static_cast<std::size_t>(c)] = true;
  for (int c = 'a'; c <= 'z'; ++c)
    t[static_cast<std::size_t>(c)] = true;
  for (const char c : std::string_view("!#$%&'*+-.^_`|~"))
    t[static_cast<unsigned char>(c)] = true;
  return t;
}();

}  // namespace

CTesseraAgentWrapper::CTesseraAgentWrapper(WrapperClock clock,
                                           const tessera::PropertiesFileSource* source)
    : clock_(clock ? std::move(clock) : WrapperClock(tessera::SystemNow)),
      source_(source != nullptr ? source : &tessera::CheckedPropertiesFileSource()) {}

bool CTesseraAgentWrapper::IsHeaderFieldName(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(),
                                      [](char c) { return kTchar[static_cast<unsigned char>(c)]; });
}

sys_seconds CTesseraAgentWrapper::ParseDateTime(std::u16string_view s) {
  using namespace std::chrono;
  const auto fail = [] { return DateTimeFormatError("not-on-or-after is not a date-time"); };
  while (!s.empty() && (s.front() == u' ' || s.front() == u'\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\t'))
    s.remove_suffix(1);
  std::size_t pos = 0;
  const auto digits = [&](std::size_t n) -> int {
    if (s.size() - pos < n)
      throw fail();
    int v = 0;
    for (std::size_t i = 0; i < n; ++i, ++pos) {
      if (s[pos] < u'0' || s[pos] > u'9')
        throw fail();
      v = v * 10 + (s[pos] - u'0');
    }
    return v;
  };
  const auto expect = [&](char16_t c) {
    if (pos >= s.size() || s[pos] != c)
      throw fail();
    ++pos;
  };
  const int y = digits(4);
  expect(u'-');
  const int mo = digits(2);
  expect(u'-');
  const int d = digits(2);
  int h = 0, mi = 0, se = 0;
  if (pos < s.size() && (s[pos] == u'T' || s[pos] == u't' || s[pos] == u' ')) {
    ++pos;
    h = digits(2);
    expect(u':');
    mi = digits(2);
    if (pos < s.size() && s[pos] == u':') {
      ++pos;
      se = digits(2);
      if (pos < s.size() && (s[pos] == u'.' || s[pos] == u',')) {
        ++pos;
        const std::size_t start = pos;
        while (pos < s.size() && s[pos] >= u'0' && s[pos] <= u'9')
          ++pos;
        if (pos == start)
          throw fail();
      }
    }
  }
  int offsetSeconds = 0;
  if (pos < s.size() && (s[pos] == u'Z' || s[pos] == u'z')) {
    ++pos;
  } else if (pos < s.size() && (s[pos] == u'+' || s[pos] == u'-')) {
    const int sign = s[pos] == u'+' ? 1 : -1;
    ++pos;
    const int oh = digits(2);
    if (pos < s.size() && s[pos] == u':')
      ++pos;
    const int om = digits(2);
    if (oh > 23 || om > 59)
      throw fail();
    offsetSeconds = sign * (oh * 3600 + om * 60);
  }
  if (pos != s.size() || y < 1 || h > 23 || mi > 59 || se > 59)
    throw fail();
  const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)},
                           day{static_cast<unsigned>(d)}};
  if (!ymd.ok())
    throw fail();
  return sys_days(ymd) + hours{h} + minutes{mi} + seconds{se} - seconds{offsetSeconds};
}

std::u16string CTesseraAgentWrapper::ReadToken(
    const std::u16string& TesseraConfig, const std::u16string& Tessera,
    const std::u16string& AuthnPrefix, std::int32_t TokenUpdateWindow, std::u16string& userId,
    std::u16string& realm, std::int32_t* pUpdatedToken_Length, char16_t* pUpdatedToken,
    std::int32_t* pHeader_Length, char16_t* pHeader, std::int32_t* pAttributeList_Length,
    char16_t* pAttributeList, bool& expired, const WrapperWarningFn& warn) {
  // Step 1.
  expired = false;
  if (pAttributeList_Length != nullptr)
    *pAttributeList_Length = 0;
  WorkText header(static_cast<std::size_t>(rpc::kHeaderCapacity));
  WorkText attributeList(static_cast<std::size_t>(rpc::kAttributeListCapacity));
  const auto report = [&](const std::u16string& message) {
    if (warn)
      warn(message);
  };

  try {
    // Step 2: the codec's text type is the system code page.
    const std::string path = text::ToAnsi(TesseraConfig);
    const std::string token = text::ToAnsi(Tessera);

    // Step 3.
    const tessera::AgentConfiguration configuration(path, *source_);
    const tessera::Agent agent(configuration, clock_);
    const tessera::MultiStringDictionary attributes = agent.ReadTokenMultiStringDictionary(token);

    // Step 4.
    const std::string prefix = text::ToAnsi(AuthnPrefix);
    sys_seconds expiry = std::chrono::sys_days(std::chrono::year{1} / 1 / 1);
    std::string name;
    std::string value;
    std::string line;
    std::size_t index = 0;
    for (const auto& entry : attributes) {
      ++index;
      if (entry.values.empty()) {
        throw AttributeWithoutValuesError("a Tessera attribute has no values");
      }
      const std::u16string& first = entry.values.front();
      if (entry.name == u"subject") {
        userId = first;
      } else if (entry.name == u"realm") {
        realm = first;
      } else if (entry.name == u"not-on-or-after") {
        expiry = ParseDateTime(first);
      } else if (entry.name == u"cv_attribute_list") {
        if (!attributeList.Append(text::ToAnsi(first))) {
          return u"Attribute list exceeds " + Position(rpc::kMaxAttributeListUnits) +
                 u" characters.";
        }
        WriteWidened(attributeList.str(), pAttributeList_Length, pAttributeList);
      }

      // The header line: prefix, name, ": ", value part, CR LF.
      const Narrowed nameKind = NarrowAttributeText(entry.name, name);
      line.assign(prefix).append(name);
      if (name.empty() || !IsHeaderFieldName(line)) {
        report(u"Tessera attribute " + Position(index) +
               (nameKind == Narrowed::kControl ? u": name holds CR, LF or NUL"
                                               : u": name is not a valid header field name") +
               u"; its header line is left out.");
        continue;
      }
      line.append(": ");
      if (entry.values.size() > 1)
        line.push_back('[');
      for (std::size_t v = 0; v < entry.values.size(); ++v) {
        if (v > 0)
          line.push_back(',');
        if (NarrowAttributeText(entry.values[v], value) == Narrowed::kControl) {
          report(u"Tessera attribute " + Position(index) + u" (" + text::WidenBytes(name) +
                 u"): a value holding CR, LF or NUL is written as empty.");
        }
        line.append(value);
      }
      if (entry.values.size() > 1)
        line.push_back(']');
      line.append("\r\n");
      if (!header.Append(line)) {
        return u"Header string exceeds " + Position(rpc::kMaxHeaderUnits) + u" characters.";
      }
    }

    // Step 5.
    WriteWidened(header.str(), pHeader_Length, pHeader);

    // Steps 6 and 7.
    std::string reissued;
    std::string_view updated = token;
    if (TokenUpdateWindow != rpc::kNeverReissue) {
      const sys_seconds freshExpiry = clock_() + seconds{configuration.TokenLifetime()};
      const sys_seconds threshold = expiry + seconds{TokenUpdateWindow};
      if (freshExpiry > threshold) {
        reissued = agent.WriteToken(attributes);
        updated = reissued;
      }
    }

    // Step 8. A token the codec read or wrote is base64url, plain ASCII, whose units are its
    // bytes; anything else goes through the code page.
    const auto tooLong = [] {
      return u"Updated token exceeds " + Position(rpc::kMaxUpdatedTokenUnits) + u" characters.";
    };
    if (IsAscii(updated)) {
      if (updated.size() > static_cast<std::size_t>(rpc::kMaxUpdatedTokenUnits))
        return tooLong();
      WriteWidened(updated, pUpdatedToken_Length, pUpdatedToken);
      return {};
    }
    const std::u16string updatedUnits = text::FromAnsi(updated);
    if (updatedUnits.size() > static_cast<std::size_t>(rpc::kMaxUpdatedTokenUnits))
      return tooLong();
    WriteOut(updatedUnits, pUpdatedToken_Length, pUpdatedToken);
    return {};
  } catch (const tessera::TokenException& e) {
    return text::FromAnsi(e.what());
  } catch (const tessera::TokenExpiredException& e) {
    expired = true;
    WriteOut(rpc::kSessionExpired, pUpdatedToken_Length, pUpdatedToken);
    return text::FromAnsi(e.what());
  } catch (const tessera::FileNotFoundException& e) {
    return text::FromAnsi(e.what());
  }
}

}  // namespace tokengate::broker
