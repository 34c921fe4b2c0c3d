// Fuzzes the token decoder with a fixed key. The first byte picks the route: an even byte feeds
// the rest as token text; an odd byte seals the rest as a correctly authenticated payload, so
// that the payload parser and the expiry checks behind the tag are reached as well.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tessera/tessera.h"

namespace {

const tessera::AgentConfiguration& Config() {
  static const tessera::AgentConfiguration config = tessera::AgentConfiguration::FromText(
      "TokenLifetime=300\nMaxSessionLifetime=3600\n"
      "Key.fuzz=AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8\nWriteKeyId=fuzz\n",
      "fuzz");
  return config;
}

std::string SealPayload(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> header{tessera::format::kVersion, 4, 'f', 'u', 'z', 'z'};
  const std::vector<std::uint8_t> nonce(tessera::crypto::kNonceBytes, 0);
  const auto sealed = tessera::crypto::SealAes256Gcm(Config().FindKey("fuzz")->bytes(), nonce,
                                                     header, {data, size});
  auto raw = header;
  raw.insert(raw.end(), nonce.begin(), nonce.end());
  raw.insert(raw.end(), sealed.begin(), sealed.end());
  return tessera::format::Base64UrlEncode(raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const tessera::Agent agent(Config(), [] {
    return std::chrono::sys_days(std::chrono::year{2026} / 12 / 10) + std::chrono::hours{3};
  });
  const std::string token = (data[0] & 1) != 0
                                ? SealPayload(data + 1, size - 1)
                                : std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    const auto attributes = agent.ReadTokenMultiStringDictionary(token);
    // Whatever decodes must encode again and decode to the same attributes.
    const auto again =
        agent.ReadTokenMultiStringDictionary(tessera::format::Seal(Config(), attributes));
    if (!(again == attributes))
      __builtin_trap();
  } catch (const tessera::TokenException&) {
  } catch (const tessera::TokenExpiredException&) {
  }
  return 0;
}
