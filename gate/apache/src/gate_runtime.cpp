#include "gate_runtime.h"

#include <unistd.h>

#include <chrono>

#include "tokengate/gate/broker_client.h"
#include "tokengate/gate/context_link.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/request_handler.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::apache {

namespace {

constexpr std::u16string_view kBrokerBinding = u"ncalrpc:[TarvexWebLogonBroker]";

class ProcessGate final : public GateRuntime {
 public:
  explicit ProcessGate(const GateStartOptions& options)
      : log_(options.sink),
        configuration_(log_, std::make_shared<gate::FixedGateRegistry>(options.installPath),
                       std::make_shared<gate::IniProfileReader>()) {
    log_.Report(gate::EventType::Information, u"Initializing CV ISAPI Extension");
    if (!configuration_.Load()) {
      log_.Report(gate::EventType::Error, u"Unable to load configuration");
      return;
    }
    rpc::RpcStatus status = 0;
    binding_ = platform::BindToBroker(kBrokerBinding, &status);
    if (!binding_) {
      log_.Report(gate::EventType::Error, u"RpcBindingFromStringBinding() failed.");
    }
    broker_ = std::make_unique<gate::BrokerClient>(binding_.get(), log_,
                                                   static_cast<std::int32_t>(getpid()));
    started_ = true;
  }

  bool Started() const noexcept override { return started_; }

  std::uint32_t Tag(gate::IFilterNotification& notification) noexcept override {
    return gate::TagRequest(notification);
  }

  std::uint32_t Handle(gate::IRequestHost& host) noexcept override;

  const gate::GateEventLog& Log() const noexcept override { return log_; }

 private:
  gate::GateEventLog log_;
  gate::GateConfiguration configuration_;
  std::unique_ptr<rpc::IAuthenticator> binding_;
  std::unique_ptr<gate::BrokerClient> broker_;
  bool started_ = false;
};

std::uint32_t ProcessGate::Handle(gate::IRequestHost& host) noexcept {
  try {
    // Credentials handed back by the broker are not taken on Linux (no per-request identity to
    // run a request under); the handler then refuses such requests.
    const gate::GateServices services{configuration_, log_, *broker_, nullptr,
                                      [] { return std::chrono::system_clock::now(); }};
    return gate::HandleRequest(host, services);
  } catch (...) {
    log_.Report(gate::EventType::Error, u"Request could not be processed");
    return gate::kHseStatusError;
  }
}

}  // namespace

std::unique_ptr<GateRuntime> StartGate(const GateStartOptions& options) {
  return std::make_unique<ProcessGate>(options);
}

}  // namespace tokengate::apache
