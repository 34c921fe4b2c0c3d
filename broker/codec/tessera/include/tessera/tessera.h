// tessera-agent: writes and reads Tessera tokens, the encrypted and authenticated attribute
// tokens that carry a signed-on user's attributes between the sign-on server and the gate.
//
// A token is base64url (no padding) of: version | key-id length | key id | nonce | AES-256-GCM
// ciphertext | tag, where the version and key id are authenticated with the ciphertext. The
// plaintext is an ordered, multi-valued attribute dictionary. docs/token-format.md has the
// details and the properties-file keys.
//
// Objects of this component hold no shared state: independent configurations and agents may be
// used on several threads at once.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tessera/crypto.h"

namespace tessera {

// Attribute names the codec itself writes and checks.
inline constexpr char16_t kNotOnOrAfter[] = u"not-on-or-after";
inline constexpr char16_t kRenewUntil[] = u"renew-until";

// The longest token text the codec reads or writes, in characters.
inline constexpr std::size_t kMaxTokenChars = 8192;

// The current time; injectable so that tests can move it.
using Clock = std::function<std::chrono::sys_seconds()>;
std::chrono::sys_seconds SystemNow();

// The token is unacceptable: malformed, altered, written with an unknown key, of an unknown
// version. Also raised when the properties file cannot be used (ConfigurationException).
class TokenException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The token is authentic but past its "not-on-or-after" or "renew-until" instant. Deliberately
// not a TokenException: callers tell expiry from other failures by the type.
class TokenExpiredException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The properties file exists but cannot be read or holds an invalid setting.
class ConfigurationException : public TokenException {
 public:
  using TokenException::TokenException;
};

// The properties file does not exist. The message is the platform's own file-not-found text.
class FileNotFoundException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Attribute name -> list of values, in insertion order. A name may have no values.
class MultiStringDictionary {
 public:
  using Values = std::vector<std::u16string>;
  struct Entry {
    std::u16string name;
    Values values;
    friend bool operator==(const Entry&, const Entry&) = default;
  };
  using const_iterator = std::vector<Entry>::const_iterator;

  // Appends `value` to the values of `name`, adding the name at the end when it is new.
  void Add(std::u16string_view name, std::u16string value);
  // Replaces the values of `name` (keeping its position), or adds it at the end.
  void Set(std::u16string_view name, Values values);
  // The values of `name`, or nullptr when the name is absent.
  const Values* Find(std::u16string_view name) const;
  bool Contains(std::u16string_view name) const { return Find(name) != nullptr; }
  bool Remove(std::u16string_view name);
  // Makes room for `count` names, so that adding them moves nothing.
  void Reserve(std::size_t count) { entries_.reserve(count); }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  friend bool operator==(const MultiStringDictionary&, const MultiStringDictionary&) = default;

 private:
  Values* FindMutable(std::u16string_view name);
  std::vector<Entry> entries_;
};

// An AES-256 key that is wiped from memory when dropped.
class SecretKey {
 public:
  explicit SecretKey(const std::array<std::uint8_t, crypto::kKeyBytes>& bytes) : bytes_(bytes) {}
  SecretKey(const SecretKey&) = default;
  SecretKey& operator=(const SecretKey&) = default;
  ~SecretKey() { crypto::Wipe(bytes_); }
  std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  std::array<std::uint8_t, crypto::kKeyBytes> bytes_;
};

class PropertiesFileSource;

// The settings of a properties file: simple "Key=Value" lines, "#" starts a comment line.
//   TokenLifetime=300          seconds a written token is valid (required, 1..2147483647)
//   ClockSkew=30               seconds of tolerance when checking expiry (optional, 0..3600)
//   MaxSessionLifetime=28800   absolute session cap in seconds, 0 = none (optional)
//   WriteKeyId=k2              the key new tokens are written with (required)
//   Key.k1=<base64url, 32 bytes>   one line per key; every key is accepted for reading
// The file is read once, at construction.
class AgentConfiguration {
 public:
  // Reads the properties file as it is, whoever may have written it (the token tools, run by
  // the administrator on files they name). Throws FileNotFoundException when it does not exist
  // and ConfigurationException when it cannot be read or is invalid.
  explicit AgentConfiguration(const std::string& propertiesPath);
  // Reads the properties file through `source`, which may refuse it (see PropertiesFileSource);
  // throws as above.
  AgentConfiguration(const std::string& propertiesPath, const PropertiesFileSource& source);
  // Parses properties text; `origin` names it in error messages.
  static AgentConfiguration FromText(std::string_view text, std::string_view origin);

  static constexpr std::int32_t kDefaultClockSkew = 30;
  static constexpr std::int32_t kMaxClockSkew = 3600;
  static constexpr std::size_t kMaxFileBytes = 65536;
  static constexpr std::size_t kMaxKeyIdChars = 32;

  std::int32_t TokenLifetime() const { return tokenLifetime_; }
  std::int32_t ClockSkew() const { return clockSkew_; }
  // 0 when sessions have no absolute cap.
  std::int32_t MaxSessionLifetime() const { return maxSessionLifetime_; }
  const std::string& WriteKeyId() const { return writeKeyId_; }
  // The key with identifier `id`, or nullptr.
  const SecretKey* FindKey(std::string_view id) const;
  std::vector<std::string> KeyIds() const;

  // True when `id` is usable as a key identifier: 1..32 of [A-Za-z0-9._-].
  static bool IsValidKeyId(std::string_view id);

 private:
  AgentConfiguration() = default;
  std::int32_t tokenLifetime_ = 0;
  std::int32_t clockSkew_ = kDefaultClockSkew;
  std::int32_t maxSessionLifetime_ = 0;
  std::string writeKeyId_;
  std::vector<std::pair<std::string, SecretKey>> keys_;
};

// Where the text of a properties file comes from. The broker names the file each caller asks
// for, so it reads through the platform's checking source, which refuses a file (or a directory
// on its path) that anyone but the administrator could have written, and anything that is not a
// regular file on a local disk.
class PropertiesFileSource {
 public:
  virtual ~PropertiesFileSource() = default;
  // Replaces `text` with the bytes of the file at `path`, never more than
  // AgentConfiguration::kMaxFileBytes. Throws FileNotFoundException when the file does not
  // exist (with the platform's own wording) and ConfigurationException, with a message naming
  // the path and what to change, when it may not be used or cannot be read.
  virtual void Read(const std::string& path, std::string& text) const = 0;
};

// The platform layer's checking source: the one the broker reads every properties file through.
// Declared here, defined by each platform layer (like the crypto functions).
const PropertiesFileSource& CheckedPropertiesFileSource();

// Reads and writes tokens with one configuration.
class Agent {
 public:
  explicit Agent(const AgentConfiguration& configuration, Clock clock = SystemNow);

  // Decrypts and verifies `token`. Throws TokenException when it is unacceptable and
  // TokenExpiredException when it is past "not-on-or-after" or "renew-until" (plus ClockSkew).
  MultiStringDictionary ReadTokenMultiStringDictionary(const std::string& token) const;

  // Writes a fresh token with the attributes of `attributes`, valid for TokenLifetime seconds
  // from now: "not-on-or-after" is set (replaced when present), never later than the session's
  // "renew-until", which is added on first issue when MaxSessionLifetime is set and never
  // moved afterwards. Throws TokenExpiredException when the session cap has been reached and
  // TokenException when the attributes cannot be written.
  std::string WriteToken(const MultiStringDictionary& attributes) const;

 private:
  AgentConfiguration configuration_;
  Clock clock_;
};

// Token layout and encodings. Public for tests, fuzzing and tools; applications use Agent.
namespace format {

inline constexpr std::uint8_t kVersion = 1;

// Encrypts `attributes` exactly as given (no expiry stamping) under the configuration's write
// key with a fresh random nonce.
std::string Seal(const AgentConfiguration& configuration, const MultiStringDictionary& attributes);
// Decrypts and parses a token without looking at any time. Throws TokenException.
MultiStringDictionary Open(const AgentConfiguration& configuration, std::string_view token);

// Reads the version and key id of a token without decrypting it; nullopt when malformed.
struct Header {
  std::uint8_t version = 0;
  std::string keyId;
};
std::optional<Header> PeekHeader(std::string_view token);

std::string Base64UrlEncode(std::span<const std::uint8_t> bytes);
// Strict: no padding, no foreign characters, unused trailing bits must be zero.
std::optional<std::vector<std::uint8_t>> Base64UrlDecode(std::string_view text);

// "YYYY-MM-DDTHH:MM:SSZ", years 0001..9999.
std::u16string FormatUtc(std::chrono::sys_seconds t);
std::optional<std::chrono::sys_seconds> ParseUtc(std::u16string_view text);

}  // namespace format
}  // namespace tessera
