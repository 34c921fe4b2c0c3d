// Hands a credential descriptor to the broker's caller: the descriptor travels with the call's
// reply over the Unix socket, and only when the caller is the process the call names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "tokengate/broker/auth/logon.h"
#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform {

struct DescriptorTransferHooks {
  // The caller's pid as the transport authenticated it (SO_PEERCRED), when known.
  std::function<std::optional<std::int32_t>()> callerProcessId;
  // Attaches the descriptor to the reply of the call in progress; false when that failed (the
  // descriptor is closed either way).
  std::function<bool(UniqueFd)> attachToReply;
};

// Transfer: a caller whose authenticated pid is unknown or differs from `childProcessId` gives
// OpenProcessFailed; a descriptor that cannot be attached gives DuplicateHandleFailed. The
// credential is closed in this process on every path (once attached, the transport owns it).
std::unique_ptr<broker::IHandleTransfer> CreateDescriptorHandleTransfer(
    DescriptorTransferHooks hooks);

// The same over the broker's Unix socket runtime (CurrentCallContext, AttachReplyDescriptor).
std::unique_ptr<broker::IHandleTransfer> CreateUnixDescriptorHandleTransfer();

}  // namespace tokengate::platform
