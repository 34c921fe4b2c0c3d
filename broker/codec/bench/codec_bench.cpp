// Cost of one token decode through the broker's wrapper, with a realistic token (10 attributes,
// about 600 bytes of attribute text), the properties file read on every call as in the broker.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tessera/tessera.h"
#include "tokengate/broker/codec/tessera_agent_wrapper.h"
#include "tokengate/common/authenticator.h"

namespace {

struct Fixture {
  std::filesystem::path path;
  std::u16string token;

  Fixture() {
    path = std::filesystem::temp_directory_path() / "codec-bench.properties";
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    tessera::crypto::RandomBytes(key);
    std::ofstream(path) << "TokenLifetime=3600\nKey.k1=" << tessera::format::Base64UrlEncode(key)
                        << "\nWriteKeyId=k1\n";
    tessera::MultiStringDictionary d;
    d.Add(u"subject", u"jane.doe@corp.example.com");
    d.Add(u"realm", u"CORP.EXAMPLE.COM");
    d.Add(u"cv_attribute_list", u"subject,realm,mail,displayName,groups,department,title");
    d.Add(u"mail", u"jane.doe@corp.example.com");
    d.Add(u"displayName", u"Jane Doe");
    for (const char16_t* g : {u"engineering", u"payroll-readers", u"vpn-users", u"wiki-editors"}) {
      d.Add(u"groups", g);
    }
    d.Add(u"department", u"Platform Engineering and Reliability, Building 7, Floor 3");
    d.Add(u"title", u"Principal Engineer");
    d.Add(u"employeeNumber", u"00451237");
    d.Add(u"costCenter", u"CC-4471-PLATFORM-INFRASTRUCTURE-SHARED-SERVICES");
    d.Add(u"assurance", std::u16string(180, u'x'));
    const auto t = tessera::Agent(tessera::AgentConfiguration(path.string())).WriteToken(d);
    token.assign(t.begin(), t.end());
  }
  ~Fixture() { std::filesystem::remove(path); }
};

const Fixture& Shared() {
  static const Fixture fixture;
  return fixture;
}

void ReadToken(benchmark::State& state, std::int32_t window) {
  const Fixture& f = Shared();
  const auto pathString = f.path.string();
  const std::u16string config(pathString.begin(), pathString.end());
  std::vector<char16_t> updated(tokengate::rpc::kUpdatedTokenCapacity);
  std::vector<char16_t> header(tokengate::rpc::kHeaderCapacity);
  std::vector<char16_t> list(tokengate::rpc::kAttributeListCapacity);
  for (auto _ : state) {
    std::int32_t ul = 0, hl = 0, ll = 0;
    std::u16string userId, realm;
    bool expired = false;
    tokengate::broker::CTesseraAgentWrapper wrapper;
    const auto message =
        wrapper.ReadToken(config, f.token, u"X-", window, userId, realm, &ul, updated.data(), &hl,
                          header.data(), &ll, list.data(), expired);
    if (!message.empty())
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(hl);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ReadTokenUnchanged(benchmark::State& state) {
  ReadToken(state, -1);
}
void BM_ReadTokenReissued(benchmark::State& state) {
  ReadToken(state, 0);
}

// The properties file alone, four directories deep like /etc/tokengate/conf/agent-config.txt:
// through the broker's checking source (every directory and the file checked on descriptors)
// and as the tools read it.
struct DeepFile {
  std::filesystem::path root;
  std::string path;
  DeepFile() {
    root = std::filesystem::temp_directory_path() / "codec-bench-tree";
    std::filesystem::create_directories(root / "etc" / "tokengate" / "conf");
    path = (root / "etc" / "tokengate" / "conf" / "agent-config.txt").string();
    std::ofstream(path) << "TokenLifetime=3600\nKey.k1=" << std::string(43, 'A')
                        << "\nWriteKeyId=k1\n";
  }
  ~DeepFile() { std::filesystem::remove_all(root); }
};

void BM_PropertiesFileChecked(benchmark::State& state) {
  static const DeepFile file;
  std::string text;
  for (auto _ : state) {
    tessera::CheckedPropertiesFileSource().Read(file.path, text);
    benchmark::DoNotOptimize(text.data());
  }
}
void BM_PropertiesFilePlain(benchmark::State& state) {
  static const DeepFile file;
  for (auto _ : state) {
    const tessera::AgentConfiguration configuration(file.path);
    benchmark::DoNotOptimize(&configuration);
  }
}
BENCHMARK(BM_PropertiesFileChecked);
BENCHMARK(BM_PropertiesFilePlain);

// The rest of one call: the text of the file parsed, and the token decoded.
void BM_PropertiesFromText(benchmark::State& state) {
  std::ostringstream read;
  read << std::ifstream(Shared().path, std::ios::binary).rdbuf();
  const std::string text = read.str();
  for (auto _ : state) {
    const auto configuration = tessera::AgentConfiguration::FromText(text, "bench");
    benchmark::DoNotOptimize(configuration.TokenLifetime());
  }
}

void BM_DecodeToken(benchmark::State& state) {
  const Fixture& f = Shared();
  const tessera::Agent agent(tessera::AgentConfiguration(f.path.string()));
  const std::string token(f.token.begin(), f.token.end());
  for (auto _ : state) {
    const auto attributes = agent.ReadTokenMultiStringDictionary(token);
    benchmark::DoNotOptimize(attributes.size());
  }
}

BENCHMARK(BM_ReadTokenUnchanged)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_ReadTokenReissued)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_PropertiesFromText);
BENCHMARK(BM_DecodeToken);

}  // namespace

BENCHMARK_MAIN();
