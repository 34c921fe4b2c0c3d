#include "tokengate/gate/gate_configuration.h"

#include <exception>
#include <limits>
#include <stdexcept>
#include <thread>

#include "tokengate/common/text.h"

namespace tokengate::gate {

// ---- Registry -------------------------------------------------------------------------------

namespace {

class FixedKey final : public IRegistryKey {
 public:
  explicit FixedKey(std::u16string value) : value_(std::move(value)) {}

  RegistryValueRead ReadValue(std::u16string_view name, std::size_t capacityBytes) override {
    RegistryValueRead read;
    if (name != u"InstallPath") {
      read.status = RegistryValueRead::Status::NotFound;
      return read;
    }
    read.type = kRegSz;
    const std::size_t needed = (value_.size() + 1) * 2;  // with the final NUL
    if (needed > capacityBytes) {
      read.status = RegistryValueRead::Status::MoreData;
      return read;
    }
    read.data.reserve(needed);
    for (char16_t c : value_) {
      read.data.push_back(static_cast<std::uint8_t>(c & 0xFF));
      read.data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    read.data.push_back(0);
    read.data.push_back(0);
    read.status = RegistryValueRead::Status::Ok;
    return read;
  }

 private:
  std::u16string value_;
};

class IniProfileAdapter final : public IProfile {
 public:
  explicit IniProfileAdapter(IniProfile profile) : profile_(std::move(profile)) {}
  std::u16string Get(std::u16string_view section, std::u16string_view key) const override {
    return profile_.Get(section, key);
  }

 private:
  IniProfile profile_;
};

}  // namespace

FixedGateRegistry::FixedGateRegistry(std::optional<std::u16string> installPath, char16_t separator)
    : installPath_(std::move(installPath)), separator_(separator) {}

std::unique_ptr<IRegistryKey> FixedGateRegistry::OpenGateKey() {
  if (!installPath_) {
    return nullptr;
  }
  return std::make_unique<FixedKey>(*installPath_);
}

InstallPathProblem ValidateInstallPath(const RegistryValueRead& read, std::u16string& value) {
  if (read.status != RegistryValueRead::Status::Ok) {
    return InstallPathProblem::Missing;
  }
  if (read.type != kRegSz && read.type != kRegExpandSz) {
    return InstallPathProblem::NotAString;
  }
  if (read.data.size() % 2 != 0) {
    return InstallPathProblem::OddSize;
  }
  const std::size_t units = read.data.size() / 2;
  if (units == 0 || read.data[read.data.size() - 2] != 0 || read.data[read.data.size() - 1] != 0) {
    return InstallPathProblem::NotTerminated;
  }
  value.clear();
  value.reserve(units - 1);
  for (std::size_t i = 0; i + 1 < units; ++i) {
    value.push_back(static_cast<char16_t>(read.data[2 * i] | (read.data[2 * i + 1] << 8)));
  }
  return InstallPathProblem::None;
}

InstallPathProblem ReadInstallPath(IRegistryKey& key, std::u16string& value) {
  constexpr std::size_t kStepChars = 128;
  for (std::size_t chars = kStepChars; chars <= kMaxInstallPathChars; chars += kStepChars) {
    RegistryValueRead read = key.ReadValue(u"InstallPath", chars * sizeof(char16_t));
    if (read.status == RegistryValueRead::Status::MoreData) {
      continue;
    }
    if (read.data.size() > chars * sizeof(char16_t)) {
      return InstallPathProblem::TooLong;  // the layer returned more than it was given room for
    }
    return ValidateInstallPath(read, value);
  }
  return InstallPathProblem::TooLong;
}

// ---- Profile --------------------------------------------------------------------------------

std::unique_ptr<IProfile> IniProfileReader::Open(const std::u16string& path) {
  IniProfile profile;
  const auto result = IniProfile::Open(std::filesystem::path(path), profile);
  if (result == IniProfile::OpenResult::TooLarge) {
    throw std::length_error("conf file too large");
  }
  return std::make_unique<IniProfileAdapter>(std::move(profile));
}

// ---- Keys -----------------------------------------------------------------------------------

const std::array<ConfKey, kConfKeyCount>& ConfKeys() {
  using K = ConfKeyKind;
  using S = GateSettings;
  static const std::array<ConfKey, kConfKeyCount> keys{{
      {u"CorvaneBaseUrl", K::Text, &S::CorvaneBaseUrl},
      {u"SSOUrl", K::Text, &S::SSOUrl},
      {u"CancelUrl", K::Text, &S::CancelUrl},
      {u"SLOUrl", K::Text, &S::SLOUrl},
      {u"ReloadConfigUrl", K::Text, &S::ReloadConfigUrl},
      {u"ErrorUrl", K::Text, &S::ErrorUrl},
      {u"EnableExtension", K::Flag, &S::EnableExtension},
      {u"EnableIWA", K::Flag, &S::EnableIWA},
      {u"DeleteTesseraCookie", K::Flag, &S::DeleteTesseraCookie},
      {u"AllowExpiredPassword", K::Flag, &S::AllowExpiredPassword},
      {u"TesseraName", K::Text, &S::TesseraName},
      {u"TesseraPropertiesFileName", K::Text, &S::TesseraPropertiesFileName},
      {u"Domain", K::Text, &S::Domain},
      {u"Path", K::Text, &S::Path},
      {u"ProtectedResourceList", K::Text, &S::ProtectedResourceList},
      {u"AuthenticationPrefix", K::Text, &S::AuthenticationPrefix},
      {u"ApplicationHost", K::Text, &S::ApplicationHost},
      {u"ApplicationPort", K::Text, &S::ApplicationPort},
      {u"ApplicationScheme", K::Text, &S::ApplicationScheme},
      {u"SecureCookie", K::Flag, &S::SecureCookie},
      {u"SessionCookie", K::Flag, &S::SessionCookie},
      {u"CookieAge", K::Number, &S::CookieAge},
      {u"TokenUpdateWindow", K::Number, &S::TokenUpdateWindow},
      {u"HttpOnlyCookie", K::Flag, &S::HttpOnlyCookie},
      {u"SameSiteCookie", K::Text, &S::SameSiteCookie},
      {u"ScriptUnauthenticated", K::Text, &S::ScriptUnauthenticated},
      {u"StripTokenCookie", K::Flag, &S::StripTokenCookie},
  }};
  return keys;
}

std::u16string_view SameSiteValue(std::u16string_view configured) {
  for (const std::u16string_view known : {u"Lax", u"Strict", u"None"}) {
    if (text::EqualsIgnoreAsciiCase(configured, known)) {
      return known;
    }
  }
  return {};
}

bool AnswersScriptsWith401(std::u16string_view configured) {
  return !text::EqualsIgnoreAsciiCase(configured, u"redirect");
}

bool ParseFlag(std::u16string_view value) {
  if (value.size() != 3) {
    return false;
  }
  const char16_t* yes = u"yes";
  for (std::size_t i = 0; i < 3; ++i) {
    char16_t c = value[i];
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c - u'A' + u'a');
    }
    if (c != yes[i]) {
      return false;
    }
  }
  return true;
}

std::int32_t ParseNumber(std::u16string_view value) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == u' ' || (value[i] >= u'\t' && value[i] <= u'\r'))) {
    ++i;
  }
  bool negative = false;
  if (i < value.size() && (value[i] == u'+' || value[i] == u'-')) {
    negative = value[i] == u'-';
    ++i;
  }
  // Accumulate as a negative number so that the lowest 32-bit value fits exactly.
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  std::int64_t acc = 0;
  for (; i < value.size() && value[i] >= u'0' && value[i] <= u'9'; ++i) {
    acc = acc * 10 - (value[i] - u'0');
    if (acc < kMin) {
      acc = kMin - 1;  // saturated; further digits cannot bring it back
    }
  }
  if (negative) {
    return acc < kMin ? std::numeric_limits<std::int32_t>::min() : static_cast<std::int32_t>(acc);
  }
  if (-acc > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(-acc);
}

GateSettings DefaultSettings() {
  return GateSettings{};
}

void ApplyProfile(const IProfile& profile, GateSettings& settings) {
  const GateSettings defaults;
  for (const ConfKey& key : ConfKeys()) {
    std::visit([&](auto member) { settings.*member = defaults.*member; }, key.field);
  }
  for (const ConfKey& key : ConfKeys()) {
    std::u16string value = profile.Get(kConfSection, key.name);
    if (value.size() > kMaxProfileValueChars) {
      value.resize(kMaxProfileValueChars);  // whatever the reader, one value is 9,999 at most
    }
    if (value.empty()) {
      continue;
    }
    switch (key.kind) {
      case ConfKeyKind::Text:
        settings.*std::get<std::u16string GateSettings::*>(key.field) = value;
        break;
      case ConfKeyKind::Flag:
        settings.*std::get<bool GateSettings::*>(key.field) = ParseFlag(value);
        break;
      case ConfKeyKind::Number:
        settings.*std::get<std::int32_t GateSettings::*>(key.field) = ParseNumber(value);
        break;
    }
  }
}

// ---- SettingsCell ---------------------------------------------------------------------------

SettingsCell::SettingsCell(std::shared_ptr<const GateSettings> initial) {
  slots_[0].value = std::move(initial);
}

std::shared_ptr<const GateSettings> SettingsCell::Load() const noexcept {
  for (;;) {
    const std::uint32_t i = current_.load();
    slots_[i].readers.fetch_add(1);
    // Announced as a reader of slot i; if i is still current, no writer touches it until the
    // count drops again. Otherwise a writer may be refilling it: try again.
    if (current_.load() == i) {
      std::shared_ptr<const GateSettings> copy = slots_[i].value;
      slots_[i].readers.fetch_sub(1);
      return copy;
    }
    slots_[i].readers.fetch_sub(1);
  }
}

void SettingsCell::Store(std::shared_ptr<const GateSettings> fresh) {
  std::lock_guard lock(writer_);
  const std::uint32_t next = 1 - current_.load();
  while (slots_[next].readers.load() != 0) {
    std::this_thread::yield();  // a reader is copying the previous set out of this slot
  }
  slots_[next].value = std::move(fresh);
  current_.store(next);
}

// ---- GateConfiguration ----------------------------------------------------------------------

GateConfiguration::GateConfiguration(GateEventLog& log, std::shared_ptr<IGateRegistry> registry,
                                     std::shared_ptr<IProfileReader> profiles)
    : log_(log),
      registry_(std::move(registry)),
      profiles_(std::move(profiles)),
      current_(std::make_shared<const GateSettings>()) {}

bool GateConfiguration::Load() {
  std::u16string installPath;
  try {
    std::unique_ptr<IRegistryKey> key = registry_ ? registry_->OpenGateKey() : nullptr;
    if (!key) {
      log_.Report(EventType::Error, u"Unable to open registry key");
      return false;
    }
    if (ReadInstallPath(*key, installPath) != InstallPathProblem::None) {
      log_.Report(EventType::Error, u"Unable to load key 'InstallPath'");
      return false;
    }
  } catch (...) {
    // A registry layer that fails unexpectedly is treated as a value that could not be read.
    log_.Report(EventType::Error, u"Unable to load key 'InstallPath'");
    return false;
  }

  // From here on nothing is published until the whole set is built: a failure leaves every
  // previous value in place, and readers never see a half-loaded set.
  try {
    const char16_t sep = registry_->PathSeparator();
    auto fresh = std::make_shared<GateSettings>();
    fresh->InstallPath = installPath;
    fresh->ConfDirectory = installPath + sep + u"conf" + sep;
    const std::u16string confFile = installPath + u"conf" + sep + u"cvisapi.conf";
    if (!profiles_) {
      throw std::logic_error("no profile reader");
    }
    std::unique_ptr<IProfile> profile = profiles_->Open(confFile);
    ApplyProfile(*profile, *fresh);
    current_.Store(std::move(fresh));
    if (loaded_) {
      loaded_(current_.Load());
    }
    return true;
  } catch (...) {
    log_.Report(EventType::Error, u"Exception occured in loading configuration");
    return false;
  }
}

std::shared_ptr<const GateSettings> GateConfiguration::Snapshot() const noexcept {
  return current_.Load();
}

std::u16string GateConfiguration::ConfFilePath() const {
  const char16_t sep = registry_ ? registry_->PathSeparator() : u'/';
  return Snapshot()->InstallPath + u"conf" + sep + u"cvisapi.conf";
}

}  // namespace tokengate::gate
