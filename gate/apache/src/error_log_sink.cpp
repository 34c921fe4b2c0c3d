#include "error_log_sink.h"

#include <string>

#include "apache_headers.h"
#include "header_policy.h"
#include "tokengate/common/text.h"

namespace tokengate::apache {

namespace {
thread_local request_rec* tCurrentRequest = nullptr;

int LevelOf(gate::EventType type) {
  switch (type) {
    case gate::EventType::Error:
      return APLOG_ERR;
    case gate::EventType::Warning:
      return APLOG_WARNING;
    case gate::EventType::Information:
      return APLOG_INFO;
  }
  return APLOG_ERR;
}

const char* NameOf(gate::EventType type) {
  switch (type) {
    case gate::EventType::Error:
      return "error";
    case gate::EventType::Warning:
      return "warning";
    case gate::EventType::Information:
      return "information";
  }
  return "error";
}
}  // namespace

void ErrorLogSink::Write(gate::EventType type, std::uint16_t category, std::uint32_t id,
                         std::u16string_view text) noexcept {
  try {
    const int level = LevelOf(type);
    request_rec* r = tCurrentRequest;
    // Below the configured level the entry would be dropped: skip formatting it.
    if (r != nullptr ? !APLOG_R_MODULE_IS_LEVEL(r, moduleIndex_, level)
                     : !APLOG_MODULE_IS_LEVEL(server_, moduleIndex_, level)) {
      return;
    }
    const std::string line = EscapeForLog(text::Utf16ToUtf8(text));
    const std::string site = site_.empty() ? std::string() : "site " + EscapeForLog(site_) + ": ";
    const unsigned typeNumber = static_cast<unsigned>(type);
    if (r != nullptr) {
      ap_log_rerror_(__FILE__, __LINE__, moduleIndex_, level, 0, r,
                     "%sevent type %u (%s), category %u, id %u: %s", site.c_str(), typeNumber,
                     NameOf(type), static_cast<unsigned>(category), static_cast<unsigned>(id),
                     line.c_str());
    } else {
      ap_log_error_(__FILE__, __LINE__, moduleIndex_, level, 0, server_,
                    "%sevent type %u (%s), category %u, id %u: %s", site.c_str(), typeNumber,
                    NameOf(type), static_cast<unsigned>(category), static_cast<unsigned>(id),
                    line.c_str());
    }
  } catch (...) {
    // An event that cannot be formatted is dropped, as the event log drops it.
  }
}

ScopedLogRequest::ScopedLogRequest(request_rec* r) noexcept : previous_(tCurrentRequest) {
  tCurrentRequest = r;
}

ScopedLogRequest::~ScopedLogRequest() {
  tCurrentRequest = previous_;
}

}  // namespace tokengate::apache
