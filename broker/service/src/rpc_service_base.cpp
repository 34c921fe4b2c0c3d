#include "tokengate/broker/service/rpc_service_base.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "tokengate/common/text.h"

namespace tokengate::broker {
namespace {

constexpr std::int32_t kHresultUnexpected = static_cast<std::int32_t>(0x8000FFFF);
constexpr std::uint32_t kExitInvalidParameter = 0x80070057;
constexpr std::chrono::milliseconds kOneSecond{1000};
constexpr int kListenerWaitAttempts = 10;

std::u16string Dec(std::int64_t value) {
  return text::Utf8ToUtf16(std::to_string(value));
}

std::u16string Hex(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", value);
  return text::Utf8ToUtf16(buf);
}

// The first word of the command line without its leading "-" or "/", lower-cased; empty when
// there is no word or it does not start with a sign.
std::u16string CommandWord(const std::vector<std::u16string>& args) {
  if (args.empty() || args[0].empty())
    return {};
  if (args[0][0] != u'-' && args[0][0] != u'/')
    return {};
  std::u16string word;
  for (std::size_t i = 1; i < args[0].size(); ++i)
    word.push_back(text::AsciiLower(args[0][i]));
  return word;
}

}  // namespace

std::u16string EscapeLogText(std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  const auto needsEscape = [](char16_t c) {
    return c < 0x20 || c == u'\\' || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           c == 0xFEFF || (c >= 0x200E && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
  };
  std::u16string out;
  out.reserve(text.size());
  for (const char16_t c : text) {
    if (!needsEscape(c)) {
      out.push_back(c);
      continue;
    }
    out.push_back(u'\\');
    switch (c) {
      case u'\\':
        out.push_back(u'\\');
        break;
      case u'\n':
        out.push_back(u'n');
        break;
      case u'\r':
        out.push_back(u'r');
        break;
      case u'\t':
        out.push_back(u't');
        break;
      default:
        if (c <= 0xFF) {
          out.push_back(u'x');
        } else {
          out.push_back(u'u');
          out.push_back(kHex[(c >> 12) & 0xF]);
          out.push_back(kHex[(c >> 8) & 0xF]);
        }
        out.push_back(kHex[(c >> 4) & 0xF]);
        out.push_back(kHex[c & 0xF]);
        break;
    }
  }
  return out;
}

std::int32_t RpcStatusToHresult(std::int32_t status) {
  if (status <= 0)
    return status;
  return static_cast<std::int32_t>(0x80070000u | (static_cast<std::uint32_t>(status) & 0xFFFFu));
}

RpcServiceBase::RpcServiceBase(IServicePlatform& platform, rpc::IRpcServerRuntime& runtime)
    : platform_(platform), runtime_(runtime) {}

RpcServiceBase::~RpcServiceBase() = default;

ServiceStatus RpcServiceBase::CurrentStatus() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}

void RpcServiceBase::ReportStatusLocked() {
  platform_.SetServiceStatus(status_);
}

void RpcServiceBase::LogEvent(EventType type, std::u16string_view message) const noexcept {
  try {
    std::u16string_view cut = message.substr(0, kMaxLogMessageUnits);
    // Never leave half of a surrogate pair at the cut.
    if (cut.size() == kMaxLogMessageUnits && cut.size() < message.size() && cut.back() >= 0xD800 &&
        cut.back() <= 0xDBFF) {
      cut.remove_suffix(1);
    }
    std::u16string line = EscapeLogText(cut);
    if (console_) {
      line.push_back(u'\n');
      platform_.WriteStdout(line);
    } else {
      platform_.ReportEvent(ServiceName(), type, line);
    }
  } catch (...) {
    // A message that cannot be written is dropped.
  }
}

std::u16string RpcServiceBase::GetErrorText(std::uint32_t error, std::size_t bufferUnits) const {
  std::u16string message = platform_.SystemErrorText(error);
  while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r')) {
    message.pop_back();
  }
  if (message.empty() || bufferUnits < message.size() + 2 + 14)
    return {};
  std::u16string out = message + u" (0x" + Hex(platform_.LastError()) + u")";
  if (out.size() > bufferUnits - 1)
    out.resize(bufferUnits - 1);
  return out;
}

int RpcServiceBase::wmain(const std::vector<std::u16string>& args) {
  console_ = false;
  const std::u16string word = CommandWord(args);
  bool recognised = false;
  if (word == u"install") {
    InstallService();
    return 0;
  } else if (word == u"remove") {
    RemoveService();
    return 0;
  } else if (word == u"launch-local") {
    return StartServiceW();
  } else if (word == u"console") {
    console_ = true;
    recognised = true;
  }
  if (!recognised) {
    Print(std::u16string(kUsageInfo) + u"\n" + kServiceStartMsg);
  }

  if (console_) {
    Print(kConsoleStartMsg);
    const std::int32_t hr = ServiceSetup();
    if (hr < 0)
      Print(u"Service setup failed: " + Dec(hr) + u"\n");
    const rpc::RpcStatus wait = runtime_.WaitServerListen();
    if (wait != 0)
      Print(u"Listening wait failed: " + Dec(wait) + u"\n");
    return 0;
  }

  if (!platform_.StartServiceDispatcher(ServiceName(), *this)) {
    LogEvent(EventType::Error, u"StartServiceCtrlDispatcher failed");
    return -1;
  }
  return 0;
}

void RpcServiceBase::ServiceMain() {
  {
    std::lock_guard lock(statusMutex_);
    if (!platform_.RegisterControlHandler(ServiceName())) {
      // Without a status handle nothing can be reported; the service does not start.
      status_.currentState = kServiceStopped;
      status_.win32ExitCode = kExitInvalidParameter;
      return;
    }
    statusHandle_ = true;
    status_.currentState = kServiceStartPending;
    status_.controlsAccepted = SupportedMessages();
    ReportStatusLocked();
  }

  const std::int32_t hr = ServiceSetup();
  if (hr < 0) {
    LogEvent(EventType::Error, u"Failure in setup: " + Dec(hr));
    std::lock_guard lock(statusMutex_);
    status_.currentState = kServiceStopped;
    status_.win32ExitCode = static_cast<std::uint32_t>(hr);
    ReportStatusLocked();
    return;
  }
  LogEvent(EventType::Information, u"Service setup successful");
  {
    std::lock_guard lock(statusMutex_);
    // A stop control may already have arrived while set-up ran; do not undo it.
    if (status_.currentState == kServiceStartPending) {
      status_.currentState = kServiceRunning;
      ReportStatusLocked();
    }
  }

  const rpc::RpcStatus wait = runtime_.WaitServerListen();
  if (wait != 0)
    Print(u"Listening wait failed: " + Dec(wait));

  ServiceStop();
}

std::uint32_t RpcServiceBase::ServiceHandler(std::uint32_t control) {
  switch (control) {
    case kControlStop: {
      {
        std::lock_guard lock(statusMutex_);
        status_.currentState = kServiceStopPending;
        ReportStatusLocked();
      }
      if (runtime_.StopListening() != 0)
        return static_cast<std::uint32_t>(kHresultUnexpected);
      bool ended = false;
      for (int attempt = 0; attempt < kListenerWaitAttempts && !ended; ++attempt) {
        const rpc::RpcStatus st = runtime_.WaitServerListen();
        if (st == 0 || st == static_cast<rpc::RpcStatus>(rpc::kStatusNotListening)) {
          ended = true;
        } else {
          platform_.Sleep(kOneSecond);
        }
      }
      if (!ended)
        LogEvent(EventType::Warning, u"Unable to shut down RPC listener");
      std::lock_guard lock(statusMutex_);
      status_.currentState = kServiceStopped;
      ReportStatusLocked();
      return 0;
    }
    case kControlInterrogate: {
      std::lock_guard lock(statusMutex_);
      ReportStatusLocked();
      return 0;
    }
    default:
      return kErrorCallNotImplemented;
  }
}

std::int32_t RpcServiceBase::ServiceSetup() {
  LogEvent(EventType::Information, u"Service Starting");
  rpc::RpcStatus st =
      runtime_.UseProtseqEp(ServiceProtocol(), kMaxConcurrentCalls, ServiceEndpoint());
  if (st != 0) {
    LogEvent(EventType::Error, u"RpcServerUseProtseqW failed");
    return RpcStatusToHresult(st);
  }
  st = runtime_.RegisterIf(ServiceRpcInterfaceSpec());
  if (st != 0) {
    LogEvent(EventType::Error, u"RpcServerRegisterIf failed");
    return RpcStatusToHresult(st);
  }
  st = runtime_.Listen(kMinCallThreads, kMaxConcurrentCalls, /*dontWait=*/true);
  if (st != 0) {
    LogEvent(EventType::Error, u"RpcServerListen failed");
    return RpcStatusToHresult(st);
  }
  return 0;
}

void RpcServiceBase::InstallService() {
  const auto path = platform_.ModuleFileName();
  if (!path) {
    Print(u"Unable to install " + ServiceReadableName() + u" - " +
          GetErrorText(platform_.LastError()) + u"\n");
    return;
  }
  const auto manager = platform_.OpenServiceManager();
  if (!manager) {
    Print(u"OpenSCManager failed - " + GetErrorText(platform_.LastError()) + u"\n");
    return;
  }
  const auto service =
      manager->CreateService({ServiceName(), ServiceReadableName(), *path, u"RPCSS"});
  if (service) {
    service->SetDescription(ServiceDescription());
    Print(ServiceReadableName() + u" installed.\n");
  } else {
    Print(u"CreateService failed - " + GetErrorText(platform_.LastError()) + u"\n");
    Print(u"This may be caused by the service already being installed.\n");
  }
}

void RpcServiceBase::RemoveService() {
  const auto manager = platform_.OpenServiceManager();
  if (!manager) {
    Print(u"OpenSCManager failed - " + GetErrorText(platform_.LastError()) + u"\n");
    return;
  }
  const auto service = manager->OpenService(ServiceName());
  if (!service) {
    Print(u"OpenService failed - " + GetErrorText(platform_.LastError()) + u"\n");
    return;
  }
  ServiceStatus answer = CurrentStatus();
  if (service->ControlStop(answer)) {
    Print(u"Stopping " + ServiceReadableName() + u".");
    platform_.Sleep(kOneSecond);
    while (service->QueryStatus(answer) && answer.currentState == kServiceStopPending) {
      Print(u".");
      platform_.Sleep(kOneSecond);
    }
    if (answer.currentState == kServiceStopped) {
      Print(u"\n" + ServiceReadableName() + u" stopped.\n");
    } else {
      Print(u"\n" + ServiceReadableName() + u" failed to stop.\n");
    }
  }
  if (service->Delete()) {
    Print(ServiceReadableName() + u" removed.\n");
  } else {
    Print(u"DeleteService failed - " + GetErrorText(platform_.LastError()) + u"\n");
  }
}

int RpcServiceBase::StartServiceW() {
  const auto manager = platform_.OpenServiceManager();
  if (!manager) {
    const std::uint32_t err = platform_.LastError();
    Print(u"Unable to open service control manager: " + Dec(err) + u"\n");
    return static_cast<int>(err);
  }
  const auto service = manager->OpenService(ServiceName());
  if (!service) {
    const std::uint32_t err = platform_.LastError();
    Print(u"Unable to open service: " + Dec(err) + u"\n");
    return static_cast<int>(err);
  }
  if (!service->Start()) {
    const std::uint32_t err = platform_.LastError();
    if (err == kErrorServiceAlreadyRunning) {
      Print(u"Error: Service already running\n");
    } else {
      Print(u"Starting service failed: " + Dec(err) + u"\n");
    }
    return static_cast<int>(err);
  }
  ServiceStatus status;
  if (!service->QueryStatus(status)) {
    Print(u"Query Service status failed: " + Dec(platform_.LastError()) + u"\n");
    return 0;
  }
  // Time is measured as the sum of the pauses taken, which is what the wait hint is about.
  std::chrono::milliseconds sinceProgress{0};
  std::uint32_t checkPoint = status.checkPoint;
  while (status.currentState == kServiceStartPending) {
    std::chrono::milliseconds pause{status.waitHint / 10};
    if (pause < std::chrono::milliseconds(1000))
      pause = std::chrono::milliseconds(1000);
    if (pause > std::chrono::milliseconds(10000))
      pause = std::chrono::milliseconds(10000);
    platform_.Sleep(pause);
    sinceProgress += pause;
    if (!service->QueryStatus(status))
      break;
    if (status.checkPoint > checkPoint) {
      checkPoint = status.checkPoint;
      sinceProgress = std::chrono::milliseconds(0);
    } else if (sinceProgress > std::chrono::milliseconds(status.waitHint)) {
      break;
    }
  }
  if (status.currentState == kServiceRunning) {
    Print(u"Service Running.\n");
    return 1;
  }
  Print(u"\nService not started. \n");
  return static_cast<int>(platform_.LastError());
}

}  // namespace tokengate::broker
