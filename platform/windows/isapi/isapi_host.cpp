// The gate's host seam over ISAPI.
#include "isapi_host.h"

#include <bcrypt.h>

#include <array>
#include <atomic>
#include <string>

namespace tokengate::isapi {

// ---- context table --------------------------------------------------------------------------
namespace context_table {
namespace {

// Slot index in the low bits of an id, random bits above it: an id names one slot and, through
// its random part, one occupancy of that slot.
constexpr std::uint32_t kSlotBits = 12;
constexpr std::uint32_t kSlots = 1u << kSlotBits;

struct Slot {
  std::atomic<HTTP_FILTER_CONTEXT*> pfc{nullptr};
  std::atomic<std::uint32_t> id{0};
};
std::array<Slot, kSlots> gSlots;

std::uint32_t Home(HTTP_FILTER_CONTEXT* pfc) {
  const auto v = reinterpret_cast<std::uintptr_t>(pfc);
  return static_cast<std::uint32_t>((v >> 4) ^ (v >> 20)) & (kSlots - 1);
}

std::uint32_t RandomHigh() {
  std::uint32_t r = 0;
  for (int attempt = 0; attempt < 4 && (r >> kSlotBits) == 0; ++attempt) {
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&r), sizeof r,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
      r = GetTickCount() * 2654435761u;
    }
  }
  r &= ~(kSlots - 1);
  return r != 0 ? r : (1u << kSlotBits);
}

}  // namespace

std::uint32_t Enter(HTTP_FILTER_CONTEXT* pfc) noexcept {
  const std::uint32_t home = Home(pfc);
  for (std::uint32_t i = 0; i < kSlots; ++i) {
    const std::uint32_t index = (home + i) & (kSlots - 1);
    HTTP_FILTER_CONTEXT* expected = nullptr;
    if (gSlots[index].pfc.compare_exchange_strong(expected, pfc, std::memory_order_acq_rel)) {
      const std::uint32_t id = RandomHigh() | index;
      gSlots[index].id.store(id, std::memory_order_release);
      return id;
    }
  }
  return 0;  // every slot in use: the request goes without a link
}

HTTP_FILTER_CONTEXT* Find(std::uint32_t id) noexcept {
  if (id == 0)
    return nullptr;
  Slot& slot = gSlots[id & (kSlots - 1)];
  if (slot.id.load(std::memory_order_acquire) != id)
    return nullptr;
  HTTP_FILTER_CONTEXT* pfc = slot.pfc.load(std::memory_order_acquire);
  // The slot may have been released and reused in between; the id tells.
  return slot.id.load(std::memory_order_acquire) == id ? pfc : nullptr;
}

void Leave(HTTP_FILTER_CONTEXT* pfc) noexcept {
  const std::uint32_t home = Home(pfc);
  for (std::uint32_t i = 0; i < kSlots; ++i) {
    Slot& slot = gSlots[(home + i) & (kSlots - 1)];
    if (slot.pfc.load(std::memory_order_acquire) == pfc) {
      slot.id.store(0, std::memory_order_release);
      slot.pfc.store(nullptr, std::memory_order_release);
      return;
    }
  }
}

}  // namespace context_table

// ---- filter role ----------------------------------------------------------------------------
bool IsapiFilterContext::AddResponseHeaders(std::string_view line) noexcept {
  try {
    std::string text(line);
    return pfc_->AddResponseHeaders(pfc_, text.data(), 0) != FALSE;
  } catch (...) {
    return false;
  }
}

std::uint32_t IsapiFilterNotification::ContextId() const noexcept {
  if (id_ == 0)
    id_ = context_table::Enter(pfc_);
  return id_;
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
  HTTP_FILTER_CONTEXT* pfc = context_table::Find(id);
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
