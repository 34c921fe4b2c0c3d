// The operating system as the broker's service host sees it: standard output, the system log,
// the service manager and its dispatcher. Windows implements these with the SCM and the event
// log; Linux with systemd and syslog; tests with fakes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tokengate::broker {

enum class EventType : std::uint16_t { Error = 1, Warning = 2, Information = 4 };

inline constexpr std::uint16_t kEventCategory = 1000;
inline constexpr std::uint32_t kEventId = 1001;

// Service states and controls, numbered as the Windows service manager numbers them.
enum ServiceState : std::uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};
inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceAcceptStop = 1;
inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlInterrogate = 4;

struct ServiceStatus {
  std::uint32_t serviceType = kServiceWin32OwnProcess;
  std::uint32_t currentState = kServiceStopped;
  std::uint32_t controlsAccepted = kServiceAcceptStop;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// Windows error codes the host interprets or reports.
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;
inline constexpr std::uint32_t kErrorServiceAlreadyRunning = 1056;
inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr std::uint32_t kErrorServiceNotActive = 1062;
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;
inline constexpr std::uint32_t kErrorServiceExists = 1073;

// What a service installs as.
struct ServiceDefinition {
  std::u16string name;
  std::u16string displayName;
  std::u16string binaryPath;  // full path, started without arguments
  std::u16string dependency;  // the one service it depends on (may be empty)
};

// One service known to the service manager. Failing operations set the platform's last error.
class IServiceHandle {
 public:
  virtual ~IServiceHandle() = default;
  virtual bool SetDescription(std::u16string_view description) = 0;
  // Sends the stop control; on success `status` is the state the service answered with.
  virtual bool ControlStop(ServiceStatus& status) = 0;
  virtual bool QueryStatus(ServiceStatus& status) = 0;
  virtual bool Start() = 0;
  virtual bool Delete() = 0;
};

// An open connection to the service manager.
class IServiceManager {
 public:
  virtual ~IServiceManager() = default;
  virtual std::unique_ptr<IServiceHandle> CreateService(const ServiceDefinition& definition) = 0;
  virtual std::unique_ptr<IServiceHandle> OpenService(std::u16string_view name) = 0;
};

// The calls the service manager makes into a running service.
class IServiceCallbacks {
 public:
  virtual ~IServiceCallbacks() = default;
  // The service's main routine, run on a thread of its own.
  virtual void ServiceMain() = 0;
  // A control sent by the service manager (stop, interrogate, ...); returns a Windows error code.
  virtual std::uint32_t ServiceHandler(std::uint32_t control) = 0;
};

class IServicePlatform {
 public:
  virtual ~IServicePlatform() = default;

  // Writes text to standard output as it is.
  virtual void WriteStdout(std::u16string_view text) = 0;
  // Writes one entry to the system log under `source`: type, category 1000, id 1001, text.
  // An entry that cannot be written is dropped. Called from any thread.
  virtual void ReportEvent(std::u16string_view source, EventType type,
                           std::u16string_view text) noexcept = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;

  // The error code of the last failed operation of this platform on this thread, and the
  // system's text for a code (without a line end; empty when there is none).
  virtual std::uint32_t LastError() const = 0;
  virtual std::u16string SystemErrorText(std::uint32_t code) = 0;

  // The program's own full path, or nullopt (with the last error set).
  virtual std::optional<std::u16string> ModuleFileName() = 0;
  // Opens the service manager with full access, or nullptr (with the last error set).
  virtual std::unique_ptr<IServiceManager> OpenServiceManager() = 0;

  // Hands the process to the service manager: runs `callbacks.ServiceMain` on a thread of its
  // own and delivers controls to `callbacks.ServiceHandler` until the service has stopped. Returns
  // false at once (last error set) when the program was not started by the service manager.
  virtual bool StartServiceDispatcher(std::u16string_view serviceName,
                                      IServiceCallbacks& callbacks) = 0;
  // Registers for controls; false (last error set) when that is not possible.
  virtual bool RegisterControlHandler(std::u16string_view serviceName) = 0;
  // Reports the service's status to the service manager.
  virtual bool SetServiceStatus(const ServiceStatus& status) = 0;
};

}  // namespace tokengate::broker
