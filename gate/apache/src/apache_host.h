// The gate's host seam over one Apache request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "header_policy.h"
#include "tokengate/gate/request_host.h"

struct request_rec;
struct apr_table_t;

namespace tokengate::apache {

class VariableWriter;

// Per-request state of the module, kept in the request's module configuration. Plain data in the
// request pool.
struct RequestState {
  std::uint32_t contextId;  // 0 until the request is tagged
  int authenticated;        // the gate handed this request on with attribute headers
  int impersonated;         // ... and under the user's identity (user, auth type, KRB5CCNAME)
  // The attribute headers the gate added (header name to value, as the broker wrote them) and
  // the prefix they carry; null unless this request was handed on with them. Authorization rules
  // read these, never the request's own headers.
  apr_table_t* attributes;
  const char* attributePrefix;
  int judged;  // the gate's request handler ran for this request
};

// The values of an attribute header as the broker writes them: one value, or "[v1,v2,...]".
std::vector<std::string_view> AttributeValues(std::string_view headerValue);

// The output filter that keeps responses carrying the token cookie out of shared caches
// (Cache-Control: private unless the application set a stricter policy): registered once, and
// inserted (insert_filter and insert_error_filter hooks) into every response the gate wrote a
// cookie for.
void RegisterPrivateCacheFilter();
void InsertPrivateCacheFilter(request_rec* r);

// Makes a random non-zero 32-bit context identifier (per-thread generator, no lock).
std::uint32_t NewContextId() noexcept;

// The filter role on a request whose headers have been read.
class ApacheFilterNotification final : public gate::IFilterNotification {
 public:
  ApacheFilterNotification(request_rec* r, RequestState& state) : r_(r), state_(state) {}
  void ClearPrivateContext() noexcept override {}
  std::uint32_t ContextId() const noexcept override;
  bool AddHeader(std::string_view name, std::string_view value) noexcept override;

 private:
  request_rec* r_;
  RequestState& state_;
};

// What the gate did with a request, for the hook to answer Apache.
enum class Outcome : std::uint8_t { None, HandedOn, Redirect, Page };

class ApacheRequestHost final : public gate::IRequestHost, public gate::IFilterContext {
 public:
  ApacheRequestHost(request_rec* r, RequestState* state, std::string_view body = {})
      : r_(r), state_(state), body_(body) {}

  gate::VariableRead GetServerVariable(std::string_view name,
                                       std::span<char> area) noexcept override;
  std::string_view QueryString() const noexcept override;
  std::string_view AvailableBody() const noexcept override { return body_; }
  // The "URL" variable is the path read the backend way (PathForMatching), as events and redirect
  // targets have always shown it; Apache's own r->uri and the other readings come from here, and
  // only when they differ from it.
  std::vector<std::string> OtherPathViews() const override;

  void SetStatusCode(std::uint32_t status) noexcept override;
  void SetLogData(std::string_view text) noexcept override;
  bool WriteClient(std::string_view bytes) noexcept override;
  // How the attribute headers of this request are named: the configured prefix, and the
  // attribute whose first value becomes the request's user (r->user); set before the gate runs.
  void SetAttributeNaming(std::string prefix, std::string userAttribute) {
    attributePrefix_ = std::move(prefix);
    userAttribute_ = std::move(userAttribute);
  }

  bool SendRedirect(std::string_view location) noexcept override;
  bool SendResponse(std::uint32_t status, std::string_view headers, std::string_view content_type,
                    std::string_view body) noexcept override;

  bool ExecuteChild(std::unique_ptr<gate::HandOff>& hand_off,
                    gate::CompletionRoutine done) noexcept override;
  bool GetExecStatus(gate::ExecStatus& status) noexcept override;
  void SetThreadLastError(std::uint32_t) noexcept override {}
  void DoneWithSession(std::uint32_t) noexcept override {}

  gate::IFilterContext* ResolveFilterContext(std::uint32_t id) noexcept override;

  // Linux has no per-thread identity: a request is always served as the server's own user, and
  // the user's identity travels as a Kerberos credential instead. The thread-identity steps are
  // therefore bookkeeping that cannot fail here: opening gives a placeholder for the server's
  // identity, reverting does nothing, impersonating records which credential the "thread" now
  // runs as, and the thread's user name is that credential's local name (Kerberos name mapping),
  // or its principal when it maps to none. The failure paths of the core stay for Windows.
  gate::Credential OpenThreadCredential() noexcept override;
  bool RevertToSelf() noexcept override;
  bool Impersonate(const gate::ICredential& credential) noexcept override;
  std::optional<std::u16string> ThreadUserName() override;

  bool AddResponseHeaders(std::string_view line) noexcept override;

  Outcome Result() const noexcept { return outcome_; }
  std::uint32_t PageStatus() const noexcept { return status_; }
  const std::string& Page() const noexcept { return page_; }
  const char* PageType() const noexcept { return pageType_; }

  // Writes the value of a server variable; false when the request has no such variable.
  bool WriteVariable(std::string_view name, VariableWriter& out) const;

 private:
  bool ApplyHandOff(const gate::HandOff& handOff);
  // Keeps the attribute headers the gate added for authorization, and sets the token's user.
  void RecordAttributes(const std::vector<HeaderView>& lines, const HeaderLineSet& fromRequest);

  request_rec* r_;
  RequestState* state_;
  std::string_view body_;
  Outcome outcome_ = Outcome::None;
  std::uint32_t status_ = 200;
  std::string page_;
  const char* pageType_ = "text/html";
  std::string attributePrefix_;
  std::string userAttribute_;
  // The user credential the request's "thread" runs as; null while it runs as the server.
  const gate::ICredential* runningAs_ = nullptr;
};

}  // namespace tokengate::apache
