#include "tokengate/gate/cookie_writer.h"

#include <algorithm>

#include "tokengate/common/text.h"

namespace tokengate::gate {

namespace {

void AppendTwoDigits(std::string& out, unsigned value) {
  out.push_back(static_cast<char>('0' + (value / 10) % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

// Appends the ANSI form of `part`; false when it holds a character that would end or split the
// header line.
bool AppendSafe(std::string& line, std::u16string_view part) {
  const auto unsafe = [](char c) { return c == '\r' || c == '\n' || c == '\0'; };
  // ASCII is its own ANSI form, narrowed straight into the line.
  const std::size_t at = line.size();
  if (text::AppendAscii(line, part)) {
    const std::string_view added = std::string_view(line).substr(at);
    if (std::any_of(added.begin(), added.end(), unsafe)) {
      line.resize(at);
      return false;
    }
    return true;
  }
  const std::string bytes = text::ToAnsi(part);
  if (std::any_of(bytes.begin(), bytes.end(), unsafe)) {
    return false;
  }
  line += bytes;
  return true;
}

std::optional<std::string> Finish(std::string line) {
  line += "\r\n";
  if (line.size() >= kWorkAreaBytes) {
    return std::nullopt;
  }
  return line;
}

std::uint32_t Send(IFilterContext& filter, const GateEventLog& log,
                   const std::optional<std::string>& line) {
  if (!line || !filter.AddResponseHeaders(*line)) {
    log.Report(EventType::Error, kCookieUpdateFailed);
    return kHseStatusError;
  }
  return kHseStatusSuccess;
}

}  // namespace

std::string FormatCookieExpiry(std::chrono::system_clock::time_point when) {
  return FormatCookieExpiry(std::chrono::floor<std::chrono::seconds>(when));
}

std::string FormatCookieExpiry(std::chrono::sys_seconds when) {
  using namespace std::chrono;
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  when = std::clamp(when, kEarliestCookieExpiry, kLatestCookieExpiry);
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss<std::chrono::seconds> time{when - day};
  std::string out = kDays[weekday{day}.c_encoding()];
  out += ", ";
  AppendTwoDigits(out, static_cast<unsigned>(date.day()));
  out += '-';
  out += kMonths[static_cast<unsigned>(date.month()) - 1];
  out += '-';
  out += std::to_string(static_cast<int>(date.year()));
  out += ' ';
  AppendTwoDigits(out, static_cast<unsigned>(time.hours().count()));
  out += ':';
  AppendTwoDigits(out, static_cast<unsigned>(time.minutes().count()));
  out += ':';
  AppendTwoDigits(out, static_cast<unsigned>(time.seconds().count()));
  out += " GMT";
  return out;
}

std::chrono::sys_seconds CookieExpiry(std::chrono::system_clock::time_point now,
                                      std::int32_t minutes) {
  // In seconds: any 32-bit count of minutes fits, where the clock's own nanoseconds would wrap
  // after about 292 years.
  const auto at = std::chrono::floor<std::chrono::seconds>(now) +
                  std::chrono::seconds(static_cast<std::int64_t>(minutes) * 60);
  return std::clamp(at, kEarliestCookieExpiry, kLatestCookieExpiry);
}

namespace {
// "; domain=" (when set) and "; path=", the scope both lines carry.
bool AppendScope(std::string& line, const GateSettings& settings) {
  if (!settings.Domain.empty()) {
    line += "; domain=";
    if (!AppendSafe(line, settings.Domain)) {
      return false;
    }
  }
  line += "; path=";
  return AppendSafe(line, settings.Path);
}

// The attributes that keep the cookie from scripts and from other sites' requests.
void AppendProtection(std::string& line, const GateSettings& settings) {
  if (settings.HttpOnlyCookie) {
    line += "; HttpOnly";
  }
  const std::u16string_view sameSite = SameSiteValue(settings.SameSiteCookie);
  if (!sameSite.empty()) {
    line += "; SameSite=";
    line += text::ToAnsi(sameSite);
  }
}
}  // namespace

std::optional<std::string> BuildClearCookieLine(const GateSettings& settings) {
  std::string line = "Set-Cookie: ";
  if (!AppendSafe(line, settings.TesseraName)) {
    return std::nullopt;
  }
  line += "=; expires=Thu, 01 Jan 1970 00:00:00 GMT";
  if (!AppendScope(line, settings)) {
    return std::nullopt;
  }
  AppendProtection(line, settings);
  return Finish(std::move(line));
}

std::optional<std::string> BuildWriteCookieLine(const GateSettings& settings,
                                                std::u16string_view name, std::u16string_view value,
                                                std::chrono::system_clock::time_point now) {
  std::string line = "Set-Cookie: ";
  line.reserve(160 + name.size() + value.size());  // room for the usual attributes too
  if (!AppendSafe(line, name)) {
    return std::nullopt;
  }
  line += '=';
  if (!AppendSafe(line, value)) {
    return std::nullopt;
  }
  if (!settings.SessionCookie) {
    line += "; expires=";
    line += FormatCookieExpiry(CookieExpiry(now, settings.CookieAge));
  }
  if (!AppendScope(line, settings)) {
    return std::nullopt;
  }
  if (settings.SecureCookie) {
    line += "; secure";
  }
  AppendProtection(line, settings);
  return Finish(std::move(line));
}

std::uint32_t ClearTokenCookie(IFilterContext& filter, const GateSettings& settings,
                               const GateEventLog& log) {
  return Send(filter, log, BuildClearCookieLine(settings));
}

std::uint32_t WriteCookie(IFilterContext& filter, const GateSettings& settings,
                          const GateEventLog& log, std::u16string_view name,
                          std::u16string_view value, std::chrono::system_clock::time_point now) {
  return Send(filter, log, BuildWriteCookieLine(settings, name, value, now));
}

}  // namespace tokengate::gate
