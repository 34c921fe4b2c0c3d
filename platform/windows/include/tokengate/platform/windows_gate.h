// The gate's platform seams on Windows: the registry key that holds InstallPath, the system's
// profile reader and the event log source.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/gate_event_log.h"

namespace tokengate::platform {

// HKEY_LOCAL_MACHINE\Software\Tarvex Corporation\ISAPI Configuration, read through the 64-bit
// view. Each read reports what RegQueryValueExW answered; the gate validates and grows the buffer.
class WindowsGateRegistry final : public gate::IGateRegistry {
 public:
  WindowsGateRegistry() = default;
  // Another key below HKEY_LOCAL_MACHINE (used by tests).
  explicit WindowsGateRegistry(std::u16string subKey) : subKey_(std::move(subKey)) {}
  std::unique_ptr<gate::IRegistryKey> OpenGateKey() override;
  char16_t PathSeparator() const noexcept override { return u'\\'; }

 private:
  std::u16string subKey_ = u"Software\\Tarvex Corporation\\ISAPI Configuration";
};

// GetPrivateProfileStringW per key with no default and a 10,000-character buffer.
class WindowsProfileReader final : public gate::IProfileReader {
 public:
  std::unique_ptr<gate::IProfile> Open(const std::u16string& path) override;
};

// Registers an event source on the local computer; null when the registration fails. The sink
// deregisters the source when it goes away.
std::shared_ptr<gate::IEventSink> RegisterWindowsEventSource(std::u16string_view sourceName);

}  // namespace tokengate::platform
