// The gate's host seam over ISAPI.
#include "isapi_host.h"

#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "path_views.h"
#include "tokengate/gate/header_rules.h"

namespace tokengate::isapi {

// ---- context table --------------------------------------------------------------------------
namespace context_table {
namespace {

// Slot index in the low bits of an id, random bits above it: an id names one slot and, through
// its random part, one occupancy of that slot.
constexpr std::uint32_t kSlotBits = 12;
constexpr std::uint32_t kSlots = 1u << kSlotBits;
static_assert(kProbeWindow <= kSlots);

// Written by the owning request only (its notifications come one after another); read by any
// extension call. A reader trusts `pfc` and `request` only when `id` reads the same before and
// after them.
struct Slot {
  std::atomic<HTTP_FILTER_CONTEXT*> pfc{nullptr};
  std::atomic<std::uint32_t> id{0};
  std::atomic<std::uint64_t> request{0};
};
std::array<Slot, kSlots> gSlots;

std::uint32_t Home(HTTP_FILTER_CONTEXT* pfc) {
  // Fibonacci hashing spreads heap addresses, which share their low and high bits, evenly.
  const auto v = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(pfc));
  return static_cast<std::uint32_t>((v * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
}

std::uint32_t RandomHigh() {
  std::uint32_t r = 0;
  for (int attempt = 0; attempt < 4 && (r >> kSlotBits) == 0; ++attempt) {
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&r), sizeof r,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
      r = 0;
    }
  }
  r &= ~(kSlots - 1);
  return r;  // 0 when the system gave no random bits: no id is made then
}

// Gives a slot the request holds a new occupancy: the old id dies before the new one is valid.
std::uint32_t Publish(Slot& slot, std::uint32_t index, std::uint64_t request) {
  slot.id.store(0, std::memory_order_release);
  slot.request.store(request, std::memory_order_release);
  const std::uint32_t high = RandomHigh();
  const std::uint32_t id = high != 0 ? (high | index) : 0;
  slot.id.store(id, std::memory_order_release);
  return id;
}

}  // namespace

std::uint32_t Enter(HTTP_FILTER_CONTEXT* pfc, std::uint64_t request) noexcept {
  if (pfc == nullptr || request == 0)
    return 0;
  const std::uint32_t home = Home(pfc);
  // A context notified again already has a slot in its window: it keeps that one.
  Slot* freeSlot = nullptr;
  std::uint32_t freeIndex = 0;
  for (std::uint32_t i = 0; i < kProbeWindow; ++i) {
    const std::uint32_t index = (home + i) & (kSlots - 1);
    HTTP_FILTER_CONTEXT* held = gSlots[index].pfc.load(std::memory_order_acquire);
    if (held == pfc)
      return Publish(gSlots[index], index, request);
    if (held == nullptr && freeSlot == nullptr) {
      freeSlot = &gSlots[index];
      freeIndex = index;
    }
  }
  // Claim the first free slot seen; one taken meanwhile by another request sends the search on.
  for (std::uint32_t i = freeSlot != nullptr ? (freeIndex - home) & (kSlots - 1) : kProbeWindow;
       i < kProbeWindow; ++i) {
    const std::uint32_t index = (home + i) & (kSlots - 1);
    HTTP_FILTER_CONTEXT* expected = nullptr;
    if (gSlots[index].pfc.compare_exchange_strong(expected, pfc, std::memory_order_acq_rel)) {
      const std::uint32_t id = Publish(gSlots[index], index, request);
      if (id == 0)
        gSlots[index].pfc.store(nullptr, std::memory_order_release);
      return id;
    }
  }
  return 0;  // no free slot near home: the request goes without a link
}

HTTP_FILTER_CONTEXT* Find(std::uint32_t id, std::uint64_t request) noexcept {
  if (id == 0 || request == 0)
    return nullptr;
  Slot& slot = gSlots[id & (kSlots - 1)];
  if (slot.id.load(std::memory_order_acquire) != id)
    return nullptr;
  HTTP_FILTER_CONTEXT* pfc = slot.pfc.load(std::memory_order_acquire);
  const std::uint64_t owner = slot.request.load(std::memory_order_acquire);
  // The slot may have been released and reused in between; the id tells.
  if (slot.id.load(std::memory_order_acquire) != id || owner != request)
    return nullptr;
  return pfc;
}

void Leave(HTTP_FILTER_CONTEXT* pfc) noexcept {
  if (pfc == nullptr)
    return;
  const std::uint32_t home = Home(pfc);
  for (std::uint32_t i = 0; i < kProbeWindow; ++i) {
    Slot& slot = gSlots[(home + i) & (kSlots - 1)];
    if (slot.pfc.load(std::memory_order_acquire) == pfc) {
      slot.id.store(0, std::memory_order_release);
      slot.request.store(0, std::memory_order_release);
      slot.pfc.store(nullptr, std::memory_order_release);
      return;
    }
  }
}

}  // namespace context_table

// ---- request digest -------------------------------------------------------------------------
namespace {

bool Ok(NTSTATUS status) {
  return status >= 0;
}

// HMAC-SHA256 and its key for the life of the process; algorithm handles may be shared by
// threads, hash handles are made per digest.
struct DigestKey {
  BCRYPT_ALG_HANDLE alg = nullptr;
  std::array<UCHAR, 32> key{};
};

DigestKey MakeKey() {
  DigestKey k;
  if (!Ok(BCryptOpenAlgorithmProvider(&k.alg, BCRYPT_SHA256_ALGORITHM, nullptr,
                                      BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return DigestKey{};
  }
  if (!Ok(BCryptGenRandom(nullptr, k.key.data(), static_cast<ULONG>(k.key.size()),
                          BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    BCryptCloseAlgorithmProvider(k.alg, 0);
    return DigestKey{};
  }
  return k;
}

// Null when CNG cannot give the algorithm or the key: no request gets an id then.
const DigestKey* Key() {
  static const DigestKey key = MakeKey();
  return key.alg != nullptr ? &key : nullptr;
}

struct HashDestroy {
  void operator()(void* hash) const noexcept {
    BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(hash));
  }
};
using Hash = std::unique_ptr<void, HashDestroy>;

// The variables that name the request's connection, the same for both roles.
constexpr const char* kConnectionVariables[] = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR",
                                                "SERVER_PORT"};
// An address with its zone and a port fit easily.
constexpr DWORD kConnectionValueBytes = 128;

}  // namespace

std::uint64_t RequestDigest(VariableReader read, void* source) noexcept {
  const DigestKey* key = Key();
  if (key == nullptr || read == nullptr)
    return 0;
  BCRYPT_HASH_HANDLE raw = nullptr;
  if (!Ok(BCryptCreateHash(key->alg, &raw, nullptr, 0, const_cast<PUCHAR>(key->key.data()),
                           static_cast<ULONG>(key->key.size()), 0))) {
    return 0;
  }
  const Hash hash(raw);
  for (const char* name : kConnectionVariables) {
    std::array<char, kConnectionValueBytes + 1> value{};  // the last byte stays NUL
    DWORD size = kConnectionValueBytes;
    if (!read(source, name, value.data(), &size))
      return 0;
    // Each value with its terminator, so that no two lists of values hash alike.
    const ULONG length = static_cast<ULONG>(std::strlen(value.data())) + 1;
    if (!Ok(BCryptHashData(raw, reinterpret_cast<PUCHAR>(value.data()), length, 0)))
      return 0;
  }
  std::array<UCHAR, 32> mac{};
  if (!Ok(BCryptFinishHash(raw, mac.data(), static_cast<ULONG>(mac.size()), 0)))
    return 0;
  std::uint64_t digest = 0;
  for (int i = 0; i < 8; ++i)
    digest = (digest << 8) | mac[static_cast<std::size_t>(i)];
  return digest != 0 ? digest : 1;
}

// ---- filter role ----------------------------------------------------------------------------
namespace {

// The private pointer's value while the response carries the token cookie; only its address
// counts.
char gCookieMark;

}  // namespace

bool CarriesTokenCookie(const HTTP_FILTER_CONTEXT* pfc) noexcept {
  return pfc != nullptr && pfc->pFilterContext == &gCookieMark;
}

bool IsapiFilterContext::AddResponseHeaders(std::string_view line) noexcept {
  try {
    std::string text(line);
    if (pfc_->AddResponseHeaders(pfc_, text.data(), 0) == FALSE)
      return false;
    pfc_->pFilterContext = &gCookieMark;
    return true;
  } catch (...) {
    return false;
  }
}

namespace {

// Cache-Control values longer than this are not read: the response gets "no-store".
constexpr DWORD kMaxCacheControlBytes = 8192;

// Reads a header through a notification's GetHeader, growing the buffer once. nullopt with
// `present` false when there is no such header, with `present` true when it could not be read.
template <typename Notification>
std::optional<std::string> ReadHeader(HTTP_FILTER_CONTEXT* pfc, Notification* n, const char* name,
                                      DWORD limit, bool& present) {
  std::string wanted(name);
  std::string value(256, '\0');
  present = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(value.size());
    if (n->GetHeader(pfc, wanted.data(), value.data(), &size) != FALSE) {
      present = true;
      value.resize(strnlen(value.data(), value.size()));
      return value;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      return std::nullopt;
    present = true;
    if (size <= value.size() || size > limit)
      return std::nullopt;
    value.assign(size, '\0');
  }
  return std::nullopt;
}

}  // namespace

bool MakeResponsePrivate(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) noexcept {
  if (pfc == nullptr || response == nullptr || response->GetHeader == nullptr ||
      response->SetHeader == nullptr || response->AddHeader == nullptr) {
    return false;
  }
  try {
    char name[] = "Cache-Control:";
    bool present = false;
    const std::optional<std::string> directives =
        ReadHeader(pfc, response, name, kMaxCacheControlBytes, present);
    std::optional<std::string> value;
    if (directives || !present)
      value = gate::PrivateCacheControl(directives.value_or(std::string()));
    else
      value = "no-store";  // unreadable: the strictest policy needs no reading
    if (!value)
      return true;  // already private or no-store
    return (present ? response->SetHeader(pfc, name, value->data())
                    : response->AddHeader(pfc, name, value->data())) != FALSE;
  } catch (...) {
    return false;
  }
}

void SendFilterRefusal(HTTP_FILTER_CONTEXT* pfc, const char* status) noexcept {
  if (pfc == nullptr || pfc->ServerSupportFunction == nullptr)
    return;
  try {
    std::string body = std::string("<html><head><title>") + status + "</title></head><body><h1>" +
                       status + "</h1></body></html>";
    std::string headers =
        "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\nCache-Control: no-store\r\n\r\n";
    std::string line(status);
    if (!pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER, line.data(),
                                    reinterpret_cast<ULONG_PTR>(headers.data()), 0)) {
      return;
    }
    if (pfc->WriteClient != nullptr) {
      DWORD n = static_cast<DWORD>(body.size());
      pfc->WriteClient(pfc, body.data(), &n, 0);
    }
  } catch (...) {
    // Out of memory: the filter still ends the request.
  }
}

namespace {

bool ReadFilterVariable(void* source, const char* name, char* area, DWORD* size) {
  auto* pfc = static_cast<HTTP_FILTER_CONTEXT*>(source);
  return pfc->GetServerVariable != nullptr &&
         pfc->GetServerVariable(pfc, const_cast<char*>(name), area, size) != FALSE;
}

bool ReadExtensionVariable(void* source, const char* name, char* area, DWORD* size) {
  auto* ecb = static_cast<EXTENSION_CONTROL_BLOCK*>(source);
  return ecb->GetServerVariable != nullptr &&
         ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), area, size) != FALSE;
}

// The spellings under which a client's header could be read as the context header.
constexpr const char* kContextHeaderSpellings[] = {"TarvexAuth-Context:", "TarvexAuth_Context:"};
// Each spelling is deleted at most this often (IIS deletes all lines of a name at once).
constexpr int kMaxDeletions = 8;

// Header names as IIS compares them: ASCII letters without regard to case.
bool SameHeaderName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

std::uint32_t IsapiFilterNotification::ContextId() const noexcept {
  if (id_ == 0)
    id_ = context_table::Enter(pfc_, RequestDigest(&ReadFilterVariable, pfc_));
  return id_;
}

bool IsapiFilterNotification::RemoveClientContextHeaders() noexcept {
  if (headers_ == nullptr || headers_->GetHeader == nullptr || headers_->SetHeader == nullptr)
    return false;
  for (const char* spelling : kContextHeaderSpellings) {
    char name[32] = {};  // the callbacks take non-const text
    std::strncpy(name, spelling, sizeof name - 1);
    char empty[1] = {'\0'};
    for (int attempt = 0;; ++attempt) {
      // Only a header shown to be there is deleted: setting an absent one could create it.
      char value[16] = {};
      DWORD size = sizeof value;
      const bool present = headers_->GetHeader(pfc_, name, value, &size) != FALSE ||
                           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
      if (!present)
        break;
      // IIS reads a header name without regard to case and deletes a header set to "".
      if (attempt == kMaxDeletions || !headers_->SetHeader(pfc_, name, empty))
        return false;
    }
  }
  return true;
}

LookAlikeRemoval IsapiFilterNotification::RemoveAttributeLookAlikes(
    std::string_view prefix) noexcept {
  LookAlikeRemoval out;
  if (prefix.empty())
    return out;
  if (headers_ == nullptr || headers_->GetHeader == nullptr || headers_->SetHeader == nullptr ||
      pfc_->GetServerVariable == nullptr) {
    out.result = LookAlikeRemoval::Result::RawUnavailable;
    out.code = ERROR_INVALID_FUNCTION;
    return out;
  }
  try {
    // The request's headers as sent, up to the gate's work area.
    std::string raw(4096, '\0');
    for (int attempt = 0;; ++attempt) {
      DWORD size = static_cast<DWORD>(raw.size());
      if (ReadFilterVariable(pfc_, "ALL_RAW", raw.data(), &size)) {
        raw.resize(strnlen(raw.data(), raw.size()));
        break;
      }
      const DWORD error = GetLastError();
      if (error != ERROR_INSUFFICIENT_BUFFER || attempt == 2 || size <= raw.size() ||
          size > gate::kWorkAreaBytes) {
        out.result = LookAlikeRemoval::Result::RawUnavailable;
        out.code = error != 0 ? error : ERROR_INVALID_DATA;
        return out;
      }
      raw.assign(size, '\0');
    }
    const std::vector<std::string_view> names = gate::AttributeLookAlikes(raw, prefix);
    for (const std::string_view name : names) {
      if (!out.removed.empty())
        out.removed.append(", ");
      out.removed.append(name);
    }
    char empty[1] = {'\0'};
    for (std::size_t i = 0; i < names.size(); ++i) {
      // IIS deletes every line of a name at once: a name listed before is gone already.
      const bool seen =
          std::any_of(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i),
                      [&](std::string_view other) { return SameHeaderName(other, names[i]); });
      std::string wanted(names[i]);
      wanted.push_back(':');
      bool deleted = false;
      for (int attempt = 0;; ++attempt) {
        // Only a header shown to be there is deleted: setting an absent one could create it.
        char value[16] = {};
        DWORD size = sizeof value;
        const bool present = headers_->GetHeader(pfc_, wanted.data(), value, &size) != FALSE ||
                             GetLastError() == ERROR_INSUFFICIENT_BUFFER;
        if (!present)
          break;
        if (attempt == kMaxDeletions || !headers_->SetHeader(pfc_, wanted.data(), empty)) {
          out.result = LookAlikeRemoval::Result::NotRemoved;
          out.removed = wanted.substr(0, wanted.size() - 1);
          return out;
        }
        deleted = true;
      }
      // A header ALL_RAW shows that the server cannot find by its name stays where backends read
      // it: the request must not go on.
      if (!deleted && !seen) {
        out.result = LookAlikeRemoval::Result::NotRemoved;
        out.removed = wanted.substr(0, wanted.size() - 1);
        return out;
      }
    }
    return out;
  } catch (...) {
    out.result = LookAlikeRemoval::Result::RawUnavailable;
    out.code = ERROR_NOT_ENOUGH_MEMORY;
    return out;
  }
}

bool IsapiFilterNotification::AddHeader(std::string_view name, std::string_view value) noexcept {
  if (headers_ == nullptr)
    return false;
  try {
    std::string n(name), v(value);
    return headers_->AddHeader(pfc_, n.data(), v.data()) != FALSE;
  } catch (...) {
    return false;
  }
}

// ---- extension role -------------------------------------------------------------------------
namespace {

gate::VariableError Classify(DWORD error) {
  switch (error) {
    case ERROR_INSUFFICIENT_BUFFER:
      return gate::VariableError::InsufficientBuffer;
    case ERROR_INVALID_PARAMETER:
      return gate::VariableError::InvalidParameter;
    case ERROR_NO_DATA:
      return gate::VariableError::NoData;
    case ERROR_INVALID_INDEX:
      return gate::VariableError::InvalidIndex;
    default:
      return gate::VariableError::Other;
  }
}

// What one accepted child request needs until its completion step: the hand-off and the
// structures the server reads from.
struct ExecBlock {
  std::unique_ptr<gate::HandOff> handOff;
  gate::CompletionRoutine done = nullptr;
  std::string headers;
  std::wstring userName;
  std::string authType;
  HSE_EXEC_UNICODE_URL_USER_INFO user{};
  HSE_EXEC_UNICODE_URL_INFO info{};
};

VOID WINAPI ChildCompleted(EXTENSION_CONTROL_BLOCK* ecb, PVOID context, DWORD, DWORD) {
  std::unique_ptr<ExecBlock> block(static_cast<ExecBlock*>(context));
  try {
    IsapiRequestHost host(ecb);
    block->done(host, std::move(block->handOff));
  } catch (...) {
    // The completion step does not throw; nothing may escape into the server.
  }
}

}  // namespace

gate::VariableRead IsapiRequestHost::GetServerVariable(std::string_view name,
                                                       std::span<char> area) noexcept {
  gate::VariableRead read;
  try {
    std::string n(name);
    DWORD size = static_cast<DWORD>(area.size());
    if (ecb_->GetServerVariable(ecb_->ConnID, n.data(), area.data(), &size)) {
      read.size = size;
      return read;
    }
    const DWORD error = GetLastError();
    read.error = Classify(error);
    read.code = error;
    read.size = size;
  } catch (...) {
    read.error = gate::VariableError::Other;
    read.code = ERROR_NOT_ENOUGH_MEMORY;
  }
  return read;
}

std::string_view IsapiRequestHost::QueryString() const noexcept {
  return ecb_->lpszQueryString != nullptr ? std::string_view(ecb_->lpszQueryString)
                                          : std::string_view();
}

std::string_view IsapiRequestHost::AvailableBody() const noexcept {
  if (ecb_->lpbData == nullptr)
    return {};
  return std::string_view(reinterpret_cast<const char*>(ecb_->lpbData), ecb_->cbAvailable);
}

namespace {

// Reads a variable whole, up to the work area's size; nullopt when it cannot be read.
std::optional<std::string> ReadWhole(EXTENSION_CONTROL_BLOCK* ecb, const char* name) {
  std::string value(512, '\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    DWORD size = static_cast<DWORD>(value.size());
    if (ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), value.data(), &size)) {
      value.resize(std::strlen(value.c_str()));
      return value;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= value.size() ||
        size > gate::kWorkAreaBytes) {
      return std::nullopt;
    }
    value.assign(size, '\0');
  }
  return std::nullopt;
}

// The path of a raw request target: without query and fragment, and without scheme and host when
// the client sent an absolute URL.
std::string RawPath(std::string target) {
  const std::size_t end = std::min(target.find('?'), target.find('#'));
  if (end != std::string::npos)
    target.resize(end);
  if (!target.empty() && target[0] != '/' && target[0] != '\\') {
    const std::size_t scheme = target.find("://");
    if (scheme != std::string::npos) {
      const std::size_t path = target.find('/', scheme + 3);
      target = path == std::string::npos ? std::string("/") : target.substr(path);
    }
  }
  return target;
}

}  // namespace

std::vector<std::string> IsapiRequestHost::OtherPathViews() const {
  const std::optional<std::string> url = ReadWhole(ecb_, "URL");
  std::vector<std::string> raw;
  for (const char* name : {"UNENCODED_URL", "HTTP_URL"}) {
    if (std::optional<std::string> target = ReadWhole(ecb_, name)) {
      std::string path = RawPath(std::move(*target));
      if (!path.empty() && std::find(raw.begin(), raw.end(), path) == raw.end())
        raw.push_back(std::move(path));
    }
  }
  return PathViews(url.value_or(std::string()), raw);
}

void IsapiRequestHost::SetStatusCode(std::uint32_t status) noexcept {
  ecb_->dwHttpStatusCode = status;
}

void IsapiRequestHost::SetLogData(std::string_view text) noexcept {
  const std::size_t n = text.size() < HSE_LOG_BUFFER_LEN - 1 ? text.size() : HSE_LOG_BUFFER_LEN - 1;
  text.copy(ecb_->lpszLogData, n);
  ecb_->lpszLogData[n] = '\0';
}

bool IsapiRequestHost::WriteClient(std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    DWORD n = static_cast<DWORD>(bytes.size());
    if (!ecb_->WriteClient(ecb_->ConnID, const_cast<char*>(bytes.data()), &n, 0) || n == 0)
      return false;
    bytes.remove_prefix(n < bytes.size() ? n : bytes.size());
  }
  return true;
}

bool IsapiRequestHost::SendRedirect(std::string_view location) noexcept {
  try {
    std::string target(location);
    DWORD size = static_cast<DWORD>(target.size() + 1);
    return ecb_->ServerSupportFunction(ecb_->ConnID, HSE_REQ_SEND_URL_REDIRECT_RESP, target.data(),
                                       &size, nullptr) != FALSE;
  } catch (...) {
    return false;
  }
}

bool IsapiRequestHost::ExecuteChild(std::unique_ptr<gate::HandOff>& hand_off,
                                    gate::CompletionRoutine done) noexcept {
  if (!hand_off || done == nullptr)
    return false;
  std::unique_ptr<ExecBlock> block;
  try {
    block = std::make_unique<ExecBlock>();
    block->done = done;
    block->info.dwExecUrlFlags = hand_off->flags;
    if (hand_off->kind != gate::HandOffKind::Unchanged) {
      block->headers = hand_off->child_headers;
      block->info.pszChildHeaders = block->headers.data();
    }
    if (hand_off->kind == gate::HandOffKind::Impersonated) {
      block->userName.assign(hand_off->user_name.begin(), hand_off->user_name.end());
      block->authType = hand_off->auth_type;
      block->user.hImpersonationToken =
          hand_off->user_token ? reinterpret_cast<HANDLE>(hand_off->user_token->NativeHandle())
                               : nullptr;
      block->user.pszCustomUserName = block->userName.data();
      block->user.pszCustomAuthType = block->authType.data();
      block->info.pUserInfo = &block->user;
    }
  } catch (...) {
    return false;
  }
  if (!ecb_->ServerSupportFunction(ecb_->ConnID, HSE_REQ_IO_COMPLETION,
                                   reinterpret_cast<LPVOID>(&ChildCompleted), nullptr,
                                   reinterpret_cast<LPDWORD>(block.get()))) {
    return false;
  }
  // The block owns the hand-off before the server can complete the child.
  ExecBlock* raw = block.get();
  raw->handOff = std::move(hand_off);
  if (!ecb_->ServerSupportFunction(ecb_->ConnID, HSE_REQ_EXEC_UNICODE_URL, &raw->info, nullptr,
                                   nullptr)) {
    hand_off = std::move(raw->handOff);
    return false;
  }
  block.release();  // the completion step frees it
  return true;
}

bool IsapiRequestHost::GetExecStatus(gate::ExecStatus& status) noexcept {
  HSE_EXEC_URL_STATUS st{};
  if (!ecb_->ServerSupportFunction(ecb_->ConnID, HSE_REQ_GET_EXEC_URL_STATUS, &st, nullptr,
                                   nullptr)) {
    return false;
  }
  status.http_status = st.uHttpStatusCode;
  status.win32_error = st.dwWin32Error;
  return true;
}

void IsapiRequestHost::SetThreadLastError(std::uint32_t code) noexcept {
  SetLastError(code);
}

void IsapiRequestHost::DoneWithSession(std::uint32_t status) noexcept {
  DWORD s = status;
  ecb_->ServerSupportFunction(ecb_->ConnID, HSE_REQ_DONE_WITH_SESSION, &s, nullptr, nullptr);
}

gate::IFilterContext* IsapiRequestHost::ResolveFilterContext(std::uint32_t id) noexcept {
  if (id == 0)
    return nullptr;
  HTTP_FILTER_CONTEXT* pfc = context_table::Find(id, RequestDigest(&ReadExtensionVariable, ecb_));
  if (pfc == nullptr)
    return nullptr;
  filterContext_.emplace(pfc);
  return &*filterContext_;
}

gate::Credential IsapiRequestHost::OpenThreadCredential() noexcept {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE, TRUE,
                       &token)) {
    return nullptr;
  }
  try {
    return std::make_unique<HandleCredential>(token);
  } catch (...) {
    CloseHandle(token);
    return nullptr;
  }
}

bool IsapiRequestHost::RevertToSelf() noexcept {
  return ::RevertToSelf() != FALSE;
}

bool IsapiRequestHost::Impersonate(const gate::ICredential& credential) noexcept {
  return ImpersonateLoggedOnUser(reinterpret_cast<HANDLE>(credential.NativeHandle())) != FALSE;
}

std::optional<std::u16string> IsapiRequestHost::ThreadUserName() {
  DWORD size = 0;
  GetUserNameW(nullptr, &size);
  if (size == 0)
    return std::nullopt;
  std::wstring name(size, L'\0');
  if (!GetUserNameW(name.data(), &size))
    return std::nullopt;
  name.resize(size > 0 ? size - 1 : 0);
  return std::u16string(name.begin(), name.end());
}

}  // namespace tokengate::isapi
