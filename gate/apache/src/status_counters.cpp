#include "status_counters.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "tokengate/common/authenticator.h"
#include "tokengate/common/text.h"
#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/signon_redirect.h"

namespace tokengate::apache::status {

namespace {

// Tells this layout from any other; raise the version whenever the counters change.
constexpr std::uint64_t kLayoutVersion = 1;
constexpr std::uint64_t kMagic = 0x5447'5354'4154'0000ULL | kLayoutVersion;  // "TGSTAT"

static_assert(std::is_standard_layout_v<SiteCounters>);

// Written once by the parent before the children exist; only read afterwards.
CounterBlock* gBlock = nullptr;

thread_local RequestNotes tNotes;

constexpr auto kRelaxed = std::memory_order_relaxed;

SiteCounters* SiteOf(int slot) noexcept {
  if (gBlock == nullptr || slot < 0 || static_cast<std::size_t>(slot) >= kSlots) {
    return nullptr;
  }
  return &gBlock->Site(static_cast<std::size_t>(slot));
}

std::size_t RpcStatusIndex(std::uint32_t status) noexcept {
  for (std::size_t i = 0; i < kRpcStatuses.size(); ++i) {
    if (kRpcStatuses[i] == status) {
      return i;
    }
  }
  return kOtherRpcStatus;
}

// The reason an error event tells by its text; nullopt when it tells none. The texts are the
// gate's own, which stay as they are.
std::optional<ErrorReason> ReasonOfEvent(std::u16string_view text) noexcept {
  static constexpr std::u16string_view kConfiguration[] = {
      u"TesseraName must be set in the ISAPI configuration file",
      u"ProtectedResourceList must be set in the ISAPI configuration file",
      u"CorvaneBaseUrl must be set in the ISAPI configuration file",
      gate::kSsoUrlMissing,
      u"Filter context not available",
      u"Unable to open registry key",
      u"Unable to load key 'InstallPath'",
      u"Exception occured in loading configuration",
  };
  for (const std::u16string_view prefix : kConfiguration) {
    if (text.starts_with(prefix)) {
      return ErrorReason::Configuration;
    }
  }
  if (text == u"Tessera is empty") {
    return ErrorReason::InvalidToken;
  }
  return std::nullopt;
}

// True when `location` is `url` followed by `rest`, the URL's units read as the bytes the gate
// narrows them to.
bool IsUrlThen(std::string_view location, std::u16string_view url, std::string_view rest) noexcept {
  if (url.empty() || location.size() < url.size() + rest.size()) {
    return false;
  }
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] > 0xFF || static_cast<unsigned char>(location[i]) != url[i]) {
      return false;
    }
  }
  return location.substr(url.size()).starts_with(rest);
}

// `url` followed by the separator the gate appends to it ("&" when it has a query, else "?") and
// `name`.
bool IsUrlWithParameter(std::string_view location, std::u16string_view url,
                        std::string_view name) noexcept {
  const bool hasQuery = url.find(u'?') != std::u16string_view::npos;
  if (location.size() <= url.size()) {
    return false;
  }
  const char separator = hasQuery ? '&' : '?';
  return IsUrlThen(location, url, std::string_view(&separator, 1)) &&
         location.substr(url.size() + 1).starts_with(name);
}

bool AnyCounted(const SiteValues& v) noexcept {
  const auto any = [](const auto& values) {
    for (const std::uint64_t n : values) {
      if (n != 0) {
        return true;
      }
    }
    return false;
  };
  bool counted =
      v.reissues != 0 || v.latencyNanos != 0 || any(v.requests) || any(v.errors) || any(v.latency);
  for (std::size_t p = 0; p < v.brokerCalls.size(); ++p) {
    counted = counted || any(v.brokerCalls[p]) || any(v.rpcErrors[p]);
  }
  return counted;
}

void AppendU64(std::string& out, std::uint64_t value) {
  char buffer[24];
  const int n =
      std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(value));
  out.append(buffer, static_cast<std::size_t>(n));
}

constexpr std::string_view kOutcomeNames[] = {
    "not_protected", "passed_token", "passed_iwa",    "signon_redirect", "unauthorized",
    "error",         "reload",       "reload_failed", "logout_redirect",
};
static_assert(std::size(kOutcomeNames) == Index(Outcome::kCount));

constexpr std::string_view kReasonNames[] = {"broker_unavailable", "invalid_token", "logon_failed",
                                             "configuration", "other"};
static_assert(std::size(kReasonNames) == Index(ErrorReason::kCount));

constexpr std::string_view kProcedureNames[] = {"GetHeaderString", "GetHeaderStringWithIWA"};
static_assert(std::size(kProcedureNames) == Index(BrokerProcedure::kCount));

constexpr std::string_view kResultNames[] = {"ok", "refused", "expired", "rpc_error"};
static_assert(std::size(kResultNames) == Index(BrokerResult::kCount));

// One sample line: name{site="...",key="value",...} value
class Lines {
 public:
  explicit Lines(std::string& out) : out_(out) {}

  void Family(std::string_view name, std::string_view type, std::string_view help) {
    out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
  }

  void Sample(std::string_view name, const std::string& site,
              std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
              std::uint64_t value) {
    Start(name, site, labels);
    AppendU64(out_, value);
    out_.push_back('\n');
  }

  void Sample(std::string_view name, const std::string& site, double value) {
    Start(name, site, {});
    char buffer[40];
    const int n = std::snprintf(buffer, sizeof buffer, "%.9f", value);
    out_.append(buffer, static_cast<std::size_t>(n)).push_back('\n');
  }

 private:
  void Start(std::string_view name, const std::string& site,
             std::initializer_list<std::pair<std::string_view, std::string_view>> labels) {
    out_.append(name).append("{site=\"").append(site).append("\"");
    for (const auto& [key, value] : labels) {
      out_.append(",").append(key).append("=\"").append(EscapeLabelValue(value)).append("\"");
    }
    out_.append("} ");
  }

  std::string& out_;
};

}  // namespace

// ---- the block ---------------------------------------------------------------------------------

CounterBlock* CounterBlock::Create(void* area) noexcept {
  if (area == nullptr || reinterpret_cast<std::uintptr_t>(area) % alignof(CounterBlock) != 0) {
    return nullptr;
  }
  CounterBlock* block = ::new (area) CounterBlock();
  block->bytes_ = sizeof(CounterBlock);
  block->magic_ = kMagic;
  return block;
}

CounterBlock* CounterBlock::Attach(void* area, std::size_t bytes) noexcept {
  if (area == nullptr || bytes < sizeof(CounterBlock) ||
      reinterpret_cast<std::uintptr_t>(area) % alignof(CounterBlock) != 0) {
    return nullptr;
  }
  auto* block = static_cast<CounterBlock*>(area);
  if (block->magic_ != kMagic || block->bytes_ != sizeof(CounterBlock)) {
    return nullptr;
  }
  return block;
}

std::size_t CounterBlock::AssignSlot(std::string_view label, bool* overflow) noexcept {
  if (overflow != nullptr) {
    *overflow = false;
  }
  if (const std::size_t found = FindSlot(label); found != kOtherSlot) {
    return found;
  }
  const std::uint32_t used = used_.load(std::memory_order_acquire);
  if (used >= kMaxSites || label.size() >= kLabelBytes || label == kOtherLabel) {
    if (overflow != nullptr) {
      *overflow = true;
    }
    return kOtherSlot;
  }
  std::memcpy(labels_[used], label.data(), label.size());
  labels_[used][label.size()] = '\0';
  used_.store(used + 1, std::memory_order_release);
  return used;
}

std::size_t CounterBlock::FindSlot(std::string_view label) const noexcept {
  const std::uint32_t used =
      std::min<std::uint32_t>(used_.load(std::memory_order_acquire), kMaxSites);
  for (std::uint32_t i = 0; i < used; ++i) {
    if (std::string_view(labels_[i]) == label) {
      return i;
    }
  }
  return kOtherSlot;
}

std::vector<SiteValues> CounterBlock::Read() const {
  const auto load = [](const SiteCounters::Counter& c) { return c.load(kRelaxed); };
  const std::uint32_t used =
      std::min<std::uint32_t>(used_.load(std::memory_order_acquire), kMaxSites);
  std::vector<SiteValues> out;
  for (std::size_t slot = 0; slot <= used; ++slot) {
    const bool other = slot == used;
    const SiteCounters& c = sites_[other ? kOtherSlot : slot];
    SiteValues v;
    v.label = other ? kOtherLabel : labels_[slot];
    for (std::size_t i = 0; i < v.requests.size(); ++i) {
      v.requests[i] = load(c.requests[i]);
    }
    for (std::size_t i = 0; i < v.errors.size(); ++i) {
      v.errors[i] = load(c.errors[i]);
    }
    for (std::size_t p = 0; p < v.brokerCalls.size(); ++p) {
      for (std::size_t i = 0; i < v.brokerCalls[p].size(); ++i) {
        v.brokerCalls[p][i] = load(c.brokerCalls[p][i]);
      }
      for (std::size_t i = 0; i < v.rpcErrors[p].size(); ++i) {
        v.rpcErrors[p][i] = load(c.rpcErrors[p][i]);
      }
    }
    v.reissues = load(c.reissues);
    for (std::size_t i = 0; i < v.latency.size(); ++i) {
      v.latency[i] = load(c.latency[i]);
    }
    v.latencyNanos = load(c.latencyNanos);
    if (other && !AnyCounted(v)) {
      break;  // "other" only when a site counts there
    }
    out.push_back(std::move(v));
  }
  return out;
}

// ---- counting
// ------------------------------------------------------------------------------------

void Install(CounterBlock* block) noexcept {
  gBlock = block;
}

CounterBlock* Installed() noexcept {
  return gBlock;
}

void CountRequest(int slot, Outcome outcome) noexcept {
  if (SiteCounters* site = SiteOf(slot)) {
    site->requests[Index(outcome)].fetch_add(1, kRelaxed);
  }
}

void CountError(int slot, ErrorReason reason) noexcept {
  if (SiteCounters* site = SiteOf(slot)) {
    site->requests[Index(Outcome::Error)].fetch_add(1, kRelaxed);
    site->errors[Index(reason)].fetch_add(1, kRelaxed);
  }
}

void CountBrokerCall(int slot, BrokerProcedure procedure, BrokerResult result,
                     std::uint32_t rpcStatus, std::uint64_t nanos) noexcept {
  SiteCounters* site = SiteOf(slot);
  if (site == nullptr) {
    return;
  }
  if (result == BrokerResult::RpcError) {
    site->rpcErrors[Index(procedure)][RpcStatusIndex(rpcStatus)].fetch_add(1, kRelaxed);
  } else {
    site->brokerCalls[Index(procedure)][Index(result)].fetch_add(1, kRelaxed);
  }
  std::size_t bucket = 0;
  while (bucket < kLatencyBoundNanos.size() && nanos > kLatencyBoundNanos[bucket]) {
    ++bucket;
  }
  site->latency[bucket].fetch_add(1, kRelaxed);
  site->latencyNanos.fetch_add(nanos, kRelaxed);
}

void CountReissue(int slot) noexcept {
  if (SiteCounters* site = SiteOf(slot)) {
    site->reissues.fetch_add(1, kRelaxed);
  }
}

// ---- what a request did
// --------------------------------------------------------------------------

void ResetNotes() noexcept {
  tNotes = RequestNotes{};
}

const RequestNotes& Notes() noexcept {
  return tNotes;
}

void NoteEvent(gate::EventType type, std::u16string_view text) noexcept {
  if (type == gate::EventType::Information) {
    if (text == gate::kInfoMessage) {
      tNotes.reloaded = true;
    }
    return;
  }
  if (type != gate::EventType::Error) {
    return;
  }
  if (text == u"Unable to load configuration") {
    tNotes.reloadFailed = true;
  }
  if (!tNotes.errorReported) {
    tNotes.errorReported = true;
    tNotes.errorReason = ReasonOfEvent(text).value_or(ErrorReason::Other);
  } else if (tNotes.errorReason == ErrorReason::Other) {
    tNotes.errorReason = ReasonOfEvent(text).value_or(ErrorReason::Other);
  }
}

void NoteBrokerResult(BrokerResult result, std::uint32_t rpcStatus) noexcept {
  tNotes.brokerCalled = true;
  tNotes.brokerResult = result;
  tNotes.brokerStatus = rpcStatus;
}

RedirectTarget TargetOf(std::string_view location, const gate::GateSettings& settings) noexcept {
  if (IsUrlWithParameter(location, settings.ErrorUrl, "ErrorMessage=")) {
    return RedirectTarget::ErrorPage;
  }
  if (IsUrlWithParameter(location, settings.SSOUrl, "TargetResource=")) {
    return RedirectTarget::SignOn;
  }
  // Single logout, and the cancel URL's resume address on the federation server.
  return RedirectTarget::Logout;
}

Classified Classify(HostAnswer answer, std::uint32_t pageStatus, RedirectTarget target,
                    const RequestNotes& notes) noexcept {
  const auto error = [&notes]() -> Classified {
    if (notes.brokerCalled && notes.brokerResult == BrokerResult::RpcError) {
      // A fault is the broker's answer; any other status, a failure on the way to it.
      switch (notes.brokerStatus) {
        case rpc::kFaultEmptyToken:
          return {Outcome::Error, ErrorReason::InvalidToken};
        case rpc::kFaultAccessDenied:
        case rpc::kFaultSysCallFailed:
        case rpc::kFaultInvalidParameter:
          return {Outcome::Error, ErrorReason::LogonFailed};
        default:
          return {Outcome::Error, ErrorReason::BrokerUnavailable};
      }
    }
    if (notes.brokerCalled && notes.brokerResult == BrokerResult::Refused) {
      return {Outcome::Error, ErrorReason::InvalidToken};
    }
    return {Outcome::Error, notes.errorReported ? notes.errorReason : ErrorReason::Other};
  };
  switch (answer) {
    case HostAnswer::HandedOnUnchanged:
      return {Outcome::NotProtected, ErrorReason::Other};
    case HostAnswer::HandedOnWithHeaders:
      return {Outcome::PassedToken, ErrorReason::Other};
    case HostAnswer::HandedOnImpersonated:
      return {Outcome::PassedIwa, ErrorReason::Other};
    case HostAnswer::Redirect:
      if (notes.reloadFailed) {
        return {Outcome::ReloadFailed, ErrorReason::Other};
      }
      switch (target) {
        case RedirectTarget::SignOn:
          return {Outcome::SignOnRedirect, ErrorReason::Other};
        case RedirectTarget::Logout:
          return {Outcome::LogoutRedirect, ErrorReason::Other};
        case RedirectTarget::ErrorPage:
          break;
      }
      return error();
    case HostAnswer::Page:
      if (notes.reloadFailed) {
        return {Outcome::ReloadFailed, ErrorReason::Other};
      }
      if (pageStatus == 200 && notes.reloaded) {
        return {Outcome::Reload, ErrorReason::Other};
      }
      if (pageStatus == 401) {
        return {Outcome::Unauthorized, ErrorReason::Other};
      }
      return error();
    case HostAnswer::None:
      break;
  }
  return error();
}

void CountOutcome(int slot, const Classified& classified) noexcept {
  if (classified.outcome == Outcome::Error) {
    CountError(slot, classified.reason);
  } else {
    CountRequest(slot, classified.outcome);
  }
}

// ---- the exposition text
// -------------------------------------------------------------------------

std::string EscapeLabelValue(std::string_view value) {
  const std::string utf8 = text::Utf16ToUtf8(text::Utf8ToUtf16(value));
  std::string out;
  out.reserve(utf8.size());
  for (const char c : utf8) {
    switch (c) {
      case '\\':
        out.append("\\\\");
        break;
      case '"':
        out.append("\\\"");
        break;
      case '\n':
        out.append("\\n");
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string RpcStatusLabel(std::uint32_t status) {
  char buffer[16];
  const int n = status < 0x10000 ? std::snprintf(buffer, sizeof buffer, "%u", status)
                                 : std::snprintf(buffer, sizeof buffer, "0x%08X", status);
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string FormatExposition(const std::vector<SiteValues>& sites) {
  std::string out;
  Lines lines(out);
  std::vector<std::string> labels;
  labels.reserve(sites.size());
  for (const SiteValues& site : sites) {
    labels.push_back(EscapeLabelValue(site.label));
  }

  lines.Family("tokengate_requests_total", "counter",
               "Requests the gate decided, by outcome (each request once).");
  for (std::size_t s = 0; s < sites.size(); ++s) {
    for (std::size_t i = 0; i < std::size(kOutcomeNames); ++i) {
      lines.Sample("tokengate_requests_total", labels[s], {{"outcome", kOutcomeNames[i]}},
                   sites[s].requests[i]);
    }
  }

  lines.Family("tokengate_error_responses_total", "counter",
               "Error responses of the gate by reason class (outcome=\"error\" of "
               "tokengate_requests_total).");
  for (std::size_t s = 0; s < sites.size(); ++s) {
    for (std::size_t i = 0; i < std::size(kReasonNames); ++i) {
      lines.Sample("tokengate_error_responses_total", labels[s], {{"reason", kReasonNames[i]}},
                   sites[s].errors[i]);
    }
  }

  lines.Family("tokengate_broker_calls_total", "counter",
               "Calls to the logon broker by procedure, result and RPC status.");
  for (std::size_t s = 0; s < sites.size(); ++s) {
    for (std::size_t p = 0; p < std::size(kProcedureNames); ++p) {
      for (std::size_t r = 0; r < Index(BrokerResult::RpcError); ++r) {
        lines.Sample(
            "tokengate_broker_calls_total", labels[s],
            {{"procedure", kProcedureNames[p]}, {"result", kResultNames[r]}, {"status", "0"}},
            sites[s].brokerCalls[p][r]);
      }
      // Failed calls by status, only the statuses that occurred.
      for (std::size_t i = 0; i < sites[s].rpcErrors[p].size(); ++i) {
        if (sites[s].rpcErrors[p][i] == 0) {
          continue;
        }
        const std::string status =
            i == kOtherRpcStatus ? std::string("other") : RpcStatusLabel(kRpcStatuses[i]);
        lines.Sample("tokengate_broker_calls_total", labels[s],
                     {{"procedure", kProcedureNames[p]},
                      {"result", kResultNames[Index(BrokerResult::RpcError)]},
                      {"status", status}},
                     sites[s].rpcErrors[p][i]);
      }
    }
  }

  lines.Family("tokengate_token_reissues_total", "counter",
               "Tokens the broker re-issued (the updated token differs from the one sent).");
  for (std::size_t s = 0; s < sites.size(); ++s) {
    lines.Sample("tokengate_token_reissues_total", labels[s], {}, sites[s].reissues);
  }

  constexpr std::string_view kLatency = "tokengate_broker_call_duration_seconds";
  lines.Family(kLatency, "histogram", "Time of one call to the logon broker, in seconds.");
  for (std::size_t s = 0; s < sites.size(); ++s) {
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kLatencyBuckets; ++i) {
      cumulative += sites[s].latency[i];
      lines.Sample("tokengate_broker_call_duration_seconds_bucket", labels[s],
                   {{"le", i < kLatencyBounds.size() ? kLatencyBounds[i] : "+Inf"}}, cumulative);
    }
    lines.Sample("tokengate_broker_call_duration_seconds_sum", labels[s],
                 static_cast<double>(sites[s].latencyNanos) / 1e9);
    lines.Sample("tokengate_broker_call_duration_seconds_count", labels[s], {}, cumulative);
  }
  return out;
}

}  // namespace tokengate::apache::status
