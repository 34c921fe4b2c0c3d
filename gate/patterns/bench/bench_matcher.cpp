// MatchesPatternList with a realistic protected-resource list against typical request subjects,
// and the hostile nested-repetition case against a long run of "a". (Entries cannot hold an
// alternation: every "|" separates entries.)
#include <benchmark/benchmark.h>

#include <string>

#include "tokengate/gate/pattern_matcher.h"

namespace {

using tokengate::gate::MatchesPatternList;

const std::u16string kProtected =
    u"^/app/|^/admin/|^/api/v[0-9]+/private/|^/reports/.*\\.pdf$|^/hr/|^/finance/"
    u"|^/portal/dashboard|/secure/|^/cgi-bin/.*\\.cgi|^/intranet/";

void Run(benchmark::State& state, const std::u16string& list, const std::u16string& subject,
         bool expected) {
  for (auto _ : state) {
    const bool r = MatchesPatternList(list, subject);
    if (r != expected) {
      state.SkipWithError("unexpected answer");
      break;
    }
    benchmark::DoNotOptimize(r);
  }
}

void BM_MatchFirstEntry(benchmark::State& state) {
  Run(state, kProtected, u"/app/orders/list?page=2&sort=date", true);
}
void BM_MatchLastEntry(benchmark::State& state) {
  Run(state, kProtected, u"/intranet/news/2026/12/index.html", true);
}
void BM_NoMatch(benchmark::State& state) {
  Run(state, kProtected, u"/public/images/logo.png?v=20261210", false);
}
void BM_NoMatchLongQuery(benchmark::State& state) {
  Run(state, kProtected, u"/public/search?q=" + std::u16string(1500, u'x'), false);
}
void BM_DefaultReloadList(benchmark::State& state) {
  Run(state, u"/.*cmd=reload.*", u"/app/orders/list?page=2&sort=date", false);
}
void BM_HostileNested(benchmark::State& state) {
  Run(state, u"(a+)+b", std::u16string(static_cast<std::size_t>(state.range(0)), u'a'), false);
}

BENCHMARK(BM_MatchFirstEntry);
BENCHMARK(BM_MatchLastEntry);
BENCHMARK(BM_NoMatch);
BENCHMARK(BM_NoMatchLongQuery);
BENCHMARK(BM_DefaultReloadList);
// With a back-reference the remembered states are off: this runs into the step budget, the
// worst case of one entry.
void BM_HostileBudgetExhausted(benchmark::State& state) {
  Run(state, u"{a}(\\0+)+b", std::u16string(60, u'a'), true);
}

BENCHMARK(BM_HostileNested)->Arg(30)->Arg(1000)->Arg(10000);
BENCHMARK(BM_HostileBudgetExhausted)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
