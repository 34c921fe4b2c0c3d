// Loads TokenGate.dll through its exports, as IIS does, and drives its life cycle and main routes
// against a real LogonBroker.exe -console over ncalrpc. The web server side is a small fake of
// the extension control block and the filter context.
#include <windows.h>

// The ISAPI declarations need the base types of windows.h.
#include <httpext.h>
#include <httpfilt.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

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
  std::vector<std::pair<std::string, std::string>> headers;  // in request order
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

  EXTENSION_CONTROL_BLOCK ecb{};
  HTTP_FILTER_CONTEXT pfc{};
  HTTP_FILTER_PREPROC_HEADERS preproc{};

  std::string Header(const std::string& name) const {
    for (const auto& [n, v] : headers) {
      if (_stricmp(n.c_str(), name.c_str()) == 0)
        return v;
    }
    return {};
  }
  bool HasHeader(const std::string& name) const {
    for (const auto& h : headers) {
      if (_stricmp(h.first.c_str(), name.c_str()) == 0)
        return true;
    }
    return false;
  }
};

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
  if (n == "QUERY_STRING")
    return Answer(r.query, buffer, size);
  if (n == "HTTPS")
    return Answer("off", buffer, size);
  if (n == "ALL_RAW") {
    std::string all;
    for (const auto& [hn, hv] : r.headers)
      all += hn + ": " + hv + "\r\n";
    return Answer(all, buffer, size);
  }
  std::string header;
  if (n.starts_with("HEADER_"))
    header = n.substr(7);
  else if (n.starts_with("HTTP_"))
    header = n.substr(5);
  for (char& c : header) {
    if (c == '_')
      c = '-';
  }
  if (!header.empty() && r.HasHeader(header))
    return Answer(r.Header(header), buffer, size);
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

    StartBroker();
    dll_ = LoadLibraryW((ExeDir().parent_path() / "windows" / "TokenGate.dll").c_str());
    ASSERT_NE(dll_, nullptr) << GetLastError();
  }
  static void TearDownTestSuite() {
    StopBroker();
    fs::remove_all(installDir_);
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

  // One request the way IIS runs it: the filter at preprocessed headers, then the extension, then
  // (for a child request) the completion, and the end of the request for the filter.
  static DWORD Run(FakeRequest& r) {
    r.pfc.cbSize = sizeof r.pfc;
    r.pfc.ServerContext = &r;
    r.pfc.AddResponseHeaders = &FakeAddResponseHeaders;
    r.preproc.AddHeader = &FakeAddHeader;
    r.ecb.cbSize = sizeof r.ecb;
    r.ecb.ConnID = &r;
    r.ecb.lpszMethod = const_cast<char*>("GET");
    r.ecb.lpszQueryString = const_cast<char*>(r.query.c_str());
    r.ecb.GetServerVariable = &FakeGetServerVariable;
    r.ecb.WriteClient = &FakeWriteClient;
    r.ecb.ServerSupportFunction = &FakeServerSupport;

    const auto filter = Export<HttpFilterProcFn>("HttpFilterProc");
    EXPECT_EQ(filter(&r.pfc, SF_NOTIFY_PREPROC_HEADERS, &r.preproc),
              static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
    // IIS runs the extension on a thread impersonating the request's user.
    EXPECT_TRUE(ImpersonateSelf(SecurityImpersonation));
    const DWORD status = Export<HttpExtensionProcFn>("HttpExtensionProc")(&r.ecb);
    RevertToSelf();
    if (status == HSE_STATUS_PENDING && r.completion != nullptr)
      r.completion(&r.ecb, r.completionContext, 0, 0);
    filter(&r.pfc, SF_NOTIFY_END_OF_REQUEST, nullptr);
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
  EXPECT_EQ(filter.dwFlags & (SF_NOTIFY_ORDER_LOW | SF_NOTIFY_PREPROC_HEADERS),
            static_cast<DWORD>(SF_NOTIFY_ORDER_LOW | SF_NOTIFY_PREPROC_HEADERS));

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
  EXPECT_EQ(r.cookieLines, std::vector<std::string>{"Set-Cookie: TSR=" + token + "; path=/; HttpOnly\r\n"});
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

TEST_F(IsapiHostTest, TerminationEndsTheExtension) {
  EXPECT_EQ(Export<TerminateExtensionFn>("TerminateExtension")(0), TRUE);
  FakeRequest r = Request("/app/page");
  EXPECT_EQ(Export<HttpExtensionProcFn>("HttpExtensionProc")(&r.ecb),
            static_cast<DWORD>(HSE_STATUS_ERROR));
  EXPECT_EQ(Export<TerminateExtensionFn>("TerminateExtension")(0), static_cast<BOOL>(4));
}

}  // namespace
