// The S4U logon through the LSA.
#include <windows.h>

// The LSA declarations need the base types of windows.h and NTSTATUS.
#include <ntsecapi.h>
#include <winternl.h>

#include <atomic>
#include <cstring>

#include "tokengate/platform/windows_lsa.h"

namespace tokengate::platform {

void LocalFreeDeleter::operator()(void* block) const noexcept {
  LocalFree(block);
}

namespace {

constexpr std::size_t kMaxCountedUnits = 32766;  // 2 x (units + 1) must fit 16 bits
constexpr NTSTATUS kStatusNoToken = static_cast<NTSTATUS>(0xC000007CL);
constexpr char kOriginName[] = "SFULogon";
constexpr char kSourceName[] = "TarvexWe";
constexpr DWORD kSourceIdLow = 0xFE3D1094;
constexpr LONG kSourceIdHigh = 0x5C44120E;

// An 8-bit counted string over a NUL-terminated text (the text must outlive it).
LSA_STRING CountedString(const char* text) {
  LSA_STRING s{};
  if (text != nullptr) {
    const std::size_t n = std::strlen(text);
    s.Length = static_cast<USHORT>(n);
    s.MaximumLength = static_cast<USHORT>(n + 1);
    s.Buffer = const_cast<char*>(text);
  }
  return s;
}

class PrivilegeHold final : public broker::IPrivilegeHold {
 public:
  PrivilegeHold(HANDLE token, TOKEN_PRIVILEGES previous) : token_(token), previous_(previous) {}
  ~PrivilegeHold() override {
    AdjustTokenPrivileges(token_, FALSE, &previous_, sizeof previous_, nullptr, nullptr);
    CloseHandle(token_);
  }
  PrivilegeHold(const PrivilegeHold&) = delete;
  PrivilegeHold& operator=(const PrivilegeHold&) = delete;

 private:
  HANDLE token_;
  TOKEN_PRIVILEGES previous_;
};

void CloseToken(std::intptr_t value) noexcept {
  CloseHandle(reinterpret_cast<HANDLE>(value));
}

class LsaS4ULogonProvider final : public broker::IS4ULogonProvider {
 public:
  ~LsaS4ULogonProvider() override { DeregisterLogonProcess(); }

  std::int32_t EnablePrivilege(std::unique_ptr<broker::IPrivilegeHold>& hold) override {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
      return static_cast<std::int32_t>(0x80070006);
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    TOKEN_PRIVILEGES previous{};
    DWORD previousSize = sizeof previous;
    if (!LookupPrivilegeValueW(nullptr, L"SeTcbPrivilege", &wanted.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token, FALSE, &wanted, sizeof previous, &previous, &previousSize)) {
      CloseHandle(token);
      return static_cast<std::int32_t>(0x80070005);
    }
    try {
      hold = std::make_unique<PrivilegeHold>(token, previous);
    } catch (...) {
      AdjustTokenPrivileges(token, FALSE, &previous, sizeof previous, nullptr, nullptr);
      CloseHandle(token);
      return static_cast<std::int32_t>(0x8007000E);
    }
    return 0;
  }

  std::int32_t RegisterLogonProcess(const std::string& logonProcessName) override {
    LSA_STRING name = CountedString(logonProcessName.c_str());
    HANDLE handle = nullptr;
    LSA_OPERATIONAL_MODE mode = 0;
    const NTSTATUS status = LsaRegisterLogonProcess(&name, &handle, &mode);
    if (status >= 0) {
      if (HANDLE old = handle_.exchange(handle))
        LsaDeregisterLogonProcess(old);
    }
    return status;
  }

  std::int32_t LookupAuthenticationPackage(const std::string& packageName,
                                           std::uint32_t& id) override {
    LSA_STRING name = CountedString(packageName.c_str());
    ULONG package = 0xFFFFFFFF;
    const NTSTATUS status = LsaLookupAuthenticationPackage(handle_.load(), &name, &package);
    id = package;
    return status;
  }

  std::int32_t DeregisterLogonProcess() override {
    HANDLE handle = handle_.exchange(nullptr);
    return handle != nullptr ? LsaDeregisterLogonProcess(handle) : 0;
  }

  broker::LogonResult LogonUser(const std::u16string& upn, const std::u16string& realm,
                                std::uint32_t packageId) override {
    broker::LogonResult result;
    std::size_t size = 0;
    LsaLogonBlock block = ConstructLsaLogonBlock(upn, realm, size);
    if (!block) {
      result.status = static_cast<std::int32_t>(0xC0000017);  // STATUS_NO_MEMORY
      result.winError = ERROR_NOT_ENOUGH_MEMORY;
      return result;
    }
    LSA_STRING origin = CountedString(kOriginName);
    TOKEN_SOURCE source{};
    std::memcpy(source.SourceName, kSourceName, sizeof source.SourceName);
    source.SourceIdentifier.LowPart = kSourceIdLow;
    source.SourceIdentifier.HighPart = kSourceIdHigh;
    void* profile = nullptr;
    ULONG profileLength = 0;
    LUID logonId{};
    HANDLE token = nullptr;
    QUOTA_LIMITS quotas{};
    NTSTATUS subStatus = 0;
    NTSTATUS status = LsaLogonUser(handle_.load(), &origin, Network, packageId, block.get(),
                                   static_cast<ULONG>(size), nullptr, &source, &profile,
                                   &profileLength, &logonId, &token, &quotas, &subStatus);
    block.reset();
    if (status >= 0 && token == nullptr)
      status = kStatusNoToken;  // success without an access token is no logon
    result.status = status;
    result.subStatus = subStatus;
    result.winError = LsaNtStatusToWinError(status);
    if (token != nullptr)
      result.credential =
          broker::OwnedCredential(reinterpret_cast<std::intptr_t>(token), &CloseToken);
    if (status >= 0 && profile != nullptr && profileLength >= sizeof(KERB_INTERACTIVE_PROFILE)) {
      const auto* p = static_cast<const KERB_INTERACTIVE_PROFILE*>(profile);
      result.passwordMustChange =
          p->PasswordMustChange.LowPart == 0 && p->PasswordMustChange.HighPart == 0;
    }
    if (profile != nullptr)
      LsaFreeReturnBuffer(profile);
    return result;
  }

 private:
  std::atomic<HANDLE> handle_{nullptr};
};

}  // namespace

LsaLogonBlock ConstructLsaLogonBlock(const std::u16string& upn, const std::u16string& realm,
                                     std::size_t& size) {
  size = 0;
  if (upn.size() > kMaxCountedUnits || realm.size() > kMaxCountedUnits)
    return nullptr;
  const std::size_t upnBytes = 2 * (upn.size() + 1);
  const std::size_t realmBytes = realm.empty() ? 0 : 2 * (realm.size() + 1);
  size = sizeof(KERB_S4U_LOGON) + upnBytes + realmBytes;
  LsaLogonBlock block(LocalAlloc(LPTR, size));
  if (!block)
    return nullptr;
  auto* logon = static_cast<KERB_S4U_LOGON*>(block.get());
  logon->MessageType = KerbS4ULogon;
  logon->Flags = 0;
  auto* upnText = reinterpret_cast<wchar_t*>(logon + 1);
  std::memcpy(upnText, upn.c_str(), upnBytes);  // the text and its NUL
  logon->ClientUpn.Length = static_cast<USHORT>(2 * upn.size());
  logon->ClientUpn.MaximumLength = static_cast<USHORT>(upnBytes);
  logon->ClientUpn.Buffer = upnText;
  if (!realm.empty()) {
    auto* realmText = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(upnText) + upnBytes);
    std::memcpy(realmText, realm.c_str(), realmBytes);
    logon->ClientRealm.Length = static_cast<USHORT>(2 * realm.size());
    logon->ClientRealm.MaximumLength = static_cast<USHORT>(realmBytes);
    logon->ClientRealm.Buffer = realmText;
  }
  return block;
}

std::unique_ptr<broker::IS4ULogonProvider> CreateLsaS4ULogonProvider() {
  return std::make_unique<LsaS4ULogonProvider>();
}

}  // namespace tokengate::platform
