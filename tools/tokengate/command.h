// Sub-commands of the `tokengate` admin tool register themselves here; main() dispatches on the
// first one or two words of the command line.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tokengate::cli {

// Runs a sub-command with the words after its name; returns the process exit code.
using CommandFn = std::function<int(const std::vector<std::string>& args)>;

struct CommandInfo {
  std::string words;  // e.g. "token keygen", "match"
  std::string usage;  // one line: arguments and what it does
  CommandFn run;
};

// Adds a command to the table; used through a file-scope Registrar object.
void RegisterCommand(CommandInfo info);

struct Registrar {
  explicit Registrar(CommandInfo info) { RegisterCommand(std::move(info)); }
};

}  // namespace tokengate::cli
