#include "tokengate/gate/gate_module.h"

#include "tokengate/gate/context_link.h"
#include "tokengate/gate/request_handler.h"

namespace tokengate::gate {

bool GateModule::GetExtensionVersion(VersionRecord& version) {
  started_.store(true, std::memory_order_release);
  version.version = kGateVersion;
  version.description = kExtensionDescription;
  version.flags = 0;

  // A repeated start replaces the event source and the configuration of the earlier one.
  log_ = GateEventLog(platform_.registerEventSource ? platform_.registerEventSource() : nullptr);
  log_.Report(EventType::Information, u"Initializing CV ISAPI Extension");

  configuration_.reset();
  configuration_ =
      std::make_unique<GateConfiguration>(log_, platform_.registry, platform_.profiles);
  configuration_->OnLoaded(platform_.settingsLoaded);
  if (!configuration_->Load()) {
    log_.Report(EventType::Error, u"Unable to load configuration");
    return false;
  }

  if (!binding_) {
    rpc::RpcStatus status = 0;
    binding_ = platform_.bind ? platform_.bind(rpc::kStringBinding, status) : nullptr;
    if (!binding_) {
      log_.Report(EventType::Error, u"RpcBindingFromStringBinding() failed.");
    }
  }
  broker_ = std::make_unique<BrokerClient>(binding_.get(), log_, platform_.processId);
  return true;
}

std::uint32_t GateModule::HttpExtensionProc(IRequestHost& host) noexcept {
  if (!Started() || !configuration_ || !broker_) {
    return kHseStatusError;
  }
  const GateServices services{*configuration_, log_, *broker_, platform_.adoptBrokerHandle, {}};
  return HandleRequest(host, services);
}

std::uint32_t GateModule::TerminateExtension() noexcept {
  if (!Started()) {
    return kHseStatusError;
  }
  configuration_.reset();
  started_.store(false, std::memory_order_release);
  return 1;
}

bool GateModule::GetFilterVersion(VersionRecord& version) {
  started_.store(true, std::memory_order_release);
  version.version = kGateVersion;
  version.description = kFilterDescription;
  version.flags = kFilterFlags;
  return true;
}

std::uint32_t GateModule::HttpFilterProc(IFilterNotification& notification,
                                         std::uint32_t notificationType) noexcept {
  if (!Started()) {
    return kHseStatusError;
  }
  if (notificationType == kSfNotifyPreprocHeaders) {
    return TagRequest(notification);
  }
  return kSfStatusReqNextNotification;
}

}  // namespace tokengate::gate
