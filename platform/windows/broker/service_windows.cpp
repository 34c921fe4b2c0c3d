// The broker's service host seams over the SCM, the event log and the console.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <vector>

#include "../src/wide.h"
#include "tokengate/common/rpc_runtime.h"
#include "tokengate/common/text.h"
#include "tokengate/platform/windows_service.h"

namespace tokengate::platform {
namespace {

using broker::ServiceStatus;

thread_local std::uint32_t tLastError = 0;

bool Fail() {
  tLastError = GetLastError();
  return false;
}

struct ScHandleClose {
  void operator()(SC_HANDLE h) const noexcept {
    if (h != nullptr)
      CloseServiceHandle(h);
  }
};
using ScHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ScHandleClose>;

SERVICE_STATUS ToNative(const ServiceStatus& s) {
  SERVICE_STATUS n{};
  n.dwServiceType = s.serviceType;
  n.dwCurrentState = s.currentState;
  n.dwControlsAccepted = s.controlsAccepted;
  n.dwWin32ExitCode = s.win32ExitCode;
  n.dwServiceSpecificExitCode = s.serviceSpecificExitCode;
  n.dwCheckPoint = s.checkPoint;
  n.dwWaitHint = s.waitHint;
  return n;
}
void FromNative(const SERVICE_STATUS& n, ServiceStatus& s) {
  s.serviceType = n.dwServiceType;
  s.currentState = n.dwCurrentState;
  s.controlsAccepted = n.dwControlsAccepted;
  s.win32ExitCode = n.dwWin32ExitCode;
  s.serviceSpecificExitCode = n.dwServiceSpecificExitCode;
  s.checkPoint = n.dwCheckPoint;
  s.waitHint = n.dwWaitHint;
}

class ScmService final : public broker::IServiceHandle {
 public:
  explicit ScmService(ScHandle handle) : handle_(std::move(handle)) {}

  bool SetDescription(std::u16string_view description) override {
    std::wstring text = Wide(description);
    SERVICE_DESCRIPTIONW d{text.data()};
    return ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_DESCRIPTION, &d) ? true : Fail();
  }
  bool ControlStop(ServiceStatus& status) override {
    SERVICE_STATUS n{};
    if (!ControlService(handle_.get(), SERVICE_CONTROL_STOP, &n))
      return Fail();
    FromNative(n, status);
    return true;
  }
  bool QueryStatus(ServiceStatus& status) override {
    SERVICE_STATUS n{};
    if (!QueryServiceStatus(handle_.get(), &n))
      return Fail();
    FromNative(n, status);
    return true;
  }
  bool Start() override { return StartServiceW(handle_.get(), 0, nullptr) ? true : Fail(); }
  bool Delete() override { return DeleteService(handle_.get()) ? true : Fail(); }

 private:
  ScHandle handle_;
};

class ScmManager final : public broker::IServiceManager {
 public:
  explicit ScmManager(ScHandle manager) : manager_(std::move(manager)) {}

  std::unique_ptr<broker::IServiceHandle> CreateService(
      const broker::ServiceDefinition& definition) override {
    const std::wstring name = Wide(definition.name);
    const std::wstring display = Wide(definition.displayName);
    // The path is quoted so that a folder name with blanks cannot be read as another program.
    const std::wstring path = L"\"" + Wide(definition.binaryPath) + L"\"";
    // Dependencies: a list of names, each NUL-ended, the list ended by one more NUL.
    std::wstring dependencies = Wide(definition.dependency);
    dependencies.push_back(L'\0');
    dependencies.push_back(L'\0');
    ScHandle service(::CreateServiceW(
        manager_.get(), name.c_str(), display.c_str(), SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr,
        nullptr, definition.dependency.empty() ? nullptr : dependencies.c_str(), nullptr, nullptr));
    if (!service) {
      Fail();
      return nullptr;
    }
    return std::make_unique<ScmService>(std::move(service));
  }
  std::unique_ptr<broker::IServiceHandle> OpenService(std::u16string_view name) override {
    const std::wstring n = Wide(name);
    ScHandle service(::OpenServiceW(manager_.get(), n.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
      Fail();
      return nullptr;
    }
    return std::make_unique<ScmService>(std::move(service));
  }

 private:
  ScHandle manager_;
};

// The dispatcher calls plain functions; they reach the service object through these.
broker::IServiceCallbacks* gCallbacks = nullptr;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;

void WINAPI ServiceMainEntry(DWORD, LPWSTR*) {
  if (gCallbacks != nullptr)
    gCallbacks->ServiceMain();
}
DWORD WINAPI HandlerEntry(DWORD control, DWORD, LPVOID, LPVOID) {
  return gCallbacks != nullptr ? gCallbacks->ServiceHandler(control) : ERROR_CALL_NOT_IMPLEMENTED;
}

class WindowsServicePlatform final : public broker::IServicePlatform {
 public:
  explicit WindowsServicePlatform(std::u16string source) : source_(std::move(source)) {}
  ~WindowsServicePlatform() override {
    if (eventSource_ != nullptr)
      DeregisterEventSource(eventSource_);
  }
  WindowsServicePlatform(const WindowsServicePlatform&) = delete;
  WindowsServicePlatform& operator=(const WindowsServicePlatform&) = delete;

  void WriteStdout(std::u16string_view text) override {
    const std::string bytes = text::ToAnsi(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }
  void ReportEvent(std::u16string_view, broker::EventType type,
                   std::u16string_view message) noexcept override {
    try {
      std::call_once(sourceOnce_, [this] {
        const std::wstring name = Wide(source_);
        eventSource_ = RegisterEventSourceW(nullptr, name.c_str());
      });
      if (eventSource_ == nullptr)
        return;
      const std::wstring textW = Wide(message);
      LPCWSTR strings[1] = {textW.c_str()};
      ::ReportEventW(eventSource_, static_cast<WORD>(type), broker::kEventCategory,
                     broker::kEventId, nullptr, 1, 0, strings, nullptr);
    } catch (...) {
      // An entry that cannot be written is dropped.
    }
  }
  void Sleep(std::chrono::milliseconds duration) override {
    ::Sleep(static_cast<DWORD>(duration.count()));
  }
  std::uint32_t LastError() const override { return tLastError; }
  std::u16string SystemErrorText(std::uint32_t code) override {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::u16string textOut;
    if (n > 0 && buffer != nullptr)
      textOut = FromWide(std::wstring_view(buffer, n));
    if (buffer != nullptr)
      LocalFree(buffer);
    while (!textOut.empty() && (textOut.back() == u'\n' || textOut.back() == u'\r'))
      textOut.pop_back();
    return textOut;
  }
  std::optional<std::u16string> ModuleFileName() override {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
      const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0) {
        Fail();
        return std::nullopt;
      }
      if (n < buffer.size())
        return FromWide(std::wstring_view(buffer.data(), n));
      if (buffer.size() >= 32768) {
        tLastError = ERROR_INSUFFICIENT_BUFFER;
        return std::nullopt;
      }
      buffer.resize(buffer.size() * 2);
    }
  }
  std::unique_ptr<broker::IServiceManager> OpenServiceManager() override {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
      Fail();
      return nullptr;
    }
    return std::make_unique<ScmManager>(std::move(manager));
  }
  bool StartServiceDispatcher(std::u16string_view serviceName,
                              broker::IServiceCallbacks& callbacks) override {
    serviceName_ = Wide(serviceName);
    gCallbacks = &callbacks;
    SERVICE_TABLE_ENTRYW table[] = {{serviceName_.data(), &ServiceMainEntry}, {nullptr, nullptr}};
    const bool ok = StartServiceCtrlDispatcherW(table) != FALSE;
    if (!ok)
      Fail();
    return ok;
  }
  bool RegisterControlHandler(std::u16string_view serviceName) override {
    const std::wstring name = Wide(serviceName);
    gStatusHandle = RegisterServiceCtrlHandlerExW(name.c_str(), &HandlerEntry, nullptr);
    return gStatusHandle != nullptr ? true : Fail();
  }
  bool SetServiceStatus(const ServiceStatus& status) override {
    if (gStatusHandle == nullptr)
      return false;
    SERVICE_STATUS n = ToNative(status);
    return ::SetServiceStatus(gStatusHandle, &n) ? true : Fail();
  }

 private:
  std::u16string source_;
  std::once_flag sourceOnce_;
  HANDLE eventSource_ = nullptr;
  std::wstring serviceName_;
};

struct HandleClose {
  void operator()(HANDLE h) const noexcept {
    if (h != nullptr)
      CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleClose>;

class DuplicateHandleTransfer final : public broker::IHandleTransfer {
 public:
  Result Transfer(broker::OwnedCredential credential, std::int32_t childProcessId) override {
    // Inside a call the runtime knows the caller's process: a token is only ever opened there,
    // never in a third process the caller names.
    if (const rpc::ICallContext* call = rpc::CurrentCallContext()) {
      const auto caller = call->CallerProcessId();
      if (caller && *caller != childProcessId)
        return {Outcome::OpenProcessFailed, -1};
    }
    UniqueHandle target(OpenProcess(PROCESS_DUP_HANDLE, FALSE, static_cast<DWORD>(childProcessId)));
    if (!target)
      return {Outcome::OpenProcessFailed, -1};
    HANDLE copy = nullptr;
    // DUPLICATE_CLOSE_SOURCE closes the broker's copy whatever the outcome.
    const HANDLE source = reinterpret_cast<HANDLE>(credential.Release());
    if (!DuplicateHandle(GetCurrentProcess(), source, target.get(), &copy, 0, FALSE,
                         DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
      return {Outcome::DuplicateHandleFailed, -1};
    }
    return {Outcome::Transferred, reinterpret_cast<std::intptr_t>(copy)};
  }
};

}  // namespace

std::unique_ptr<broker::IServicePlatform> CreateWindowsServicePlatform(std::u16string eventSource) {
  return std::make_unique<WindowsServicePlatform>(std::move(eventSource));
}

std::unique_ptr<broker::IHandleTransfer> CreateDuplicateHandleTransfer() {
  return std::make_unique<DuplicateHandleTransfer>();
}

}  // namespace tokengate::platform
