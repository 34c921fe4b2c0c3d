// The cost of judging every reading of a request path: the readings the Apache host reports for a
// plain path (the common request: none) and for an attack path, and the core's subject tests over
// them, next to the three list tests of a single subject that the handler made before.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "header_policy.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/pattern_matcher.h"
#include "tokengate/gate/request_subject.h"

namespace {

using tokengate::apache::OtherPathReadings;
using tokengate::apache::PathForMatching;

constexpr std::u16string_view kProtected = u"^/app/|^/proxied/|^/aliased/|^/logout";
constexpr std::u16string_view kCancel = u"^/logout";
constexpr std::u16string_view kReload = u"/.*cmd=reload.*";

void Readings(benchmark::State& state, const char* uri, const char* target) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(OtherPathReadings(uri, target));
  }
}
BENCHMARK_CAPTURE(Readings, plain, "/app/reports/2026/summary.html",
                  "/app/reports/2026/summary.html?year=2026");
BENCHMARK_CAPTURE(Readings, script_path_info, "/app/index.cgi/..;/..;/",
                  "/app/index.cgi/..%3B/..%3B/");
BENCHMARK_CAPTURE(Readings, double_encoded, "/public/%2e%2e/app/static.html",
                  "/public/%252e%252e/app/static.html");

// The handler's tests before: the three lists against one subject.
void SingleSubject(benchmark::State& state) {
  const std::u16string url = u"/app/reports/2026/summary.html";
  for (auto _ : state) {
    std::u16string subject = url;
    subject += u"?year=2026";
    benchmark::DoNotOptimize(tokengate::gate::MatchesPatternList(kReload, subject));
    benchmark::DoNotOptimize(tokengate::gate::MatchesPatternList(kCancel, subject));
    benchmark::DoNotOptimize(tokengate::gate::MatchesPatternList(kProtected, subject));
  }
}
BENCHMARK(SingleSubject);

// The same tests over every reading the host reports (read per request, as the handler does).
void EveryReading(benchmark::State& state, const char* uri, const char* target) {
  for (auto _ : state) {
    const tokengate::gate::RequestSubject subject(tokengate::text::FromAnsi(PathForMatching(uri)),
                                                  u"year=2026", OtherPathReadings(uri, target));
    benchmark::DoNotOptimize(subject.EveryMatches(kReload));
    benchmark::DoNotOptimize(subject.EveryMatches(kCancel));
    benchmark::DoNotOptimize(subject.AnyMatches(kProtected));
  }
}
BENCHMARK_CAPTURE(EveryReading, plain, "/app/reports/2026/summary.html",
                  "/app/reports/2026/summary.html?year=2026");
BENCHMARK_CAPTURE(EveryReading, script_path_info, "/app/index.cgi/..;/..;/",
                  "/app/index.cgi/..%3B/..%3B/");

}  // namespace

BENCHMARK_MAIN();
