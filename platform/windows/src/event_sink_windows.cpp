// The gate's events through the system event log: one registered source per sink.
#include <windows.h>

#include "tokengate/platform/windows_gate.h"
#include "wide.h"

namespace tokengate::platform {
namespace {

class WindowsEventSink final : public gate::IEventSink {
 public:
  explicit WindowsEventSink(HANDLE source) : source_(source) {}
  ~WindowsEventSink() override { DeregisterEventSource(source_); }
  WindowsEventSink(const WindowsEventSink&) = delete;
  WindowsEventSink& operator=(const WindowsEventSink&) = delete;

  void Write(gate::EventType type, std::uint16_t category, std::uint32_t id,
             std::u16string_view text) noexcept override {
    try {
      const std::wstring message = Wide(text);
      LPCWSTR strings[1] = {message.c_str()};
      ReportEventW(source_, static_cast<WORD>(type), category, id, nullptr, 1, 0, strings, nullptr);
    } catch (...) {
      // An event that cannot even be copied is dropped; logging never fails the caller.
    }
  }

 private:
  HANDLE source_;
};

}  // namespace

std::shared_ptr<gate::IEventSink> RegisterWindowsEventSource(std::u16string_view sourceName) {
  const std::wstring name = Wide(sourceName);
  HANDLE source = RegisterEventSourceW(nullptr, name.c_str());
  if (source == nullptr)
    return nullptr;
  return std::make_shared<WindowsEventSink>(source);
}

}  // namespace tokengate::platform
