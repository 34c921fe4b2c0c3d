// The gate's module-wide state and its five entry points, independent of the web server: the
// ISAPI exports forward to them one to one; the Apache module runs the start-up when a child
// process starts and the termination when it exits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tokengate/common/authenticator.h"
#include "tokengate/common/rpc_runtime.h"
#include "tokengate/gate/broker_client.h"
#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate {

inline constexpr std::uint32_t kGateVersion = 0x00070005;  // 7.5
inline constexpr char kExtensionDescription[] = "Corvane Tessera ISAPI Extension";
inline constexpr char kFilterDescription[] = "Corvane Tessera ISAPI Filter";
inline constexpr std::uint32_t kSfNotifyOrderLow = 0x00020000;
inline constexpr std::uint32_t kSfNotifyPreprocHeaders = 0x00004000;
inline constexpr std::uint32_t kFilterFlags = kSfNotifyOrderLow | kSfNotifyPreprocHeaders;
inline constexpr char16_t kEventSourceName[] = u"CV ISAPI Agent";

struct VersionRecord {
  std::uint32_t version = 0;
  std::string description;
  std::uint32_t flags = 0;  // filter only
};

// What the start-up needs from the platform.
struct GatePlatform {
  // Registers the event source "CV ISAPI Agent"; null when registration failed (events are then
  // dropped).
  std::function<std::shared_ptr<IEventSink>()> registerEventSource;
  std::shared_ptr<IGateRegistry> registry;
  std::shared_ptr<IProfileReader> profiles;
  // Builds the binding from the string binding; null (with `status`) when that fails.
  std::function<std::unique_ptr<rpc::IAuthenticator>(std::u16string_view, rpc::RpcStatus&)> bind;
  // Adopts the handle value of an IWA call; null where IWA is not supported.
  std::function<Credential(std::intptr_t)> adoptBrokerHandle;
  std::int32_t processId = 0;
  // Given the values each time the extension's configuration has been loaded (at start-up and on
  // every reload); may be empty.
  GateConfiguration::LoadListener settingsLoaded;
};

class GateModule {
 public:
  explicit GateModule(GatePlatform platform) : platform_(std::move(platform)) {}
  GateModule(const GateModule&) = delete;
  GateModule& operator=(const GateModule&) = delete;

  // Start-up of the extension role: marker, version record, event source, configuration, broker
  // binding, in that order. False when the configuration could not be loaded.
  bool GetExtensionVersion(VersionRecord& version);
  // 4 before start-up and after termination, otherwise the request handler's status.
  std::uint32_t HttpExtensionProc(IRequestHost& host) noexcept;
  // 4 when not started; otherwise drops the configuration and the marker and returns 1.
  std::uint32_t TerminateExtension() noexcept;
  // Start-up of the filter role: only the marker and the version record.
  bool GetFilterVersion(VersionRecord& version);
  // 4 when not started; tags the request for the preprocessed-headers notification; every other
  // notification passes on.
  std::uint32_t HttpFilterProc(IFilterNotification& notification,
                               std::uint32_t notificationType) noexcept;

  bool Started() const noexcept { return started_.load(std::memory_order_acquire); }
  const GateEventLog& Log() const noexcept { return log_; }
  // The configuration record, null before start-up and after termination.
  GateConfiguration* Configuration() noexcept { return configuration_.get(); }

 private:
  GatePlatform platform_;
  // The started marker is shared by both roles; its presence is all that matters.
  std::atomic<bool> started_{false};
  GateEventLog log_;
  std::unique_ptr<GateConfiguration> configuration_;
  // Built once, kept until the module goes away, as the binding is never released.
  std::unique_ptr<rpc::IAuthenticator> binding_;
  std::unique_ptr<BrokerClient> broker_;
};

}  // namespace tokengate::gate
