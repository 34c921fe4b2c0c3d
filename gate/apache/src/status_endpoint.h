// The status handler of mod_tokengate and the Apache side of its counters.
//
//   <Location /tokengate-status>
//     SetHandler tokengate-status
//     Require ip 127.0.0.1
//   </Location>
//
// answers GET with the gate's counters in the Prometheus text exposition format, summed over
// every child process and thread of the server (status_counters.h). The counter block is one
// anonymous shared memory segment the parent creates at post_config, before it starts children,
// and keeps in its process pool: graceful and plain restarts (the parent lives on) reattach to it,
// so the counts go on; stopping the server ends them. A module whose counter layout differs
// starts a fresh block (counts from 0).
//
// A request served by the status handler is not decided by the gate (whatever the protected
// list says; the handler shows counters only and is protected by ordinary Apache access control)
// and is not counted. A request the gate let pass for the status handler is refused if another
// handler would serve it in the end.
#pragma once

#include <vector>

struct request_rec;
struct server_rec;

namespace tokengate::apache {

class ApacheRequestHost;
class GateRuntime;
struct RequestState;

inline constexpr char kStatusHandler[] = "tokengate-status";

// post_config (not the first, pre-configuration pass): attaches to the counter block of an
// earlier start of this server, or creates it, and gives each site (installation path of an
// enabled server; null for none) a slot. A failure is logged; the server runs without counters.
void SetUpStatusCounters(server_rec* s, const std::vector<const char*>& installPaths) noexcept;

// The slot of the site with this installation path (child_init), status::kNoSlot without
// counters.
int StatusSlotOf(const char* installPath) noexcept;

// True when the request will be served by the status handler (SetHandler tokengate-status where
// the request maps): the gate leaves it alone. Marks the request for the handler phase.
bool ServedByStatusHandler(request_rec* r) noexcept;

// Counts the gate's decision on a request (not on sub-requests): its outcome from how the host
// ended it and what the gate reported on the way.
void CountDecision(request_rec* r, GateRuntime& gate, const RequestState* state,
                   const ApacheRequestHost& host) noexcept;
// A request refused because the gate did not start in this process.
void CountUnstarted(GateRuntime* gate) noexcept;

// The handler hook.
void RegisterStatusHandler();

}  // namespace tokengate::apache
