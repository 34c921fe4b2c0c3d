// The gate core as one Apache child process runs it: started once per child, shared by every
// worker thread of the child, terminated when the child exits.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::apache {

struct GateStartOptions {
  // TokenGateInstallPath; unset when the directive is absent (the key then cannot be opened).
  std::optional<std::u16string> installPath;
  std::shared_ptr<gate::IEventSink> sink;
  // Idle broker connections kept for reuse: one per worker thread of the process, so that no
  // call has to connect anew under load (1..64).
  unsigned brokerConnections = 8;
  // The slot of this gate's site in the status counters; -1 counts nothing.
  int statusSlot = -1;
};

class GateRuntime {
 public:
  virtual ~GateRuntime() = default;
  // True when the start-up loaded the configuration; otherwise requests are refused.
  virtual bool Started() const noexcept = 0;
  // The filter step for a request whose headers have been read.
  virtual std::uint32_t Tag(gate::IFilterNotification& notification) noexcept = 0;
  // The protected request handler; returns the extension status.
  virtual std::uint32_t Handle(gate::IRequestHost& host) noexcept = 0;
  // The gate's log, for the host's own reports.
  virtual const gate::GateEventLog& Log() const noexcept = 0;
  // The settings a request of this process reads now; null when none were loaded.
  virtual std::shared_ptr<const gate::GateSettings> Settings() noexcept = 0;
  // The slot of the gate's site in the status counters (GateStartOptions::statusSlot).
  virtual int StatusSlot() const noexcept = 0;
};

// Runs the gate's start-up (event source, configuration load, broker binding). Never null; a
// failed start is reported by Started() and has been logged. Destroying the result terminates
// the gate.
std::unique_ptr<GateRuntime> StartGate(const GateStartOptions& options);

}  // namespace tokengate::apache
