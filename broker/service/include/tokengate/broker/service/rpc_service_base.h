// A service whose work is an RPC server: command line, install / remove / start through the
// service manager, the life cycle under the service manager or on a console, and the broker's
// single message writer.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "tokengate/broker/service/service_platform.h"
#include "tokengate/common/rpc_runtime.h"

namespace tokengate::broker {

inline constexpr char16_t kUsageInfo[] =
    u"service called with no recognized arguments\n"
    u"\t-install          to install the service\n"
    u"\t-console          to start as a console application\n"
    u"\t-remove           to remove the service\n"
    u"\t-launch-local     send start message to service\n";
inline constexpr char16_t kServiceStartMsg[] =
    u"Service being started.\nThis may take several seconds.  Please wait.\n";
inline constexpr char16_t kConsoleStartMsg[] =
    u"Service started by user on console - running as console application\n";

// Longest message LogEvent writes, in UTF-16 units.
inline constexpr std::size_t kMaxLogMessageUnits = 255;
// Calls served at once, and the least number of call threads.
inline constexpr unsigned kMaxConcurrentCalls = 20;
inline constexpr unsigned kMinCallThreads = 1;

// A message as it is written to a log line. Messages carry texts from callers and requests
// (file names, token contents, names a KDC answered with), so nothing in them may end the line
// or pass for another entry: backslash becomes "\\", LF, CR and TAB become "\n", "\r",
// "\t", the other C0 and C1 controls and DEL become "\xHH", and the Unicode line and paragraph
// separators, the byte order mark and the bidirectional controls become "\uHHHH". Every other
// unit is kept.
std::u16string EscapeLogText(std::u16string_view text);

// A positive RPC status s becomes 0x80070000 | (s & 0xFFFF); zero and negative values stay.
std::int32_t RpcStatusToHresult(std::int32_t status);

class RpcServiceBase : public IServiceCallbacks {
 public:
  RpcServiceBase(IServicePlatform& platform, rpc::IRpcServerRuntime& runtime);
  ~RpcServiceBase() override;
  RpcServiceBase(const RpcServiceBase&) = delete;
  RpcServiceBase& operator=(const RpcServiceBase&) = delete;

  virtual std::u16string ServiceName() const = 0;
  virtual std::u16string ServiceReadableName() const = 0;
  virtual std::u16string ServiceDescription() const = 0;
  virtual std::u16string ServiceProtocol() const = 0;
  virtual std::u16string ServiceEndpoint() const = 0;
  // The implementation the RPC runtime dispatches calls to.
  virtual rpc::IAuthenticator& ServiceRpcInterfaceSpec() = 0;
  virtual void InstallService();
  virtual void RemoveService();
  virtual int StartServiceW();
  // Registers the endpoint and interface and starts listening; returns an HRESULT.
  virtual std::int32_t ServiceSetup() = 0;
  virtual std::int32_t ServiceStop() = 0;
  virtual std::uint32_t SupportedMessages() const { return kServiceAcceptStop; }

  // The command line without the program name; only the first word is looked at.
  int wmain(const std::vector<std::u16string>& args);

  // Writes one message: to standard output in console mode, else to the system log. Cut to 255
  // units, then escaped (EscapeLogText): one message is always exactly one line. Safe on any
  // thread.
  void LogEvent(EventType type, std::u16string_view message) const noexcept;

  // "<system text> (0x<last error>)", or empty when the system has no text for `error` or it
  // does not fit `bufferUnits` (terminating NUL included).
  std::u16string GetErrorText(std::uint32_t error, std::size_t bufferUnits = 256) const;

  // IServiceCallbacks
  void ServiceMain() override;
  std::uint32_t ServiceHandler(std::uint32_t control) override;

  bool IsConsole() const noexcept { return console_; }
  ServiceStatus CurrentStatus() const;

 protected:
  IServicePlatform& Platform() const { return platform_; }
  rpc::IRpcServerRuntime& Runtime() const { return runtime_; }

 private:
  void Print(std::u16string_view text) const { platform_.WriteStdout(text); }
  void ReportStatusLocked();

  mutable std::mutex statusMutex_;  // the service thread and the control handler both write it
  ServiceStatus status_;
  bool statusHandle_ = false;
  bool console_ = false;
  IServicePlatform& platform_;
  rpc::IRpcServerRuntime& runtime_;
};

}  // namespace tokengate::broker
