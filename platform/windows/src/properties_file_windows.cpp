// The broker's properties-file reader on Windows (see windows_properties_file.h), and the
// codec's checking source built on it.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "tokengate/common/text.h"
#include "tokengate/platform/windows_properties_file.h"
#include "wide.h"

namespace tokengate::platform {
namespace {

using tessera::AgentConfiguration;
using tessera::ConfigurationException;
using tessera::FileNotFoundException;

// Rights that change what the file holds or who may change it.
constexpr ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                     FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER |
                                     GENERIC_WRITE | GENERIC_ALL;

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr)
      CloseHandle(h_);
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

 private:
  HANDLE h_;
};

class LocalMemory {
 public:
  LocalMemory() = default;
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() {
    if (p_ != nullptr)
      LocalFree(p_);
  }
  PSECURITY_DESCRIPTOR* out() { return &p_; }

 private:
  PSECURITY_DESCRIPTOR p_ = nullptr;
};

std::string SystemText(DWORD error) {
  char* buffer = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = n > 0 && buffer != nullptr ? std::string(buffer, n) : std::string();
  if (buffer != nullptr)
    LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(error) : text;
}

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || !IsValidSid(sid) || !ConvertSidToStringSidA(sid, &text))
    return "unknown";
  std::string out(text);
  LocalFree(text);
  return out;
}

bool Trusted(PSID sid, PSID brokerAccount) {
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (brokerAccount != nullptr && EqualSid(sid, brokerAccount));
}

// The account the broker runs as (LocalSystem as a service), or null.
PSID BrokerAccount() {
  static const std::vector<BYTE> account = [] {
    std::vector<BYTE> buffer;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
      return buffer;
    const Handle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
      buffer.clear();
    return buffer;
  }();
  if (account.empty())
    return nullptr;
  return reinterpret_cast<const TOKEN_USER*>(account.data())->User.Sid;
}

bool IsAsciiLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// A DOS device name (NUL, CON, COM1, ...): the system opens the device whatever the directory
// and extension.
bool IsDeviceName(std::wstring_view component) {
  std::wstring_view base = component.substr(0, component.find(L'.'));
  while (!base.empty() && base.back() == L' ')
    base.remove_suffix(1);
  std::wstring upper(base);
  for (wchar_t& c : upper) {
    if (c >= L'a' && c <= L'z')
      c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  for (const wchar_t* name : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"}) {
    if (upper == name)
      return true;
  }
  if (upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT"))) {
    const wchar_t last = upper[3];
    return (last >= L'0' && last <= L'9') || last == 0x00B9 || last == 0x00B2 || last == 0x00B3;
  }
  return false;
}

const char* DriveKind(UINT type) {
  switch (type) {
    case DRIVE_REMOTE:
      return "a network drive";
    case DRIVE_REMOVABLE:
      return "a removable drive";
    case DRIVE_CDROM:
      return "a CD drive";
    case DRIVE_RAMDISK:
      return "a RAM disk";
    case DRIVE_NO_ROOT_DIR:
      return "no drive";
    default:
      return "a drive of unknown kind";
  }
}

std::string Narrow(std::wstring_view text) {
  return text::ToAnsi(FromWide(text));
}

const char kAccessAdvice[] = " /inheritance:r /grant:r SYSTEM:F Administrators:F.";

}  // namespace

std::string PropertiesPathProblem(std::wstring_view path) {
  if (path.size() < 3 || !IsAsciiLetter(path[0]) || path[1] != L':' ||
      (path[2] != L'\\' && path[2] != L'/')) {
    return "must be a full path on a local drive, such as "
           "C:\\Program Files\\Tarvex\\TokenGate\\conf\\agent-config.txt (not a network, device "
           "or relative path).";
  }
  if (path.find(L':', 2) != std::wstring_view::npos)
    return "must not name an alternate data stream.";
  std::size_t begin = 3;
  while (begin <= path.size()) {
    const std::size_t end = std::min(path.find_first_of(L"\\/", begin), path.size());
    const std::wstring_view component = path.substr(begin, end - begin);
    if (IsDeviceName(component))
      return "names the device " + Narrow(component) + "; name a file.";
    begin = end + 1;
  }
  const wchar_t root[] = {path[0], L':', L'\\', L'\0'};
  const UINT type = GetDriveTypeW(root);
  if (type != DRIVE_FIXED) {
    return std::string("must be on a fixed local drive (") + static_cast<char>(path[0]) + ": is " +
           DriveKind(type) + ").";
  }
  return {};
}

std::string PropertiesSecurityProblem(PSID owner, PACL dacl, PSID brokerAccount,
                                      const std::string& path) {
  if (owner == nullptr || !IsValidSid(owner) || !Trusted(owner, brokerAccount)) {
    return "must be owned by SYSTEM or Administrators (the owner is " + SidText(owner) +
           "); icacls \"" + path + "\" /setowner Administrators.";
  }
  if (dacl == nullptr) {
    return "grants everyone full access (it has no access list); icacls \"" + path + "\"" +
           kAccessAdvice;
  }
  ACL_SIZE_INFORMATION size{};
  if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
    return "has an access list that cannot be read.";
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace))
      return "has an access list that cannot be read.";
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0)
      continue;  // for objects made inside it; a file has none
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {  // the same layout up to the SID
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        const PSID sid = &allowed->SidStart;
        if ((allowed->Mask & kWriteRights) != 0 && !Trusted(sid, brokerAccount) &&
            !IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) {
          return "must not be writable by anyone but SYSTEM and Administrators (" + SidText(sid) +
                 " may write it); icacls \"" + path + "\"" + kAccessAdvice;
        }
        break;
      }
      case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
        const auto* allowed = static_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(ace);
        if ((allowed->Mask & kWriteRights) != 0) {
          return "must not be writable by anyone but SYSTEM and Administrators (an object "
                 "entry grants write access); icacls \"" +
                 path + "\"" + kAccessAdvice;
        }
        break;
      }
      default:
        break;  // denials and audit entries only take rights away
    }
  }
  return {};
}

void WindowsPropertiesFileSource::Read(const std::string& path, std::string& text) const {
  const auto refuse = [&path](const std::string& why) {
    throw ConfigurationException(path + ": " + why);
  };
  const auto failed = [&](DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      // The wording the codec has always used for a missing file.
      throw FileNotFoundException(std::generic_category().message(ENOENT));
    }
    refuse("cannot be opened (" + SystemText(error) + ").");
  };
  const auto kind = [&](DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
      refuse("is a symbolic link or junction; name the file it points to.");
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      refuse("is not a regular file (it is a directory).");
  };

  const std::wstring wide = Wide(text::FromAnsi(path));
  if (const std::string problem = PropertiesPathProblem(wide); !problem.empty())
    refuse(problem);
  // The entry first: a directory or link is refused without being opened.
  WIN32_FILE_ATTRIBUTE_DATA entry{};
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &entry))
    failed(GetLastError());
  kind(entry.dwFileAttributes);

  const Handle file(CreateFileW(
      wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid())
    failed(GetLastError());
  if (GetFileType(file.get()) != FILE_TYPE_DISK)
    refuse("is not a regular file (it is a device or a pipe).");
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.get(), &info))
    refuse("cannot be read (" + SystemText(GetLastError()) + ").");
  kind(info.dwFileAttributes);

  PSID owner = nullptr;
  PACL dacl = nullptr;
  LocalMemory descriptor;
  const DWORD rc = GetSecurityInfo(file.get(), SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                   nullptr, &dacl, nullptr, descriptor.out());
  if (rc != ERROR_SUCCESS)
    refuse("cannot be checked (" + SystemText(rc) + ").");
  if (const std::string problem = PropertiesSecurityProblem(owner, dacl, BrokerAccount(), path);
      !problem.empty()) {
    refuse(problem);
  }

  constexpr std::size_t kMax = AgentConfiguration::kMaxFileBytes;
  const std::uint64_t size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) |
                             static_cast<std::uint64_t>(info.nFileSizeLow);
  if (size > kMax)
    refuse("is larger than " + std::to_string(kMax) + " bytes.");
  // One byte more than its size: a file that grew meanwhile is read on, up to the limit.
  text.resize(static_cast<std::size_t>(size) + 1);
  std::size_t got = 0;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file.get(), text.data() + got, static_cast<DWORD>(text.size() - got), &n,
                  nullptr)) {
      refuse("cannot be read (" + SystemText(GetLastError()) + ").");
    }
    got += n;
    if (n == 0 || got < text.size() || text.size() > kMax)
      break;
    text.resize(std::min(text.size() * 2, kMax + 1));
  }
  text.resize(got);
  if (got > kMax)
    refuse("is larger than " + std::to_string(kMax) + " bytes.");
}

}  // namespace tokengate::platform

namespace tessera {

const PropertiesFileSource& CheckedPropertiesFileSource() {
  static const tokengate::platform::WindowsPropertiesFileSource source;
  return source;
}

}  // namespace tessera
