#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <system_error>

#include "tessera/tessera.h"

namespace tessera {
namespace {

std::string_view Trim(std::string_view s) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && isBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

// Where a problem is: the text's origin and the line. Only a view, so that a line that is
// fine costs nothing; the message is built when it is raised.
class Problem {
 public:
  Problem(std::string_view origin, std::size_t line) : origin_(origin), line_(line) {}
  [[noreturn]] void Raise(const std::string& what) const {
    throw ConfigurationException(std::string(origin_) + ":" + std::to_string(line_) + ": " + what);
  }

 private:
  std::string_view origin_;
  std::size_t line_;
};

std::int32_t ParseSeconds(std::string_view value, std::int64_t min, std::int64_t max,
                          std::string_view key, const Problem& problem) {
  std::int64_t v = 0;
  const auto* end = value.data() + value.size();
  const auto [ptr, ec] = std::from_chars(value.data(), end, v);
  if (value.empty() || ec != std::errc() || ptr != end || v < min || v > max) {
    problem.Raise(std::string(key) + " must be a whole number of seconds from " +
                  std::to_string(min) + " to " + std::to_string(max) + ".");
  }
  return static_cast<std::int32_t>(v);
}

}  // namespace

bool AgentConfiguration::IsValidKeyId(std::string_view id) {
  if (id.empty() || id.size() > kMaxKeyIdChars)
    return false;
  return std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

namespace {

std::string TooLarge(const std::string& propertiesPath) {
  return propertiesPath + ": is larger than " + std::to_string(AgentConfiguration::kMaxFileBytes) +
         " bytes.";
}

// The file as it is, for the tools: no question of who wrote it.
class PlainPropertiesFileSource final : public PropertiesFileSource {
 public:
  void Read(const std::string& propertiesPath, std::string& text) const override {
    const std::filesystem::path path(propertiesPath);
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
      // The platform's own wording for a missing file.
      throw FileNotFoundException(
          ec ? ec.message() : std::make_error_code(std::errc::no_such_file_or_directory).message());
    }
    if (status.type() != std::filesystem::file_type::regular) {
      // Directories, devices and pipes are refused: reading them could block or never end.
      throw ConfigurationException(propertiesPath + ": is not a regular file.");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      throw ConfigurationException(propertiesPath + ": cannot be opened.");
    }
    text.assign(AgentConfiguration::kMaxFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad())
      throw ConfigurationException(propertiesPath + ": cannot be read.");
    text.resize(static_cast<std::size_t>(in.gcount()));
  }
};

// Key material read from the file does not outlive the parse.
class WipedText {
 public:
  WipedText() = default;
  WipedText(const WipedText&) = delete;
  WipedText& operator=(const WipedText&) = delete;
  ~WipedText() {
    text_.resize(text_.capacity());
    crypto::Wipe(std::span(reinterpret_cast<std::uint8_t*>(text_.data()), text_.size()));
  }
  std::string& get() { return text_; }

 private:
  std::string text_;
};

}  // namespace

AgentConfiguration::AgentConfiguration(const std::string& propertiesPath)
    : AgentConfiguration(propertiesPath, PlainPropertiesFileSource()) {}

AgentConfiguration::AgentConfiguration(const std::string& propertiesPath,
                                       const PropertiesFileSource& source) {
  WipedText text;
  source.Read(propertiesPath, text.get());
  if (text.get().size() > kMaxFileBytes)
    throw ConfigurationException(TooLarge(propertiesPath));
  *this = FromText(text.get(), propertiesPath);
}

AgentConfiguration AgentConfiguration::FromText(std::string_view text, std::string_view origin) {
  AgentConfiguration c;
  bool haveLifetime = false, haveSkew = false, haveMax = false, haveWriteKey = false;
  std::size_t lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    const auto nl = text.find('\n');
    const std::string_view raw = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#')
      continue;

    const Problem problem(origin, lineNo);
    const auto eq = line.find('=');
    if (eq == std::string_view::npos)
      problem.Raise("expected Key=Value.");
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    const auto once = [&](bool& seen) {
      if (seen)
        problem.Raise(std::string(key) + " is given twice.");
      seen = true;
    };

    if (key == "TokenLifetime") {
      once(haveLifetime);
      c.tokenLifetime_ =
          ParseSeconds(value, 1, std::numeric_limits<std::int32_t>::max(), key, problem);
    } else if (key == "ClockSkew") {
      once(haveSkew);
      c.clockSkew_ = ParseSeconds(value, 0, kMaxClockSkew, key, problem);
    } else if (key == "MaxSessionLifetime") {
      once(haveMax);
      c.maxSessionLifetime_ =
          ParseSeconds(value, 0, std::numeric_limits<std::int32_t>::max(), key, problem);
    } else if (key == "WriteKeyId") {
      once(haveWriteKey);
      if (!IsValidKeyId(value))
        problem.Raise("WriteKeyId must be 1 to 32 of A-Z a-z 0-9 . _ -");
      c.writeKeyId_ = std::string(value);
    } else if (key.starts_with("Key.")) {
      const std::string_view id = key.substr(4);
      if (!IsValidKeyId(id))
        problem.Raise("a key id must be 1 to 32 of A-Z a-z 0-9 . _ -");
      if (c.FindKey(id) != nullptr)
        problem.Raise("key " + std::string(id) + " is given twice.");
      auto bytes = format::Base64UrlDecode(value);
      if (!bytes || bytes->size() != crypto::kKeyBytes) {
        if (bytes)
          crypto::Wipe(*bytes);
        problem.Raise("key " + std::string(id) + " must be 32 bytes in base64url.");
      }
      std::array<std::uint8_t, crypto::kKeyBytes> key32{};
      std::copy(bytes->begin(), bytes->end(), key32.begin());
      crypto::Wipe(*bytes);
      c.keys_.emplace_back(std::string(id), SecretKey(key32));
      crypto::Wipe(key32);
    } else {
      problem.Raise("unknown key " + std::string(key) + ".");
    }
  }
  const std::string where(origin);
  if (!haveLifetime)
    throw ConfigurationException(where + ": TokenLifetime is missing.");
  if (c.keys_.empty())
    throw ConfigurationException(where + ": no Key.<id> line.");
  if (!haveWriteKey)
    throw ConfigurationException(where + ": WriteKeyId is missing.");
  if (c.FindKey(c.writeKeyId_) == nullptr) {
    throw ConfigurationException(where + ": WriteKeyId names no configured key.");
  }
  return c;
}

const SecretKey* AgentConfiguration::FindKey(std::string_view id) const {
  for (const auto& [keyId, key] : keys_) {
    if (keyId == id)
      return &key;
  }
  return nullptr;
}

std::vector<std::string> AgentConfiguration::KeyIds() const {
  std::vector<std::string> ids;
  for (const auto& entry : keys_)
    ids.push_back(entry.first);
  return ids;
}

}  // namespace tessera
