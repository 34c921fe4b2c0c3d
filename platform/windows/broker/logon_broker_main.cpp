// LogonBroker.exe: the broker's program on Windows. Wires the service host to the SCM, the event
// log, local RPC and the LSA.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tokengate/broker/auth/authentication_service.h"
#include "tokengate/broker/auth/logon.h"
#include "tokengate/platform/windows_lsa.h"
#include "tokengate/platform/windows_rpc.h"
#include "tokengate/platform/windows_service.h"

int wmain(int argc, wchar_t** argv) {
  using namespace tokengate;
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view arg(argv[i]);
    args.emplace_back(arg.begin(), arg.end());
  }
  try {
    auto host = platform::CreateWindowsServicePlatform(u"TarvexWebAgent");
    auto runtime = platform::CreateWindowsRpcServerRuntime();
    auto service = std::make_unique<broker::AuthenticationService>(
        *host, *runtime, platform::CreateLsaS4ULogonProvider(),
        platform::CreateDuplicateHandleTransfer());
    service->wmain(args);
    // The runtime dispatches to the service: take it down first.
    runtime.reset();
    service.reset();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "LogonBroker: %s\n", e.what());
  }
  return 0;
}
