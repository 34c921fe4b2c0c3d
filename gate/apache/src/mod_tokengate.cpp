// mod_tokengate: TokenGate inside Apache httpd 2.4.
//
// - post_read_request removes every client header that carries the attribute header prefix, then
//   tags every request of an enabled host with its context identifier (a client-sent
//   "TarvexAuth-Context" header is removed first, so only ours exists).
// - header_parser runs the gate's request handler for every main request (and every internal
//   redirect) of an enabled host. The phase comes after the path has been decoded and normalised
//   and before access control, authentication, authorization and every content handler (static
//   files, CGI, mod_proxy), so no handler can serve a protected path the gate has not passed.
// - fixups runs the gate for sub-requests (mod_include, mod_rewrite look-ups and the like) whose
//   main request the gate has not authenticated; any outcome other than "pass on" makes the
//   sub-request fail with 403, so its content never reaches an unauthenticated response.
// - child_init starts, in every child process, one gate per distinct installation path of the
//   enabled servers (a virtual host may have its own TokenGateInstallPath and
//   TokenGateRuntimeDir); the child pool's cleanup terminates them.
// - check_config reads every enabled server's gate conf file: a missing installation path, an
//   unreadable file or an empty TesseraName or ProtectedResourceList fail the start and
//   apachectl configtest; post_config logs the check's other warnings once per start.
// - post_config also sets up the status counters in shared memory, and a handler serves them
//   (SetHandler tokengate-status; status_endpoint.h).

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "apache_headers.h"
#include "apache_host.h"
#include "error_log_sink.h"
#include "form_body.h"
#include "gate_runtime.h"
#include "header_policy.h"
#include "status_endpoint.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/conf_check.h"
#include "tokengate/gate/context_link.h"

namespace ta = tokengate::apache;
namespace tg = tokengate::gate;

extern "C" {
APLOG_USE_MODULE(tokengate);
}

namespace {

constexpr int kUnset = -1;

struct ServerConfig {
  int enabled;                // kUnset, 0 or 1
  const char* installPath;    // a virtual host without its own inherits the main server's
  const char* runtimeDir;     // likewise
  const char* userAttribute;  // TokenGateUserAttribute; unset: "subject"
  int gate;                   // in a child process: this server's entry of gGates, -1 for none
};

// The gates of this child process, one per distinct installation path (and broker socket
// directory) of the enabled servers: each has its own configuration record, keys, cookie name and
// reload. Written by child_init before any request thread exists and cleared by the child pool's
// cleanup after the last one has ended; requests only read it.
std::vector<std::unique_ptr<ta::GateRuntime>> gGates;

ServerConfig* ConfigOf(server_rec* s) {
  return static_cast<ServerConfig*>(ap_get_module_config(s->module_config, &tokengate_module));
}

bool Enabled(request_rec* r) {
  const ServerConfig* config = ConfigOf(r->server);
  return config != nullptr && config->enabled == 1;
}

// The gate of the request's server; null when it has none (not enabled, or it did not start).
ta::GateRuntime* GateOf(request_rec* r) {
  const ServerConfig* config = ConfigOf(r->server);
  if (config == nullptr || config->gate < 0 ||
      static_cast<std::size_t>(config->gate) >= gGates.size()) {
    return nullptr;
  }
  return gGates[static_cast<std::size_t>(config->gate)].get();
}

ta::RequestState* StateOf(request_rec* r) {
  return static_cast<ta::RequestState*>(ap_get_module_config(r->request_config, &tokengate_module));
}

// Removes every request header that reads as the context header, also in its "_" spelling.
void RemoveContextHeaders(apr_table_t* headers) {
  const apr_array_header_t* arr = apr_table_elts(headers);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  for (int i = arr->nelts - 1; i >= 0; --i) {
    if (entries[i].key != nullptr && ta::NamesAlike(entries[i].key, "TarvexAuth-Context")) {
      apr_table_unset(headers, entries[i].key);
      arr = apr_table_elts(headers);
      entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
      i = arr->nelts;
    }
  }
}

// Removes every client header that carries the attribute header prefix (in any case, "_" for
// "-"), on every request of an enabled host, protected or not: an application behind the gate
// must be able to trust such a header to come from the gate. One warning per request names them.
void RemoveSpoofedAttributeHeaders(request_rec* r) {
  ta::GateRuntime* gate = GateOf(r);
  if (gate == nullptr) {
    return;
  }
  const std::shared_ptr<const tg::GateSettings> settings = gate->Settings();
  if (!settings || settings->AuthenticationPrefix.empty()) {
    return;
  }
  const std::string prefix = tokengate::text::ToAnsi(settings->AuthenticationPrefix);
  const apr_array_header_t* arr = apr_table_elts(r->headers_in);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  std::string removed;
  for (int i = 0; i < arr->nelts; ++i) {
    if (entries[i].key != nullptr && ta::CarriesAttributePrefix(entries[i].key, prefix)) {
      if (!removed.empty()) {
        removed.append(", ");
      }
      removed.append(entries[i].key);
    }
  }
  if (removed.empty()) {
    return;
  }
  apr_table_t* kept = apr_table_make(r->pool, arr->nelts);
  for (int i = 0; i < arr->nelts; ++i) {
    if (entries[i].key != nullptr && !ta::CarriesAttributePrefix(entries[i].key, prefix)) {
      apr_table_addn(kept, entries[i].key, entries[i].val);
    }
  }
  r->headers_in = kept;
  ta::ScopedLogRequest logScope(r);
  gate->Log().Report(tg::EventType::Warning,
                     u"Request headers that look like attribute headers were removed: " +
                         tokengate::text::FromAnsi(removed));
}

// Gives the request fresh state and its context header. False when the header could not be added.
bool TagRequest(request_rec* r) {
  auto* state = static_cast<ta::RequestState*>(apr_pcalloc(r->pool, sizeof(ta::RequestState)));
  ap_set_module_config(r->request_config, &tokengate_module, state);
  RemoveContextHeaders(r->headers_in);
  ta::ApacheFilterNotification notification(r, *state);
  ta::GateRuntime* gate = GateOf(r);
  const std::uint32_t status =
      gate != nullptr ? gate->Tag(notification) : tg::TagRequest(notification);
  return status == tg::kSfStatusReqNextNotification;
}

// The earlier request of this chain (the one this one was redirected from, or the main request
// of a sub-request) that the gate handed on with attribute headers; null when there is none.
request_rec* AuthenticatedInChain(request_rec* r) {
  for (request_rec* other = r; other != nullptr;
       other = other->prev != nullptr ? other->prev : other->main) {
    if (other == r) {
      continue;
    }
    const ta::RequestState* state = StateOf(other);
    if (state != nullptr && state->authenticated != 0) {
      return other;
    }
  }
  return nullptr;
}

// A request redirected from (or a sub-request of) one the gate handed on keeps that request's
// user and auth type, and, when it ran under the user's identity, its credential cache, which
// lives as long as the first request. Apache itself keeps the user only where the configuration
// is the same, and renames the environment of a redirect.
void InheritIdentity(request_rec* r, request_rec* from) {
  const ta::RequestState* state = StateOf(from);
  if (state == nullptr) {
    return;
  }
  if (from->user != nullptr) {
    r->user = from->user;
    r->ap_auth_type = from->ap_auth_type;
  }
  if (state->impersonated == 0) {
    return;
  }
  if (const char* cache = apr_table_get(from->subprocess_env, "KRB5CCNAME")) {
    apr_table_setn(r->subprocess_env, "KRB5CCNAME", cache);
  }
}

// The state holding the attribute headers the gate added for this request: its own, or that of
// the request it was redirected from or is a sub-request of. Null when there are none.
const ta::RequestState* TokenStateOf(request_rec* r) {
  for (request_rec* at = r; at != nullptr; at = at->prev != nullptr ? at->prev : at->main) {
    const ta::RequestState* state = StateOf(at);
    if (state != nullptr && state->attributes != nullptr) {
      return state;
    }
  }
  return nullptr;
}

int RunGate(request_rec* r, ta::RequestState* state, bool subrequest, std::string_view body = {}) {
  if (!subrequest && ta::ServedByStatusHandler(r)) {
    return DECLINED;  // the status handler's own request: left to Apache's access control
  }
  ta::GateRuntime* gate = GateOf(r);
  if (gate == nullptr || !gate->Started()) {
    if (!subrequest) {
      ta::CountUnstarted(gate);
    }
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                  "TokenGate did not start in this process (see the start-up events: the "
                  "configuration could not be loaded); request refused");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  ta::ScopedLogRequest logScope(r);
  if (state != nullptr) {
    state->judged = 1;
  }
  ta::ApacheRequestHost host(r, state, body);
  if (const std::shared_ptr<const tg::GateSettings> settings = gate->Settings()) {
    const ServerConfig* config = ConfigOf(r->server);
    host.SetAttributeNaming(tokengate::text::ToAnsi(settings->AuthenticationPrefix),
                            config->userAttribute != nullptr ? config->userAttribute : "subject");
  }
  const std::uint32_t status = gate->Handle(host);
  if (!subrequest) {
    ta::CountDecision(r, *gate, state, host);
  }
  switch (host.Result()) {
    case ta::Outcome::HandedOn:
      return DECLINED;
    case ta::Outcome::Redirect:
      return subrequest ? HTTP_FORBIDDEN : HTTP_MOVED_TEMPORARILY;
    case ta::Outcome::Page:
      if (subrequest) {
        return HTTP_FORBIDDEN;
      }
      r->status = static_cast<int>(host.PageStatus());
      ap_set_content_type(r, host.PageType());
      ap_rwrite(host.Page().data(), static_cast<int>(host.Page().size()), r);
      return DONE;
    case ta::Outcome::None:
      break;
  }
  ap_log_rerror(APLOG_MARK, APLOG_DEBUG, 0, r, "TokenGate ended the request with status %u",
                static_cast<unsigned>(status));
  return HTTP_INTERNAL_SERVER_ERROR;
}

// ---- hooks ----------------------------------------------------------------------------------

int PostReadRequest(request_rec* r) {
  try {
    if (!Enabled(r)) {
      return DECLINED;
    }
    RemoveSpoofedAttributeHeaders(r);
    return TagRequest(r) ? DECLINED : HTTP_INTERNAL_SERVER_ERROR;
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "TokenGate could not tag the request");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

int HeaderParser(request_rec* r) {
  try {
    if (!Enabled(r) || r->main != nullptr) {
      return DECLINED;
    }
    ta::RequestState* state = StateOf(r);
    if (state == nullptr || state->contextId == 0) {
      if (!TagRequest(r)) {
        return HTTP_INTERNAL_SERVER_ERROR;
      }
      state = StateOf(r);
    }
    if (request_rec* earlier = r->prev != nullptr ? AuthenticatedInChain(r) : nullptr) {
      state->authenticated = 1;
      InheritIdentity(r, earlier);
      return DECLINED;
    }
    // A token may come as a form field: the body's first bytes (the size of the gate's body area
    // less its terminator) are read now and handed again to the request's handler.
    const std::string_view body =
        r->prev == nullptr ? ta::PreReadFormBody(r, tg::kWorkAreaBytes - 1) : std::string_view{};
    return RunGate(r, state, false, body);
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "TokenGate failed on this request");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

int Fixups(request_rec* r) {
  try {
    if (!Enabled(r) || r->main == nullptr) {
      return DECLINED;
    }
    if (request_rec* earlier = AuthenticatedInChain(r)) {
      InheritIdentity(r, earlier);
      return DECLINED;
    }
    r->headers_in = apr_table_copy(r->pool, r->headers_in);
    if (!TagRequest(r)) {
      return HTTP_FORBIDDEN;
    }
    return RunGate(r, StateOf(r), true);
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "TokenGate failed on this sub-request");
    return HTTP_FORBIDDEN;
  }
}

void InsertFilters(request_rec* r) {
  try {
    if (Enabled(r)) {
      ta::InsertPrivateCacheFilter(r);
    }
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "TokenGate could not add its response filter");
  }
}

// ---- identity and authorization ---------------------------------------------------------------

// Authentication for Require rules: a request the gate handed on with a token user is
// authenticated as that user. An enabled host's request without one, where no other AuthType is
// configured, is refused with 403 (there is nothing to sign on to but the gate).
int CheckUser(request_rec* r) {
  try {
    if (!Enabled(r)) {
      return DECLINED;
    }
    if (r->user != nullptr && TokenStateOf(r) != nullptr) {
      return OK;
    }
    if (ap_auth_type(r) == nullptr) {
      ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r,
                    "TokenGate: access denied: the request carries no token-authenticated user");
      return HTTP_FORBIDDEN;
    }
    return DECLINED;
  } catch (...) {
    return HTTP_FORBIDDEN;
  }
}

// Require tokengate-attribute NAME VALUE...: granted when the token's attribute NAME has any of
// the values (exact comparison; any value of a multi-valued attribute). Decided from the
// attributes the broker returned for this request, never from the request's own headers.
authz_status TokenAttributeCheck(request_rec* r, const char* requireLine, const void*) {
  try {
    const ta::RequestState* state = TokenStateOf(r);
    if (state == nullptr || r->user == nullptr) {
      return AUTHZ_DENIED_NO_USER;
    }
    const char* line = requireLine;
    const char* name = ap_getword_conf(r->pool, &line);
    if (name == nullptr || *name == '\0') {
      ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                    "TokenGate: Require tokengate-attribute needs an attribute name and values");
      return AUTHZ_DENIED;
    }
    const std::string header = std::string(state->attributePrefix) + name;
    const apr_array_header_t* arr = apr_table_elts(state->attributes);
    const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
    for (const char* wanted = ap_getword_conf(r->pool, &line); *wanted != '\0';
         wanted = ap_getword_conf(r->pool, &line)) {
      for (int i = 0; i < arr->nelts; ++i) {
        if (strcasecmp(entries[i].key, header.c_str()) != 0) {
          continue;
        }
        for (const std::string_view value : ta::AttributeValues(entries[i].val)) {
          if (value == wanted) {
            return AUTHZ_GRANTED;
          }
        }
      }
    }
    ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r,
                  "TokenGate: user %s denied by Require tokengate-attribute %s",
                  ta::EscapeForLog(r->user).c_str(), ta::EscapeForLog(requireLine).c_str());
    return AUTHZ_DENIED;
  } catch (...) {
    return AUTHZ_DENIED;
  }
}

const authz_provider kAttributeProvider = {&TokenAttributeCheck, nullptr};

apr_status_t TerminateGates(void*) {
  gGates.clear();
  return APR_SUCCESS;
}

// What tells one gate configuration from another.
struct GateKey {
  std::string installPath;
  std::string runtimeDir;
  bool operator==(const GateKey&) const = default;
};

GateKey KeyOf(const ServerConfig& config) {
  return {config.installPath != nullptr ? config.installPath : "",
          config.runtimeDir != nullptr ? config.runtimeDir : ""};
}

// Sets (or, for an empty value, restores) the broker socket directory the next binding reads.
void UseRuntimeDir(const std::string& dir, const std::optional<std::string>& original) {
  if (!dir.empty()) {
    setenv("TOKENGATE_RUNTIME_DIR", dir.c_str(), 1);
  } else if (original) {
    setenv("TOKENGATE_RUNTIME_DIR", original->c_str(), 1);
  } else {
    unsetenv("TOKENGATE_RUNTIME_DIR");
  }
}

void ChildInit(apr_pool_t* pchild, server_rec* s) {
  try {
    std::vector<GateKey> keys;
    for (server_rec* vs = s; vs != nullptr; vs = vs->next) {
      ServerConfig* config = ConfigOf(vs);
      config->gate = -1;
      if (config->enabled != 1) {
        continue;
      }
      const GateKey key = KeyOf(*config);
      const auto found = std::find(keys.begin(), keys.end(), key);
      config->gate = static_cast<int>(found - keys.begin());
      if (found == keys.end()) {
        keys.push_back(key);
      }
    }
    int threads = 0;
    const unsigned connections =
        ap_mpm_query(AP_MPMQ_MAX_THREADS, &threads) == APR_SUCCESS && threads > 0
            ? static_cast<unsigned>(threads)
            : 1;  // one request at a time per process (prefork)
    // The broker binding reads its socket directory from the environment when it is made; this
    // runs before the child has any request thread.
    const char* env = std::getenv("TOKENGATE_RUNTIME_DIR");
    const std::optional<std::string> original =
        env != nullptr ? std::optional<std::string>(env) : std::nullopt;
    for (const GateKey& key : keys) {
      UseRuntimeDir(key.runtimeDir, original);
      ta::GateStartOptions options;
      if (!key.installPath.empty()) {
        options.installPath = tokengate::text::Utf8ToUtf16(key.installPath);
      }
      options.sink = std::make_shared<ta::ErrorLogSink>(
          s, tokengate_module.module_index, keys.size() > 1 ? key.installPath : std::string());
      options.brokerConnections = connections;
      options.statusSlot =
          ta::StatusSlotOf(key.installPath.empty() ? nullptr : key.installPath.c_str());
      gGates.push_back(ta::StartGate(options));
    }
    UseRuntimeDir({}, original);
    apr_pool_cleanup_register(pchild, nullptr, TerminateGates, apr_pool_cleanup_null);
  } catch (...) {
    gGates.clear();
    for (server_rec* vs = s; vs != nullptr; vs = vs->next) {
      ConfigOf(vs)->gate = -1;
    }
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, s, "TokenGate could not start in this process");
  }
}

// ---- configuration checks at start-up (and by apachectl configtest) ---------------------------

std::string DescribeServer(const server_rec* vs) {
  std::string name = vs->is_virtual ? "virtual host " : "main server ";
  name += vs->server_hostname != nullptr ? vs->server_hostname : "(no name)";
  if (vs->port != 0) {
    name += ":" + std::to_string(vs->port);
  }
  if (vs->defn_name != nullptr) {
    name += " (" + std::string(vs->defn_name) + ":" + std::to_string(vs->defn_line_number) + ")";
  }
  return name;
}

// Every enabled server's gate conf, read once per distinct installation path with the rules of
// "tokengate config check". Problems that would refuse every protected request fail the start
// (and apachectl configtest); `warnings` receives the rest, for the error log.
bool CheckGateConfigurations(server_rec* s, std::vector<std::string>* warnings) {
  bool ok = true;
  std::vector<std::string> seen;
  for (server_rec* vs = s; vs != nullptr; vs = vs->next) {
    const ServerConfig* config = ConfigOf(vs);
    if (config->enabled != 1) {
      continue;
    }
    const std::string where = DescribeServer(vs);
    if (config->installPath == nullptr) {
      ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_ERR, 0, vs,
                   "TokenGate: %s has TokenGate On but no TokenGateInstallPath (here or in the "
                   "main server): every request would be refused",
                   where.c_str());
      ok = false;
      continue;
    }
    const std::string file = std::string(config->installPath) + "conf/cvisapi.conf";
    if (std::find(seen.begin(), seen.end(), file) != seen.end()) {
      continue;
    }
    seen.push_back(file);
    tg::IniProfile profile;
    const auto opened = tg::IniProfile::Open(file, profile);
    if (opened != tg::IniProfile::OpenResult::Ok) {
      const char* why = opened == tg::IniProfile::OpenResult::NotFound   ? "does not exist"
                        : opened == tg::IniProfile::OpenResult::TooLarge ? "is too large"
                                                                         : "cannot be read";
      ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_ERR, 0, vs,
                   "TokenGate: %s: the gate conf file %s %s", where.c_str(), file.c_str(), why);
      ok = false;
      continue;
    }
    const tg::ConfCheckReport report = tg::CheckConf(profile);
    for (const auto& [key, empty] :
         {std::pair{"TesseraName", report.settings.TesseraName.empty()},
          std::pair{"ProtectedResourceList", report.settings.ProtectedResourceList.empty()}}) {
      if (empty) {
        ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_ERR, 0, vs,
                     "TokenGate: %s: %s: key %s is empty in section [ISAPI]: every protected "
                     "request would be refused",
                     where.c_str(), file.c_str(), key);
        ok = false;
      }
    }
    if (warnings != nullptr) {
      for (const std::u16string& warning : report.warnings) {
        const std::string text = tokengate::text::Utf16ToUtf8(warning);
        if (!text.starts_with("TesseraName is empty") &&
            !text.starts_with("ProtectedResourceList is empty")) {
          warnings->push_back(where + ": " + file + ": " + text);
        }
      }
    }
  }
  return ok;
}

int CheckConfig(apr_pool_t*, apr_pool_t*, apr_pool_t*, server_rec* s) {
  try {
    return CheckGateConfigurations(s, nullptr) ? OK : HTTP_INTERNAL_SERVER_ERROR;
  } catch (...) {
    ap_log_error(APLOG_MARK, APLOG_STARTUP | APLOG_ERR, 0, s,
                 "TokenGate: the gate configuration could not be checked");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

int PostConfig(apr_pool_t*, apr_pool_t*, apr_pool_t*, server_rec* s) {
  // Apache runs this twice when it starts; the warnings go into the error log once.
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) {
    return OK;
  }
  try {
    std::vector<const char*> sites;  // the status counters: a slot per installation path
    for (server_rec* vs = s; vs != nullptr; vs = vs->next) {
      if (ConfigOf(vs)->enabled == 1) {
        sites.push_back(ConfigOf(vs)->installPath);
      }
    }
    ta::SetUpStatusCounters(s, sites);
    std::vector<std::string> warnings;
    CheckGateConfigurations(s, &warnings);
    for (const std::string& warning : warnings) {
      ap_log_error(APLOG_MARK, APLOG_WARNING, 0, s, "TokenGate: %s",
                   ta::EscapeForLog(warning).c_str());
    }
  } catch (...) {
    ap_log_error(APLOG_MARK, APLOG_WARNING, 0, s,
                 "TokenGate: the gate configuration could not be checked");
  }
  return OK;
}

void RegisterHooks(apr_pool_t* p) {
  ap_hook_post_read_request(PostReadRequest, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_header_parser(HeaderParser, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_fixups(Fixups, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_check_config(CheckConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_check_authn(CheckUser, nullptr, nullptr, APR_HOOK_FIRST, AP_AUTH_INTERNAL_PER_CONF);
  ap_register_auth_provider(p, AUTHZ_PROVIDER_GROUP, "tokengate-attribute", AUTHZ_PROVIDER_VERSION,
                            &kAttributeProvider, AP_AUTH_INTERNAL_PER_CONF);
  ap_hook_post_config(PostConfig, nullptr, nullptr, APR_HOOK_MIDDLE);
  ta::RegisterStatusHandler();
  ta::RegisterBodyReplayFilter();
  ta::RegisterPrivateCacheFilter();
  ap_hook_insert_filter(InsertFilters, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_insert_error_filter(InsertFilters, nullptr, nullptr, APR_HOOK_MIDDLE);
}

// ---- configuration --------------------------------------------------------------------------

void* CreateServerConfig(apr_pool_t* p, server_rec*) {
  auto* config = static_cast<ServerConfig*>(apr_pcalloc(p, sizeof(ServerConfig)));
  config->enabled = kUnset;
  config->gate = -1;
  return config;
}

void* MergeServerConfig(apr_pool_t* p, void* baseConf, void* addConf) {
  const auto* base = static_cast<const ServerConfig*>(baseConf);
  const auto* add = static_cast<const ServerConfig*>(addConf);
  auto* merged = static_cast<ServerConfig*>(apr_pcalloc(p, sizeof(ServerConfig)));
  merged->enabled = add->enabled != kUnset ? add->enabled : base->enabled;
  merged->installPath = add->installPath != nullptr ? add->installPath : base->installPath;
  merged->runtimeDir = add->runtimeDir != nullptr ? add->runtimeDir : base->runtimeDir;
  merged->userAttribute = add->userAttribute != nullptr ? add->userAttribute : base->userAttribute;
  merged->gate = -1;
  return merged;
}

const char* SetEnabled(cmd_parms* cmd, void*, int on) {
  if (const char* err = ap_check_cmd_context(cmd, NOT_IN_DIR_CONTEXT)) {
    return err;
  }
  ConfigOf(cmd->server)->enabled = on != 0 ? 1 : 0;
  return nullptr;
}

const char* SetInstallPath(cmd_parms* cmd, void*, const char* arg) {
  if (const char* err = ap_check_cmd_context(cmd, NOT_IN_DIR_CONTEXT)) {
    return err;
  }
  if (arg[0] != '/') {
    return "TokenGateInstallPath must be an absolute path";
  }
  // The conf file is <InstallPath>conf/cvisapi.conf: a directory given without its final "/"
  // would otherwise name a different file.
  const std::size_t length = std::strlen(arg);
  ConfigOf(cmd->server)->installPath =
      arg[length - 1] == '/' ? arg : apr_pstrcat(cmd->pool, arg, "/", nullptr);
  return nullptr;
}

const char* SetRuntimeDir(cmd_parms* cmd, void*, const char* arg) {
  if (const char* err = ap_check_cmd_context(cmd, NOT_IN_DIR_CONTEXT)) {
    return err;
  }
  if (arg[0] != '/') {
    return "TokenGateRuntimeDir must be an absolute path";
  }
  ConfigOf(cmd->server)->runtimeDir = arg;
  return nullptr;
}

const char* SetUserAttribute(cmd_parms* cmd, void*, const char* arg) {
  if (const char* err = ap_check_cmd_context(cmd, NOT_IN_DIR_CONTEXT)) {
    return err;
  }
  if (*arg == '\0') {
    return "TokenGateUserAttribute needs an attribute name";
  }
  ConfigOf(cmd->server)->userAttribute = arg;
  return nullptr;
}

// httpd declares directive functions without parameters for C++; the generic function pointer
// type carries each one to the table, and httpd calls it with the arguments its kind implies.
template <typename Fn>
cmd_func AsCommand(Fn fn) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(fn));
}

const command_rec kCommands[] = {
    {"TokenGate", AsCommand(SetEnabled), nullptr, RSRC_CONF, FLAG,
     "On to protect this server or virtual host with TokenGate"},
    {"TokenGateInstallPath", AsCommand(SetInstallPath), nullptr, RSRC_CONF, TAKE1,
     "TokenGate installation directory; the conf file is <dir>/conf/cvisapi.conf (per server or "
     "virtual host; a virtual host without its own uses the main server's)"},
    {"TokenGateRuntimeDir", AsCommand(SetRuntimeDir), nullptr, RSRC_CONF, TAKE1,
     "Directory of the logon broker's socket (default: $TOKENGATE_RUNTIME_DIR, else "
     "/run/TarvexWebAgent/)"},
    {"TokenGateUserAttribute", AsCommand(SetUserAttribute), nullptr, RSRC_CONF, TAKE1,
     "Token attribute whose first value is the request's user (r->user, %u, REMOTE_USER); "
     "default: subject"},
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr},
};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA tokengate_module = {
    STANDARD20_MODULE_STUFF, nullptr,   nullptr,       CreateServerConfig,
    MergeServerConfig,       kCommands, RegisterHooks, AP_MODULE_FLAG_NONE};
}
