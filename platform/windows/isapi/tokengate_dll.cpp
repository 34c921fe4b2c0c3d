// TokenGate.dll: the ISAPI filter and extension exports, forwarding to the one gate module of
// the process.
#include <windows.h>

// The ISAPI declarations need the base types of windows.h.
#include <httpext.h>
#include <httpfilt.h>

#include <cstring>
#include <memory>

#include "isapi_host.h"
#include "tokengate/gate/gate_module.h"
#include "tokengate/platform/windows_gate.h"
#include "tokengate/platform/windows_rpc.h"

namespace tokengate::isapi {
namespace {

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
  return p;
}

// Lives from the first entry call until the DLL is unloaded; its destructor releases the event
// source and a configuration that is still loaded.
gate::GateModule& Module() {
  static gate::GateModule module(WindowsGatePlatform());
  return module;
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
      // The end of each request releases the link between its id and its filter context.
      pVer->dwFlags = record.flags | SF_NOTIFY_END_OF_REQUEST;
    }
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
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  try {
    auto* headers = notificationType == SF_NOTIFY_PREPROC_HEADERS
                        ? static_cast<HTTP_FILTER_PREPROC_HEADERS*>(pvNotification)
                        : nullptr;
    tokengate::isapi::IsapiFilterNotification notification(pfc, headers);
    // The context header the extension reads must be the filter's own: a client's one, in any
    // spelling, goes first. A request where that fails is ended.
    if (headers != nullptr && !notification.RemoveClientContextHeaders())
      return SF_STATUS_REQ_ERROR;
    return Module().HttpFilterProc(notification, notificationType);
  } catch (...) {
    return SF_STATUS_REQ_ERROR;
  }
}

}  // extern "C"
