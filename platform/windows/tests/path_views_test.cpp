// IIS's readings of a request path besides "URL", through the extension's host seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "isapi_host.h"
#include "path_views.h"

namespace {

using tokengate::isapi::IsapiRequestHost;
using tokengate::isapi::PercentDecodeOnce;
using tokengate::isapi::ResolvePath;

// The variables one request shows; an empty value stands for a variable IIS does not have.
struct Variables {
  std::string url, unencoded, httpUrl;
};

BOOL WINAPI ReadVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  const auto& v = *static_cast<const Variables*>(conn);
  const std::string n(name);
  const std::string* value = n == "URL"             ? &v.url
                             : n == "UNENCODED_URL" ? &v.unencoded
                             : n == "HTTP_URL"      ? &v.httpUrl
                                                    : nullptr;
  if (value == nullptr || value->empty()) {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  if (*size < value->size() + 1) {
    *size = static_cast<DWORD>(value->size() + 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, value->c_str(), value->size() + 1);
  *size = static_cast<DWORD>(value->size() + 1);
  return TRUE;
}

std::vector<std::string> ViewsOf(Variables v) {
  EXTENSION_CONTROL_BLOCK ecb{};
  ecb.cbSize = sizeof ecb;
  ecb.ConnID = &v;
  ecb.GetServerVariable = &ReadVariable;
  return IsapiRequestHost(&ecb).OtherPathViews();
}

std::string Joined(const std::vector<std::string>& views) {
  std::string out;
  for (const auto& v : views)
    out += "[" + v + "]";
  return out;
}

struct Row {
  const char* what;
  Variables request;
  // A reading the views must hold: the path some handler or backend maps the request to.
  const char* mustHold;
};

// Requests whose raw form IIS maps otherwise than a backend, a file system or ASP.NET may: each
// must come with the other reading, so that a protected pattern on it protects the request and
// an exemption on "URL" alone exempts nothing. "URL" is what IIS gives: decoded once, dot
// segments resolved, ";" an ordinary character.
const Row kRows[] = {
    {"path parameter on a dot segment",
     {"/public/..;/app/secret", "/public/..;/app/secret", ""},
     "/app/secret"},
    {"encoded semicolon",
     {"/public/..;/app/secret", "/public/..%3B/app/secret?q=1", ""},
     "/app/secret"},
    {"encoded dots with a parameter",
     {"/public/..;x/app/s", "/public/%2e%2e;x/app/s", ""},
     "/app/s"},
    {"parameter cut before decoding", {"/app/x", "/a;%2F..%2Fapp/x", ""}, "/a/x"},
    {"encoded backslash kept by IIS", {"/public/..\\app/s", "/public/..%5Capp/s", ""}, "/app/s"},
    {"encoded slash kept by IIS", {"/public/..%2Fapp/s", "/public/..%2Fapp/s", ""}, "/app/s"},
    {"double encoding", {"/public/%2e%2e/app/s", "/public/%252e%252e/app/s", ""}, "/app/s"},
    {"%u encoding", {"/public/..;/app/s", "/public/%u002e%u002e;/app/s", ""}, "/app/s"},
    {"trailing dot of a folder", {"/app./secret", "/app./secret", ""}, "/app/secret"},
    {"trailing blank of a folder", {"/app /secret", "/app%20/secret", ""}, "/app/secret"},
    {"ASP.NET cookieless token",
     {"/(S(x1y2))/app/secret", "/(S(x1y2))/app/secret", ""},
     "/app/secret"},
    {"error page by IIS, protected script for a backend",
     {"/error.html", "/app/secret%2F..%2F..%2Ferror.html", ""},
     "/app/secret%2F..%2F..%2Ferror.html"},
    {"backslash segments resolved by IIS",
     {"/error.html", "/app\\x\\..\\..\\error.html", ""},
     "/app\\x\\..\\..\\error.html"},
    {"absolute request target",
     {"/public/..;/app/s", "http://host.example/public/..;/app/s", ""},
     "/app/s"},
    {"rewritten by IIS: the client's own URL", {"/app/secret", "/public/page", ""}, "/public/page"},
    {"raw URL seen twice", {"/public/page", "/public/page", "/public/..;/app/s"}, "/app/s"},
    {"decoded NUL ends a backend's path",
     {"/app/secret", "/public/x/..%00/../../app/secret", ""},
     "/public/"},
    {"full-width dots and slash",
     {"/public/x", "/public/%EF%BC%8E%EF%BC%8E%EF%BC%8Fapp/secret", ""},
     "/app/secret"},
    {"full-width dots best-fitted by IIS", {"/public/../app/secret", "", ""}, "/app/secret"},
    {"decoded NUL read through", {"/public", "/public%00/../app/secret", ""}, "/app/secret"},
};

TEST(PathViews, EveryOtherReadingOfARawPathIsOffered) {
  for (const Row& row : kRows) {
    const std::vector<std::string> views = ViewsOf(row.request);
    EXPECT_NE(std::find(views.begin(), views.end(), row.mustHold), views.end())
        << row.what << ": " << Joined(views);
    EXPECT_EQ(std::find(views.begin(), views.end(), row.request.url), views.end())
        << row.what << ": \"URL\" itself is not another reading";
  }
}

TEST(PathViews, PlainPathsHaveNoOtherReading) {
  const Variables plain[] = {
      {"/app/page", "/app/page?x=1", "/app/page?x=1"},
      {"/", "/", "/"},
      {"/error.html", "/error.html", ""},
      {"/app/folder/", "/app/folder/", ""},
      {"/app/page", "", ""},  // no raw URL at all: "URL" is the only reading
  };
  for (const Variables& v : plain)
    EXPECT_EQ(ViewsOf(v), std::vector<std::string>{}) << v.url << " " << Joined(ViewsOf(v));
}

TEST(PathViews, ResolvesLikeAFileServingBackend) {
  struct Case {
    const char* path;
    bool cutParams;
    const char* resolved;
  };
  const Case cases[] = {
      {"/a/b/../c", false, "/a/c"},
      {"/../../etc/x", false, "/etc/x"},  // never above the root
      {"//a///b//", false, "/a/b/"},
      {"\\a\\.\\b", false, "/a/b"},
      {"/a/..;x/b", false, "/a/..;x/b"},
      {"/a/..;x/b", true, "/b"},
      {"/a/b;jsessionid=1", true, "/a/b"},
      {"/a/b.. /c", false, "/a/b/c"},
      {"/a/b/. ./c", false, "/a/c"},
      {"/a/(A(x)F(y))/b", false, "/a/b"},
      {"/a/(notatoken)/b", false, "/a/(notatoken)/b"},
      {"/a/b/..", false, "/a/"},
      {"", false, "/"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ResolvePath(c.path, c.cutParams), c.resolved) << c.path;
}

TEST(PathViews, DecodesOncePercentAndAsciiPercentU) {
  EXPECT_EQ(PercentDecodeOnce("%2e%2E%2f%5c%3b"), "../\\;");
  EXPECT_EQ(PercentDecodeOnce("%252e"), "%2e");
  EXPECT_EQ(PercentDecodeOnce("%u002e%U002F"), "./");
  EXPECT_EQ(PercentDecodeOnce("%u00e9"), "%u00e9");  // beyond ASCII: left to IIS's own reading
  EXPECT_EQ(PercentDecodeOnce("%zz%4"), "%zz%4");
  EXPECT_EQ(PercentDecodeOnce("/a%00/b"), std::string("/a\0/b", 5));
}

}  // namespace
