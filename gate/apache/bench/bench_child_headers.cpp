// The Apache host's header work on a protected request handed on with attribute headers: the
// child header block split into lines, the lines the request continues with (ChildHeaderSetViews,
// KeepRequestFramingViews) and the pass that tells the gate's lines from the client's for the
// attribute table. A browser request of eight headers and ten attribute headers.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "header_policy.h"

namespace {

using tokengate::apache::HeaderLineSet;
using tokengate::apache::HeaderView;

const std::vector<HeaderView> kOriginal = {
    {"Host", "app.example.test"},
    {"User-Agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36"},
    {"Accept", "text/html,application/xhtml+xml;q=0.9,*/*;q=0.8"},
    {"Accept-Language", "en-US,en;q=0.5"},
    {"Accept-Encoding", "gzip, deflate, br"},
    {"Referer", "https://app.example.test/app/"},
    {"Cookie", "_ga=GA1.2.1234567890.1700000000; theme=dark; TSR=" + std::string(600, 't')},
    {"Connection", "keep-alive"},
};

std::string Block() {
  std::string block;
  for (const HeaderView& line : kOriginal) {
    block.append(line.name).append(": ").append(line.value).append("\r\n");
  }
  for (const char* attribute :
       {"X-subject: jdoe@example.test", "X-realm: EXAMPLE.TEST", "X-mail: jdoe@example.test",
        "X-givenName: John", "X-sn: Doe", "X-groups: [staff,finance,vpn-users]",
        "X-department: Finance", "X-employeeNumber: 104233", "X-title: Senior Financial Analyst",
        "X-cv_attribute_list: subject, realm, mail, givenName, sn, groups"}) {
    block.append(attribute).append("\r\n");
  }
  return block;
}

void BM_ChildHeaderSet(benchmark::State& state) {
  const std::string block = Block();
  for (auto _ : state) {
    const std::vector<HeaderView> original = kOriginal;  // read from Apache's table per request
    const HeaderLineSet fromRequest(original);
    const std::vector<HeaderView> lines = tokengate::apache::KeepRequestFramingViews(
        tokengate::apache::ChildHeaderSetViews(tokengate::apache::ParseHeaderBlockViews(block),
                                               fromRequest),
        original);
    // The attribute table: the lines the client did not send.
    std::size_t added = 0;
    for (const HeaderView& line : lines) {
      added += fromRequest.Contains(line) ? 0 : 1;
    }
    benchmark::DoNotOptimize(added);
  }
}
BENCHMARK(BM_ChildHeaderSet);

}  // namespace

BENCHMARK_MAIN();
