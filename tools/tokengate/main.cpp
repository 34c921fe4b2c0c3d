// tokengate: the administrator's command line for TokenGate and LogonBroker.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "command.h"

namespace tokengate::cli {
namespace {
std::vector<CommandInfo>& Table() {
  static std::vector<CommandInfo> table;
  return table;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out, "usage: tokengate <command> [arguments]\n\ncommands:\n");
  for (const auto& c : Table()) {
    std::fprintf(out, "  %-16s %s\n", c.words.c_str(), c.usage.c_str());
  }
}

// Splits a command's words ("token keygen") into a list.
std::vector<std::string> Words(const std::string& words) {
  std::vector<std::string> out;
  std::string cur;
  for (char ch : words) {
    if (ch == ' ') {
      if (!cur.empty())
        out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(ch);
    }
  }
  if (!cur.empty())
    out.push_back(cur);
  return out;
}
}  // namespace

void RegisterCommand(CommandInfo info) {
  Table().push_back(std::move(info));
}

}  // namespace tokengate::cli

int main(int argc, char** argv) {
  using namespace tokengate::cli;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    PrintUsage(args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  // The longest registered command whose words prefix the arguments wins.
  const CommandInfo* best = nullptr;
  std::size_t bestLen = 0;
  for (const auto& c : Table()) {
    const auto words = Words(c.words);
    if (words.size() <= args.size() && words.size() > bestLen &&
        std::equal(words.begin(), words.end(), args.begin())) {
      best = &c;
      bestLen = words.size();
    }
  }
  if (best == nullptr) {
    std::fprintf(stderr, "tokengate: unknown command '%s'\n\n", args[0].c_str());
    PrintUsage(stderr);
    return 2;
  }
  try {
    return best->run(
        std::vector<std::string>(args.begin() + static_cast<long>(bestLen), args.end()));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tokengate: %s\n", e.what());
    return 2;
  }
}
