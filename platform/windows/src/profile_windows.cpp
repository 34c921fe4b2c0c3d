// The conf file through the system's profile reader, one call per key.
#include <windows.h>

#include <vector>

#include "tokengate/platform/windows_gate.h"
#include "wide.h"

namespace tokengate::platform {
namespace {

constexpr DWORD kProfileBufferChars = 10000;

class WindowsProfile final : public gate::IProfile {
 public:
  explicit WindowsProfile(std::wstring path) : path_(std::move(path)) {}

  std::u16string Get(std::u16string_view section, std::u16string_view key) const override {
    const std::wstring s = Wide(section);
    const std::wstring k = Wide(key);
    std::vector<wchar_t> buffer(kProfileBufferChars, L'\0');
    const DWORD n = GetPrivateProfileStringW(s.c_str(), k.c_str(), L"", buffer.data(),
                                             kProfileBufferChars, path_.c_str());
    const DWORD units = n < kProfileBufferChars ? n : kProfileBufferChars - 1;
    return FromWide(std::wstring_view(buffer.data(), units));
  }

 private:
  std::wstring path_;
};

}  // namespace

std::unique_ptr<gate::IProfile> WindowsProfileReader::Open(const std::u16string& path) {
  return std::make_unique<WindowsProfile>(Wide(path));
}

}  // namespace tokengate::platform
