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
// - child_init starts the gate in every child process; the child pool's cleanup terminates it.

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "apache_headers.h"
#include "apache_host.h"
#include "error_log_sink.h"
#include "form_body.h"
#include "gate_runtime.h"
#include "header_policy.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/context_link.h"

namespace ta = tokengate::apache;
namespace tg = tokengate::gate;

extern "C" {
APLOG_USE_MODULE(tokengate);
}

namespace {

constexpr int kUnset = -1;

struct ServerConfig {
  int enabled;              // kUnset, 0 or 1
  const char* installPath;  // main server only
  const char* runtimeDir;   // main server only
};

// The gate of this child process. Written by child_init before any request thread exists and
// cleared by the child pool's cleanup after the last one has ended; requests only read it.
std::unique_ptr<ta::GateRuntime> gRuntime;

ServerConfig* ConfigOf(server_rec* s) {
  return static_cast<ServerConfig*>(ap_get_module_config(s->module_config, &tokengate_module));
}

bool Enabled(request_rec* r) {
  const ServerConfig* config = ConfigOf(r->server);
  return config != nullptr && config->enabled == 1;
}

ta::RequestState* StateOf(request_rec* r) {
  return static_cast<ta::RequestState*>(ap_get_module_config(r->request_config, &tokengate_module));
}

// Removes every request header that reads as the context header, also in its "_" spelling.
void RemoveContextHeaders(apr_table_t* headers) {
  const std::string wanted = ta::NormalisedHeaderName("TarvexAuth-Context");
  const apr_array_header_t* arr = apr_table_elts(headers);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(arr->elts);
  for (int i = arr->nelts - 1; i >= 0; --i) {
    if (entries[i].key != nullptr && ta::NormalisedHeaderName(entries[i].key) == wanted) {
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
  if (!gRuntime) {
    return;
  }
  const std::shared_ptr<const tg::GateSettings> settings = gRuntime->Settings();
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
  gRuntime->Log().Report(tg::EventType::Warning,
                         u"Request headers that look like attribute headers were removed: " +
                             tokengate::text::FromAnsi(removed));
}

// Gives the request fresh state and its context header. False when the header could not be added.
bool TagRequest(request_rec* r) {
  auto* state = static_cast<ta::RequestState*>(apr_pcalloc(r->pool, sizeof(ta::RequestState)));
  ap_set_module_config(r->request_config, &tokengate_module, state);
  RemoveContextHeaders(r->headers_in);
  ta::ApacheFilterNotification notification(r, *state);
  const std::uint32_t status =
      gRuntime ? gRuntime->Tag(notification) : tg::TagRequest(notification);
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

// A request redirected from (or a sub-request of) one handed on under the user's identity runs
// under that identity too: the same user, auth type and credential cache, which lives as long as
// the first request. Apache itself keeps the user only where the configuration is the same, and
// renames the environment of a redirect.
void InheritIdentity(request_rec* r, request_rec* from) {
  const ta::RequestState* state = StateOf(from);
  if (state == nullptr || state->impersonated == 0) {
    return;
  }
  r->user = from->user;
  r->ap_auth_type = from->ap_auth_type;
  if (const char* cache = apr_table_get(from->subprocess_env, "KRB5CCNAME")) {
    apr_table_setn(r->subprocess_env, "KRB5CCNAME", cache);
  }
}

int RunGate(request_rec* r, ta::RequestState* state, bool subrequest, std::string_view body = {}) {
  if (!gRuntime || !gRuntime->Started()) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                  "TokenGate did not start in this process (see the start-up events: the "
                  "configuration could not be loaded); request refused");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
  ta::ScopedLogRequest logScope(r);
  ta::ApacheRequestHost host(r, state, body);
  const std::uint32_t status = gRuntime->Handle(host);
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
      ap_set_content_type(r, "text/html");
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

apr_status_t TerminateGate(void*) {
  gRuntime.reset();
  return APR_SUCCESS;
}

void ChildInit(apr_pool_t* pchild, server_rec* s) {
  try {
    const ServerConfig* config = ConfigOf(s);
    if (config->runtimeDir != nullptr) {
      setenv("TOKENGATE_RUNTIME_DIR", config->runtimeDir, 1);
    }
    ta::GateStartOptions options;
    if (config->installPath != nullptr) {
      options.installPath = tokengate::text::Utf8ToUtf16(config->installPath);
    }
    options.sink = std::make_shared<ta::ErrorLogSink>(s, tokengate_module.module_index);
    int threads = 0;
    if (ap_mpm_query(AP_MPMQ_MAX_THREADS, &threads) == APR_SUCCESS && threads > 0) {
      options.brokerConnections = static_cast<unsigned>(threads);
    } else {
      options.brokerConnections = 1;  // one request at a time per process (prefork)
    }
    gRuntime = ta::StartGate(options);
    apr_pool_cleanup_register(pchild, nullptr, TerminateGate, apr_pool_cleanup_null);
  } catch (...) {
    gRuntime.reset();
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, s, "TokenGate could not start in this process");
  }
}

void RegisterHooks(apr_pool_t*) {
  ap_hook_post_read_request(PostReadRequest, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_header_parser(HeaderParser, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_fixups(Fixups, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ta::RegisterBodyReplayFilter();
  ta::RegisterPrivateCacheFilter();
  ap_hook_insert_filter(InsertFilters, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_insert_error_filter(InsertFilters, nullptr, nullptr, APR_HOOK_MIDDLE);
}

// ---- configuration --------------------------------------------------------------------------

void* CreateServerConfig(apr_pool_t* p, server_rec*) {
  auto* config = static_cast<ServerConfig*>(apr_pcalloc(p, sizeof(ServerConfig)));
  config->enabled = kUnset;
  return config;
}

void* MergeServerConfig(apr_pool_t* p, void* baseConf, void* addConf) {
  const auto* base = static_cast<const ServerConfig*>(baseConf);
  const auto* add = static_cast<const ServerConfig*>(addConf);
  auto* merged = static_cast<ServerConfig*>(apr_pcalloc(p, sizeof(ServerConfig)));
  merged->enabled = add->enabled != kUnset ? add->enabled : base->enabled;
  merged->installPath = base->installPath;
  merged->runtimeDir = base->runtimeDir;
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
  if (const char* err = ap_check_cmd_context(cmd, GLOBAL_ONLY)) {
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
  if (const char* err = ap_check_cmd_context(cmd, GLOBAL_ONLY)) {
    return err;
  }
  if (arg[0] != '/') {
    return "TokenGateRuntimeDir must be an absolute path";
  }
  ConfigOf(cmd->server)->runtimeDir = arg;
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
     "TokenGate installation directory; the conf file is <dir>/conf/cvisapi.conf"},
    {"TokenGateRuntimeDir", AsCommand(SetRuntimeDir), nullptr, RSRC_CONF, TAKE1,
     "Directory of the logon broker's socket (default: $TOKENGATE_RUNTIME_DIR, else "
     "/run/TarvexWebAgent/)"},
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr},
};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA tokengate_module = {
    STANDARD20_MODULE_STUFF, nullptr,   nullptr,       CreateServerConfig,
    MergeServerConfig,       kCommands, RegisterHooks, AP_MODULE_FLAG_NONE};
}
