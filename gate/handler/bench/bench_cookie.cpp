// FindCookieValue against a 4 KB Cookie header, the token cookie first or last, through the test
// host (two reads: the 512-byte first read and the re-read with the reported size).
#include <benchmark/benchmark.h>

#include <string>

#include "tokengate/gate/request_values.h"
#include "tokengate/gate/testing/test_host.h"

namespace {

using tokengate::gate::FindCookieValue;
using tokengate::gate::GateSettings;
using tokengate::gate::testing::TestHost;
using tokengate::gate::testing::TestRequest;

std::string CookieHeader(bool token_first) {
  const std::string token = "CVToken=" + std::string(600, 'k');
  std::string others;
  for (int i = 0; others.size() < 4096 - token.size() - 2; ++i) {
    others += "pref" + std::to_string(i) + "=" + std::string(40, 'v') + "; ";
  }
  others.resize(4096 - token.size() - 2);
  return token_first ? token + "; " + others : others + "; " + token;
}

void FindToken(benchmark::State& state, bool token_first) {
  TestHost host(TestRequest{.headers = {{"Cookie", CookieHeader(token_first)}}});
  const GateSettings settings;
  for (auto _ : state) {
    auto value = FindCookieValue(host, settings, host.Log(), u"CVToken");
    benchmark::DoNotOptimize(value);
    host.variable_reads.clear();
  }
}

void BM_CookieTokenLast(benchmark::State& state) {
  FindToken(state, false);
}
void BM_CookieTokenFirst(benchmark::State& state) {
  FindToken(state, true);
}
BENCHMARK(BM_CookieTokenLast);
BENCHMARK(BM_CookieTokenFirst);

}  // namespace

BENCHMARK_MAIN();
