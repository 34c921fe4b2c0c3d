#include "tokengate/gate/signon_redirect.h"

#include <algorithm>
#include <optional>
#include <span>

#include "tokengate/common/text.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/server_variable.h"

namespace tokengate::gate {

namespace {

bool KeptAsIs(unsigned char b) {
  if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) {
    return true;
  }
  switch (b) {
    case '!':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '-':
    case '.':
    case '/':
    case ':':
    case '_':
    case '~':
      return true;
    default:
      return false;
  }
}

// A request header read without an event: a header the request lacks is the usual case here.
std::string QuietHeader(IRequestHost& host, std::string_view variable) {
  char area[1024];
  const VariableRead read = host.GetServerVariable(variable, std::span<char>(area, sizeof area));
  if (read.error != VariableError::None || read.size == 0) {
    return {};
  }
  const std::string_view value(area, std::min(read.size - 1, sizeof area - 1));
  return std::string(value.substr(0, value.find('\0')));
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

bool ContainsIgnoreCase(std::string_view text, std::string_view part) {
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (SameIgnoringCase(text.substr(i, part.size()), part)) {
      return true;
    }
  }
  return false;
}

// Quoted-string content: '"' and '\\' escaped.
std::string Quoted(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
    }
    out.push_back(c);
  }
  return out;
}

// A JSON string literal holding the single-byte `text`: bytes above 0x7F as the characters they
// stand for (U+0080..U+00FF), so the body is plain ASCII.
std::string JsonString(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (b < 0x20 || b >= 0x7F) {
      out += "\\u00";
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

// The 401 answer to a script: the sign-on URL in WWW-Authenticate and in a small JSON body.
// False when the location cannot be sent or the server cannot send such a response.
bool AnswerScript(IRequestHost& host, const GateEventLog& log, std::u16string_view url) {
  std::u16string_view refusal;
  const std::optional<std::string> location = SendableLocation(url, refusal);
  if (!location) {
    return false;  // the redirect path refuses it with its own event and response
  }
  const std::string headers = "WWW-Authenticate: " + std::string(kScriptAuthScheme) + " signon=\"" +
                              Quoted(*location) + "\"\r\nCache-Control: no-store\r\n";
  const std::string body =
      "{\"error\":\"unauthenticated\",\"signOnUrl\":" + JsonString(*location) + "}\n";
  if (!host.SendResponse(401, headers, "application/json", body)) {
    return false;
  }
  log.Report(EventType::Information, kScriptAnswered);
  return true;
}

void AppendQuerySeparator(std::u16string& url) {
  url += url.find(u'?') != std::u16string::npos ? u"&" : u"?";
  url += u"TargetResource=";
}

}  // namespace

std::string FormEncode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (KeptAsIs(b)) {
      out.push_back(c);
    } else if (b == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    }
  }
  return out;
}

std::u16string BuildTargetResource(IRequestHost& host, const GateSettings& settings,
                                   const GateEventLog& log, std::string_view path_variable) {
  std::u16string target;
  if (!settings.ApplicationScheme.empty()) {
    target = settings.ApplicationScheme + u"://";
  } else {
    const std::u16string https = ReadServerVariable(host, log, "HTTPS");
    target = text::EqualsIgnoreAsciiCase(https, u"on") ? u"https://" : u"http://";
  }
  const std::u16string http_host = ReadServerVariable(host, log, "HTTP_HOST");
  std::u16string_view request_host = http_host;
  std::u16string_view request_port;
  if (const auto colon = http_host.find(u':'); colon != std::u16string::npos) {
    request_host = std::u16string_view(http_host).substr(0, colon);
    request_port = std::u16string_view(http_host).substr(colon + 1);
  }
  target += settings.ApplicationHost.empty() ? request_host
                                             : std::u16string_view(settings.ApplicationHost);
  if (!settings.ApplicationPort.empty()) {
    target += u':';
    target += settings.ApplicationPort;
  } else if (!request_port.empty()) {
    target += u':';
    target += request_port;
  }
  target += ReadServerVariable(host, log, path_variable);
  const std::u16string query = ReadServerVariable(host, log, "QUERY_STRING");
  if (!query.empty()) {
    target += u'?';
    target += query;
  }
  return target;
}

std::uint32_t RedirectToSignOn(IRequestHost& host, const GateSettings& settings,
                               const GateEventLog& log) {
  if (!settings.EnableIWA && settings.SSOUrl.empty()) {
    log.Report(EventType::Error, kSsoUrlMissing);
    return ErrorResponse(host, settings, log, kSsoUrlMissing);
  }
  std::u16string url = settings.SSOUrl;
  AppendQuerySeparator(url);
  const std::string encoded =
      FormEncode(text::ToAnsi(BuildTargetResource(host, settings, log, "PATH_INFO")));
  url += text::WidenBytes(encoded);
  if (AnswersScriptsWith401(settings.ScriptUnauthenticated) && IsScriptRequest(host) &&
      AnswerScript(host, log, url)) {
    return kHseStatusSuccess;
  }
  return Redirect(host, settings, log, url);
}

bool IsScriptRequest(IRequestHost& host) {
  if (SameIgnoringCase(QuietHeader(host, "HTTP_X_REQUESTED_WITH"), "XMLHttpRequest")) {
    return true;
  }
  const std::string mode = QuietHeader(host, "HTTP_SEC_FETCH_MODE");
  if (!mode.empty() && !SameIgnoringCase(mode, "navigate")) {
    return true;
  }
  const std::string accept = QuietHeader(host, "HTTP_ACCEPT");
  return ContainsIgnoreCase(accept, "json") && !ContainsIgnoreCase(accept, "text/html");
}

std::uint32_t RedirectToLogout(IRequestHost& host, const GateSettings& settings,
                               const GateEventLog& log) {
  std::u16string url = settings.SLOUrl;
  AppendQuerySeparator(url);
  url += BuildTargetResource(host, settings, log, "URL");
  return Redirect(host, settings, log, url);
}

}  // namespace tokengate::gate
