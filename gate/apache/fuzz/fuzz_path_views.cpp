// The readings of a request path the Apache host reports, and the gate's decision over them, on
// arbitrary input: Apache's path, then after a NUL the request-target, then after a second NUL the
// client's original target. Checks that no reading is lost (also not by the shortcut for plain
// paths) and that the decision over the readings is never weaker than the one for Apache's own
// path or for the "URL" reading alone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "header_policy.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/request_subject.h"

namespace {

using tokengate::gate::RequestSubject;

constexpr std::u16string_view kProtected = u"^/app/|^/proxied/|\\.cgi|^/logout";
constexpr std::u16string_view kCancel = u"^/logout";
constexpr std::u16string_view kReload = u"^/admin/reload";
constexpr std::u16string_view kErrorPage = u"/error.html";

struct Decision {
  bool reload, errorPage, cancel, protect;
};

Decision Decide(const RequestSubject& subject) {
  return {subject.EveryMatches(kReload).result,
          tokengate::text::EqualsIgnoreAsciiCase(subject.PrimaryPath(), kErrorPage) &&
              subject.OthersAre(kErrorPage).result,
          subject.EveryMatches(kCancel).result, subject.AnyMatches(kProtected).result};
}

// `weaker` lets through something `stronger` does not: an exemption the other lacks, or no
// protection where the other protects.
bool NeverWeaker(const Decision& all, const Decision& one) {
  return (!all.reload || one.reload) && (!all.errorPage || one.errorPage) &&
         (!all.cancel || one.cancel) && (all.protect || !one.protect);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tokengate::apache;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto next = [&input]() {
    const std::size_t nul = input.find('\0');
    const std::string_view part = input.substr(0, nul);
    input = nul == std::string_view::npos ? std::string_view{} : input.substr(nul + 1);
    return part;
  };
  const std::string_view uri = next();
  const std::string_view target = input.empty() ? uri : next();
  const std::string_view original = next();

  const std::vector<std::string> readings = OtherPathReadings(uri, target, original);
  const std::string primary = PathForMatching(uri);
  for (std::size_t i = 0; i < readings.size(); ++i) {
    if (readings[i] == primary || std::find(readings.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                            readings.end(), readings[i]) != readings.end()) {
      __builtin_trap();
    }
  }
  // Every reading the host names is there, or is the primary one.
  std::vector<std::string> expected = {std::string(uri), PathForMatching(DecodeOnce(uri)),
                                       PathForMatching(DecodeFully(uri))};
  for (const std::string_view raw : {RequestTargetPath(target), RequestTargetPath(original)}) {
    if (!raw.empty()) {
      const std::string decoded = DecodeOnce(raw);
      expected.insert(expected.end(),
                      {decoded, ResolveDotSegments(decoded), PathForMatching(decoded),
                       PathForMatching(DecodeFully(decoded))});
    }
  }
  for (const std::string& reading : expected) {
    if (reading != primary &&
        std::find(readings.begin(), readings.end(), reading) == readings.end()) {
      __builtin_trap();
    }
  }
  // Full decoding leaves no escape behind.
  const std::string full = DecodeFully(uri);
  if (DecodeFully(full) != full) {
    __builtin_trap();
  }

  const std::u16string query = u"q=1";
  const RequestSubject all(tokengate::text::FromAnsi(primary), query, readings);
  const RequestSubject apacheOwn(tokengate::text::FromAnsi(uri), query, {});
  const RequestSubject urlOnly(tokengate::text::FromAnsi(primary), query, {});
  const Decision decided = Decide(all);
  if (!NeverWeaker(decided, Decide(apacheOwn)) || !NeverWeaker(decided, Decide(urlOnly))) {
    __builtin_trap();
  }
  return 0;
}
