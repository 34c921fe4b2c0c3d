// The memory routines of the generated RPC stubs: the process heap's plain allocate and free.
#include <rpc.h>
#include <windows.h>

extern "C" void* __RPC_USER MIDL_user_allocate(SIZE_T size) {
  return HeapAlloc(GetProcessHeap(), 0, size);
}

extern "C" void __RPC_USER MIDL_user_free(void* block) {
  HeapFree(GetProcessHeap(), 0, block);
}
