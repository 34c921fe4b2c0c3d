#include <algorithm>

#include "tessera/tessera.h"

namespace tessera {

MultiStringDictionary::Values* MultiStringDictionary::FindMutable(std::u16string_view name) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.name == name; });
  return it == entries_.end() ? nullptr : &it->values;
}

const MultiStringDictionary::Values* MultiStringDictionary::Find(std::u16string_view name) const {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.name == name; });
  return it == entries_.end() ? nullptr : &it->values;
}

void MultiStringDictionary::Add(std::u16string_view name, std::u16string value) {
  if (auto* values = FindMutable(name)) {
    values->push_back(std::move(value));
    return;
  }
  entries_.push_back(Entry{std::u16string(name), Values{std::move(value)}});
}

void MultiStringDictionary::Set(std::u16string_view name, Values values) {
  if (auto* existing = FindMutable(name)) {
    *existing = std::move(values);
    return;
  }
  entries_.push_back(Entry{std::u16string(name), std::move(values)});
}

bool MultiStringDictionary::Remove(std::u16string_view name) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.name == name; });
  if (it == entries_.end())
    return false;
  entries_.erase(it);
  return true;
}

}  // namespace tessera
