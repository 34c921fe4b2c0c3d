#include "tokengate/gate/gate_event_log.h"

namespace tokengate::gate {

void GateEventLog::Report(EventType type, std::u16string_view message) const noexcept {
  if (!sink_) {
    return;
  }
  sink_->Write(type, kEventCategory, kEventId, message.substr(0, kMaxEventChars));
}

void CapturingEventSink::Write(EventType type, std::uint16_t category, std::uint32_t id,
                               std::u16string_view text) noexcept {
  try {
    std::lock_guard lock(mutex_);
    events_.push_back(Event{type, category, id, std::u16string(text)});
  } catch (...) {
    // A test sink that cannot record simply loses the event.
  }
}

std::vector<CapturingEventSink::Event> CapturingEventSink::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void CapturingEventSink::Clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

}  // namespace tokengate::gate
