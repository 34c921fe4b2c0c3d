// `tokengate broker call`: calls a running LogonBroker the way the gate does and prints what
// comes back.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "command.h"
#include "tokengate/common/authenticator.h"
#include "tokengate/common/text.h"
#include "tokengate/platform/unix_rpc.h"

namespace tokengate::cli {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFault = 3;

struct CallOptions {
  std::string config;
  std::string prefix;
  std::int32_t window = -1;
  bool iwa = false;
  std::string runtimeDir;
  std::string token;
  bool tokenGiven = false;
  long timeoutMs = 30000;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

long ParseNumber(const std::string& s, const char* what, long lo, long hi) {
  std::size_t used = 0;
  long v = 0;
  try {
    v = std::stol(s, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != s.size() || s.empty() || v < lo || v > hi) {
    throw UsageError(std::string(what) + " must be a number from " + std::to_string(lo) + " to " +
                     std::to_string(hi));
  }
  return v;
}

CallOptions ParseCall(const std::vector<std::string>& args) {
  CallOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size())
        throw UsageError(a + " needs a value");
      return args[++i];
    };
    if (a == "--config") {
      o.config = value();
    } else if (a == "--prefix") {
      o.prefix = value();
    } else if (a == "--window") {
      o.window = static_cast<std::int32_t>(ParseNumber(value(), "--window", -1, 2147483647));
    } else if (a == "--runtime-dir") {
      o.runtimeDir = value();
    } else if (a == "--timeout-ms") {
      o.timeoutMs = ParseNumber(value(), "--timeout-ms", 1, 3600000);
    } else if (a == "--iwa") {
      o.iwa = true;
    } else if (a == "-" || a.rfind("--", 0) != 0) {
      if (o.tokenGiven)
        throw UsageError("more than one token given");
      o.tokenGiven = a != "-";
      if (o.tokenGiven)
        o.token = a;
      if (a == "-")
        o.tokenGiven = false;
    } else {
      throw UsageError("unknown option " + a);
    }
  }
  if (o.config.empty())
    throw UsageError("--config <properties-file> is required");
  // The broker opens the file itself, from its own working directory.
  o.config = std::filesystem::absolute(o.config).lexically_normal().string();
  if (!o.tokenGiven) {
    std::string line;
    std::getline(std::cin, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' ||
                             line.back() == '\t')) {
      line.pop_back();
    }
    o.token = line;
  }
  return o;
}

// UTF-8 for the terminal with CR, LF, other control characters and backslash as escapes, so
// that every header line shows exactly what it holds.
std::string Escaped(std::u16string_view s) {
  std::string out;
  for (unsigned char c : text::Utf16ToUtf8(s)) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// Length-checked view of an output array.
std::u16string_view Output(const std::vector<char16_t>& array, std::int32_t length) {
  if (length < 0 || static_cast<std::size_t>(length) >= array.size())
    return {};
  return {array.data(), static_cast<std::size_t>(length)};
}

int Call(const std::vector<std::string>& args) {
  CallOptions o;
  try {
    o = ParseCall(args);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "tokengate: %s\n", e.what());
    return kExitUsage;
  }
  if (!o.runtimeDir.empty())
    ::setenv(platform::kRuntimeDirEnv, o.runtimeDir.c_str(), 1);

  rpc::RpcStatus status = 0;
  platform::BrokerClientOptions options;
  options.callTimeout = std::chrono::milliseconds(o.timeoutMs);
  options.poolSize = 1;
  options.reportError = [](std::u16string_view why) {
    std::fprintf(stderr, "tokengate: %s\n", text::Utf16ToUtf8(why).c_str());
  };
  const auto broker = platform::BindToBroker(rpc::kStringBinding, &status, options);
  if (!broker) {
    std::printf("fault: %d (0x%x)\n", status, static_cast<unsigned>(status));
    return kExitFault;
  }

  const std::u16string config = text::Utf8ToUtf16(o.config);
  const std::u16string token = text::Utf8ToUtf16(o.token);
  const std::u16string prefix = text::Utf8ToUtf16(o.prefix);
  std::int32_t updatedLength = 0, headerLength = 0, listLength = 0;
  std::vector<char16_t> updated(rpc::kUpdatedTokenCapacity, u'\0');
  std::vector<char16_t> header(rpc::kHeaderCapacity, u'\0');
  std::vector<char16_t> list(rpc::kAttributeListCapacity, u'\0');
  std::intptr_t result = 0;
  try {
    const auto len = [](const std::u16string& s) { return static_cast<std::int32_t>(s.size()); };
    if (o.iwa) {
      result = broker->GetHeaderStringWithIWA(
          len(config), config.data(), len(token), token.data(), len(prefix), prefix.data(),
          o.window, static_cast<std::int32_t>(::getpid()), &updatedLength, updated.data(),
          &headerLength, header.data(), &listLength, list.data());
    } else {
      result =
          broker->GetHeaderString(len(config), config.data(), len(token), token.data(), len(prefix),
                                  prefix.data(), o.window, &updatedLength, updated.data(),
                                  &headerLength, header.data(), &listLength, list.data());
    }
  } catch (const rpc::RpcException& e) {
    std::printf("fault: %u (0x%x)\n", e.code(), e.code());
    return kExitFault;
  }

  std::printf("result: %lld\n", static_cast<long long>(result));
  if (result == rpc::kResultFailure) {
    // Only the expiry marker carries meaning after a failure.
    const auto marker = Output(updated, updatedLength);
    if (marker == rpc::kSessionExpired)
      std::printf("updated-token: SESSION_EXPIRED\n");
    return kExitFailure;
  }
  if (o.iwa && result > 0) {
    std::printf("credential-fd: %lld\n", static_cast<long long>(result));
    ::close(static_cast<int>(result));
  }
  std::printf("updated-token: %s\n", Escaped(Output(updated, updatedLength)).c_str());
  const auto headerText = Output(header, headerLength);
  std::printf("header-length: %d\n", headerLength);
  // One "header:" line per header line, its CR LF shown as \r\n.
  std::size_t start = 0;
  while (start < headerText.size()) {
    std::size_t end = headerText.find(u"\r\n", start);
    end = end == std::u16string_view::npos ? headerText.size() : end + 2;
    std::printf("header: %s\n", Escaped(headerText.substr(start, end - start)).c_str());
    start = end;
  }
  std::printf("attribute-list: %s\n", Escaped(Output(list, listLength)).c_str());
  return kExitSuccess;
}

const Registrar kBrokerCall(
    {"broker call",
     "--config <properties-file> [--prefix P] [--window S] [--iwa] [--runtime-dir D] "
     "[--timeout-ms N] [<token>|-] : call a running broker (exit 0 ok, 1 failed, 3 fault)",
     Call});

}  // namespace
}  // namespace tokengate::cli
