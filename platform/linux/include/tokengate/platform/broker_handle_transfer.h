// The broker's hand-over of a credential descriptor to the caller of the call in progress.
#pragma once

#include <cstdint>

#include "tokengate/platform/unique_fd.h"

namespace tokengate::platform {

enum class ReplyTransfer { Attached, CallerMismatch, AttachFailed };

// Attaches `credential` to the reply of the current call, so that it reaches the caller's
// process, once the caller's process id (from the socket's peer credentials) is known to equal
// `childProcessId`. The broker's own descriptor is closed on every path.
ReplyTransfer TransferToCaller(UniqueFd credential, std::int32_t childProcessId);

}  // namespace tokengate::platform
