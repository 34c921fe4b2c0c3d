#include "gate_runtime.h"

#include <unistd.h>

#include <algorithm>

#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/gate_module.h"
#include "tokengate/platform/unix_rpc.h"
#include "user_credential.h"

namespace tokengate::apache {

namespace {

// The gate module of one Apache child process, started through both roles' entry points.
class ProcessGate final : public GateRuntime {
 public:
  explicit ProcessGate(const GateStartOptions& options) : module_(PlatformFor(options, this)) {
    gate::VersionRecord filter;
    gate::VersionRecord extension;
    module_.GetFilterVersion(filter);
    started_ = module_.GetExtensionVersion(extension);
  }

  ~ProcessGate() override { module_.TerminateExtension(); }

  ProcessGate(const ProcessGate&) = delete;
  ProcessGate& operator=(const ProcessGate&) = delete;

  bool Started() const noexcept override { return started_ && module_.Started(); }

  std::uint32_t Tag(gate::IFilterNotification& notification) noexcept override {
    return module_.HttpFilterProc(notification, gate::kSfNotifyPreprocHeaders);
  }

  std::uint32_t Handle(gate::IRequestHost& host) noexcept override {
    return module_.HttpExtensionProc(host);
  }

  const gate::GateEventLog& Log() const noexcept override { return module_.Log(); }

  std::shared_ptr<const gate::GateSettings> Settings() noexcept override {
    gate::GateConfiguration* configuration = module_.Configuration();
    return configuration != nullptr ? configuration->Snapshot() : nullptr;
  }

 private:
  static gate::GatePlatform PlatformFor(const GateStartOptions& options, ProcessGate* self) {
    gate::GatePlatform platform;
    platform.registerEventSource = [sink = options.sink] { return sink; };
    platform.registry = std::make_shared<gate::FixedGateRegistry>(options.installPath);
    platform.profiles = std::make_shared<gate::IniProfileReader>();
    platform::BrokerClientOptions broker;
    broker.poolSize = std::clamp(options.brokerConnections, 1u, 64u);
    // Why a call was refused when its status cannot say it (a socket served by the wrong user).
    broker.reportError = [self](std::u16string_view why) {
      self->module_.Log().Report(gate::EventType::Error, why);
    };
    platform.bind = [broker](std::u16string_view binding, rpc::RpcStatus& status) {
      return platform::BindToBroker(binding, &status, broker);
    };
    // The IWA call's handle is the descriptor of the user's Kerberos credential; one that is not
    // a sealed credential cache is closed and refused, and the reason logged.
    platform.adoptBrokerHandle = [self](std::intptr_t handle) {
      return AdoptBrokerCredential(handle, [self](std::u16string_view why) {
        self->module_.Log().Report(gate::EventType::Warning, why);
      });
    };
    platform.processId = static_cast<std::int32_t>(getpid());
    return platform;
  }

  gate::GateModule module_;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<GateRuntime> StartGate(const GateStartOptions& options) {
  return std::make_unique<ProcessGate>(options);
}

}  // namespace tokengate::apache
