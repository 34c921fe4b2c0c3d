// The gate's only log. Every event carries a type, category 1000, identifier 1001 and one text of
// at most 255 characters. Where the events end up is the sink's business (the Windows event log,
// Apache's error log, a capturing sink in tests).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tokengate::gate {

enum class EventType : std::uint16_t { Error = 1, Warning = 2, Information = 4 };

inline constexpr std::uint16_t kEventCategory = 1000;
inline constexpr std::uint32_t kEventId = 1001;
inline constexpr std::size_t kMaxEventChars = 255;

class IEventSink {
 public:
  virtual ~IEventSink() = default;
  // Called from many threads at once; must not throw.
  virtual void Write(EventType type, std::uint16_t category, std::uint32_t id,
                     std::u16string_view text) noexcept = 0;
};

class GateEventLog {
 public:
  // A log without a sink drops every event, as when the event source could not be registered.
  GateEventLog() = default;
  explicit GateEventLog(std::shared_ptr<IEventSink> sink) : sink_(std::move(sink)) {}

  // Writes one event; a text longer than 255 characters is cut after its 255th character.
  void Report(EventType type, std::u16string_view message) const noexcept;

  bool HasSink() const noexcept { return sink_ != nullptr; }

 private:
  std::shared_ptr<IEventSink> sink_;
};

// Keeps every event in memory, in order; for tests and diagnostics.
class CapturingEventSink final : public IEventSink {
 public:
  struct Event {
    EventType type;
    std::uint16_t category;
    std::uint32_t id;
    std::u16string text;
    bool operator==(const Event&) const = default;
  };

  void Write(EventType type, std::uint16_t category, std::uint32_t id,
             std::u16string_view text) noexcept override;
  std::vector<Event> Events() const;
  void Clear();

 private:
  mutable std::mutex mutex_;  // test-only sink; the gate's own sinks take no lock
  std::vector<Event> events_;
};

}  // namespace tokengate::gate
