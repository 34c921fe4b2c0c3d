// The gate's configuration: where the conf file lives (a registry value), what it holds (27 keys
// of the section ISAPI), and how a reload hands every request one consistent set of values.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"
#include "tokengate/gate/ini_profile.h"

namespace tokengate::gate {

// ---- Registry seam --------------------------------------------------------------------------

// Value types as the registry reports them.
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;

// What one read of a registry value produced. The platform layer reports exactly what the
// registry answered; the gate decides what is acceptable (ValidateInstallPath).
struct RegistryValueRead {
  enum class Status {
    Ok,        // `data` holds the whole value
    MoreData,  // the value is larger than the capacity asked for; read again with more room
    NotFound,  // no such value
    Failed,    // any other failure of the read
  };
  Status status = Status::Failed;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;  // raw bytes (UTF-16LE for string types), at most the capacity
};

// An opened registry key; closing is the destructor's job.
class IRegistryKey {
 public:
  virtual ~IRegistryKey() = default;
  virtual RegistryValueRead ReadValue(std::u16string_view name, std::size_t capacityBytes) = 0;
};

// The gate's registry key and the platform's path separator.
class IGateRegistry {
 public:
  virtual ~IGateRegistry() = default;
  // Opens the gate's key for reading; nullptr when it cannot be opened.
  virtual std::unique_ptr<IRegistryKey> OpenGateKey() = 0;
  // "\" on Windows, "/" elsewhere.
  virtual char16_t PathSeparator() const noexcept = 0;
};

// A registry that holds one fixed InstallPath (or none: the key then cannot be opened). Used on
// platforms without a registry, where the web server's configuration supplies the directory.
class FixedGateRegistry final : public IGateRegistry {
 public:
  explicit FixedGateRegistry(std::optional<std::u16string> installPath, char16_t separator = u'/');
  std::unique_ptr<IRegistryKey> OpenGateKey() override;
  char16_t PathSeparator() const noexcept override { return separator_; }

 private:
  std::optional<std::u16string> installPath_;
  char16_t separator_;
};

// Why a value read for InstallPath was refused, or None.
enum class InstallPathProblem { None, Missing, NotAString, OddSize, NotTerminated, TooLong };

// Applies the acceptance rules to a completed read: the value exists, is REG_SZ or REG_EXPAND_SZ
// (used without expanding environment references), has an even size in bytes and ends with a
// NUL character. An empty string is accepted. On success `value` holds the text without the NUL.
InstallPathProblem ValidateInstallPath(const RegistryValueRead& read, std::u16string& value);

// Reads InstallPath from an opened key: starts with room for 128 characters and grows by 128
// while the registry reports more data, up to kMaxInstallPathChars.
inline constexpr std::size_t kMaxInstallPathChars = 32768;
InstallPathProblem ReadInstallPath(IRegistryKey& key, std::u16string& value);

// ---- Profile seam ---------------------------------------------------------------------------

// One opened conf file; Get returns "" for an absent key, like the platform's reader.
class IProfile {
 public:
  virtual ~IProfile() = default;
  virtual std::u16string Get(std::u16string_view section, std::u16string_view key) const = 0;
};

class IProfileReader {
 public:
  virtual ~IProfileReader() = default;
  // A missing or unreadable file gives a profile in which every key is absent. Throws
  // std::length_error when the file is larger than the reader accepts.
  virtual std::unique_ptr<IProfile> Open(const std::u16string& path) = 0;
};

// The gate's own profile reader (IniProfile) over the file system.
class IniProfileReader final : public IProfileReader {
 public:
  std::unique_ptr<IProfile> Open(const std::u16string& path) override;
};

// ---- Keys and parse rules -------------------------------------------------------------------

inline constexpr std::u16string_view kConfSection = u"ISAPI";

enum class ConfKeyKind { Text, Flag, Number };

struct ConfKey {
  std::u16string_view name;
  ConfKeyKind kind;
  std::variant<std::u16string GateSettings::*, bool GateSettings::*, std::int32_t GateSettings::*>
      field;
};

inline constexpr std::size_t kConfKeyCount = 27;
// The keys, in the order Load reads them.
const std::array<ConfKey, kConfKeyCount>& ConfKeys();

// The SameSite attribute value of the token cookie for the SameSiteCookie text: "Lax", "Strict" or
// "None" in their canonical spelling (the configured text is read without regard to case), else
// empty.
std::u16string_view SameSiteValue(std::u16string_view configured);
// True when ScriptUnauthenticated asks for the 401 answer to script requests: "401", or anything
// but "redirect" (read without regard to case).
bool AnswersScriptsWith401(std::u16string_view configured);

// "YES" in any letter case is true; everything else is false.
bool ParseFlag(std::u16string_view value);
// Leading white space, an optional sign, then decimal digits up to the first non-digit; no
// digits gives 0. Values beyond the 32-bit range are clamped to its ends.
std::int32_t ParseNumber(std::u16string_view value);

// Settings with every key at its default (InstallPath and ConfDirectory empty).
GateSettings DefaultSettings();

// Sets every key field of `settings` to its default, then takes each non-empty value of the
// section ISAPI from the profile.
void ApplyProfile(const IProfile& profile, GateSettings& settings);

// ---- The configuration record ---------------------------------------------------------------

// Holds the current settings for many readers and an occasional writer. Readers take no lock and
// never wait: each takes a counted reference to one complete, immutable set. A writer fills the
// slot that is not current (after any reader still copying from it has finished) and then makes
// it current in one atomic step; a set stays alive as long as a reader holds it.
class SettingsCell {
 public:
  explicit SettingsCell(std::shared_ptr<const GateSettings> initial);
  std::shared_ptr<const GateSettings> Load() const noexcept;
  void Store(std::shared_ptr<const GateSettings> fresh);

 private:
  struct Slot {
    std::shared_ptr<const GateSettings> value;
    mutable std::atomic<std::uint32_t> readers{0};
  };
  std::array<Slot, 2> slots_;
  std::atomic<std::uint32_t> current_{0};
  std::mutex writer_;  // serialises writers only
};

class GateConfiguration {
 public:
  // Neither the log nor the seams are owned beyond the shared pointers; the log must outlive
  // the record.
  GateConfiguration(GateEventLog& log, std::shared_ptr<IGateRegistry> registry,
                    std::shared_ptr<IProfileReader> profiles);

  GateConfiguration(const GateConfiguration&) = delete;
  GateConfiguration& operator=(const GateConfiguration&) = delete;

  // Locates the conf file through InstallPath and reads it. On success publishes a fresh set of
  // values in one step and returns true. On failure writes an error event, returns false and
  // leaves every value as it was. Safe to call while other threads read.
  bool Load();

  // The current set of values, never null. A request takes one snapshot and reads every value
  // from it, so a reload in between cannot mix old and new values.
  std::shared_ptr<const GateSettings> Snapshot() const noexcept;

  // Called on the loading thread with the fresh values after every successful Load, so that a
  // part of the host that keeps its own copy of them (the ISAPI filter role) follows a reload.
  // Set before the record is shared between threads.
  using LoadListener = std::function<void(const std::shared_ptr<const GateSettings>&)>;
  void OnLoaded(LoadListener listener) { loaded_ = std::move(listener); }

  // The conf file path of the current values (InstallPath + "conf" + separator + "cvisapi.conf").
  std::u16string ConfFilePath() const;

  // One accessor per field; each returns a copy from the current snapshot.
  std::u16string ConfDirectory() const { return Snapshot()->ConfDirectory; }
  std::u16string InstallPath() const { return Snapshot()->InstallPath; }
  std::u16string CorvaneBaseUrl() const { return Snapshot()->CorvaneBaseUrl; }
  std::u16string SSOUrl() const { return Snapshot()->SSOUrl; }
  std::u16string CancelUrl() const { return Snapshot()->CancelUrl; }
  std::u16string SLOUrl() const { return Snapshot()->SLOUrl; }
  std::u16string ReloadConfigUrl() const { return Snapshot()->ReloadConfigUrl; }
  std::u16string ErrorUrl() const { return Snapshot()->ErrorUrl; }
  std::u16string TesseraName() const { return Snapshot()->TesseraName; }
  std::u16string TesseraPropertiesFileName() const { return Snapshot()->TesseraPropertiesFileName; }
  bool EnableExtension() const { return Snapshot()->EnableExtension; }
  bool EnableIWA() const { return Snapshot()->EnableIWA; }
  bool DeleteTesseraCookie() const { return Snapshot()->DeleteTesseraCookie; }
  bool AllowExpiredPassword() const { return Snapshot()->AllowExpiredPassword; }
  std::u16string Domain() const { return Snapshot()->Domain; }
  std::u16string Path() const { return Snapshot()->Path; }
  std::u16string ProtectedResourceList() const { return Snapshot()->ProtectedResourceList; }
  std::u16string AuthenticationPrefix() const { return Snapshot()->AuthenticationPrefix; }
  std::u16string ApplicationHost() const { return Snapshot()->ApplicationHost; }
  std::u16string ApplicationPort() const { return Snapshot()->ApplicationPort; }
  std::u16string ApplicationScheme() const { return Snapshot()->ApplicationScheme; }
  bool SecureCookie() const { return Snapshot()->SecureCookie; }
  bool SessionCookie() const { return Snapshot()->SessionCookie; }
  std::int32_t CookieAge() const { return Snapshot()->CookieAge; }
  std::int32_t TokenUpdateWindow() const { return Snapshot()->TokenUpdateWindow; }

 private:
  GateEventLog& log_;
  std::shared_ptr<IGateRegistry> registry_;
  std::shared_ptr<IProfileReader> profiles_;
  SettingsCell current_;
  LoadListener loaded_;
};

}  // namespace tokengate::gate
