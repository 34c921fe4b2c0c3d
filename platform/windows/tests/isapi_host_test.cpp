// Loads TokenGate.dll through its exports, as IIS does, and drives its life cycle and main routes
// against a real LogonBroker.exe -console over ncalrpc. The web server side is a small fake of
// the extension control block and the filter context.
#include <rpc.h>
#include <windows.h>

// The ISAPI declarations need the base types of windows.h.
#include <httpext.h>
#include <httpfilt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "authenticator.h"
#include "client_guard.h"
#include "tessera/tessera.h"
#include "tokengate/common/authenticator.h"
#include "tokengate/platform/windows_rpc.h"

namespace {

namespace fs = std::filesystem;

using GetExtensionVersionFn = BOOL(WINAPI*)(HSE_VERSION_INFO*);
using HttpExtensionProcFn = DWORD(WINAPI*)(EXTENSION_CONTROL_BLOCK*);
using TerminateExtensionFn = BOOL(WINAPI*)(DWORD);
using GetFilterVersionFn = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
using HttpFilterProcFn = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, LPVOID);
using DllGetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, LPVOID*);
using HresultFn = HRESULT(WINAPI*)();

// ---- the fake web server ---------------------------------------------------------------------
struct FakeRequest {
  std::string url = "/";
  std::string query;
  std::string rawUrl;  // UNENCODED_URL and HTTP_URL; empty: the URL and query as sent
  std::vector<std::pair<std::string, std::string>> headers;  // in request order
  // The connection the request came on.
  std::string remoteAddr = "192.0.2.10", remotePort = "50001", localAddr = "192.0.2.1",
              serverPort = "80";
  // What the gate did.
  std::string body;
  std::vector<std::string> redirects;
  std::vector<std::string> cookieLines;
  bool executed = false;
  std::string childHeaders;
  bool hasUserInfo = false;
  PFN_HSE_IO_COMPLETION completion = nullptr;
  void* completionContext = nullptr;
  bool doneWithSession = false;
  // The response: the headers the application sent (before the filter sees them), and a
  // response the filter sent itself instead of passing the request on.
  std::vector<std::pair<std::string, std::string>> responseHeaders;
  std::string filterStatus, filterResponseHeaders, filterBody;
  // ALL_RAW fails for the filter with this error (0: it does not).
  DWORD allRawError = 0;

  EXTENSION_CONTROL_BLOCK ecb{};
  HTTP_FILTER_CONTEXT pfc{};
  HTTP_FILTER_PREPROC_HEADERS preproc{};
  HTTP_FILTER_SEND_RESPONSE response{};

  // Header names compare without regard to case; `loose` also reads "_" as "-", the way a
  // server could match a variable name such as HTTP_TARVEXAUTH_CONTEXT.
  static bool SameName(std::string a, std::string b, bool loose) {
    if (loose) {
      std::replace(a.begin(), a.end(), '_', '-');
      std::replace(b.begin(), b.end(), '_', '-');
    }
    return _stricmp(a.c_str(), b.c_str()) == 0;
  }
  // The first header of that name: a client's line sent before the filter's wins.
  std::string Header(const std::string& name, bool loose = false) const {
    for (const auto& [n, v] : headers) {
      if (SameName(n, name, loose))
        return v;
    }
    return {};
  }
  bool HasHeader(const std::string& name, bool loose = false) const {
    for (const auto& h : headers) {
      if (SameName(h.first, name, loose))
        return true;
    }
    return false;
  }
  const std::string* Connection(const std::string& name) const {
    return name == "REMOTE_ADDR"   ? &remoteAddr
           : name == "REMOTE_PORT" ? &remotePort
           : name == "LOCAL_ADDR"  ? &localAddr
           : name == "SERVER_PORT" ? &serverPort
                                   : nullptr;
  }
};

// The request's headers as they stand, as IIS gives them in ALL_RAW.
std::string AllRaw(const FakeRequest& r) {
  std::string all;
  for (const auto& [hn, hv] : r.headers)
    all += hn + ": " + hv + "\r\n";
  return all;
}

FakeRequest* Of(HCONN conn) {
  return static_cast<FakeRequest*>(conn);
}

BOOL Answer(const std::string& value, LPVOID buffer, LPDWORD size) {
  if (*size < value.size() + 1) {
    *size = static_cast<DWORD>(value.size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), value.size() + 1);
  *size = static_cast<DWORD>(value.size() + 1);
  return TRUE;
}

BOOL WINAPI FakeGetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  FakeRequest& r = *Of(conn);
  const std::string n(name);
  if (n == "URL" || n == "PATH_INFO")
    return Answer(r.url, buffer, size);
  if (n == "UNENCODED_URL" || n == "HTTP_URL")
    return Answer(!r.rawUrl.empty() ? r.rawUrl : r.url + (r.query.empty() ? "" : "?" + r.query),
                  buffer, size);
  if (const std::string* value = r.Connection(n))
    return Answer(*value, buffer, size);
  if (n == "QUERY_STRING")
    return Answer(r.query, buffer, size);
  if (n == "HTTPS")
    return Answer("off", buffer, size);
  if (n == "ALL_RAW")
    return Answer(AllRaw(r), buffer, size);
  std::string header;
  if (n.starts_with("HEADER_"))
    header = n.substr(7);
  else if (n.starts_with("HTTP_"))
    header = n.substr(5);
  for (char& c : header) {
    if (c == '_')
      c = '-';
  }
  if (!header.empty() && r.HasHeader(header, true))
    return Answer(r.Header(header, true), buffer, size);
  SetLastError(ERROR_INVALID_INDEX);
  return FALSE;
}

BOOL WINAPI FakeWriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
  Of(conn)->body.append(static_cast<const char*>(buffer), *bytes);
  return TRUE;
}

BOOL WINAPI FakeServerSupport(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size,
                              LPDWORD type) {
  FakeRequest& r = *Of(conn);
  switch (request) {
    case HSE_REQ_SEND_URL_REDIRECT_RESP:
      r.redirects.emplace_back(static_cast<const char*>(buffer));
      return TRUE;
    case HSE_REQ_IO_COMPLETION:
      r.completion = reinterpret_cast<PFN_HSE_IO_COMPLETION>(buffer);
      r.completionContext = type;
      return TRUE;
    case HSE_REQ_EXEC_UNICODE_URL: {
      const auto* info = static_cast<HSE_EXEC_UNICODE_URL_INFO*>(buffer);
      r.executed = true;
      r.childHeaders = info->pszChildHeaders != nullptr ? info->pszChildHeaders : "";
      r.hasUserInfo = info->pUserInfo != nullptr;
      return TRUE;
    }
    case HSE_REQ_GET_EXEC_URL_STATUS: {
      auto* st = static_cast<HSE_EXEC_URL_STATUS*>(buffer);
      st->uHttpStatusCode = 200;
      st->uHttpSubStatus = 0;
      st->dwWin32Error = 0;
      return TRUE;
    }
    case HSE_REQ_DONE_WITH_SESSION:
      r.doneWithSession = true;
      return TRUE;
    default:
      (void)size;
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

BOOL WINAPI FakeAddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  std::string n(name);
  if (n.ends_with(":"))
    n.pop_back();
  static_cast<FakeRequest*>(pfc->ServerContext)->headers.emplace_back(n, value);
  return TRUE;
}

std::string HeaderName(LPSTR name) {
  std::string n(name);
  if (n.ends_with(":"))
    n.pop_back();
  return n;
}

BOOL WINAPI FakeGetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
  const FakeRequest& r = *static_cast<FakeRequest*>(pfc->ServerContext);
  const std::string n = HeaderName(name);
  if (!r.HasHeader(n)) {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  return Answer(r.Header(n), buffer, size);
}

// As IIS: a header set to "" is deleted, every line of that name (in any case) at once.
BOOL WINAPI FakeSetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  auto& headers = static_cast<FakeRequest*>(pfc->ServerContext)->headers;
  const std::string n = HeaderName(name);
  std::erase_if(headers, [&](const auto& h) { return FakeRequest::SameName(h.first, n, false); });
  if (*value != '\0')
    headers.emplace_back(n, value);
  return TRUE;
}

// The filter's view of the connection.
BOOL WINAPI FakeFilterVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
  const FakeRequest& r = *static_cast<FakeRequest*>(pfc->ServerContext);
  if (const std::string* value = r.Connection(name))
    return Answer(*value, buffer, size);
  if (std::string(name) == "ALL_RAW") {
    if (r.allRawError != 0) {
      SetLastError(r.allRawError);
      return FALSE;
    }
    return Answer(AllRaw(r), buffer, size);
  }
  SetLastError(ERROR_INVALID_INDEX);
  return FALSE;
}

BOOL WINAPI FakeFilterSupport(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request, PVOID data,
                              ULONG_PTR headers, ULONG_PTR) {
  FakeRequest& r = *static_cast<FakeRequest*>(pfc->ServerContext);
  if (request != SF_REQ_SEND_RESPONSE_HEADER) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  r.filterStatus = static_cast<const char*>(data);
  r.filterResponseHeaders = headers != 0 ? reinterpret_cast<const char*>(headers) : "";
  return TRUE;
}

BOOL WINAPI FakeFilterWriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD) {
  static_cast<FakeRequest*>(pfc->ServerContext)
      ->filterBody.append(static_cast<const char*>(buffer), *bytes);
  return TRUE;
}

// The response headers at SF_NOTIFY_SEND_RESPONSE: every value of a name joined by ",", as one
// header.
BOOL WINAPI FakeGetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                  LPDWORD size) {
  const FakeRequest& r = *static_cast<FakeRequest*>(pfc->ServerContext);
  const std::string n = HeaderName(name);
  std::string joined;
  bool found = false;
  for (const auto& [hn, hv] : r.responseHeaders) {
    if (FakeRequest::SameName(hn, n, false)) {
      joined += (found ? "," : "") + hv;
      found = true;
    }
  }
  if (!found) {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  return Answer(joined, buffer, size);
}

BOOL WINAPI FakeSetResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  auto& headers = static_cast<FakeRequest*>(pfc->ServerContext)->responseHeaders;
  const std::string n = HeaderName(name);
  std::erase_if(headers, [&](const auto& h) { return FakeRequest::SameName(h.first, n, false); });
  if (*value != '\0')
    headers.emplace_back(n, value);
  return TRUE;
}

BOOL WINAPI FakeAddResponseHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  static_cast<FakeRequest*>(pfc->ServerContext)
      ->responseHeaders.emplace_back(HeaderName(name), value);
  return TRUE;
}

BOOL WINAPI FakeAddResponseHeaders(HTTP_FILTER_CONTEXT* pfc, LPSTR line, DWORD) {
  static_cast<FakeRequest*>(pfc->ServerContext)->cookieLines.emplace_back(line);
  return TRUE;
}

// ---- the fixture -----------------------------------------------------------------------------
fs::path ExeDir() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

class IsapiHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Install();
    StartBroker();
    LoadGate();
  }
  static void TearDownTestSuite() {
    StopBroker();
    fs::remove_all(installDir_);
  }

  // The installation folder with its key and conf files, and the registry value naming it.
  static void Install() {
    installDir_ = fs::temp_directory_path() / "tokengate-isapi-test";
    fs::create_directories(installDir_ / "conf");
    std::array<std::uint8_t, tessera::crypto::kKeyBytes> key{};
    key.fill(0x5a);
    std::ofstream(installDir_ / "conf" / "agent-config.txt")
        << "TokenLifetime=300\nKey.k1=" << tessera::format::Base64UrlEncode(key)
        << "\nWriteKeyId=k1\n";
    WriteConf("");
    // The registry value the gate starts from: HKLM, REG_SZ, ending with the separator.
    HKEY k = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Tarvex Corporation\\ISAPI Configuration", 0,
                        nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
        ERROR_SUCCESS);
    const std::wstring value = installDir_.wstring() + L"\\";
    RegSetValueExW(k, L"InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
  }

  static void LoadGate() {
    dll_ = LoadLibraryW((ExeDir().parent_path() / "windows" / "TokenGate.dll").c_str());
    ASSERT_NE(dll_, nullptr) << GetLastError();
  }

  static void WriteConf(const std::string& extra) {
    std::ofstream(installDir_ / "conf" / "cvisapi.conf")
        << "[ISAPI]\r\n"
        << extra
        << "TesseraName=TSR\r\nSSOUrl=https://sso.example.test/signon\r\n"
           "ProtectedResourceList=^/app/\r\nAuthenticationPrefix=X-\r\n";
  }

  static void StartBroker() {
    std::wstring command =
        L"\"" + (ExeDir().parent_path() / "windows" / "LogonBroker.exe").wstring() + L"\" -console";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &broker_));
    CloseHandle(broker_.hThread);
    // Listening once an empty token is answered with the broker's own fault, not "unavailable".
    for (int i = 0; i < 200; ++i) {
      if (ProbeBroker() == tokengate::rpc::kFaultEmptyToken)
        return;
      Sleep(50);
    }
    FAIL() << "LogonBroker.exe did not start listening";
  }
  static void StopBroker() {
    if (broker_.hProcess != nullptr) {
      TerminateProcess(broker_.hProcess, 0);
      WaitForSingleObject(broker_.hProcess, 10000);
      CloseHandle(broker_.hProcess);
      broker_.hProcess = nullptr;
    }
  }
  // Calls procedure 0 with an empty token; the code of the exception, 0 for a normal return.
  static std::uint32_t ProbeBroker() {
    tokengate::rpc::RpcStatus status = 0;
    auto client = tokengate::platform::BindAuthenticator(tokengate::rpc::kStringBinding, status);
    if (!client)
      return static_cast<std::uint32_t>(status);
    std::vector<char16_t> updated(5000), header(10000), list(10000);
    std::int32_t a = 0, b = 0, c = 0;
    try {
      client->GetHeaderString(4, u"none", 0, nullptr, 0, nullptr, 30, &a, updated.data(), &b,
                              header.data(), &c, list.data());
    } catch (const tokengate::rpc::RpcException& e) {
      return e.code();
    }
    return 0;
  }

  template <typename Fn>
  static Fn Export(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll_, name)));
  }

  static std::string Issue(int ageSeconds) {
    tessera::MultiStringDictionary d;
    d.Add(u"subject", u"jdoe");
    d.Add(u"groups", u"a");
    d.Add(u"groups", u"b");
    const tessera::AgentConfiguration cfg((installDir_ / "conf" / "agent-config.txt").string());
    return tessera::Agent(
               cfg,
               [ageSeconds] { return tessera::SystemNow() - std::chrono::seconds(ageSeconds); })
        .WriteToken(d);
  }

  // Wires the fake server's callbacks into the request's structures.
  static void Connect(FakeRequest& r) {
    r.pfc.cbSize = sizeof r.pfc;
    r.pfc.ServerContext = &r;
    r.pfc.AddResponseHeaders = &FakeAddResponseHeaders;
    r.pfc.GetServerVariable = &FakeFilterVariable;
    r.pfc.ServerSupportFunction = &FakeFilterSupport;
    r.pfc.WriteClient = &FakeFilterWriteClient;
    r.response.GetHeader = &FakeGetResponseHeader;
    r.response.SetHeader = &FakeSetResponseHeader;
    r.response.AddHeader = &FakeAddResponseHeader;
    r.preproc.AddHeader = &FakeAddHeader;
    r.preproc.GetHeader = &FakeGetHeader;
    r.preproc.SetHeader = &FakeSetHeader;
    r.ecb.cbSize = sizeof r.ecb;
    r.ecb.ConnID = &r;
    r.ecb.lpszMethod = const_cast<char*>("GET");
    r.ecb.lpszQueryString = const_cast<char*>(r.query.c_str());
    r.ecb.GetServerVariable = &FakeGetServerVariable;
    r.ecb.WriteClient = &FakeWriteClient;
    r.ecb.ServerSupportFunction = &FakeServerSupport;
  }

  // The filter at preprocessed headers.
  static void Filter(FakeRequest& r) {
    Connect(r);
    EXPECT_EQ(
        Export<HttpFilterProcFn>("HttpFilterProc")(&r.pfc, SF_NOTIFY_PREPROC_HEADERS, &r.preproc),
        static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  }

  // The extension, then (for a child request) the completion.
  static DWORD Extension(FakeRequest& r) {
    Connect(r);
    // IIS runs the extension on a thread impersonating the request's user.
    EXPECT_TRUE(ImpersonateSelf(SecurityImpersonation));
    const DWORD status = Export<HttpExtensionProcFn>("HttpExtensionProc")(&r.ecb);
    RevertToSelf();
    if (status == HSE_STATUS_PENDING && r.completion != nullptr)
      r.completion(&r.ecb, r.completionContext, 0, 0);
    return status;
  }

  // The response on its way out, for the filter.
  static void SendResponse(FakeRequest& r) {
    EXPECT_EQ(
        Export<HttpFilterProcFn>("HttpFilterProc")(&r.pfc, SF_NOTIFY_SEND_RESPONSE, &r.response),
        static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  }

  // The end of the request, for the filter.
  static void End(FakeRequest& r) {
    Export<HttpFilterProcFn>("HttpFilterProc")(&r.pfc, SF_NOTIFY_END_OF_REQUEST, nullptr);
  }

  // One request the way IIS runs it: the filter at preprocessed headers, then the extension, then
  // (for a child request) the completion, the response through the filter and the end of the
  // request for the filter.
  static DWORD Run(FakeRequest& r) {
    Filter(r);
    const DWORD status = Extension(r);
    SendResponse(r);
    End(r);
    return status;
  }

  // A repeated start-up reads the conf file again.
  static void Restart(const std::string& extra) {
    WriteConf(extra);
    HSE_VERSION_INFO extension{};
    ASSERT_TRUE(Export<GetExtensionVersionFn>("GetExtensionVersion")(&extension));
  }

  static FakeRequest Request(const std::string& url, const std::string& cookie = {}) {
    FakeRequest r;
    r.url = url;
    r.headers.emplace_back("Host", "app.example.test");
    if (!cookie.empty())
      r.headers.emplace_back("Cookie", cookie);
    return r;
  }

  static inline fs::path installDir_;
  static inline HMODULE dll_ = nullptr;
  static inline PROCESS_INFORMATION broker_{};
};

// gtest runs these in declaration order: start-up first, termination last.
TEST_F(IsapiHostTest, StartsBothRolesThroughTheExports) {
  HTTP_FILTER_VERSION filter{};
  ASSERT_TRUE(Export<GetFilterVersionFn>("GetFilterVersion")(&filter));
  EXPECT_EQ(filter.dwFilterVersion, 0x00070005u);
  EXPECT_STREQ(filter.lpszFilterDesc, "Corvane Tessera ISAPI Filter");
  constexpr DWORD kNotifications = SF_NOTIFY_ORDER_LOW | SF_NOTIFY_PREPROC_HEADERS |
                                   SF_NOTIFY_SEND_RESPONSE | SF_NOTIFY_END_OF_REQUEST;
  EXPECT_EQ(filter.dwFlags & kNotifications, kNotifications);

  HSE_VERSION_INFO extension{};
  ASSERT_TRUE(Export<GetExtensionVersionFn>("GetExtensionVersion")(&extension));
  EXPECT_EQ(extension.dwExtensionVersion, 0x00070005u);
  EXPECT_STREQ(extension.lpszExtensionDesc, "Corvane Tessera ISAPI Extension");
}

TEST_F(IsapiHostTest, ComExportsGiveTheirFixedAnswers) {
  const GUID kNoGuid{};
  LPVOID object = &object;
  EXPECT_EQ(Export<DllGetClassObjectFn>("DllGetClassObject")(kNoGuid, kNoGuid, nullptr), E_POINTER);
  EXPECT_EQ(Export<DllGetClassObjectFn>("DllGetClassObject")(kNoGuid, kNoGuid, &object),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(Export<HresultFn>("DllCanUnloadNow")(), S_OK);
  // No type library beside the DLL: both report the loader's failure.
  EXPECT_TRUE(FAILED(Export<HresultFn>("DllRegisterServer")()));
  EXPECT_TRUE(FAILED(Export<HresultFn>("DllUnregisterServer")()));
}

TEST_F(IsapiHostTest, UnprotectedUrlIsHandedOnUnchanged) {
  FakeRequest r = Request("/public/index.html");
  EXPECT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_PENDING));
  EXPECT_TRUE(r.executed);
  EXPECT_EQ(r.childHeaders, "");
  EXPECT_TRUE(r.doneWithSession);
  EXPECT_EQ(r.ecb.dwHttpStatusCode, 200u);
}

TEST_F(IsapiHostTest, ProtectedUrlWithoutTokenGoesToSignOn) {
  FakeRequest r = Request("/app/page");
  EXPECT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_EQ(r.redirects,
            std::vector<std::string>{"https://sso.example.test/signon?TargetResource=http://"
                                     "app.example.test/app/page"});
  EXPECT_FALSE(r.executed);
}

TEST_F(IsapiHostTest, ValidTokenAddsHeadersThroughTheBroker) {
  const std::string token = Issue(0);
  FakeRequest r = Request("/app/page", "TSR=" + token);
  ASSERT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_PENDING)) << r.body;
  EXPECT_NE(r.childHeaders.find("X-subject: jdoe\r\nX-groups: [a,b]\r\n"), std::string::npos)
      << r.childHeaders;
  EXPECT_FALSE(r.hasUserInfo);
  EXPECT_EQ(r.cookieLines,
            std::vector<std::string>{"Set-Cookie: TSR=" + token + "; path=/; HttpOnly\r\n"});
  EXPECT_TRUE(r.doneWithSession);
}

TEST_F(IsapiHostTest, ExpiredTokenIsClearedAndSentToSignOn) {
  FakeRequest r = Request("/app/page", "TSR=" + Issue(3600));
  EXPECT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_EQ(r.redirects.size(), 1u);
  EXPECT_EQ(r.cookieLines,
            std::vector<std::string>{"Set-Cookie: TSR=; expires=Thu, 01 Jan 1970 00:00:00 GMT; "
                                     "path=/; HttpOnly\r\n"});
}

// A client's header that carries the attribute header prefix (here "X-"), in any case and with
// "_" for "-", is deleted by the filter on every request: what runs after the filter (the
// extension, or the handler an unprotected request is handed on to) never sees it.
TEST_F(IsapiHostTest, ForgedAttributeHeadersNeverPassTheFilter) {
  const std::string token = Issue(0);
  struct Row {
    std::string url;
    std::string cookie;
    DWORD status;
  };
  const Row rows[] = {{"/public/index.html", "", HSE_STATUS_PENDING},
                      {"/app/page", "TSR=" + token, HSE_STATUS_PENDING}};
  for (const Row& row : rows) {
    FakeRequest r = Request(row.url, row.cookie);
    r.headers.emplace_back("X-subject", "root");
    r.headers.emplace_back("Accept", "text/html");
    r.headers.emplace_back("x_SUBJECT", "root");
    r.headers.emplace_back("X-subject", "admin");
    ASSERT_EQ(Run(r), row.status) << row.url << " " << r.body;
    ASSERT_TRUE(r.executed) << row.url;
    // The header set the server goes on with, which an unchanged child reads as it is.
    for (const auto& [name, value] : r.headers) {
      EXPECT_FALSE(name.size() >= 2 && (name[0] == 'X' || name[0] == 'x') &&
                   (name[1] == '-' || name[1] == '_'))
          << row.url << ": " << name << ": " << value;
    }
    EXPECT_TRUE(r.HasHeader("Accept")) << row.url;
    EXPECT_EQ(AllRaw(r).find("root"), std::string::npos) << AllRaw(r);
    EXPECT_EQ(r.childHeaders.find("root"), std::string::npos) << r.childHeaders;
    EXPECT_EQ(r.childHeaders.find("admin"), std::string::npos) << r.childHeaders;
  }
  // The protected one continues with the gate's own attribute headers only.
  FakeRequest r = Request("/app/page", "TSR=" + token);
  r.headers.emplace_back("x-Subject", "root");
  ASSERT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_PENDING)) << r.body;
  EXPECT_NE(r.childHeaders.find("X-subject: jdoe\r\n"), std::string::npos) << r.childHeaders;
  EXPECT_EQ(r.childHeaders.find("root"), std::string::npos) << r.childHeaders;
}

// When the filter cannot read the request's headers it cannot tell what to delete: the request
// is answered by the filter and goes no further.
TEST_F(IsapiHostTest, UnreadableHeadersEndTheRequestInTheFilter) {
  struct Row {
    DWORD allRawError;
    std::size_t valueBytes;  // a header this large makes ALL_RAW exceed the gate's 50000 bytes
    std::string status;
  };
  const Row rows[] = {{ERROR_NOT_ENOUGH_MEMORY, 0, "500 Internal Server Error"},
                      {ERROR_INVALID_PARAMETER, 0, "500 Internal Server Error"},
                      {0, 60000, "400 Bad Request"}};
  for (const Row& row : rows) {
    FakeRequest r = Request("/public/index.html");
    r.allRawError = row.allRawError;
    if (row.valueBytes != 0)
      r.headers.emplace_back("Accept", std::string(row.valueBytes, 'a'));
    Connect(r);
    EXPECT_EQ(
        Export<HttpFilterProcFn>("HttpFilterProc")(&r.pfc, SF_NOTIFY_PREPROC_HEADERS, &r.preproc),
        static_cast<DWORD>(SF_STATUS_REQ_FINISHED));
    End(r);
    EXPECT_EQ(r.filterStatus, row.status);
    EXPECT_NE(r.filterResponseHeaders.find("Content-Length: "), std::string::npos);
    EXPECT_TRUE(r.filterResponseHeaders.ends_with("\r\n\r\n")) << r.filterResponseHeaders;
    EXPECT_NE(r.filterBody.find(row.status), std::string::npos) << r.filterBody;
    // No context id: the filter stopped before tagging the request.
    EXPECT_FALSE(r.HasHeader("TarvexAuth-Context"));
  }
}

// A response that carries the token cookie (written or cleared) is kept from shared caches; one
// without it is left as the application made it, also on a connection whose earlier request
// carried the cookie.
TEST_F(IsapiHostTest, ResponsesCarryingTheTokenCookieArePrivate) {
  const std::string token = Issue(0);
  struct Row {
    std::string url;
    std::string cookie;
    std::vector<std::string> cacheControl;  // what the application sent
    std::string expected;                   // the Cache-Control that goes out ("": none)
  };
  const Row rows[] = {
      {"/app/page", "TSR=" + token, {}, "private"},
      {"/app/page", "TSR=" + token, {"public, max-age=600"}, "private, max-age=600"},
      {"/app/page", "TSR=" + token, {"max-age=60", "s-maxage=600"}, "private, max-age=60"},
      {"/app/page", "TSR=" + token, {"no-store"}, "no-store"},
      {"/app/page", "TSR=" + token, {"Private, max-age=5"}, "Private, max-age=5"},
      // The expired token is cleared on the redirect to sign-on.
      {"/app/page", "TSR=" + Issue(3600), {}, "private"},
      {"/public/index.html", "", {"public, max-age=600"}, "public, max-age=600"},
      {"/public/index.html", "", {}, ""},
  };
  for (const Row& row : rows) {
    FakeRequest r = Request(row.url, row.cookie);
    for (const std::string& value : row.cacheControl)
      r.responseHeaders.emplace_back("Cache-Control", value);
    Run(r);
    std::vector<std::string> got;
    for (const auto& [name, value] : r.responseHeaders) {
      if (FakeRequest::SameName(name, "Cache-Control", false))
        got.push_back(value);
    }
    EXPECT_EQ(got, row.expected.empty() ? std::vector<std::string>{}
                                        : std::vector<std::string>{row.expected})
        << row.url << " " << row.cookie.size();
    EXPECT_EQ(r.cookieLines.empty(), row.cookie.empty()) << row.url;
  }

  // The same filter context serves the next request of the connection: the mark of the earlier
  // request's cookie does not make it private.
  FakeRequest first = Request("/app/page", "TSR=" + token);
  Filter(first);
  Extension(first);
  void* const mark = first.pfc.pFilterContext;
  ASSERT_NE(mark, nullptr);
  SendResponse(first);
  End(first);
  FakeRequest next = Request("/public/index.html");
  next.responseHeaders.emplace_back("Cache-Control", "public, max-age=600");
  Connect(next);
  next.pfc.pFilterContext = mark;
  Run(next);
  ASSERT_EQ(next.responseHeaders.size(), 1u);
  EXPECT_EQ(next.responseHeaders[0].second, "public, max-age=600");
}

// IWA through a broker without a logon provider: the broker refuses with its access-denied fault,
// which reaches the gate as the call's exception code.
TEST_F(IsapiHostTest, IwaRefusedByTheBrokerIsAnErrorPage) {
  Restart("EnableIWA=YES\r\n");
  FakeRequest r = Request("/app/page", "TSR=" + Issue(0));
  EXPECT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(r.ecb.dwHttpStatusCode, 500u);
  EXPECT_FALSE(r.executed);
}

TEST_F(IsapiHostTest, EmptyTokenIsTheBrokersFault1782) {
  EXPECT_EQ(ProbeBroker(), tokengate::rpc::kFaultEmptyToken);
}

TEST_F(IsapiHostTest, BrokerStoppedGivesTheErrorPage) {
  const std::string token = Issue(0);
  Restart("");
  StopBroker();
  FakeRequest r = Request("/app/page", "TSR=" + token);
  EXPECT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(r.ecb.dwHttpStatusCode, 500u);
  EXPECT_NE(r.body.find("LogonBroker"), std::string::npos) << r.body;
  EXPECT_EQ(ProbeBroker(), tokengate::rpc::kStatusServerUnavailable);

  // The same with IWA on: the runtime's own status reaches the event text.
  Restart("EnableIWA=YES\r\n");
  FakeRequest iwa = Request("/app/page", "TSR=" + token);
  EXPECT_EQ(Run(iwa), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(iwa.ecb.dwHttpStatusCode, 500u);
}

TEST_F(IsapiHostTest, BindingServesAgainOnceTheBrokerIsBack) {
  StartBroker();
  Restart("");
  FakeRequest r = Request("/app/page", "TSR=" + Issue(0));
  EXPECT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_PENDING)) << r.body;
  EXPECT_NE(r.childHeaders.find("X-subject: jdoe\r\n"), std::string::npos) << r.childHeaders;
}

// A client behind the same connection as another user (a shared front proxy, HTTP/2 streams)
// that sends that user's live context id, in any spelling the server could read as the context
// header, gets nothing of that user's request: the filter deletes the client's header before it
// adds its own.
TEST_F(IsapiHostTest, ClientSentContextHeaderIsReplacedByTheFilter) {
  const std::string victimToken = Issue(0);
  const std::string intruderToken = Issue(0);
  // The id as sent by the filter, and followed by text that still reads as that id.
  const std::string tails[] = {"", " and a tail longer than any id the filter writes"};
  for (const char* spelling :
       {"TarvexAuth-Context", "tarvexauth-context", "TARVEXAUTH_CONTEXT", "TarvexAuth_Context"}) {
    for (const std::string& tail : tails) {
      FakeRequest victim = Request("/app/page", "TSR=" + victimToken);
      Filter(victim);
      const std::string victimId = victim.Header("TarvexAuth-Context");
      ASSERT_EQ(victimId.size(), 8u);

      FakeRequest intruder = Request("/app/page", "TSR=" + intruderToken);
      intruder.headers.insert(intruder.headers.begin(), {spelling, victimId + tail});
      Filter(intruder);
      EXPECT_EQ(std::count_if(intruder.headers.begin(), intruder.headers.end(),
                              [](const auto& h) {
                                return FakeRequest::SameName(h.first, "TarvexAuth-Context", true);
                              }),
                1)
          << spelling;
      EXPECT_NE(intruder.Header("TarvexAuth-Context"), victimId) << spelling;
      EXPECT_EQ(Extension(intruder), static_cast<DWORD>(HSE_STATUS_PENDING)) << intruder.body;
      End(intruder);
      ASSERT_EQ(intruder.cookieLines.size(), 1u) << spelling;
      EXPECT_NE(intruder.cookieLines[0].find(intruderToken), std::string::npos);
      EXPECT_TRUE(victim.cookieLines.empty()) << spelling << ": " << victim.cookieLines[0];

      // The victim's own request goes on as if nothing had happened.
      EXPECT_EQ(Extension(victim), static_cast<DWORD>(HSE_STATUS_PENDING)) << victim.body;
      End(victim);
      ASSERT_EQ(victim.cookieLines.size(), 1u);
      EXPECT_NE(victim.cookieLines[0].find(victimToken), std::string::npos);
    }
  }
}

// An id resolves only on the connection it was made for: a request that reaches the extension
// without the filter (a site with the script map but not the filter) and presents another live
// request's id gets the missing-filter error, and that request keeps its context.
TEST_F(IsapiHostTest, AContextIdFromAnotherConnectionResolvesNothing) {
  FakeRequest victim = Request("/app/page", "TSR=" + Issue(0));
  Filter(victim);
  const std::string victimId = victim.Header("TarvexAuth-Context");

  FakeRequest intruder = Request("/app/page", "TSR=" + Issue(0));
  intruder.headers.emplace_back("TarvexAuth-Context", victimId);
  intruder.remoteAddr = "198.51.100.23";
  intruder.remotePort = "61000";
  EXPECT_EQ(Extension(intruder), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(intruder.ecb.dwHttpStatusCode, 500u);
  EXPECT_NE(intruder.body.find("Filter context not available"), std::string::npos) << intruder.body;
  EXPECT_TRUE(victim.cookieLines.empty());
  EXPECT_TRUE(intruder.cookieLines.empty());

  EXPECT_EQ(Extension(victim), static_cast<DWORD>(HSE_STATUS_PENDING)) << victim.body;
  End(victim);
  EXPECT_EQ(victim.cookieLines.size(), 1u);
}

// Each context takes one slot however often it is notified; otherwise the table runs dry after a
// few thousand such requests, and every other request then fails for want of a context.
TEST_F(IsapiHostTest, AFilterContextNotifiedTwiceLeaksNoSlot) {
  std::vector<FakeRequest> pool(16);
  const auto filter = Export<HttpFilterProcFn>("HttpFilterProc");
  const auto extension = Export<HttpExtensionProcFn>("HttpExtensionProc");
  for (int round = 0; round < 3 * 4096; ++round) {
    FakeRequest& r = pool[static_cast<std::size_t>(round) % pool.size()];
    r = Request("/public/index.html");
    Connect(r);
    ASSERT_EQ(filter(&r.pfc, SF_NOTIFY_PREPROC_HEADERS, &r.preproc),
              static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    ASSERT_EQ(filter(&r.pfc, SF_NOTIFY_PREPROC_HEADERS, &r.preproc),
              static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    ASSERT_EQ(extension(&r.ecb), static_cast<DWORD>(HSE_STATUS_PENDING))
        << "round " << round << ": " << r.body;
    r.completion(&r.ecb, r.completionContext, 0, 0);
    filter(&r.pfc, SF_NOTIFY_END_OF_REQUEST, nullptr);
  }
  // Other requests, many of them in flight at once, still find their slots.
  std::vector<FakeRequest> others(64, Request("/public/index.html"));
  for (FakeRequest& other : others)
    Filter(other);
  for (FakeRequest& other : others) {
    EXPECT_EQ(Extension(other), static_cast<DWORD>(HSE_STATUS_PENDING)) << other.body;
    End(other);
  }
}

// Requests whose raw path a backend, the file system or ASP.NET maps to a protected resource while
// IIS's own "URL" does not match the protected list (^/app/): without a token each is sent to
// sign-on, and none is handed on or exempted as the error page. Plain paths are not affected.
TEST_F(IsapiHostTest, EveryReadingOfThePathIsJudged) {
  struct Row {
    const char* url;  // what IIS reports as "URL"
    const char* raw;  // UNENCODED_URL / HTTP_URL
    bool protectedByAReading;
  };
  const Row rows[] = {
      {"/public/..;/app/secret", "/public/..;/app/secret", true},
      {"/public/..;/app/secret", "/public/..%3B/app/secret", true},
      {"/public/..;x/app/secret", "/public/%2e%2e;x/app/secret", true},
      {"/public/%2e%2e/app/secret", "/public/%252e%252e/app/secret", true},
      {"/public/..\\app/secret", "/public/..%5Capp/secret", true},
      {"/app./secret", "/app./secret", true},
      {"/app%20/secret", "/app%2520/secret", true},
      {"/(S(abc))/app/secret", "/(S(abc))/app/secret", true},
      {"/public/../app/secret", "/public/%EF%BC%8E%EF%BC%8E/app/secret", true},
      {"/public", "/public%00/../app/secret", true},
      {"/error.html", "/app/secret%2F..%2F..%2Ferror.html", true},
      {"/public/page", "/public/page", false},
      {"/error.html", "/error.html", false},
  };
  for (const Row& row : rows) {
    FakeRequest r = Request(row.url);
    r.rawUrl = row.raw;
    Run(r);
    if (row.protectedByAReading) {
      EXPECT_EQ(r.redirects.size(), 1u) << row.raw;
      EXPECT_FALSE(r.executed) << row.raw;
    } else {
      EXPECT_TRUE(r.redirects.empty()) << row.raw;
      EXPECT_TRUE(r.executed) << row.raw;
      EXPECT_EQ(r.childHeaders, "") << row.raw;
    }
  }
}

// A cancel URL inside the protected area is a cancel only when every reading is: the same URL
// whose raw form a backend reads as another protected path is judged as that path, through the
// broker, and its token cookie is left alone.
TEST_F(IsapiHostTest, CancelOnlyWhenEveryReadingIsTheCancelUrl) {
  Restart("CancelUrl=^/app/logout$\r\n");
  const std::string token = Issue(0);
  FakeRequest cancel = Request("/app/logout", "TSR=" + token);
  EXPECT_EQ(Run(cancel), static_cast<DWORD>(HSE_STATUS_PENDING)) << cancel.body;
  EXPECT_EQ(cancel.childHeaders, "");  // handed on unchanged, the cookie cleared
  ASSERT_EQ(cancel.cookieLines.size(), 1u);
  EXPECT_NE(cancel.cookieLines[0].find("expires=Thu, 01 Jan 1970"), std::string::npos);

  FakeRequest other = Request("/app/logout", "TSR=" + token);
  other.rawUrl = "/app/secret%2F..%2Flogout";
  EXPECT_EQ(Run(other), static_cast<DWORD>(HSE_STATUS_PENDING)) << other.body;
  EXPECT_NE(other.childHeaders.find("X-subject: jdoe\r\n"), std::string::npos)
      << other.childHeaders;
  ASSERT_EQ(other.cookieLines.size(), 1u);
  EXPECT_NE(other.cookieLines[0].find("TSR=" + token), std::string::npos);
  Restart("");
}

TEST_F(IsapiHostTest, TerminationEndsTheExtension) {
  EXPECT_EQ(Export<TerminateExtensionFn>("TerminateExtension")(0), TRUE);
  FakeRequest r = Request("/app/page");
  EXPECT_EQ(Export<HttpExtensionProcFn>("HttpExtensionProc")(&r.ecb),
            static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(Export<TerminateExtensionFn>("TerminateExtension")(0), static_cast<BOOL>(4));
}

// ---- a runtime that cannot authenticate the broker ---------------------------------------------
// Run in a process without an authentication package for local RPC (scripts/test-windows.sh takes
// Wine's NTLM helper out of its PATH): the gate cannot secure its binding and must then send no
// token to whatever listens on the endpoint, here a listener that takes tokens from anyone.
class IsapiNoAuthenticationTest : public IsapiHostTest {
 protected:
  static void SetUpTestSuite() {
    canAuthenticate_ = RuntimeCanAuthenticate();
    if (canAuthenticate_)
      return;
    Install();
    recordFile_ = installDir_ / "recorded.txt";
    std::wstring command = L"\"" + (ExeDir() / "recording_listener.exe").wstring() + L"\" \"" +
                           recordFile_.wstring() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &si, &broker_));
    CloseHandle(broker_.hThread);
    for (int i = 0; i < 200 && UnauthenticatedCall(u"probe") != 0; ++i)
      Sleep(50);
    LoadGate();
  }
  static void TearDownTestSuite() {
    if (canAuthenticate_)
      return;
    StopBroker();
    fs::remove_all(installDir_);
  }
  void SetUp() override {
    if (canAuthenticate_)
      GTEST_SKIP() << "this runtime can authenticate local RPC; run without an authentication "
                      "package (see scripts/test-windows.sh)";
  }

  static bool RuntimeCanAuthenticate() {
    RPC_BINDING_HANDLE binding = nullptr;
    if (RpcBindingFromStringBindingW(
            reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc:[TokenGateNoEndpoint]")),
            &binding) != RPC_S_OK) {
      return false;
    }
    const RPC_STATUS status =
        RpcBindingSetAuthInfoExW(binding, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_AUTHN_WINNT,
                                 nullptr, RPC_C_AUTHZ_NONE, nullptr);
    RpcBindingFree(&binding);
    return status == RPC_S_OK;
  }

  // A call the way a client that checks nothing makes it; the code of its exception, or 0.
  static unsigned long UnauthenticatedCall(const std::u16string& token) {
    if (RpcBindingFromStringBindingW(
            reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc:[TarvexWebLogonBroker]")),
            &IAuthenticator_Binding) != RPC_S_OK) {
      return RPC_S_INVALID_BINDING;
    }
    std::vector<wchar_t> updated(5000), header(10000), list(10000);
    std::wstring config(L"x"), wideToken(token.begin(), token.end()), prefix(L"X-");
    long a = 0, b = 0, c = 0;
    intptr_t result = -1;
    const unsigned long code = TgGuardedGetHeaderString(
        static_cast<long>(config.size()), config.data(), static_cast<long>(wideToken.size()),
        wideToken.data(), static_cast<long>(prefix.size()), prefix.data(), 30, &a, updated.data(),
        &b, header.data(), &c, list.data(), &result);
    RpcBindingFree(&IAuthenticator_Binding);
    return code;
  }

  static std::string Recorded() {
    std::string text;
    const HANDLE file =
        CreateFileW(recordFile_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return text;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n > 0)
      text.append(chunk, n);
    CloseHandle(file);
    return text;
  }

  static inline bool canAuthenticate_ = false;
  static inline fs::path recordFile_;
};

TEST_F(IsapiNoAuthenticationTest, NoTokenReachesAListenerThatCannotBeAuthenticated) {
  // The listener is there and takes tokens from a client that does not check it.
  ASSERT_EQ(UnauthenticatedCall(u"probe"), 0u);
  const std::string probes = Recorded();
  ASSERT_NE(probes.find("probe\n"), std::string::npos);

  const std::string token = Issue(0);
  Restart("");  // start-up cannot secure the binding
  FakeRequest r = Request("/app/page", "TSR=" + token);
  EXPECT_EQ(Run(r), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(r.ecb.dwHttpStatusCode, 500u);
  EXPECT_NE(r.body.find("please make sure the LogonBroker has been started."), std::string::npos)
      << r.body;
  EXPECT_FALSE(r.executed);

  Restart("EnableIWA=YES\r\n");
  FakeRequest iwa = Request("/app/page", "TSR=" + token);
  EXPECT_EQ(Run(iwa), static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(iwa.ecb.dwHttpStatusCode, 500u);
  EXPECT_FALSE(iwa.executed);

  EXPECT_EQ(Recorded(), probes);  // nothing of the gate's reached it
}

}  // namespace
