#include "tokengate/gate/header_rules.h"

namespace tokengate::gate {

namespace {

std::string_view TrimBlanks(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) {
    v.remove_prefix(1);
  }
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) {
    v.remove_suffix(1);
  }
  return v;
}

}  // namespace

std::string NormalisedHeaderName(std::string_view name) {
  std::string out(name.size(), '\0');
  for (std::size_t i = 0; i < name.size(); ++i) {
    out[i] = NormalisedHeaderChar(name[i]);
  }
  return out;
}

bool NamesAlike(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (NormalisedHeaderChar(a[i]) != NormalisedHeaderChar(b[i])) {
      return false;
    }
  }
  return true;
}

bool CarriesAttributePrefix(std::string_view name, std::string_view prefix) noexcept {
  if (prefix.empty() || name.size() < prefix.size()) {
    return false;
  }
  return NamesAlike(name.substr(0, prefix.size()), prefix);
}

std::vector<std::string_view> AttributeLookAlikes(std::string_view raw, std::string_view prefix) {
  std::vector<std::string_view> names;
  if (prefix.empty()) {
    return names;
  }
  while (!raw.empty()) {
    const std::size_t end = raw.find('\n');
    std::string_view line = raw.substr(0, end);
    raw = end == std::string_view::npos ? std::string_view{} : raw.substr(end + 1);
    if (line.empty() || line.front() == ' ' || line.front() == '\t') {
      continue;  // a continuation belongs to the value of the line before
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    const std::string_view name = line.substr(0, colon);
    if (CarriesAttributePrefix(name, prefix)) {
      names.push_back(name);
    }
  }
  return names;
}

std::optional<std::string> PrivateCacheControl(std::string_view directives) {
  std::string out = "private";
  while (!directives.empty()) {
    const std::size_t comma = directives.find(',');
    const std::string_view item = TrimBlanks(directives.substr(0, comma));
    directives =
        comma == std::string_view::npos ? std::string_view{} : directives.substr(comma + 1);
    if (item.empty()) {
      continue;
    }
    const std::string name = NormalisedHeaderName(TrimBlanks(item.substr(0, item.find('='))));
    if (name == "private" || name == "no-store") {
      return std::nullopt;
    }
    if (name == "public" || name == "s-maxage") {
      continue;
    }
    out.append(", ").append(item);
  }
  return out;
}

}  // namespace tokengate::gate
