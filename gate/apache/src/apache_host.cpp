#include "apache_host.h"

#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <vector>

#include "apache_headers.h"
#include "header_policy.h"
#include "tokengate/common/text.h"
#include "user_credential.h"

APLOG_USE_MODULE(tokengate);

namespace tokengate::apache {

namespace {

// The request's headers in request order, as views into Apache's table.
std::vector<HeaderView> RequestHeaders(const apr_table_t* table) {
  std::vector<HeaderView> out;
  const apr_array_header_t* arr = apr_table_elts(table);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  out.reserve(static_cast<std::size_t>(arr->nelts));
  for (int i = 0; i < arr->nelts; ++i) {
    if (entries[i].key != nullptr) {
      out.push_back({entries[i].key, entries[i].val != nullptr ? entries[i].val : ""});
    }
  }
  return out;
}

// Request header `wanted` given in server-variable form ("HOST" for Host, "_" for "-"); headers
// whose own name has an underscore never answer, so they cannot stand in for a dashed one.
std::optional<std::string_view> HeaderVariable(const apr_table_t* table, std::string_view wanted) {
  const apr_array_header_t* arr = apr_table_elts(table);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  for (int i = 0; i < arr->nelts; ++i) {
    if (entries[i].key == nullptr || HasUnderscore(entries[i].key)) {
      continue;
    }
    if (NamesAlike(entries[i].key, wanted)) {
      return std::string_view(entries[i].val != nullptr ? entries[i].val : "");
    }
  }
  return std::nullopt;
}

}  // namespace

// Puts a variable's value into the caller's area as it is produced, without a copy of its own:
// what fits is written, and the whole size is counted either way.
class VariableWriter {
 public:
  explicit VariableWriter(std::span<char> area) : area_(area) {}
  void Append(std::string_view text) noexcept {
    if (size_ + text.size() < area_.size()) {  // room left for the terminator
      std::memcpy(area_.data() + size_, text.data(), text.size());
    }
    size_ += text.size();
  }
  gate::VariableRead Finish() noexcept {
    gate::VariableRead read;
    read.size = size_ + 1;
    if (read.size > area_.size()) {
      read.error = gate::VariableError::InsufficientBuffer;
      read.code = gate::kErrorInsufficientBuffer;
      return read;
    }
    area_[size_] = '\0';
    return read;
  }

 private:
  std::span<char> area_;
  std::size_t size_ = 0;
};

namespace {

// The request's headers as ALL_RAW gives them: "Name: value" lines in request order, without
// names holding an underscore (BuildAllRaw's rule).
void WriteAllRaw(const apr_table_t* table, VariableWriter& out) {
  const apr_array_header_t* arr = apr_table_elts(table);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  for (int i = 0; i < arr->nelts; ++i) {
    if (entries[i].key == nullptr || !InAllRaw(entries[i].key)) {
      continue;
    }
    out.Append(entries[i].key);
    out.Append(": ");
    out.Append(entries[i].val != nullptr ? entries[i].val : "");
    out.Append("\r\n");
  }
}

// Every Cookie header of the request joined with "; " (HTTP/2 clients send one per cookie);
// false when there is none.
bool WriteCookieHeader(const apr_table_t* table, VariableWriter& out) {
  const apr_array_header_t* arr = apr_table_elts(table);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  bool any = false;
  for (int i = 0; i < arr->nelts; ++i) {
    if (entries[i].key == nullptr || strcasecmp(entries[i].key, "Cookie") != 0) {
      continue;
    }
    if (any) {
      out.Append("; ");
    }
    any = true;
    out.Append(entries[i].val != nullptr ? entries[i].val : "");
  }
  return any;
}

struct PendingChild {
  request_rec* r;
  std::unique_ptr<gate::HandOff> handOff;
  gate::CompletionRoutine done;
};

// Runs the gate's completion step when the request is finished (its pool is being destroyed).
apr_status_t CompleteChild(void* data) {
  std::unique_ptr<PendingChild> pending(static_cast<PendingChild*>(data));
  try {
    ApacheRequestHost host(pending->r, nullptr);
    pending->done(host, std::move(pending->handOff));
  } catch (...) {
    // The completion step has nothing left to answer; the request is over.
  }
  return APR_SUCCESS;
}

// Stands for the identity the server runs under; holds no handle.
class ServerIdentity final : public gate::ICredential {
 public:
  std::uintptr_t NativeHandle() const noexcept override { return 0; }
};

// The name of the account the server process runs under.
std::optional<std::string> ServerUserName() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_name == nullptr) {
    return std::nullopt;
  }
  return std::string(found->pw_name);
}

// The client's own request-target when this request is an internal redirect of a client request
// the gate never judged: Apache refused that one before the gate's phase (an encoded slash, a
// rewrite [F]) and an ErrorDocument took over, which CGI scripts still hand the client's target as
// REQUEST_URI. Empty otherwise: a judged request's target was judged with every reading then.
std::string_view UnjudgedClientTarget(const request_rec* r) {
  if (r->main != nullptr || r->prev == nullptr || r->the_request == nullptr) {
    return {};
  }
  const request_rec* first = r->prev;
  while (first->prev != nullptr) {
    first = first->prev;
  }
  const auto* state = static_cast<const RequestState*>(
      ap_get_module_config(first->request_config, &tokengate_module));
  if (state != nullptr && state->judged != 0) {
    return {};
  }
  return RequestLineTarget(r->the_request);
}

bool IsTokenChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

ap_filter_rec_t* gPrivateFilter = nullptr;
constexpr char kTokenAuthType[] = "Corvane Tessera";
// Request note: the gate added a Set-Cookie line to this request's response.
constexpr char kPrivateNote[] = "tokengate-cookie";

// All Cache-Control values of `table`, joined by ",".
void CollectCacheControl(const apr_table_t* table, std::string& out) {
  const apr_array_header_t* arr = apr_table_elts(table);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  for (int i = 0; i < arr->nelts; ++i) {
    if (entries[i].key != nullptr && strcasecmp(entries[i].key, "Cache-Control") == 0) {
      out.append(",").append(entries[i].val != nullptr ? entries[i].val : "");
    }
  }
}

// Runs once, when the response's first bytes pass, after the application has set its headers and
// before they are written: a response carrying the token cookie is never stored by shared caches.
apr_status_t MakeResponsePrivate(ap_filter_t* f, apr_bucket_brigade* bb) {
  request_rec* r = f->r;
  try {
    std::string directives;
    CollectCacheControl(r->headers_out, directives);
    CollectCacheControl(r->err_headers_out, directives);
    if (const std::optional<std::string> value = PrivateCacheControl(directives)) {
      apr_table_unset(r->err_headers_out, "Cache-Control");
      apr_table_set(r->headers_out, "Cache-Control", value->c_str());
    }
  } catch (...) {
    // Out of memory: the strictest policy needs no work.
    apr_table_unset(r->err_headers_out, "Cache-Control");
    apr_table_setn(r->headers_out, "Cache-Control", "no-store");
  }
  ap_remove_output_filter(f);
  return ap_pass_brigade(f->next, bb);
}

}  // namespace

void RegisterPrivateCacheFilter() {
  // The last resource-level filter: it sees the application's headers before they are written.
  gPrivateFilter = ap_register_output_filter("TOKENGATE_PRIVATE", MakeResponsePrivate, nullptr,
                                             static_cast<ap_filter_type>(AP_FTYPE_PROTOCOL - 1));
}

void InsertPrivateCacheFilter(request_rec* r) {
  // The cookie was written on this request, on the one it was redirected from or on its main
  // request (an internal redirect or error document carries the earlier request's cookie).
  for (request_rec* at = r; at != nullptr; at = at->prev != nullptr ? at->prev : at->main) {
    if (apr_table_get(at->notes, kPrivateNote) != nullptr) {
      ap_add_output_filter_handle(gPrivateFilter, nullptr, r, r->connection);
      return;
    }
  }
}

std::uint32_t NewContextId() noexcept {
  thread_local std::mt19937 generator{[] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    return std::mt19937(seed);
  }()};
  std::uint32_t id = 0;
  while (id == 0) {
    id = static_cast<std::uint32_t>(generator());
  }
  return id;
}

std::uint32_t ApacheFilterNotification::ContextId() const noexcept {
  if (state_.contextId == 0) {
    state_.contextId = NewContextId();
  }
  return state_.contextId;
}

bool ApacheFilterNotification::AddHeader(std::string_view name, std::string_view value) noexcept {
  if (!name.empty() && name.back() == ':') {
    name.remove_suffix(1);
  }
  if (name.empty()) {
    return false;
  }
  apr_table_add(r_->headers_in, apr_pstrndup(r_->pool, name.data(), name.size()),
                apr_pstrndup(r_->pool, value.data(), value.size()));
  return true;
}

bool ApacheRequestHost::WriteVariable(std::string_view name, VariableWriter& out) const {
  const auto text = [&](const char* value) {
    out.Append(value != nullptr ? value : "");
    return true;
  };
  if (name == "URL") {
    out.Append(PathForMatching(r_->uri != nullptr ? r_->uri : ""));
    return true;
  }
  if (name == "PATH_INFO") {
    return text(r_->uri);
  }
  if (name == "QUERY_STRING") {
    out.Append(QueryString());
    return true;
  }
  if (name == "ALL_RAW") {
    WriteAllRaw(r_->headers_in, out);
    return true;
  }
  if (name == "HTTPS") {
    return text(ap_ssl_conn_is_ssl(r_->connection) ? "on" : "off");
  }
  if (name == "HEADER_COOKIE") {
    return WriteCookieHeader(r_->headers_in, out);
  }
  if (name == "REQUEST_METHOD") {
    return text(r_->method);
  }
  if (name == "SERVER_PROTOCOL") {
    return text(r_->protocol);
  }
  if (name == "SERVER_NAME") {
    return text(ap_get_server_name(r_));
  }
  if (name == "SERVER_PORT") {
    out.Append(std::to_string(ap_get_server_port(r_)));
    return true;
  }
  if (name == "REMOTE_ADDR") {
    return text(r_->useragent_ip);
  }
  if (name.starts_with("HTTP_") && name.size() > 5) {
    const std::optional<std::string_view> value = HeaderVariable(r_->headers_in, name.substr(5));
    if (!value) {
      return false;
    }
    out.Append(*value);
    return true;
  }
  return false;
}

gate::VariableRead ApacheRequestHost::GetServerVariable(std::string_view name,
                                                        std::span<char> area) noexcept {
  gate::VariableRead read;
  try {
    VariableWriter out(area);
    if (!WriteVariable(name, out)) {
      read.error = gate::VariableError::InvalidIndex;
      read.code = gate::kErrorInvalidIndex;
      return read;
    }
    read = out.Finish();
  } catch (...) {
    read = {};
    read.error = gate::VariableError::Other;
    read.code = 8;  // not enough memory
  }
  return read;
}

std::vector<std::string> ApacheRequestHost::OtherPathViews() const {
  return OtherPathReadings(r_->uri != nullptr ? r_->uri : "",
                           r_->unparsed_uri != nullptr ? r_->unparsed_uri : "",
                           UnjudgedClientTarget(r_));
}

std::string_view ApacheRequestHost::QueryString() const noexcept {
  return r_->args != nullptr ? std::string_view(r_->args) : std::string_view{};
}

void ApacheRequestHost::SetStatusCode(std::uint32_t status) noexcept {
  status_ = status;
}

void ApacheRequestHost::SetLogData(std::string_view text) noexcept {
  apr_table_set(r_->notes, "tokengate", apr_pstrndup(r_->pool, text.data(), text.size()));
}

bool ApacheRequestHost::WriteClient(std::string_view bytes) noexcept {
  if (outcome_ != Outcome::None && outcome_ != Outcome::Page) {
    return false;
  }
  if (page_.size() + bytes.size() > gate::kWorkAreaBytes) {
    return false;
  }
  try {
    page_.append(bytes);
  } catch (...) {
    return false;
  }
  outcome_ = Outcome::Page;
  return true;
}

bool ApacheRequestHost::SendRedirect(std::string_view location) noexcept {
  if (outcome_ != Outcome::None || !IsSafeLocation(location)) {
    return false;
  }
  apr_table_set(r_->headers_out, "Location",
                apr_pstrndup(r_->pool, location.data(), location.size()));
  outcome_ = Outcome::Redirect;
  return true;
}

bool ApacheRequestHost::SendResponse(std::uint32_t status, std::string_view headers,
                                     std::string_view content_type,
                                     std::string_view body) noexcept {
  if (outcome_ != Outcome::None || body.size() > gate::kWorkAreaBytes) {
    return false;
  }
  try {
    const std::vector<HeaderLine> lines = ParseHeaderBlock(headers);
    for (const auto& [name, value] : lines) {
      if (!IsSafeLocation(value)) {
        return false;
      }
    }
    // err_headers_out: Apache keeps them on the response it makes of a status it is handed.
    for (const auto& [name, value] : lines) {
      apr_table_set(r_->err_headers_out, apr_pstrmemdup(r_->pool, name.data(), name.size()),
                    apr_pstrmemdup(r_->pool, value.data(), value.size()));
    }
    pageType_ = apr_pstrmemdup(r_->pool, content_type.data(), content_type.size());
    page_.assign(body);
  } catch (...) {
    return false;
  }
  status_ = status;
  outcome_ = Outcome::Page;
  return true;
}

gate::Credential ApacheRequestHost::OpenThreadCredential() noexcept {
  try {
    return std::make_unique<ServerIdentity>();
  } catch (...) {
    return nullptr;
  }
}

bool ApacheRequestHost::RevertToSelf() noexcept {
  runningAs_ = nullptr;
  return true;
}

bool ApacheRequestHost::Impersonate(const gate::ICredential& credential) noexcept {
  // Only a user's credential is recorded; anything else (the placeholder) means the server.
  runningAs_ =
      dynamic_cast<const KerberosUserCredential*>(&credential) != nullptr ? &credential : nullptr;
  return true;
}

std::optional<std::u16string> ApacheRequestHost::ThreadUserName() {
  if (const auto* user = dynamic_cast<const KerberosUserCredential*>(runningAs_)) {
    return text::Utf8ToUtf16(user->userName());
  }
  const std::optional<std::string> server = ServerUserName();
  if (!server) {
    return std::nullopt;
  }
  return text::Utf8ToUtf16(*server);
}

std::vector<std::string_view> AttributeValues(std::string_view value) {
  if (value.size() < 2 || value.front() != '[' || value.back() != ']') {
    return {value};
  }
  value = value.substr(1, value.size() - 2);
  std::vector<std::string_view> out;
  for (;;) {
    const std::size_t comma = value.find(',');
    out.push_back(value.substr(0, comma));
    if (comma == std::string_view::npos) {
      return out;
    }
    value.remove_prefix(comma + 1);
  }
}

void ApacheRequestHost::RecordAttributes(const std::vector<HeaderView>& lines,
                                         const HeaderLineSet& fromRequest) {
  if (state_ == nullptr) {
    return;
  }
  // What the request continues with, less what the client sent: the broker's attribute headers
  // (and a Cookie header the gate rewrote, which is none of them).
  apr_table_t* attributes = apr_table_make(r_->pool, 8);
  const char* user = nullptr;
  const std::string userHeader = attributePrefix_ + userAttribute_;
  for (const HeaderView& line : lines) {
    if (fromRequest.Contains(line) || EqualsIgnoreCase(line.name, "Cookie")) {
      continue;
    }
    const char* value = apr_pstrmemdup(r_->pool, line.value.data(), line.value.size());
    apr_table_addn(attributes, apr_pstrmemdup(r_->pool, line.name.data(), line.name.size()), value);
    if (user == nullptr && !userAttribute_.empty() && EqualsIgnoreCase(line.name, userHeader)) {
      const std::string_view first = AttributeValues(line.value).front();
      if (!first.empty()) {
        user = apr_pstrmemdup(r_->pool, first.data(), first.size());
      }
    }
  }
  state_->attributes = attributes;
  state_->attributePrefix =
      apr_pstrmemdup(r_->pool, attributePrefix_.data(), attributePrefix_.size());
  // The token's user for Apache itself: %u in access logs, REMOTE_USER and AUTH_TYPE for CGI,
  // Require user / valid-user. (An impersonated hand-off sets the local account name below.)
  if (user != nullptr) {
    r_->user = const_cast<char*>(user);
    r_->ap_auth_type = const_cast<char*>(kTokenAuthType);
  }
}

bool ApacheRequestHost::ApplyHandOff(const gate::HandOff& handOff) {
  if (handOff.kind == gate::HandOffKind::Unchanged) {
    return true;
  }
  const char* cacheName = nullptr;
  if (handOff.kind == gate::HandOffKind::Impersonated) {
    // The user's tickets go to backends (CGI) as a private cache file; it is removed with the
    // credential, which the hand-off owns until the request ends.
    auto* user = dynamic_cast<KerberosUserCredential*>(handOff.user_token.get());
    if (user == nullptr) {
      ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r_,
                    "TokenGate: the hand-off under the user's identity carries no Kerberos "
                    "credential");
      return false;
    }
    std::string error;
    const std::optional<std::string> name = user->OfferToBackends(BackendCacheParent(), &error);
    if (!name) {
      ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r_,
                    "TokenGate could not write the user's credential cache for backends: %s",
                    error.c_str());
      return false;
    }
    cacheName = apr_pstrmemdup(r_->pool, name->data(), name->size());
  }
  // Apache has already framed the request body by the client's own Content-Length and
  // Transfer-Encoding; the replaced header set keeps exactly those, whatever the block holds.
  const std::vector<HeaderView> original = RequestHeaders(r_->headers_in);
  const HeaderLineSet fromRequest(original);
  const std::vector<HeaderView> lines = KeepRequestFramingViews(
      ChildHeaderSetViews(ParseHeaderBlockViews(handOff.child_headers), fromRequest), original);
  apr_table_t* headers = apr_table_make(r_->pool, static_cast<int>(lines.size()) + 1);
  for (const auto& [name, value] : lines) {
    apr_table_addn(headers, apr_pstrmemdup(r_->pool, name.data(), name.size()),
                   apr_pstrmemdup(r_->pool, value.data(), value.size()));
  }
  r_->headers_in = headers;
  RecordAttributes(lines, fromRequest);
  if (handOff.kind == gate::HandOffKind::Impersonated) {
    const std::string user = text::Utf16ToUtf8(handOff.user_name);
    r_->user = apr_pstrmemdup(r_->pool, user.data(), user.size());
    r_->ap_auth_type = apr_pstrmemdup(r_->pool, handOff.auth_type.data(), handOff.auth_type.size());
    apr_table_setn(r_->subprocess_env, "KRB5CCNAME", cacheName);
  }
  return true;
}

bool ApacheRequestHost::ExecuteChild(std::unique_ptr<gate::HandOff>& hand_off,
                                     gate::CompletionRoutine done) noexcept {
  if (outcome_ != Outcome::None || !hand_off || done == nullptr) {
    return false;
  }
  const gate::HandOffKind kind = hand_off->kind;
  try {
    if (!ApplyHandOff(*hand_off)) {
      return false;
    }
    auto pending = std::make_unique<PendingChild>(PendingChild{r_, std::move(hand_off), done});
    apr_pool_cleanup_register(r_->pool, pending.get(), CompleteChild, apr_pool_cleanup_null);
    pending.release();  // owned by the request pool's cleanup from here on
  } catch (...) {
    return false;
  }
  if (state_ != nullptr && kind != gate::HandOffKind::Unchanged) {
    state_->authenticated = 1;
    state_->impersonated = kind == gate::HandOffKind::Impersonated ? 1 : 0;
  }
  outcome_ = Outcome::HandedOn;
  return true;
}

bool ApacheRequestHost::GetExecStatus(gate::ExecStatus& status) noexcept {
  status.http_status = static_cast<std::uint32_t>(r_->status);
  status.win32_error = 0;
  return true;
}

gate::IFilterContext* ApacheRequestHost::ResolveFilterContext(std::uint32_t id) noexcept {
  if (state_ == nullptr || id == 0 || state_->contextId != id) {
    return nullptr;
  }
  return this;
}

bool ApacheRequestHost::AddResponseHeaders(std::string_view line) noexcept {
  if (line.ends_with("\r\n")) {
    line.remove_suffix(2);
  }
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0 || !IsSafeLocation(line)) {
    return false;
  }
  const std::string_view name = line.substr(0, colon);
  for (const char c : name) {
    if (!IsTokenChar(c)) {
      return false;
    }
  }
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') {
    value.remove_prefix(1);
  }
  request_rec* top = r_;
  while (top->main != nullptr) {
    top = top->main;
  }
  apr_table_addn(top->err_headers_out, apr_pstrmemdup(top->pool, name.data(), name.size()),
                 apr_pstrmemdup(top->pool, value.data(), value.size()));
  apr_table_setn(top->notes, kPrivateNote, "1");
  return true;
}

}  // namespace tokengate::apache
