// One consistent set of the gate's settings. A configuration load builds a fresh record and
// publishes it whole; a request takes one snapshot and reads every value from it.
#pragma once

#include <cstdint>
#include <string>

namespace tokengate::gate {

struct GateSettings {
  std::u16string ConfDirectory;  // InstallPath + "conf/" ("\conf\" on Windows)
  std::u16string InstallPath;
  std::u16string CorvaneBaseUrl;
  std::u16string SSOUrl;
  std::u16string CancelUrl;
  std::u16string SLOUrl;
  std::u16string ReloadConfigUrl = u"/.*cmd=reload.*";
  std::u16string ErrorUrl;
  std::u16string TesseraName;
  std::u16string TesseraPropertiesFileName = u"agent-config.txt";
  bool EnableExtension = true;
  bool EnableIWA = false;
  bool DeleteTesseraCookie = false;
  bool AllowExpiredPassword = false;
  std::u16string Domain;
  std::u16string Path = u"/";
  std::u16string ProtectedResourceList;
  std::u16string AuthenticationPrefix;
  std::u16string ApplicationHost;
  std::u16string ApplicationPort;
  std::u16string ApplicationScheme;
  bool SecureCookie = false;
  bool SessionCookie = true;
  std::int32_t CookieAge = 5;
  std::int32_t TokenUpdateWindow = 5;
  // Cookie attributes of the token cookie the gate writes and clears: scripts on the site cannot
  // read it unless HttpOnlyCookie is NO; SameSiteCookie is "", "Lax", "Strict" or "None".
  bool HttpOnlyCookie = true;
  std::u16string SameSiteCookie;
  // How a request that would go to sign-on is answered when it is clearly a script's, not a
  // top-level navigation: "401" (a 401 naming the sign-on URL) or "redirect" (the redirect).
  std::u16string ScriptUnauthenticated = u"401";
  // YES: the token cookie is removed from the Cookie header a protected request continues with,
  // so applications never see (or log, or replay) the session token.
  bool StripTokenCookie = false;
};

}  // namespace tokengate::gate
