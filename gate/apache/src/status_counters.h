// The gate's counters for the status handler: a fixed block of lock-free 64-bit counters that
// lives in memory shared by every process of the server (laid out by the parent before it starts
// its children), so one scrape sees the sum over all child processes and threads.
//
// The block holds one slot of counters per site configuration (installation path), at most
// kMaxSites of them; the configurations beyond share the slot "other". A slot, once given to a
// site, keeps it as long as the block lives. Counting is a relaxed atomic add on a counter of
// the block: no lock, no allocation and no system call.
//
// This file knows nothing of Apache; the Apache side (shared memory, slots of the server's
// sites, the handler) is in status_endpoint.h.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/gate_settings.h"

namespace tokengate::apache::status {

// The counters are updated from several processes through one mapping of the same memory: they
// must be lock-free (a lock-based atomic keeps its lock in the process, not in the counter) and
// therefore address-free.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<std::uint64_t>) == sizeof(std::uint64_t));

inline constexpr std::size_t kMaxSites = 64;
inline constexpr std::size_t kOtherSlot = kMaxSites;  // the sites beyond kMaxSites
inline constexpr std::size_t kSlots = kMaxSites + 1;
// Longest site label kept (bytes, terminator included); a longer one counts under "other".
inline constexpr std::size_t kLabelBytes = 1024;
inline constexpr char kOtherLabel[] = "other";
inline constexpr char kDefaultLabel[] = "default";
// The slot of a gate whose counters are not available.
inline constexpr int kNoSlot = -1;

// What the gate did with a request.
enum class Outcome : std::uint8_t {
  NotProtected,    // handed on unchanged (not protected, gate disabled, the site's error page)
  PassedToken,     // handed on with the token's attribute headers
  PassedIwa,       // handed on under the user's identity
  SignOnRedirect,  // sent to sign-on (no token, "expired", expired session)
  Unauthorized,    // answered 401 (a script request that would have been sent to sign-on)
  Error,           // an error response (page or ErrorUrl); see ErrorReason
  Reload,          // the reload URL, configuration reloaded
  ReloadFailed,    // the reload URL, the configuration could not be loaded
  LogoutRedirect,  // sent to single logout or to the cancel URL's resume address
  kCount
};

enum class ErrorReason : std::uint8_t {
  BrokerUnavailable,  // the broker call failed on the way (an RPC status of the transport)
  InvalidToken,       // the broker refused the token (returned -1), or the token was empty
  LogonFailed,        // the broker answered an IWA call with a fault: the user not logged on
  Configuration,      // a setting the request needs is missing; the gate did not start
  Other,
  kCount
};

enum class BrokerProcedure : std::uint8_t { GetHeaderString, GetHeaderStringWithIWA, kCount };

enum class BrokerResult : std::uint8_t {
  Ok,        // the broker answered with the token's attributes (or handle)
  Refused,   // the broker returned -1
  Expired,   // the broker returned the expired-session marker
  RpcError,  // the call raised an RPC status (transport failure or fault)
  kCount
};

// The RPC statuses counted one by one; any other counts as "other".
inline constexpr std::array<std::uint32_t, 23> kRpcStatuses = {
    5,    14,   1700, 1702, 1703, 1706, 1715, 1717, 1721,       1722,       1723,      1726,
    1727, 1728, 1745, 1766, 1780, 1782, 1783, 1818, 0x8001011B, 0x80010100, 0x80010010};
inline constexpr std::size_t kOtherRpcStatus = kRpcStatuses.size();

// Upper bounds of the broker call latency histogram, in seconds (the "+Inf" bucket follows).
inline constexpr std::array<std::string_view, 15> kLatencyBounds = {
    "0.0005", "0.001", "0.0025", "0.005", "0.01", "0.025", "0.05", "0.1",
    "0.25",   "0.5",   "1",      "2.5",   "5",    "10",    "30"};
inline constexpr std::array<std::uint64_t, 15> kLatencyBoundNanos = {
    500'000,       1'000'000,     2'500'000,     5'000'000,      10'000'000,
    25'000'000,    50'000'000,    100'000'000,   250'000'000,    500'000'000,
    1'000'000'000, 2'500'000'000, 5'000'000'000, 10'000'000'000, 30'000'000'000};
inline constexpr std::size_t kLatencyBuckets = kLatencyBounds.size() + 1;

constexpr std::size_t Index(auto value) {
  return static_cast<std::size_t>(value);
}

// The counters of one site.
struct SiteCounters {
  using Counter = std::atomic<std::uint64_t>;
  Counter requests[Index(Outcome::kCount)];
  Counter errors[Index(ErrorReason::kCount)];
  // Calls that ended with a result (Ok, Refused, Expired); RpcError calls are in rpcErrors.
  Counter brokerCalls[Index(BrokerProcedure::kCount)][Index(BrokerResult::kCount)];
  Counter rpcErrors[Index(BrokerProcedure::kCount)][kRpcStatuses.size() + 1];
  Counter reissues;
  Counter latency[kLatencyBuckets];  // per bucket, not cumulative
  Counter latencyNanos;
};

// The plain values of one site, read from the block.
struct SiteValues {
  std::string label;
  std::array<std::uint64_t, Index(Outcome::kCount)> requests{};
  std::array<std::uint64_t, Index(ErrorReason::kCount)> errors{};
  std::array<std::array<std::uint64_t, Index(BrokerResult::kCount)>, Index(BrokerProcedure::kCount)>
      brokerCalls{};
  std::array<std::array<std::uint64_t, kRpcStatuses.size() + 1>, Index(BrokerProcedure::kCount)>
      rpcErrors{};
  std::uint64_t reissues = 0;
  std::array<std::uint64_t, kLatencyBuckets> latency{};
  std::uint64_t latencyNanos = 0;
};

// The counter block, placed in a caller-provided area (shared memory in the server, any memory in
// tests). Plain data only: every process that maps the area reads and updates the same counters.
class CounterBlock {
 public:
  // Lays a fresh block, every counter 0 and no site, into `area` (sizeof(CounterBlock) bytes,
  // aligned for CounterBlock).
  static CounterBlock* Create(void* area) noexcept;
  // The block an earlier Create of this same layout put into `area`; null when the area holds
  // none (another layout, e.g. after the module was upgraded).
  static CounterBlock* Attach(void* area, std::size_t bytes) noexcept;

  // The slot of the site `label` (an installation path), given to it now when it has none.
  // kOtherSlot once kMaxSites sites have slots, and for labels of kLabelBytes or more; then
  // `*overflow` is set. Only one thread of one process may assign slots (the server's parent).
  std::size_t AssignSlot(std::string_view label, bool* overflow) noexcept;
  // The slot `label` was given, kOtherSlot when none.
  std::size_t FindSlot(std::string_view label) const noexcept;

  SiteCounters& Site(std::size_t slot) noexcept {
    return sites_[slot < kSlots ? slot : kOtherSlot];
  }
  // Every site with a slot, in slot order, and "other" when any of its counters is not 0.
  std::vector<SiteValues> Read() const;

 private:
  CounterBlock() = default;

  std::uint64_t magic_ = 0;
  std::uint64_t bytes_ = 0;
  // Slots given to sites; a slot's label is written before the count is raised past it.
  std::atomic<std::uint32_t> used_{0};
  char labels_[kMaxSites][kLabelBytes] = {};
  SiteCounters sites_[kSlots];
};

// ---- counting (any thread of any process) ----------------------------------------------------

// The block this process counts into; null (the default) counts nothing.
void Install(CounterBlock* block) noexcept;
CounterBlock* Installed() noexcept;

// Each does nothing for kNoSlot or when no block is installed.
void CountRequest(int slot, Outcome outcome) noexcept;
// An error response: the outcome Error and its reason.
void CountError(int slot, ErrorReason reason) noexcept;
// One broker call: its result (`rpcStatus` for RpcError) and how long it took.
void CountBrokerCall(int slot, BrokerProcedure procedure, BrokerResult result,
                     std::uint32_t rpcStatus, std::uint64_t nanos) noexcept;
// The broker re-issued the token: the updated token differs from the one sent.
void CountReissue(int slot) noexcept;

// ---- what a request did, for its outcome -----------------------------------------------------

// What the gate reported while it decided the request this thread is handling; filled by the
// gate's event sink (NoteEvent) and broker binding (NoteBrokerResult), reset when the gate starts
// on a request (ResetNotes).
struct RequestNotes {
  bool brokerCalled = false;
  BrokerResult brokerResult = BrokerResult::Ok;  // of the last call
  std::uint32_t brokerStatus = 0;                // its RPC status, for RpcError
  bool errorReported = false;
  ErrorReason errorReason = ErrorReason::Other;  // of the first error event that tells one
  bool reloaded = false;
  bool reloadFailed = false;
};

void ResetNotes() noexcept;
const RequestNotes& Notes() noexcept;
void NoteEvent(gate::EventType type, std::u16string_view text) noexcept;
void NoteBrokerResult(BrokerResult result, std::uint32_t rpcStatus = 0) noexcept;

// How the host ended the request.
enum class HostAnswer : std::uint8_t {
  HandedOnUnchanged,
  HandedOnWithHeaders,
  HandedOnImpersonated,
  Redirect,
  Page,
  None  // the gate ended the request without an answer of its own (refused by the host)
};

// Where a redirect of the gate leads, told from the settings' URLs the gate builds it from.
enum class RedirectTarget : std::uint8_t { SignOn, ErrorPage, Logout };
RedirectTarget TargetOf(std::string_view location, const gate::GateSettings& settings) noexcept;

struct Classified {
  Outcome outcome;
  ErrorReason reason;  // for Outcome::Error
};
Classified Classify(HostAnswer answer, std::uint32_t pageStatus, RedirectTarget target,
                    const RequestNotes& notes) noexcept;

// Counts the classified outcome of one request.
void CountOutcome(int slot, const Classified& classified) noexcept;

// ---- the exposition text ---------------------------------------------------------------------

// The counters in the Prometheus text exposition format 0.0.4.
std::string FormatExposition(const std::vector<SiteValues>& sites);
// A label value as the format writes it between double quotes: backslash, double quote and line
// feed escaped; invalid UTF-8 replaced by U+FFFD.
std::string EscapeLabelValue(std::string_view value);
// The label of an RPC status: decimal below 0x10000, else 0x and eight hexadecimal digits.
std::string RpcStatusLabel(std::uint32_t status);

}  // namespace tokengate::apache::status
