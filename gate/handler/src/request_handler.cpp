#include "tokengate/gate/request_handler.h"

#include <memory>
#include <optional>
#include <string>

#include "tokengate/common/text.h"
#include "tokengate/gate/child_header_block.h"
#include "tokengate/gate/context_link.h"
#include "tokengate/gate/cookie_writer.h"
#include "tokengate/gate/hand_off.h"
#include "tokengate/gate/request_subject.h"
#include "tokengate/gate/request_values.h"
#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/server_variable.h"
#include "tokengate/gate/signon_redirect.h"

namespace tokengate::gate {

namespace {

constexpr std::u16string_view kReloaded = u"ISAPI Configuration successfully reloaded";
constexpr std::u16string_view kLoadFailed = u"Unable to load configuration";
constexpr std::u16string_view kNoFilterContext =
    u"Filter context not available, please make sure the ISAPI extension is added to ISAPI "
    u"Filters in IIS.";
constexpr std::u16string_view kNoTesseraName =
    u"TesseraName must be set in the ISAPI configuration file";
constexpr std::u16string_view kCookieNotDeleted = u"Tessera cookie could not be deleted.";
constexpr std::u16string_view kNoBaseUrlEvent =
    u"CorvaneBaseUrl must be set in the ISAPI configuration file for single logut";
constexpr std::u16string_view kNoBaseUrlResponse =
    u"CorvaneBaseUrl must be set in the ISAPI configuration file for single logout";
constexpr std::u16string_view kNoProtectedList =
    u"ProtectedResourceList must be set in the ISAPI configuration file";
constexpr std::u16string_view kTokenNotFound = u"Tessera cookie not found";
constexpr std::u16string_view kNoSsoForIwa = u"SSOUrl is not configured for IWA.";
constexpr std::u16string_view kTokenEmpty = u"Tessera is empty";
constexpr std::u16string_view kBrokerFailedText =
    u"Could not obtain attributes from Tessera, please make sure the LogonBroker has been "
    u"started.";
constexpr std::u16string_view kInvalidHandle = u"RPC Exception returned invalid handle";
constexpr std::u16string_view kAddingHeaders =
    u"Attributes from Tessera are being added as request headers.";
constexpr std::u16string_view kTokenUpdateFailed = u"Error occured in updating session token.";
constexpr std::u16string_view kIwaNoThreadToken =
    u"Unable to acquire thread token for impersonation";
constexpr std::u16string_view kCannotRevert =
    u"Unable to revert from impersonation back to process token";
constexpr std::u16string_view kSessionNotDeleted = u"Session token could not be deleted.";
constexpr std::u16string_view kErrorPage = u"/error.html";
constexpr std::u16string_view kReadingsDiffer =
    u"The request path reads differently to the web server and to a backend (\"";

// One request's walk through the decision flow. Every value of the configuration comes from one
// snapshot, so a reload on another thread cannot mix old and new values into this request.
class RequestFlow {
 public:
  RequestFlow(IRequestHost& host, const GateServices& services)
      : host_(host), services_(services), log_(services.log) {}

  std::uint32_t Run();

 private:
  std::uint32_t Fail(std::u16string_view message) { return Fail(message, message); }
  std::uint32_t Fail(std::u16string_view event, std::u16string_view response) {
    log_.Report(EventType::Error, event);
    return ErrorResponse(host_, *settings_, log_, response);
  }
  std::u16string Variable(std::string_view name) { return ReadServerVariable(host_, log_, name); }
  // The outcome of a test over every reading of the path. The first test whose outcome another
  // reading changed writes a warning that names both readings.
  bool Decide(const ReadingTest& test);

  std::uint32_t Cancel(const std::optional<std::u16string>& token);
  std::uint32_t WithoutIwa(const BrokerRequest& request);
  std::uint32_t WithIwa(const BrokerRequest& request);
  // Builds the child header block from the request's headers and the broker's outputs.
  HeaderBlockStatus BuildBlock(const BrokerOutputs& out, std::string& block);
  // Rewrites or deletes the token cookie after a successful broker call. Returns 4 when the
  // request must end without a response of its own.
  std::optional<std::uint32_t> RefreshCookie(const BrokerOutputs& out,
                                             std::u16string_view deleteFailedWarning);

  IRequestHost& host_;
  const GateServices& services_;
  const GateEventLog& log_;
  std::shared_ptr<const GateSettings> settings_;
  std::optional<RequestSubject> subject_;
  bool dissentReported_ = false;
  IFilterContext* filter_ = nullptr;
};

std::uint32_t RequestFlow::Run() {
  settings_ = services_.configuration.Snapshot();

  // 1. The subject of the three pattern tests: the URL and, when there is one, the query, in
  // every reading of the path the server reports. Protected when any reading is; the error page,
  // a reload or a cancel only when every reading is, so that no reading the server or a backend
  // acts on is judged more leniently than it would be on its own.
  std::u16string url = Variable("URL");
  const std::u16string query = Variable("QUERY_STRING");
  subject_.emplace(std::move(url), query, host_.OtherPathViews());

  // 2. Reload, before anything else, so it works also while the extension is disabled.
  if (Decide(subject_->EveryMatches(settings_->ReloadConfigUrl))) {
    const bool loaded = services_.configuration.Load();
    settings_ = services_.configuration.Snapshot();
    if (!loaded) {
      return Fail(kLoadFailed);
    }
    log_.Report(EventType::Information, kReloaded);
    InfoPage(host_);
    return kHseStatusError;
  }

  // 3. Disabled: every request passes untouched.
  if (!settings_->EnableExtension) {
    return PassOnUnchanged(host_);
  }

  // 4. The error page of the site itself is never protected.
  if (text::EqualsIgnoreAsciiCase(Variable("URL"), kErrorPage) &&
      Decide(subject_->OthersAre(kErrorPage))) {
    return PassOnUnchanged(host_);
  }

  // 5. Without the filter's context no cookie can be written for this request.
  filter_ = FindFilterContext(host_, log_);
  if (filter_ == nullptr) {
    return Fail(kNoFilterContext);
  }

  // 6.
  const std::u16string& name = settings_->TesseraName;
  if (name.empty()) {
    return Fail(kNoTesseraName);
  }

  // 7. The token: form body first, then the query string, then the cookies.
  std::optional<std::u16string> token = FindFormValue(host_, log_, name);
  if (!token) {
    token = FindQueryValue(host_, name);
  }
  if (!token) {
    std::optional<std::uint32_t> cookieFailure;
    token = FindCookieValue(host_, *settings_, log_, name, &cookieFailure);
    if (cookieFailure) {
      // The lookup has already answered the request with an error response; a second response
      // would corrupt it.
      return *cookieFailure;
    }
  }

  // 8. Cancel and single logout.
  if (!settings_->CancelUrl.empty() && Decide(subject_->EveryMatches(settings_->CancelUrl))) {
    return Cancel(token);
  }

  // 9. An empty protected list is a configuration error for every request that gets here.
  if (settings_->ProtectedResourceList.empty()) {
    return Fail(kNoProtectedList);
  }

  // 10.
  if (!Decide(subject_->AnyMatches(settings_->ProtectedResourceList))) {
    return PassOnUnchanged(host_);
  }

  // 11. No token: sign on, unless IWA lets the web server's own authentication decide.
  if (!token) {
    log_.Report(EventType::Information, kTokenNotFound);
    if (settings_->EnableIWA && settings_->SSOUrl.empty()) {
      log_.Report(EventType::Information, kNoSsoForIwa);
      return PassOnUnchanged(host_);
    }
    return RedirectToSignOn(host_, *settings_, log_);
  }

  // 12, 13.
  if (token->empty()) {
    return Fail(kTokenEmpty);
  }
  if (text::EqualsIgnoreAsciiCase(*token, u"expired")) {
    return RedirectToSignOn(host_, *settings_, log_);
  }

  // 14. The broker request.
  BrokerRequest request;
  request.config = settings_->ConfDirectory + settings_->TesseraPropertiesFileName;
  request.token = std::move(*token);
  request.prefix = settings_->AuthenticationPrefix;
  request.tokenUpdateWindow = settings_->TokenUpdateWindow;

  return settings_->EnableIWA ? WithIwa(request) : WithoutIwa(request);
}

bool RequestFlow::Decide(const ReadingTest& test) {
  if (test.dissent && !dissentReported_) {
    dissentReported_ = true;
    std::u16string event(kReadingsDiffer);
    event += subject_->PrimaryPath();
    event += u"\" and \"";
    event += *test.dissent;
    event += u"\"); the stricter reading decides.";
    log_.Report(EventType::Warning, event);
  }
  return test.result;
}

std::uint32_t RequestFlow::Cancel(const std::optional<std::u16string>& token) {
  if (const auto resume = FindQueryValue(host_, u"resume")) {
    if (ClearTokenCookie(*filter_, *settings_, log_) != kHseStatusSuccess) {
      log_.Report(EventType::Warning, kCookieNotDeleted);
    }
    if (settings_->CorvaneBaseUrl.empty()) {
      return Fail(kNoBaseUrlEvent, kNoBaseUrlResponse);
    }
    // Appending anything but a path would let a crafted link send the user to another host.
    if (!IsSafeResumePath(*resume)) {
      return Fail(kResumeRefused);
    }
    std::u16string target = settings_->CorvaneBaseUrl;
    if (target.back() == u'/') {
      target.pop_back();
    }
    target += *resume;
    return Redirect(host_, *settings_, log_, target);
  }
  if (token) {
    if (!settings_->SLOUrl.empty()) {
      return RedirectToLogout(host_, *settings_, log_);
    }
    if (ClearTokenCookie(*filter_, *settings_, log_) != kHseStatusSuccess) {
      log_.Report(EventType::Warning, kCookieNotDeleted);
    }
  }
  return PassOnUnchanged(host_);
}

HeaderBlockStatus RequestFlow::BuildBlock(const BrokerOutputs& out, std::string& block) {
  const std::optional<std::string_view> raw = TryReadServerVariableBytes(host_, log_, "ALL_RAW");
  if (!raw) {
    return HeaderBlockStatus::RequestHeadersUnavailable;
  }
  return BuildChildHeaderBlockFromRaw(*raw, out.AttributeList(), out.Header(), *settings_, block);
}

std::optional<std::uint32_t> RequestFlow::RefreshCookie(const BrokerOutputs& out,
                                                        std::u16string_view deleteFailedWarning) {
  if (settings_->DeleteTesseraCookie) {
    if (ClearTokenCookie(*filter_, *settings_, log_) != kHseStatusSuccess &&
        !deleteFailedWarning.empty()) {
      log_.Report(EventType::Warning, deleteFailedWarning);
    }
    return std::nullopt;
  }
  const std::u16string_view updated = out.UpdatedToken();
  if (!updated.empty()) {
    const auto now = services_.now ? services_.now() : std::chrono::system_clock::now();
    if (WriteCookie(*filter_, *settings_, log_, settings_->TesseraName, updated, now) !=
        kHseStatusSuccess) {
      log_.Report(EventType::Information, kTokenUpdateFailed);
      return kHseStatusError;
    }
  }
  return std::nullopt;
}

std::uint32_t RequestFlow::WithoutIwa(const BrokerRequest& request) {
  BrokerOutputs* const out = &ThreadBrokerOutputs();  // cleared by the call
  const std::int32_t status = services_.broker.BrokerGetHeaderString(request, *out);

  // Expiry is told by the marker, whatever the status says.
  if (out->SessionExpired()) {
    ClearTokenCookie(*filter_, *settings_, log_);
    return RedirectToSignOn(host_, *settings_, log_);
  }
  if (status != kBrokerOk) {
    return Fail(kBrokerFailedText);
  }

  std::string block;
  if (const auto built = BuildBlock(*out, block); built != HeaderBlockStatus::Ok) {
    return Fail(HeaderBlockMessage(built));
  }
  log_.Report(EventType::Information, kAddingHeaders);
  if (const auto ended = RefreshCookie(*out, u"")) {
    return *ended;
  }
  return PassOnWithHeaders(host_, std::move(block));
}

std::uint32_t RequestFlow::WithIwa(const BrokerRequest& request) {
  // The broker is called as the process, so the identity the server gave this thread is saved
  // first and put back before any response goes out.
  Credential saved = host_.OpenThreadCredential();
  if (!saved) {
    return Fail(kIwaNoThreadToken);
  }
  if (!host_.RevertToSelf()) {
    return Fail(kCannotRevert);
  }
  bool restored = false;
  const auto restore = [&]() -> bool {
    if (!restored) {
      restored = host_.Impersonate(*saved);
    }
    return restored;
  };
  // Every early exit between the revert and the hand-off answers under the saved identity; when
  // it cannot be put back, the request is refused rather than answered as the process.
  const auto exitWith = [&](auto&& respond) -> std::uint32_t {
    if (!restore()) {
      return Fail(kCannotRestoreIdentity);
    }
    return respond();
  };

  BrokerOutputs* const out = &ThreadBrokerOutputs();  // cleared by the call
  std::intptr_t holder = 0;
  const std::int32_t status = services_.broker.BrokerGetHeaderStringWithIWA(request, holder, *out);
  // From here the user's credential is owned, and closed on every path that does not hand it on.
  Credential user;
  if (status == kBrokerHandle && holder != 0 && services_.adoptBrokerHandle) {
    user = services_.adoptBrokerHandle(holder);
  }

  if (out->SessionExpired()) {
    return exitWith([&] {
      ClearTokenCookie(*filter_, *settings_, log_);
      return RedirectToSignOn(host_, *settings_, log_);
    });
  }
  if (status != kBrokerHandle) {
    return exitWith([&] {
      const std::u16string event =
          std::u16string(kBrokerFailedText) + u" " + text::Utf8ToUtf16(std::to_string(status));
      return Fail(event, kBrokerFailedText);
    });
  }
  if (!user) {
    return exitWith([&] { return Fail(kInvalidHandle); });
  }

  std::string block;
  if (const auto built = BuildBlock(*out, block); built != HeaderBlockStatus::Ok) {
    return exitWith([&] { return Fail(HeaderBlockMessage(built)); });
  }
  if (!restore()) {
    return Fail(kCannotRestoreIdentity);
  }
  if (const auto ended = RefreshCookie(*out, kSessionNotDeleted)) {
    return *ended;
  }
  return PassOnImpersonated(host_, *settings_, log_, std::move(user), std::move(block));
}

}  // namespace

std::uint32_t HandleRequest(IRequestHost& host, const GateServices& services) {
  try {
    return RequestFlow(host, services).Run();
  } catch (...) {
    // Only an exhausted allocation can get here; the request is refused, never let through.
    services.log.Report(EventType::Error, kRequestFailed);
    try {
      return ErrorResponse(host, *services.configuration.Snapshot(), services.log, kRequestFailed);
    } catch (...) {
      return kHseStatusError;
    }
  }
}

}  // namespace tokengate::gate
