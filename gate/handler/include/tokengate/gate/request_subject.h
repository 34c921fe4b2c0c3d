// The subject of the pattern-list tests (path, and "?" and the query when there is one) in every
// reading of the request path that the web server reports.
//
// A web server can map a request by one reading of its path while a backend behind it acts on
// another: Apache runs "/app/run.cgi/..;/" as the script run.cgi, while a servlet container reads
// the same path as "/". The gate's decision is never weaker than for any reading: a request is
// protected when the protected list matches any reading, and it is the site's error page, a reload
// or a cancel only when every reading is. The "URL" reading comes first; events and redirect
// targets go on using it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokengate::gate {

// The outcome of one test over every reading.
struct ReadingTest {
  bool result = false;
  // The path of the first further reading that made `result` differ from what the "URL" reading
  // alone gives; nullopt when they agree.
  std::optional<std::u16string_view> dissent;
};

class RequestSubject {
 public:
  // `path` is the "URL" reading, `query` the query string without "?", `others` the host's further
  // readings (single-byte text of the server's code page, without query).
  RequestSubject(std::u16string path, std::u16string_view query,
                 const std::vector<std::string>& others);

  // The subject of the "URL" reading.
  const std::u16string& Primary() const noexcept { return primary_; }
  // The "URL" reading's path.
  std::u16string_view PrimaryPath() const noexcept { return PathOf(primary_); }
  bool HasOtherReadings() const noexcept { return !others_.empty(); }

  // True when `list` matches the subject of any reading: the test of the protected list.
  ReadingTest AnyMatches(std::u16string_view list) const;
  // True when `list` matches the subject of every reading: the tests of the reload and cancel
  // lists.
  ReadingTest EveryMatches(std::u16string_view list) const;
  // True when the path of every further reading equals `path`, ignoring ASCII case: the error page
  // test, whose caller compares the "URL" reading itself.
  ReadingTest OthersAre(std::u16string_view path) const;

 private:
  std::u16string_view PathOf(const std::u16string& subject) const noexcept {
    return std::u16string_view(subject).substr(0, subject.size() - suffix_);
  }

  std::u16string primary_;
  // One subject per further reading that differs from the "URL" reading; empty (nothing
  // allocated) for the common request whose path has a single reading.
  std::vector<std::u16string> others_;
  // The length of "?" and the query at the end of every subject (0 without a query).
  std::size_t suffix_ = 0;
};

}  // namespace tokengate::gate
