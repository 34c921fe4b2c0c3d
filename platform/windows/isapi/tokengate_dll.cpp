// TokenGate.dll: the ISAPI filter and extension exports, forwarding to the one gate module of
// the process.
#include <windows.h>

// The ISAPI declarations need the base types of windows.h.
#include <httpext.h>
#include <httpfilt.h>

#include <cstring>
#include <memory>

#include "isapi_host.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/gate_module.h"
#include "tokengate/platform/windows_gate.h"
#include "tokengate/platform/windows_rpc.h"

namespace tokengate::isapi {
namespace {

// The filter role's view of the configuration. IIS starts the filter when the worker process
// starts and the extension only for the first request it runs, and both roles run at once: the
// filter reads its own copy, loaded when the filter starts and replaced by the extension's values
// whenever the extension (re)loads them, so no request passes the filter unchecked and no thread
// reads an object another one replaces.
class FilterRole {
 public:
  FilterRole()
      : log_(platform::RegisterWindowsEventSource(gate::kEventSourceName)),
        configuration_(log_, std::make_shared<platform::WindowsGateRegistry>(),
                       std::make_shared<platform::WindowsProfileReader>()),
        settings_(configuration_.Load() ? configuration_.Snapshot() : nullptr) {}

  // Null while no configuration could be loaded.
  std::shared_ptr<const gate::GateSettings> Settings() const noexcept { return settings_.Load(); }
  void Adopt(const std::shared_ptr<const gate::GateSettings>& settings) {
    settings_.Store(settings);
  }
  const gate::GateEventLog& Log() const noexcept { return log_; }

 private:
  gate::GateEventLog log_;
  gate::GateConfiguration configuration_;
  gate::SettingsCell settings_;
};

FilterRole& Filter() {
  static FilterRole role;
  return role;
}

gate::GatePlatform WindowsGatePlatform() {
  gate::GatePlatform p;
  p.registerEventSource = [] {
    return platform::RegisterWindowsEventSource(gate::kEventSourceName);
  };
  p.registry = std::make_shared<platform::WindowsGateRegistry>();
  p.profiles = std::make_shared<platform::WindowsProfileReader>();
  p.bind = [](std::u16string_view binding, rpc::RpcStatus& status) {
    return platform::BindAuthenticator(binding, status);
  };
  p.adoptBrokerHandle = [](std::intptr_t value) -> gate::Credential {
    return std::make_unique<HandleCredential>(reinterpret_cast<HANDLE>(value));
  };
  p.processId = static_cast<std::int32_t>(GetCurrentProcessId());
  p.settingsLoaded = [](const std::shared_ptr<const gate::GateSettings>& settings) {
    Filter().Adopt(settings);
  };
  return p;
}

// Lives from the first entry call until the DLL is unloaded; its destructor releases the event
// source and a configuration that is still loaded.
gate::GateModule& Module() {
  static gate::GateModule module(WindowsGatePlatform());
  return module;
}

// Deletes the client's look-alikes of attribute headers from every request, protected or not, and
// names them in one warning. SF_STATUS_REQ_NEXT_NOTIFICATION when the request may go on;
// otherwise it has been answered (SF_STATUS_REQ_FINISHED).
DWORD RemoveAttributeLookAlikes(HTTP_FILTER_CONTEXT* pfc, IsapiFilterNotification& notification) {
  const FilterRole& filter = Filter();
  const std::shared_ptr<const gate::GateSettings> settings = filter.Settings();
  if (!settings) {
    filter.Log().Report(gate::EventType::Error,
                        u"Request refused: the filter has no configuration to check its headers "
                        u"by");
    SendFilterRefusal(pfc, "500 Internal Server Error");
    return SF_STATUS_REQ_FINISHED;
  }
  if (settings->AuthenticationPrefix.empty())
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  const LookAlikeRemoval removal =
      notification.RemoveAttributeLookAlikes(text::ToAnsi(settings->AuthenticationPrefix));
  switch (removal.result) {
    case LookAlikeRemoval::Result::Done:
      if (!removal.removed.empty()) {
        filter.Log().Report(gate::EventType::Warning,
                            u"Request headers that look like attribute headers were removed: " +
                                text::FromAnsi(removal.removed));
      }
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    case LookAlikeRemoval::Result::RawUnavailable:
      filter.Log().Report(gate::EventType::Warning,
                          u"ALL_RAW could not be obtained from request " +
                              text::FromAnsi(std::to_string(removal.code)));
      // Headers larger than the gate reads are the client's doing.
      SendFilterRefusal(pfc, removal.code == ERROR_INSUFFICIENT_BUFFER
                                 ? "400 Bad Request"
                                 : "500 Internal Server Error");
      return SF_STATUS_REQ_FINISHED;
    case LookAlikeRemoval::Result::NotRemoved:
      break;
  }
  filter.Log().Report(gate::EventType::Error,
                      u"Request refused: a request header that looks like an attribute header "
                      u"could not be removed: " +
                          text::FromAnsi(removal.removed));
  SendFilterRefusal(pfc, "500 Internal Server Error");
  return SF_STATUS_REQ_FINISHED;
}

void CopyText(char* out, std::size_t capacity, const std::string& text) {
  const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  std::memcpy(out, text.data(), n);
  out[n] = '\0';
}

}  // namespace
}  // namespace tokengate::isapi

using tokengate::isapi::Module;

extern "C" {

BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* pVer) {
  try {
    tokengate::gate::VersionRecord record;
    const bool ok = Module().GetExtensionVersion(record);
    if (pVer != nullptr) {
      pVer->dwExtensionVersion = record.version;
      tokengate::isapi::CopyText(pVer->lpszExtensionDesc, HSE_MAX_EXT_DLL_NAME_LEN,
                                 record.description);
    }
    return ok ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* pECB) {
  if (pECB == nullptr)
    return HSE_STATUS_ERROR;
  try {
    tokengate::isapi::IsapiRequestHost host(pECB);
    return Module().HttpExtensionProc(host);
  } catch (...) {
    return HSE_STATUS_ERROR;
  }
}

BOOL WINAPI TerminateExtension(DWORD) {
  try {
    return static_cast<BOOL>(Module().TerminateExtension());
  } catch (...) {
    return FALSE;
  }
}

BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* pVer) {
  try {
    tokengate::gate::VersionRecord record;
    const bool ok = Module().GetFilterVersion(record);
    if (pVer != nullptr) {
      pVer->dwFilterVersion = record.version;
      tokengate::isapi::CopyText(pVer->lpszFilterDesc, SF_MAX_FILTER_DESC_LEN, record.description);
      // The end of each request releases the link between its id and its filter context; the
      // response is seen to keep one that carries the token cookie out of shared caches.
      pVer->dwFlags = record.flags | SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_SEND_RESPONSE;
    }
    // The filter's configuration is loaded now, before the first request.
    tokengate::isapi::Filter();
    return ok ? TRUE : FALSE;
  } catch (...) {
    return FALSE;
  }
}

DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType,
                            LPVOID pvNotification) {
  if (pfc == nullptr)
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  if (notificationType == SF_NOTIFY_END_OF_REQUEST) {
    tokengate::isapi::context_table::Leave(pfc);
    pfc->pFilterContext = nullptr;
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  if (notificationType == SF_NOTIFY_SEND_RESPONSE) {
    if (!tokengate::isapi::CarriesTokenCookie(pfc))
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    return tokengate::isapi::MakeResponsePrivate(
               pfc, static_cast<HTTP_FILTER_SEND_RESPONSE*>(pvNotification))
               ? SF_STATUS_REQ_NEXT_NOTIFICATION
               : SF_STATUS_REQ_ERROR;
  }
  try {
    auto* headers = notificationType == SF_NOTIFY_PREPROC_HEADERS
                        ? static_cast<HTTP_FILTER_PREPROC_HEADERS*>(pvNotification)
                        : nullptr;
    tokengate::isapi::IsapiFilterNotification notification(pfc, headers);
    // The context header the extension reads must be the filter's own: a client's one, in any
    // spelling, goes first. A request where that fails is ended.
    if (headers != nullptr) {
      if (!notification.RemoveClientContextHeaders())
        return SF_STATUS_REQ_ERROR;
      const DWORD checked = tokengate::isapi::RemoveAttributeLookAlikes(pfc, notification);
      if (checked != SF_STATUS_REQ_NEXT_NOTIFICATION)
        return checked;
    }
    return Module().HttpFilterProc(notification, notificationType);
  } catch (...) {
    return SF_STATUS_REQ_ERROR;
  }
}

}  // extern "C"
