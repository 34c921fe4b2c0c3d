/*
 * The two client calls of IAuthenticator behind a structured-exception guard: an RPC fault or a
 * failure of the runtime comes back as its code instead of unwinding through C++ frames.
 */
#pragma once

#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Each returns 0 when the call completed (its result in *result), otherwise the exception code. */
unsigned long TgGuardedGetHeaderString(long configLength, wchar_t* config, long tokenLength,
                                       wchar_t* token, long prefixLength, wchar_t* prefix,
                                       long updateWindow, long* updatedLength, wchar_t* updated,
                                       long* headerLength, wchar_t* header, long* listLength,
                                       wchar_t* list, intptr_t* result);

unsigned long TgGuardedGetHeaderStringWithIWA(long configLength, wchar_t* config, long tokenLength,
                                              wchar_t* token, long prefixLength, wchar_t* prefix,
                                              long updateWindow, long childProcessId,
                                              long* updatedLength, wchar_t* updated,
                                              long* headerLength, wchar_t* header, long* listLength,
                                              wchar_t* list, intptr_t* result);

#ifdef __cplusplus
}
#endif
