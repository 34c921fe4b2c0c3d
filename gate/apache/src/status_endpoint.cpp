#include "status_endpoint.h"

#include <apr_shm.h>

#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

#include "apache_headers.h"
#include "apache_host.h"
#include "gate_runtime.h"
#include "status_counters.h"

APLOG_USE_MODULE(tokengate);

namespace tokengate::apache {

namespace {

namespace st = status;

// The parent's process pool keeps the segment across restarts under this key (copied into the
// pool: the module's own memory goes away when Apache unloads it at a restart).
constexpr char kSegmentKey[] = "tokengate-status-counters";
// Request note: the gate let this request pass for the status handler.
constexpr char kStatusNote[] = "tokengate-status";

std::string_view SiteLabel(const char* installPath) noexcept {
  return installPath != nullptr ? std::string_view(installPath)
                                : std::string_view(st::kDefaultLabel);
}

// The segment of an earlier start of this parent, when it holds a block of this layout.
st::CounterBlock* Reattach(apr_pool_t* pool, server_rec* s) noexcept {
  void* data = nullptr;
  if (apr_pool_userdata_get(&data, kSegmentKey, pool) != APR_SUCCESS || data == nullptr) {
    return nullptr;
  }
  auto* shm = static_cast<apr_shm_t*>(data);
  if (st::CounterBlock* block =
          st::CounterBlock::Attach(apr_shm_baseaddr_get(shm), apr_shm_size_get(shm))) {
    return block;
  }
  // Written by a module with another layout. Children of that generation keep their own
  // mapping; this process lets the segment go.
  ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, s,
               "TokenGate: the status counters of the previous start have another layout; "
               "counting starts from 0");
  apr_pool_userdata_set(nullptr, kSegmentKey, apr_pool_cleanup_null, pool);
  apr_shm_destroy(shm);
  return nullptr;
}

st::CounterBlock* CreateSegment(apr_pool_t* pool, server_rec* s) noexcept {
  apr_shm_t* shm = nullptr;
  const apr_status_t rv = apr_shm_create(&shm, sizeof(st::CounterBlock), nullptr, pool);
  if (rv != APR_SUCCESS) {
    ap_log_error(APLOG_MARK, APLOG_ERR, rv, s,
                 "TokenGate: the shared memory of the status counters (%zu bytes) could not be "
                 "created; the status handler answers 503",
                 sizeof(st::CounterBlock));
    return nullptr;
  }
  st::CounterBlock* block = st::CounterBlock::Create(apr_shm_baseaddr_get(shm));
  if (block == nullptr) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, s,
                 "TokenGate: the shared memory of the status counters is not aligned for them; "
                 "the status handler answers 503");
    apr_shm_destroy(shm);
    return nullptr;
  }
  apr_pool_userdata_set(shm, kSegmentKey, apr_pool_cleanup_null, pool);
  return block;
}

st::HostAnswer AnswerOf(const RequestState* state, const ApacheRequestHost& host) noexcept {
  switch (host.Result()) {
    case Outcome::HandedOn:
      if (state != nullptr && state->impersonated != 0) {
        return st::HostAnswer::HandedOnImpersonated;
      }
      return state != nullptr && state->authenticated != 0 ? st::HostAnswer::HandedOnWithHeaders
                                                           : st::HostAnswer::HandedOnUnchanged;
    case Outcome::Redirect:
      return st::HostAnswer::Redirect;
    case Outcome::Page:
      return st::HostAnswer::Page;
    default:
      return st::HostAnswer::None;
  }
}

bool IsStatusHandler(const char* handler) noexcept {
  return handler != nullptr && std::strcmp(handler, kStatusHandler) == 0;
}

int ServeStatus(request_rec* r) {
  if (!IsStatusHandler(r->handler)) {
    if (apr_table_get(r->notes, kStatusNote) != nullptr) {
      // The gate let this request pass because its configuration names the status handler; no
      // other handler may serve it.
      ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r,
                    "TokenGate: the request was left to the status handler, but handler '%s' "
                    "would serve it; refused",
                    r->handler != nullptr ? r->handler : "(none)");
      return HTTP_FORBIDDEN;
    }
    return DECLINED;
  }
  if (r->method_number != M_GET) {
    r->allowed = AP_METHOD_BIT << M_GET;
    return HTTP_METHOD_NOT_ALLOWED;
  }
  st::CounterBlock* block = st::Installed();
  if (block == nullptr) {
    ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r,
                  "TokenGate: status requested, but the counters are not available (see the "
                  "start-up messages)");
    return HTTP_SERVICE_UNAVAILABLE;
  }
  const std::string text = st::FormatExposition(block->Read());
  ap_set_content_type(r, "text/plain; version=0.0.4; charset=utf-8");
  apr_table_setn(r->headers_out, "Cache-Control", "no-store");
  ap_rwrite(text.data(), static_cast<int>(text.size()), r);
  return OK;
}

int StatusHandler(request_rec* r) {
  try {
    return ServeStatus(r);
  } catch (...) {
    ap_log_rerror(APLOG_MARK, APLOG_ERR, 0, r, "TokenGate: the status page could not be built");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

}  // namespace

void SetUpStatusCounters(server_rec* s, const std::vector<const char*>& installPaths) noexcept {
  apr_pool_t* pool = s->process->pool;
  st::CounterBlock* block = Reattach(pool, s);
  if (block == nullptr) {
    block = CreateSegment(pool, s);
  }
  st::Install(block);
  if (block == nullptr) {
    return;
  }
  bool logged = false;
  for (const char* path : installPaths) {
    bool overflow = false;
    block->AssignSlot(SiteLabel(path), &overflow);
    if (overflow && !logged) {
      logged = true;
      ap_log_error(APLOG_MARK, APLOG_WARNING, 0, s,
                   "TokenGate: the status counters keep %zu site configurations; site %s and "
                   "those after it are counted as site \"%s\"",
                   st::kMaxSites, path != nullptr ? path : st::kDefaultLabel, st::kOtherLabel);
    }
  }
}

int StatusSlotOf(const char* installPath) noexcept {
  const st::CounterBlock* block = st::Installed();
  return block != nullptr ? static_cast<int>(block->FindSlot(SiteLabel(installPath))) : st::kNoSlot;
}

bool ServedByStatusHandler(request_rec* r) noexcept {
  const auto* core =
      static_cast<const core_dir_config*>(ap_get_core_module_config(r->per_dir_config));
  if (core == nullptr) {
    return false;
  }
  // The handler the core sets at fixups: SetHandler (evaluated as the core evaluates it; a
  // constant costs nothing), else one forced otherwise.
  const char* handler = core->handler;
  if (core->expr_handler != nullptr) {
    const char* error = nullptr;
    handler = ap_expr_str_exec(r, core->expr_handler, &error);
    if (error != nullptr) {
      return false;
    }
  }
  if (!IsStatusHandler(handler)) {
    return false;
  }
  apr_table_setn(r->notes, kStatusNote, "1");
  return true;
}

void CountDecision(request_rec* r, GateRuntime& gate, const RequestState* state,
                   const ApacheRequestHost& host) noexcept {
  const int slot = gate.StatusSlot();
  if (slot == st::kNoSlot || st::Installed() == nullptr) {
    return;
  }
  const st::HostAnswer answer = AnswerOf(state, host);
  st::RedirectTarget target = st::RedirectTarget::SignOn;
  if (answer == st::HostAnswer::Redirect) {
    const char* location = apr_table_get(r->headers_out, "Location");
    if (const std::shared_ptr<const gate::GateSettings> settings = gate.Settings()) {
      target = st::TargetOf(location != nullptr ? location : "", *settings);
    }
  }
  st::CountOutcome(slot, st::Classify(answer, host.PageStatus(), target, st::Notes()));
}

void CountUnstarted(GateRuntime* gate) noexcept {
  if (gate != nullptr) {
    st::CountError(gate->StatusSlot(), st::ErrorReason::Configuration);
  }
}

void RegisterStatusHandler() {
  // First of all handlers: a request left to the status handler is refused before any other
  // handler could serve it.
  ap_hook_handler(StatusHandler, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
}

}  // namespace tokengate::apache
