#include "gate_runtime.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "status_counters.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/gate_module.h"
#include "tokengate/platform/unix_rpc.h"
#include "user_credential.h"

namespace tokengate::apache {

namespace {

// The broker binding as the status counters see it: every call counted by result and RPC status
// and timed, re-issued tokens counted, and the result noted for the request's outcome.
class CountingAuthenticator final : public rpc::IAuthenticator {
 public:
  CountingAuthenticator(std::unique_ptr<rpc::IAuthenticator> inner, int slot)
      : inner_(std::move(inner)), slot_(slot) {}

  std::intptr_t GetHeaderString(std::int32_t configLength, const char16_t* config,
                                std::int32_t tokenLength, const char16_t* token,
                                std::int32_t prefixLength, const char16_t* prefix,
                                std::int32_t window, std::int32_t* updatedLength, char16_t* updated,
                                std::int32_t* headerLength, char16_t* header,
                                std::int32_t* listLength, char16_t* list) override {
    return Observe(status::BrokerProcedure::GetHeaderString, {token, tokenLength}, updatedLength,
                   updated, [&] {
                     return inner_->GetHeaderString(
                         configLength, config, tokenLength, token, prefixLength, prefix, window,
                         updatedLength, updated, headerLength, header, listLength, list);
                   });
  }

  std::intptr_t GetHeaderStringWithIWA(std::int32_t configLength, const char16_t* config,
                                       std::int32_t tokenLength, const char16_t* token,
                                       std::int32_t prefixLength, const char16_t* prefix,
                                       std::int32_t window, std::int32_t childProcessId,
                                       std::int32_t* updatedLength, char16_t* updated,
                                       std::int32_t* headerLength, char16_t* header,
                                       std::int32_t* listLength, char16_t* list) override {
    return Observe(status::BrokerProcedure::GetHeaderStringWithIWA, {token, tokenLength},
                   updatedLength, updated, [&] {
                     return inner_->GetHeaderStringWithIWA(configLength, config, tokenLength, token,
                                                           prefixLength, prefix, window,
                                                           childProcessId, updatedLength, updated,
                                                           headerLength, header, listLength, list);
                   });
  }

 private:
  struct Units {
    const char16_t* data;
    std::int32_t length;
    std::u16string_view View(std::int32_t capacity) const noexcept {
      if (data == nullptr || length <= 0) {
        return {};
      }
      return {data, static_cast<std::size_t>(std::min(length, capacity))};
    }
  };

  template <typename Call>
  std::intptr_t Observe(status::BrokerProcedure procedure, Units sent,
                        const std::int32_t* updatedLength, const char16_t* updated, Call&& call) {
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed = [started] {
      return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                            std::chrono::steady_clock::now() - started)
                                            .count());
    };
    std::intptr_t result = rpc::kResultFailure;
    try {
      result = call();
    } catch (const rpc::RpcException& e) {
      Count(procedure, status::BrokerResult::RpcError, e.code(), elapsed());
      throw;
    } catch (const std::bad_alloc&) {
      Count(procedure, status::BrokerResult::RpcError, rpc::kStatusOutOfMemory, elapsed());
      throw;
    } catch (...) {
      Count(procedure, status::BrokerResult::RpcError, rpc::kStatusInternalError, elapsed());
      throw;
    }
    const std::uint64_t nanos = elapsed();
    const std::u16string_view fresh =
        Units{updated, updatedLength != nullptr ? *updatedLength : 0}.View(
            rpc::kMaxUpdatedTokenUnits);
    if (text::EqualsIgnoreAsciiCase(fresh, rpc::kSessionExpired)) {  // as the gate reads it
      Count(procedure, status::BrokerResult::Expired, 0, nanos);
    } else if (result == rpc::kResultFailure) {
      Count(procedure, status::BrokerResult::Refused, 0, nanos);
    } else {
      Count(procedure, status::BrokerResult::Ok, 0, nanos);
      if (!fresh.empty() && fresh != sent.View(rpc::kMaxTokenUnits + 1)) {
        status::CountReissue(slot_);
      }
    }
    return result;
  }

  void Count(status::BrokerProcedure procedure, status::BrokerResult result, std::uint32_t code,
             std::uint64_t nanos) noexcept {
    status::NoteBrokerResult(result, code);
    status::CountBrokerCall(slot_, procedure, result, code, nanos);
  }

  std::unique_ptr<rpc::IAuthenticator> inner_;
  int slot_;
};

// The gate's events as the status counters see them (what a request's outcome was), passed on.
class ObservingSink final : public gate::IEventSink {
 public:
  explicit ObservingSink(std::shared_ptr<gate::IEventSink> inner) : inner_(std::move(inner)) {}
  void Write(gate::EventType type, std::uint16_t category, std::uint32_t id,
             std::u16string_view text) noexcept override {
    status::NoteEvent(type, text);
    inner_->Write(type, category, id, text);
  }

 private:
  std::shared_ptr<gate::IEventSink> inner_;
};

// The gate module of one Apache child process, started through both roles' entry points.
class ProcessGate final : public GateRuntime {
 public:
  explicit ProcessGate(const GateStartOptions& options)
      : module_(PlatformFor(options, this)), statusSlot_(options.statusSlot) {
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
    status::ResetNotes();
    return module_.HttpExtensionProc(host);
  }

  const gate::GateEventLog& Log() const noexcept override { return module_.Log(); }

  std::shared_ptr<const gate::GateSettings> Settings() noexcept override {
    gate::GateConfiguration* configuration = module_.Configuration();
    return configuration != nullptr ? configuration->Snapshot() : nullptr;
  }

  int StatusSlot() const noexcept override { return statusSlot_; }

 private:
  static gate::GatePlatform PlatformFor(const GateStartOptions& options, ProcessGate* self) {
    gate::GatePlatform platform;
    std::shared_ptr<gate::IEventSink> sink;
    if (options.sink) {
      sink = std::make_shared<ObservingSink>(options.sink);
    }
    platform.registerEventSource = [sink] { return sink; };
    platform.registry = std::make_shared<gate::FixedGateRegistry>(options.installPath);
    platform.profiles = std::make_shared<gate::IniProfileReader>();
    platform::BrokerClientOptions broker;
    broker.poolSize = std::clamp(options.brokerConnections, 1u, 64u);
    // Why a call was refused when its status cannot say it (a socket served by the wrong user).
    broker.reportError = [self](std::u16string_view why) {
      self->module_.Log().Report(gate::EventType::Error, why);
    };
    platform.bind = [broker, slot = options.statusSlot](
                        std::u16string_view binding,
                        rpc::RpcStatus& status) -> std::unique_ptr<rpc::IAuthenticator> {
      std::unique_ptr<rpc::IAuthenticator> bound = platform::BindToBroker(binding, &status, broker);
      if (!bound) {
        return nullptr;
      }
      return std::make_unique<CountingAuthenticator>(std::move(bound), slot);
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
  int statusSlot_;
};

}  // namespace

std::unique_ptr<GateRuntime> StartGate(const GateStartOptions& options) {
  return std::make_unique<ProcessGate>(options);
}

}  // namespace tokengate::apache
