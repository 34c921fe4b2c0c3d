// tokengate token keygen | issue | inspect: make codec keys, issue and inspect Tessera tokens.
// The output formats are documented in docs/token-format.md; keep them stable.
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

#include "command.h"
#include "tessera/tessera.h"
#include "tokengate/common/text.h"

namespace tokengate::cli {
namespace {

constexpr int kExitValid = 0;
constexpr int kExitExpired = 1;
constexpr int kExitUsage = 2;
constexpr std::int32_t kDefaultLifetime = 300;
constexpr std::int32_t kDefaultMaxSession = 28800;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::int32_t ParsePositive(const std::string& text, const char* what, std::int64_t min) {
  std::size_t used = 0;
  long long v = 0;
  try {
    v = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || v < min || v > INT32_MAX) {
    throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(min) +
                     " to 2147483647");
  }
  return static_cast<std::int32_t>(v);
}

std::string NewKeyText() {
  std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
  tessera::crypto::RandomBytes(key);
  std::string text = tessera::format::Base64UrlEncode(key);
  tessera::crypto::Wipe(key);
  return text;
}

#ifndef _WIN32
struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0)
      ::close(fd);
  }
};

std::string SysError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void WriteAll(int fd, const std::string& content, const std::string& path) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      throw std::runtime_error(SysError("cannot write " + path));
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0)
    throw std::runtime_error(SysError("cannot write " + path));
}

// Writes a file readable by its owner only. Without `replace` an existing file is never
// touched; with it the new content replaces the old one atomically.
void WriteSecretFile(const std::string& path, const std::string& content, bool replace) {
  if (!replace) {
    Fd out{::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (out.fd < 0) {
      if (errno == EEXIST)
        throw UsageError(path + " exists; use --force to overwrite it");
      throw std::runtime_error(SysError("cannot create " + path));
    }
    WriteAll(out.fd, content, path);
    return;
  }
  std::string temp = path + ".XXXXXX";
  Fd out{::mkstemp(temp.data())};
  if (out.fd < 0)
    throw std::runtime_error(SysError("cannot create a file next to " + path));
  try {
    if (::fchmod(out.fd, 0600) != 0)
      throw std::runtime_error(SysError("cannot chmod " + temp));
    WriteAll(out.fd, content, temp);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
      throw std::runtime_error(SysError("cannot replace " + path));
    }
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}
#else
void WriteSecretFile(const std::string& path, const std::string& content, bool replace) {
  if (!replace && std::ifstream(path)) {
    throw UsageError(path + " exists; use --force to overwrite it");
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out.flush())
    throw std::runtime_error("cannot write " + path);
}
#endif

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Adds a fresh key to a properties file and makes it the write key; other lines stay as they
// are, so tokens written with the older keys are still read.
std::string AddKey(const std::string& path, std::string* newId) {
  const std::string text = ReadFile(path);
  const auto current = tessera::AgentConfiguration::FromText(text, path);
  int n = 1;
  do {
    *newId = "k" + std::to_string(n++);
  } while (current.FindKey(*newId) != nullptr);

  std::string out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::string_view key(line);
    while (!key.empty() && (key.front() == ' ' || key.front() == '\t'))
      key.remove_prefix(1);
    if (key.starts_with("WriteKeyId") &&
        key.substr(10).find_first_not_of(" \t") != std::string_view::npos &&
        key.substr(10)[key.substr(10).find_first_not_of(" \t")] == '=') {
      out += "WriteKeyId=" + *newId + "\n";
    } else {
      out += line + "\n";
    }
  }
  out += "Key." + *newId + "=" + NewKeyText() + "\n";
  tessera::AgentConfiguration::FromText(out, path);  // never write a file the codec rejects
  return out;
}

int Keygen(const std::vector<std::string>& args) {
  std::optional<std::string> path;
  std::optional<std::int32_t> lifetime, maxSession;
  bool force = false, addKey = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto next = [&]() -> const std::string& {
      if (i + 1 >= args.size())
        throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--lifetime") {
      lifetime = ParsePositive(next(), "--lifetime", 1);
    } else if (a == "--max-session") {
      maxSession = ParsePositive(next(), "--max-session", 0);
    } else if (a == "--force") {
      force = true;
    } else if (a == "--add-key") {
      addKey = true;
    } else if (a.starts_with("--") || path) {
      throw UsageError("unexpected argument " + a);
    } else {
      path = a;
    }
  }
  if (!path)
    throw UsageError("token keygen needs a properties file");
  if (addKey) {
    if (lifetime || maxSession || force) {
      throw UsageError("--add-key keeps the file's settings; it takes no other option");
    }
    std::string id;
    const std::string content = AddKey(*path, &id);
    WriteSecretFile(*path, content, true);
    std::printf("added key %s to %s; it is now the write key\n", id.c_str(), path->c_str());
    return 0;
  }
  const std::string content =
      "# Tessera token codec properties, written by tokengate token keygen.\n"
      "# Keep this file readable by the broker only: its keys decrypt and forge tokens.\n"
      "TokenLifetime=" +
      std::to_string(lifetime.value_or(kDefaultLifetime)) + "\n" +
      "ClockSkew=" + std::to_string(tessera::AgentConfiguration::kDefaultClockSkew) + "\n" +
      "MaxSessionLifetime=" + std::to_string(maxSession.value_or(kDefaultMaxSession)) + "\n" +
      "WriteKeyId=k1\n" + "Key.k1=" + NewKeyText() + "\n";
  WriteSecretFile(*path, content, force);
  std::printf("wrote %s with key k1\n", path->c_str());
  return 0;
}

// Splits "--config FILE" out of the arguments and returns the rest.
std::vector<std::string> TakeConfig(const std::vector<std::string>& args, std::string* config) {
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--config") {
      if (i + 1 >= args.size())
        throw UsageError("--config needs a value");
      *config = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  if (config->empty())
    throw UsageError("--config <properties-file> is required");
  return rest;
}

int Issue(const std::vector<std::string>& args) {
  std::string config;
  tessera::MultiStringDictionary attributes;
  for (const auto& a : TakeConfig(args, &config)) {
    const auto eq = a.find('=');
    if (eq == std::string::npos || eq == 0)
      throw UsageError("expected name=value, got " + a);
    attributes.Add(text::Utf8ToUtf16(a.substr(0, eq)), text::Utf8ToUtf16(a.substr(eq + 1)));
  }
  const tessera::Agent agent{tessera::AgentConfiguration(config)};
  std::printf("%s\n", agent.WriteToken(attributes).c_str());
  return 0;
}

// Attribute text for the terminal: UTF-8, with control characters, backslash and (in names)
// "=" escaped as \xNN so that every attribute stays on one line.
std::string Printable(const std::u16string& s, bool isName) {
  std::string out;
  for (unsigned char c : text::Utf16ToUtf8(s)) {
    if (c < 0x20 || c == 0x7F || c == '\\' || (isName && c == '=')) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int Inspect(const std::vector<std::string>& args) {
  std::string config;
  const auto rest = TakeConfig(args, &config);
  if (rest.size() != 1)
    throw UsageError("token inspect needs exactly one token");
  const std::string& token = rest.front();
  const auto fail = [](const char* status, const char* kind, const char* message, int code) {
    std::printf("status: %s\nkind: %s\nmessage: %s\n", status, kind, message);
    return code;
  };
  try {
    const tessera::Agent agent{tessera::AgentConfiguration(config)};
    const auto attributes = agent.ReadTokenMultiStringDictionary(token);
    std::printf("status: valid\nkey-id: %s\n", tessera::format::PeekHeader(token)->keyId.c_str());
    for (const auto& entry : attributes) {
      const std::string name = Printable(entry.name, true);
      if (entry.values.empty())
        std::printf("attribute: %s\n", name.c_str());
      for (const auto& value : entry.values) {
        std::printf("attribute: %s=%s\n", name.c_str(), Printable(value, false).c_str());
      }
    }
    return kExitValid;
  } catch (const tessera::TokenExpiredException& e) {
    return fail("expired", "TokenExpiredException", e.what(), kExitExpired);
  } catch (const tessera::ConfigurationException& e) {
    return fail("invalid", "ConfigurationException", e.what(), kExitUsage);
  } catch (const tessera::TokenException& e) {
    return fail("invalid", "TokenException", e.what(), kExitUsage);
  } catch (const tessera::FileNotFoundException& e) {
    return fail("invalid", "FileNotFoundException", e.what(), kExitUsage);
  }
}

// Usage mistakes and failures go to standard error with exit code 2.
CommandFn Guarded(int (*fn)(const std::vector<std::string>&)) {
  return [fn](const std::vector<std::string>& args) {
    try {
      return fn(args);
    } catch (const UsageError& e) {
      std::fprintf(stderr, "tokengate: %s\n", e.what());
      return kExitUsage;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tokengate: %s\n", e.what());
      return kExitUsage;
    }
  };
}

const Registrar kKeygen({"token keygen",
                         "<properties-file> [--lifetime S] [--max-session S] [--force] | "
                         "<properties-file> --add-key : write codec keys",
                         Guarded(Keygen)});
const Registrar kIssue({"token issue", "--config <properties-file> name=value... : print a token",
                        Guarded(Issue)});
const Registrar kInspect({"token inspect",
                          "--config <properties-file> <token> : decode and check a token "
                          "(exit 0 valid, 1 expired, 2 invalid)",
                          Guarded(Inspect)});

}  // namespace
}  // namespace tokengate::cli
