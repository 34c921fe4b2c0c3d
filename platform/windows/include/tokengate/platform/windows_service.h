// The broker's service host over the Windows service control manager and event log, and the
// hand-over of an access token into the caller's process.
#pragma once

#include <memory>
#include <string>

#include "tokengate/broker/auth/logon.h"
#include "tokengate/broker/service/service_platform.h"

namespace tokengate::platform {

// Events go to the event source `eventSource` (registered on first use).
std::unique_ptr<broker::IServicePlatform> CreateWindowsServicePlatform(std::u16string eventSource);

// OpenProcess + DuplicateHandle (closing the broker's copy, same access) into the caller.
std::unique_ptr<broker::IHandleTransfer> CreateDuplicateHandleTransfer();

}  // namespace tokengate::platform
