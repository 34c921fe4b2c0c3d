// The gate's registry key through RegOpenKeyExW / RegQueryValueExW.
#include <windows.h>

#include <climits>

#include "tokengate/platform/windows_gate.h"
#include "wide.h"

namespace tokengate::platform {
namespace {

class WindowsRegistryKey final : public gate::IRegistryKey {
 public:
  explicit WindowsRegistryKey(HKEY key) : key_(key) {}
  ~WindowsRegistryKey() override { RegCloseKey(key_); }
  WindowsRegistryKey(const WindowsRegistryKey&) = delete;
  WindowsRegistryKey& operator=(const WindowsRegistryKey&) = delete;

  gate::RegistryValueRead ReadValue(std::u16string_view name, std::size_t capacityBytes) override {
    gate::RegistryValueRead read;
    if (capacityBytes > ULONG_MAX) {
      read.status = gate::RegistryValueRead::Status::Failed;
      return read;
    }
    read.data.assign(capacityBytes, 0);
    const std::wstring valueName = Wide(name);
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(capacityBytes);
    const LSTATUS status = RegQueryValueExW(key_, valueName.c_str(), nullptr, &type,
                                            read.data.empty() ? nullptr : read.data.data(), &size);
    read.type = type;
    switch (status) {
      case ERROR_SUCCESS:
        read.status = gate::RegistryValueRead::Status::Ok;
        read.data.resize(size < capacityBytes ? size : capacityBytes);
        break;
      case ERROR_MORE_DATA:
        read.status = gate::RegistryValueRead::Status::MoreData;
        read.data.clear();
        break;
      case ERROR_FILE_NOT_FOUND:
        read.status = gate::RegistryValueRead::Status::NotFound;
        read.data.clear();
        break;
      default:
        read.status = gate::RegistryValueRead::Status::Failed;
        read.data.clear();
        break;
    }
    return read;
  }

 private:
  HKEY key_;
};

}  // namespace

std::unique_ptr<gate::IRegistryKey> WindowsGateRegistry::OpenGateKey() {
  const std::wstring path = Wide(subKey_);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
      ERROR_SUCCESS) {
    return nullptr;
  }
  return std::make_unique<WindowsRegistryKey>(key);
}

}  // namespace tokengate::platform
