/*
 * Compiled with clang (-fms-extensions) for its __try / __except support: the stubs report
 * faults and transport failures as structured exceptions, which g++ cannot catch. No C++ object
 * lives in these frames.
 */
#include <rpc.h>
#include <rpcasync.h>
#include <windows.h>

#include "authenticator.h"
#include "client_guard.h"

/* Keeps the code (it is only readable inside the filter) and lets the runtime decide which
 * exceptions are RPC failures; anything else, such as an access violation, goes on unhandled. */
static int Keep(unsigned long code, volatile unsigned long* out) {
  *out = code;
  return I_RpcExceptionFilter(code);
}

unsigned long TgGuardedGetHeaderString(long configLength, wchar_t* config, long tokenLength,
                                       wchar_t* token, long prefixLength, wchar_t* prefix,
                                       long updateWindow, long* updatedLength, wchar_t* updated,
                                       long* headerLength, wchar_t* header, long* listLength,
                                       wchar_t* list, intptr_t* result) {
  volatile unsigned long code = 0;
  RpcTryExcept {
    *result = GetHeaderString(configLength, config, tokenLength, token, prefixLength, prefix,
                              updateWindow, updatedLength, updated, headerLength, header,
                              listLength, list);
  }
  RpcExcept(Keep(RpcExceptionCode(), &code)) {
    if (code == 0)
      code = RPC_S_CALL_FAILED;
  }
  RpcEndExcept;
  return code;
}

unsigned long TgGuardedGetHeaderStringWithIWA(long configLength, wchar_t* config, long tokenLength,
                                              wchar_t* token, long prefixLength, wchar_t* prefix,
                                              long updateWindow, long childProcessId,
                                              long* updatedLength, wchar_t* updated,
                                              long* headerLength, wchar_t* header, long* listLength,
                                              wchar_t* list, intptr_t* result) {
  volatile unsigned long code = 0;
  RpcTryExcept {
    *result = GetHeaderStringWithIWA(configLength, config, tokenLength, token, prefixLength, prefix,
                                     updateWindow, childProcessId, updatedLength, updated,
                                     headerLength, header, listLength, list);
  }
  RpcExcept(Keep(RpcExceptionCode(), &code)) {
    if (code == 0)
      code = RPC_S_CALL_FAILED;
  }
  RpcEndExcept;
  return code;
}
