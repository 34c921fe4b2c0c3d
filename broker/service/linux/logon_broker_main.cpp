// logon-broker: LogonBroker's program on Linux. Wires the service host to systemd, syslog and the
// Unix socket transport.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tokengate/broker/auth/authentication_service.h"
#include "tokengate/broker/auth/logon.h"
#include "tokengate/broker/service/service_platform.h"
#include "tokengate/common/text.h"
#include "tokengate/platform/broker_handle_transfer.h"
#include "tokengate/platform/service_linux.h"
#include "tokengate/platform/unix_rpc.h"
#ifdef TG_HAVE_KERBEROS
#include "tokengate/platform/kerberos_s4u.h"
#endif

namespace tokengate::broker {
namespace {

namespace plat = tokengate::platform;

thread_local std::uint32_t tLastError = 0;

std::string Narrow(std::u16string_view s) {
  return text::Utf16ToUtf8(s);
}

// A systemd unit standing for one installed service.
class SystemdServiceHandle final : public IServiceHandle {
 public:
  SystemdServiceHandle(const plat::SystemdUnits& units, plat::UnitDefinition unit)
      : units_(units), unit_(std::move(unit)) {}

  bool SetDescription(std::u16string_view description) override {
    unit_.description = Narrow(description);
    return Ok(units_.Rewrite(unit_));
  }
  bool ControlStop(ServiceStatus& status) override {
    if (!Ok(units_.Stop(unit_.name)))
      return false;
    status.currentState = kServiceStopPending;
    status.waitHint = kPendingWaitHintMs;
    return true;
  }
  bool QueryStatus(ServiceStatus& status) override {
    std::uint32_t err = 0;
    const plat::UnitState state = units_.State(unit_.name, err);
    if (!Ok(err))
      return false;
    status.waitHint = 0;
    switch (state) {
      case plat::UnitState::Active:
        status.currentState = kServiceRunning;
        break;
      case plat::UnitState::Activating:
        status.currentState = kServiceStartPending;
        status.waitHint = kPendingWaitHintMs;
        break;
      case plat::UnitState::Deactivating:
        status.currentState = kServiceStopPending;
        status.waitHint = kPendingWaitHintMs;
        break;
      default:
        status.currentState = kServiceStopped;
        break;
    }
    return true;
  }
  bool Start() override { return Ok(units_.Start(unit_.name)); }
  bool Delete() override { return Ok(units_.Remove(unit_.name)); }

 private:
  static constexpr std::uint32_t kPendingWaitHintMs = 10000;
  static bool Ok(std::uint32_t err) {
    tLastError = err;
    return err == 0;
  }
  const plat::SystemdUnits& units_;
  plat::UnitDefinition unit_;
};

class SystemdServiceManager final : public IServiceManager {
 public:
  explicit SystemdServiceManager(const plat::SystemdUnits& units) : units_(units) {}

  std::unique_ptr<IServiceHandle> CreateService(const ServiceDefinition& definition) override {
    // The dependency names a Windows service; the socket transport needs no other service.
    plat::UnitDefinition unit{
        Narrow(definition.name), Narrow(definition.displayName), {}, Narrow(definition.binaryPath)};
    // The web server's group owns the socket and may enter the runtime directory.
    unit.socketGroup = plat::InstallSocketGroup();
    unit.socketName = Narrow(rpc::kEndpoint);
    tLastError = units_.Install(unit);
    if (tLastError != 0)
      return nullptr;
    return std::make_unique<SystemdServiceHandle>(units_, std::move(unit));
  }
  std::unique_ptr<IServiceHandle> OpenService(std::u16string_view name) override {
    plat::UnitDefinition unit{
        Narrow(name), Narrow(kServiceReadableName), Narrow(kServiceDescription), {}};
    if (!units_.Exists(unit.name)) {
      tLastError = plat::kSvcErrDoesNotExist;
      return nullptr;
    }
    std::uint32_t err = 0;
    if (const auto path = plat::OwnExecutablePath(err))
      unit.execStart = *path;
    return std::make_unique<SystemdServiceHandle>(units_, std::move(unit));
  }

 private:
  const plat::SystemdUnits& units_;
};

class LinuxServicePlatform final : public IServicePlatform {
 public:
  void WriteStdout(std::u16string_view text) override {
    const std::string bytes = text::Utf16ToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
  }
  void ReportEvent(std::u16string_view, EventType type,
                   std::u16string_view message) noexcept override {
    try {
      plat::SystemLogWrite(static_cast<std::uint16_t>(type), kEventCategory, kEventId,
                           text::Utf16ToUtf8(message));
    } catch (...) {
      // dropped, like an entry the event log cannot take
    }
  }
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
  std::uint32_t LastError() const override { return tLastError; }
  std::u16string SystemErrorText(std::uint32_t code) override {
    return text::Utf8ToUtf16(plat::ServiceErrorText(code));
  }
  std::optional<std::u16string> ModuleFileName() override {
    std::uint32_t err = 0;
    const auto path = plat::OwnExecutablePath(err);
    tLastError = err;
    if (!path)
      return std::nullopt;
    return text::Utf8ToUtf16(*path);
  }
  std::unique_ptr<IServiceManager> OpenServiceManager() override {
    tLastError = units_.CheckManager();
    if (tLastError != 0)
      return nullptr;
    return std::make_unique<SystemdServiceManager>(units_);
  }
  bool StartServiceDispatcher(std::u16string_view, IServiceCallbacks& callbacks) override {
    notifySocket_ = plat::NotifySocketPath();
    if (!notifySocket_) {
      tLastError = plat::kSvcErrNotStartedByManager;
      return false;
    }
    const std::uint32_t err =
        plat::RunServiceDispatcher([&callbacks] { callbacks.ServiceMain(); },
                                   [&callbacks] { callbacks.ServiceHandler(kControlStop); });
    tLastError = err;
    return err == 0;
  }
  bool RegisterControlHandler(std::u16string_view) override {
    tLastError = notifySocket_ ? 0 : plat::kSvcErrNotStartedByManager;
    return notifySocket_.has_value();
  }
  bool SetServiceStatus(const ServiceStatus& status) override {
    if (!notifySocket_)
      return false;
    std::string message;
    switch (status.currentState) {
      case kServiceStartPending:
        message = "STATUS=Starting";
        break;
      case kServiceRunning:
        message = "READY=1\nSTATUS=Running";
        break;
      case kServiceStopPending:
        message = "STOPPING=1\nSTATUS=Stopping";
        break;
      default:
        message = "STATUS=Stopped";
        if (status.win32ExitCode != 0) {
          char code[32];
          std::snprintf(code, sizeof code, " (exit code 0x%x)", status.win32ExitCode);
          message += code;
        }
        break;
    }
    tLastError = plat::SendNotify(*notifySocket_, message);
    return tLastError == 0;
  }

 private:
  plat::SystemdUnits units_;
  std::optional<std::string> notifySocket_;
};

// The credential is a descriptor; it reaches the caller with the call's reply.
class ReplyHandleTransfer final : public IHandleTransfer {
 public:
  Result Transfer(OwnedCredential credential, std::int32_t childProcessId) override {
    plat::UniqueFd fd(static_cast<int>(credential.Release()));
    const int value = fd.get();
    switch (plat::TransferToCaller(std::move(fd), childProcessId)) {
      case plat::ReplyTransfer::Attached:
        return {Outcome::Transferred, value};
      case plat::ReplyTransfer::CallerMismatch:
        return {Outcome::OpenProcessFailed, -1};
      case plat::ReplyTransfer::AttachFailed:
        break;
    }
    return {Outcome::DuplicateHandleFailed, -1};
  }
};

// The service object the logon provider's own messages go to, once it exists.
std::atomic<const AuthenticationService*> gLogTarget{nullptr};

// The S4U logon: Kerberos where this build has it and the host has a keytab (or
// TOKENGATE_KEYTAB names one, or TOKENGATE_S4U_PROVIDER=kerberos asks for it);
// TOKENGATE_S4U_PROVIDER=none switches IWA off. Without Kerberos every IWA logon is refused as
// "package not recognised", and token decoding still works: a host that was never joined to a
// realm must not lose sign-on because its broker could not read a keytab.
std::unique_ptr<IS4ULogonProvider> MakeLogonProvider() {
  const char* choice = std::getenv("TOKENGATE_S4U_PROVIDER");
  if (choice != nullptr && std::strcmp(choice, "none") == 0) {
    return CreateUnavailableS4ULogonProvider();
  }
#ifdef TG_HAVE_KERBEROS
  const bool asked = choice != nullptr && std::strcmp(choice, "kerberos") == 0;
  std::error_code ignored;
  if (!asked && std::getenv("TOKENGATE_KEYTAB") == nullptr &&
      !std::filesystem::exists("/etc/krb5.keytab", ignored)) {
    return CreateUnavailableS4ULogonProvider();
  }
  return plat::CreateKerberosS4ULogonProvider(
      [](plat::KerberosEventType type, std::u16string_view message) {
        if (const AuthenticationService* service = gLogTarget.load()) {
          service->LogEvent(static_cast<EventType>(type), message);
        }
      });
#else
  return CreateUnavailableS4ULogonProvider();
#endif
}

// In console mode SIGTERM and SIGINT stop the listener the way the service's stop control does:
// calls in progress finish and their replies go out before the program ends. A signal that
// comes before the listener runs (or after it ended) ends the program at once, as it always did.
class ConsoleStopSignals {
 public:
  explicit ConsoleStopSignals(rpc::IRpcServerRuntime& runtime) : runtime_(runtime) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGINT);
    // Blocked before any other thread starts, so that every thread inherits the mask.
    if (::pthread_sigmask(SIG_BLOCK, &signals_, &previous_) != 0) {
      return;
    }
    blocked_ = true;
    signalFd_.reset(::signalfd(-1, &signals_, SFD_CLOEXEC));
    finished_.reset(::eventfd(0, EFD_CLOEXEC));
    if (signalFd_ && finished_) {
      watcher_ = std::thread([this] { Watch(); });
    }
  }
  ~ConsoleStopSignals() {
    if (watcher_.joinable()) {
      const std::uint64_t one = 1;
      while (::write(finished_.get(), &one, sizeof one) < 0 && errno == EINTR) {
      }
      watcher_.join();
    }
    if (blocked_) {
      ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
  }
  ConsoleStopSignals(const ConsoleStopSignals&) = delete;
  ConsoleStopSignals& operator=(const ConsoleStopSignals&) = delete;

 private:
  void Watch() {
    for (;;) {
      pollfd fds[2] = {{signalFd_.get(), POLLIN, 0}, {finished_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;
      }
      if ((fds[1].revents & POLLIN) != 0) {
        return;
      }
      signalfd_siginfo info{};
      if ((fds[0].revents & POLLIN) == 0 ||
          ::read(signalFd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        continue;
      }
      if (runtime_.StopListening() != 0) {
        // Not listening: the signal's own action, which ends the process.
        const int signal = static_cast<int>(info.ssi_signo);
        ::signal(signal, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal);
        ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        ::raise(signal);
      }
    }
  }

  rpc::IRpcServerRuntime& runtime_;
  sigset_t signals_{};
  sigset_t previous_{};
  bool blocked_ = false;
  plat::UniqueFd signalFd_;
  plat::UniqueFd finished_;
  std::thread watcher_;
};

bool IsConsoleCommand(const std::vector<std::u16string>& args) {
  if (args.empty() || args[0].size() != 8 || (args[0][0] != u'-' && args[0][0] != u'/')) {
    return false;
  }
  std::u16string word;
  for (std::size_t i = 1; i < args[0].size(); ++i) {
    word.push_back(text::AsciiLower(args[0][i]));
  }
  return word == u"console";
}

}  // namespace
}  // namespace tokengate::broker

int main(int argc, char** argv) {
  using namespace tokengate;
  // A closed standard output or client socket must not end the broker.
  ::signal(SIGPIPE, SIG_IGN);
  platform::SystemLogOpen("TarvexWebAgent");

  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i)
    args.push_back(text::FromAnsi(argv[i]));

  try {
    broker::LinuxServicePlatform host;
    platform::UnixRpcServerOptions transport;
    // The transport's refusals (connection limits, slow clients) reach the broker's log.
    transport.warn = [](std::u16string_view message) {
      if (const broker::AuthenticationService* service = broker::gLogTarget.load()) {
        service->LogEvent(broker::EventType::Warning, message);
      }
    };
    auto runtime = platform::CreateUnixRpcServerRuntime(transport);
    std::optional<broker::ConsoleStopSignals> consoleStop;
    if (broker::IsConsoleCommand(args)) {
      consoleStop.emplace(*runtime);
    }
    auto service = std::make_unique<broker::AuthenticationService>(
        host, *runtime, broker::MakeLogonProvider(),
        std::make_unique<broker::ReplyHandleTransfer>());
    broker::gLogTarget.store(service.get());
    service->wmain(args);
    consoleStop.reset();
    broker::gLogTarget.store(nullptr);
    // The runtime's call threads use the service: end them first.
    runtime.reset();
    service.reset();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "logon-broker: %s\n", e.what());
  }
  return 0;
}
