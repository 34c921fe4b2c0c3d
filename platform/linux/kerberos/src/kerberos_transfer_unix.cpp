#include "tokengate/common/rpc_runtime.h"
#include "tokengate/platform/kerberos_transfer.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {

std::unique_ptr<broker::IHandleTransfer> CreateUnixDescriptorHandleTransfer() {
  DescriptorTransferHooks hooks;
  hooks.callerProcessId = []() -> std::optional<std::int32_t> {
    const rpc::ICallContext* context = rpc::CurrentCallContext();
    return context != nullptr ? context->CallerProcessId() : std::nullopt;
  };
  hooks.attachToReply = [](UniqueFd fd) { return AttachReplyDescriptor(std::move(fd)); };
  return CreateDescriptorHandleTransfer(std::move(hooks));
}

}  // namespace tokengate::platform
