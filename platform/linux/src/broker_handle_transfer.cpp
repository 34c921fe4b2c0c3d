#include "tokengate/platform/broker_handle_transfer.h"

#include <utility>

#include "tokengate/common/rpc_runtime.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::platform {

ReplyTransfer TransferToCaller(UniqueFd credential, std::int32_t childProcessId) {
  const rpc::ICallContext* call = rpc::CurrentCallContext();
  const auto caller = call != nullptr ? call->CallerProcessId() : std::nullopt;
  // Only the process that is actually on the other end of the socket can receive the
  // descriptor; a call naming any other process is refused.
  if (!caller || *caller != childProcessId)
    return ReplyTransfer::CallerMismatch;
  return AttachReplyDescriptor(std::move(credential)) ? ReplyTransfer::Attached
                                                      : ReplyTransfer::AttachFailed;
}

}  // namespace tokengate::platform
