#include "tokengate/gate/request_subject.h"

#include <algorithm>

#include "tokengate/common/text.h"
#include "tokengate/gate/pattern_matcher.h"

namespace tokengate::gate {

RequestSubject::RequestSubject(std::u16string path, std::u16string_view query,
                               const std::vector<std::string>& others)
    : primary_(std::move(path)) {
  if (!query.empty()) {
    suffix_ = query.size() + 1;
    primary_ += u'?';
    primary_ += query;
  }
  if (others.empty()) {
    return;
  }
  others_.reserve(others.size());
  for (const std::string& other : others) {
    // The whole reading, NULs included: a reading cut short could pass for the error page.
    std::u16string subject = text::FromAnsi(other);
    if (!query.empty()) {
      subject += u'?';
      subject += query;
    }
    if (subject != primary_ &&
        std::find(others_.begin(), others_.end(), subject) == others_.end()) {
      others_.push_back(std::move(subject));
    }
  }
}

ReadingTest RequestSubject::AnyMatches(std::u16string_view list) const {
  if (MatchesPatternList(list, primary_)) {
    return {true, std::nullopt};
  }
  for (const std::u16string& other : others_) {
    if (MatchesPatternList(list, other)) {
      return {true, PathOf(other)};
    }
  }
  return {false, std::nullopt};
}

ReadingTest RequestSubject::EveryMatches(std::u16string_view list) const {
  if (!MatchesPatternList(list, primary_)) {
    return {false, std::nullopt};
  }
  for (const std::u16string& other : others_) {
    if (!MatchesPatternList(list, other)) {
      return {false, PathOf(other)};
    }
  }
  return {true, std::nullopt};
}

ReadingTest RequestSubject::OthersAre(std::u16string_view path) const {
  for (const std::u16string& other : others_) {
    if (!text::EqualsIgnoreAsciiCase(PathOf(other), path)) {
      return {false, PathOf(other)};
    }
  }
  return {true, std::nullopt};
}

}  // namespace tokengate::gate
