// Checks a gate conf file the way an administrator needs it checked: every key with its effective
// value and where it came from, and warnings about what will fail or surprise at request time.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tokengate/gate/gate_configuration.h"
#include "tokengate/gate/ini_profile.h"

namespace tokengate::gate {

struct ConfKeyReport {
  const ConfKey* key = nullptr;
  enum class Origin { Default, File, EmptyInFile } origin = Origin::Default;
  std::size_t line = 0;  // for File and EmptyInFile
  std::u16string value;  // effective value, rendered: text quoted, flags YES/NO, numbers
};

struct ConfCheckReport {
  bool sectionFound = false;
  GateSettings settings;            // the key fields as the gate would load them
  std::vector<ConfKeyReport> keys;  // the 23 keys, in load order
  std::vector<std::u16string> warnings;
};

ConfCheckReport CheckConf(const IniProfile& profile);

}  // namespace tokengate::gate
