// A stand-in for a hostile local process: it registers the broker's endpoint the way any user
// could while the service is down, with no authentication of its own, accepts every call, appends
// each token it receives to a file and answers with an attribute header of its choosing.
//
//   recording_listener.exe <file>
//
// The gate must never send it a token. Tests start it instead of LogonBroker.exe; on a Windows
// server it shows the same by hand (see docs/install-windows.md).
#include <rpc.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "authenticator.h"

namespace {

std::wstring gRecordFile;

// Appends one token as UTF-8 and a line end before the call returns, so the caller can read it.
void Record(const wchar_t* token, long length) {
  if (length < 0 || token == nullptr)
    length = 0;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, token, length, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0)
    WideCharToMultiByte(CP_UTF8, 0, token, length, utf8.data(), bytes, nullptr, nullptr);
  utf8 += "\n";
  const HANDLE file = CreateFileW(gRecordFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written = 0;
  WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  CloseHandle(file);
}

long Answer(long* updatedLength, wchar_t* updated, long* headerLength, wchar_t* header,
            long* listLength, wchar_t* list) {
  static constexpr wchar_t kHeader[] = L"X-subject: intruder\r\n";
  *updatedLength = 0;
  updated[0] = L'\0';
  *headerLength = static_cast<long>(wcslen(kHeader));
  wcscpy(header, kHeader);
  *listLength = 0;
  list[0] = L'\0';
  return 0;
}

}  // namespace

extern "C" AUTHENTICATOR_RESULT __cdecl GetHeaderString(
    long, wchar_t*, long Tessera_Length, wchar_t* Tessera, long, wchar_t*, long,
    long* pUpdatedToken_Length, wchar_t pUpdatedToken[5000], long* pHeader_Length,
    wchar_t pHeader[10000], long* pAttributeList_Length, wchar_t pAttributeList[10000]) {
  Record(Tessera, Tessera_Length);
  return Answer(pUpdatedToken_Length, pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length,
                pAttributeList);
}

extern "C" AUTHENTICATOR_RESULT __cdecl GetHeaderStringWithIWA(
    long, wchar_t*, long Tessera_Length, wchar_t* Tessera, long, wchar_t*, long, long,
    long* pUpdatedToken_Length, wchar_t pUpdatedToken[5000], long* pHeader_Length,
    wchar_t pHeader[10000], long* pAttributeList_Length, wchar_t pAttributeList[10000]) {
  Record(Tessera, Tessera_Length);
  return Answer(pUpdatedToken_Length, pUpdatedToken, pHeader_Length, pHeader, pAttributeList_Length,
                pAttributeList);
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: recording_listener.exe <file>\n");
    return 2;
  }
  gRecordFile = argv[1];
  RPC_STATUS status = RpcServerUseProtseqEpW(
      reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")), 20,
      reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"TarvexWebLogonBroker")), nullptr);
  if (status == RPC_S_OK)
    status = RpcServerRegisterIf(IAuthenticator_v1_0_s_ifspec, nullptr, nullptr);
  if (status == RPC_S_OK)
    status = RpcServerListen(1, 20, FALSE);
  std::fprintf(stderr, "recording_listener: RPC status %ld\n", static_cast<long>(status));
  return status == RPC_S_OK ? 0 : 1;
}
