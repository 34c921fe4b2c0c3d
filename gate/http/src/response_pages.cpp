#include "tokengate/gate/response_pages.h"

#include <optional>

#include "tokengate/common/text.h"

namespace tokengate::gate {

namespace {

constexpr std::string_view kStyle =
    "<style type=\"text/css\">"
    "body.firstcut{font-family: Tahoma, Helvetica, Arial, sans-serif;font-size: 12px;"
    "background: #ffffff;}"
    "table.firstcut{padding: 12px;margin: 0px;background: #eeeeee;border: double;"
    "border-color: #ff0000;}"
    "td.header{font-size: 18px;font-weight: bold;color: #ff0000;text-align: center;}"
    "td.message{font-size: 16px;padding: 8px;text-align: center;}"
    "td.text{font-size: 14px;padding: 4px;text-align: left;}"
    "td.errorinfo{font-size: 16px;padding: 10px;text-align: left;}"
    "</style>";

std::string BuildPage(std::string_view heading, std::string_view message) {
  std::string page;
  page.reserve(1200 + message.size());
  page += "<html><head><title>";
  page += heading;
  page += "</title>";
  page += kStyle;
  page += "<meta name=\"robots\" content=\"noindex, nofollow\" /></head>";
  page += "<body class=\"firstcut\"><center><table width=\"400\" class=\"firstcut\">";
  page += "<tr><td class=\"header\">";
  page += heading;
  page += "</td></tr><tr><td class=\"message\">";
  page += message;
  page += "</td></tr><tr><td class=\"text\"></td></tr></table></center></body></html>";
  return page;
}

bool IsLineBreakOrNul(char16_t c) {
  return c == u'\r' || c == u'\n' || c == u'\0';
}

std::uint32_t ErrorPageResponse(IRequestHost& host, const GateEventLog& log,
                                std::u16string_view message) {
  const std::string narrow = text::ToAnsi(message);
  host.SetStatusCode(500);
  host.SetLogData(narrow.size() < kLogFieldBytes ? std::string_view(narrow) : kLogFieldFallback);
  const std::string page = BuildErrorPage(narrow);
  if (page.empty()) {
    log.Report(EventType::Error, kPageTooLarge);
    return kHseStatusError;
  }
  host.WriteClient(page);
  return kHseStatusError;
}

}  // namespace

std::optional<std::string> SendableLocation(std::u16string_view target,
                                            std::u16string_view& refusal) {
  for (char16_t c : target) {
    if (IsLineBreakOrNul(c)) {
      refusal = kRedirectRefused;
      return std::nullopt;
    }
  }
  std::optional<std::string> bytes = text::NarrowBytes(target);
  if (!bytes) {
    refusal = kRedirectRefused;
    return std::nullopt;
  }
  if (bytes->size() >= kWorkAreaBytes) {
    refusal = kRedirectTooLong;
    return std::nullopt;
  }
  return bytes;
}

std::string BuildErrorPage(std::string_view message) {
  std::string page = BuildPage("Error - Single Sign-On", message);
  if (page.size() >= kWorkAreaBytes) {
    return {};
  }
  return page;
}

std::string BuildInfoPage() {
  return BuildPage("Info - Corvane ISAPI Extension", "ISAPI Configuration successfully reloaded");
}

std::uint32_t ErrorResponse(IRequestHost& host, const GateSettings& settings,
                            const GateEventLog& log, std::u16string_view message) {
  if (settings.ErrorUrl.empty()) {
    return ErrorPageResponse(host, log, message);
  }
  std::u16string target = settings.ErrorUrl;
  target += settings.ErrorUrl.find(u'?') != std::u16string::npos ? u"&" : u"?";
  target += u"ErrorMessage=";
  target += text::FromAnsi(text::ToAnsi(message));
  std::u16string_view refusal;
  const std::optional<std::string> location = SendableLocation(target, refusal);
  if (!location) {
    // Never redirect again from here: the page is the answer that cannot fail.
    log.Report(EventType::Error, refusal);
    return ErrorPageResponse(host, log, message);
  }
  host.SendRedirect(*location);
  return kHseStatusSuccess;
}

void InfoPage(IRequestHost& host) {
  host.WriteClient(BuildInfoPage());
}

std::uint32_t Redirect(IRequestHost& host, const GateSettings& settings, const GateEventLog& log,
                       std::u16string_view target) {
  std::u16string_view refusal;
  const std::optional<std::string> location = SendableLocation(target, refusal);
  if (!location) {
    log.Report(EventType::Error, refusal);
    return ErrorResponse(host, settings, log, refusal);
  }
  host.SendRedirect(*location);
  return kHseStatusSuccess;
}

bool IsSafeResumePath(std::u16string_view resume) {
  if (resume.empty() || resume[0] != u'/' || (resume.size() > 1 && resume[1] == u'/')) {
    return false;
  }
  for (char16_t c : resume) {
    if (c == u'\\' || c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
      return false;
    }
  }
  return true;
}

}  // namespace tokengate::gate
