// tokengate config check <conf file>: shows every key of the gate's conf file with its effective
// value and origin, and warns about settings that will fail or surprise at request time.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/conf_check.h"

namespace tokengate::cli {
namespace {

using namespace tokengate::gate;

int RunConfigCheck(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "usage: tokengate config check <conf file>\n");
    return 2;
  }
  IniProfile profile;
  switch (IniProfile::Open(std::filesystem::path(args[0]), profile)) {
    case IniProfile::OpenResult::Ok:
      break;
    case IniProfile::OpenResult::NotFound:
      std::fprintf(stderr, "tokengate: %s: no such file (the gate would run on defaults)\n",
                   args[0].c_str());
      return 2;
    case IniProfile::OpenResult::Unreadable:
      std::fprintf(stderr, "tokengate: %s: cannot be read\n", args[0].c_str());
      return 2;
    case IniProfile::OpenResult::TooLarge:
      std::fprintf(stderr, "tokengate: %s: larger than %zu bytes\n", args[0].c_str(),
                   kMaxProfileFileBytes);
      return 2;
  }

  const ConfCheckReport report = CheckConf(profile);
  std::printf("%s: section [ISAPI]%s\n\n", args[0].c_str(),
              report.sectionFound ? "" : " not found");
  for (const ConfKeyReport& k : report.keys) {
    std::string origin = "default";
    if (k.origin == ConfKeyReport::Origin::File) {
      origin = "file, line " + std::to_string(k.line);
    } else if (k.origin == ConfKeyReport::Origin::EmptyInFile) {
      origin = "default (empty in file, line " + std::to_string(k.line) + ")";
    }
    std::printf("  %-26s %-40s [%s]\n", text::ToAnsi(k.key->name).c_str(),
                text::ToAnsi(k.value).c_str(), origin.c_str());
  }
  std::printf("\n");
  for (const std::u16string& w : report.warnings) {
    std::printf("warning: %s\n", text::ToAnsi(w).c_str());
  }
  if (report.warnings.empty()) {
    std::printf("no warnings\n");
    return 0;
  }
  std::printf("\n%zu warning%s\n", report.warnings.size(), report.warnings.size() == 1 ? "" : "s");
  return 1;
}

const Registrar kConfigCheck{CommandInfo{
    "config check", "<conf file>  show the gate's effective settings and what will bite",
    RunConfigCheck}};

}  // namespace
}  // namespace tokengate::cli
