#include "tokengate/gate/signon_redirect.h"

#include "tokengate/common/text.h"
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
  return Redirect(host, settings, log, url);
}

std::uint32_t RedirectToLogout(IRequestHost& host, const GateSettings& settings,
                               const GateEventLog& log) {
  std::u16string url = settings.SLOUrl;
  AppendQuerySeparator(url);
  url += BuildTargetResource(host, settings, log, "URL");
  return Redirect(host, settings, log, url);
}

}  // namespace tokengate::gate
