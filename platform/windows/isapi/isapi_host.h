// The gate's host seam over ISAPI: the extension control block, the filter context and the
// identity of the calling thread.
#pragma once

#include <windows.h>

// The ISAPI declarations need the base types of windows.h.
#include <httpext.h>
#include <httpfilt.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tokengate/gate/request_host.h"

namespace tokengate::isapi {

// A Windows handle owned as a gate credential; destroying it closes the handle.
class HandleCredential final : public gate::ICredential {
 public:
  explicit HandleCredential(HANDLE handle) : handle_(handle) {}
  ~HandleCredential() override { CloseHandle(handle_); }
  HandleCredential(const HandleCredential&) = delete;
  HandleCredential& operator=(const HandleCredential&) = delete;
  std::uintptr_t NativeHandle() const noexcept override {
    return reinterpret_cast<std::uintptr_t>(handle_);
  }

 private:
  HANDLE handle_;
};

// Links a request's filter context to a non-zero 32-bit id without a lock. A context is entered
// when the filter first needs its id and leaves at the end of its request.
//
// An id resolves only for the request it was made for. The two roles of the gate share no object
// of IIS for a request, but both read the request's connection (client address and port, local
// address and port); the slot keeps a keyed digest of it, taken by the filter, and the extension
// must present the same digest. A client that guesses or copies another request's id comes on its
// own connection and resolves nothing.
namespace context_table {
// Slots live within this many places of their home slot: entering and leaving never scan the
// whole table.
inline constexpr std::uint32_t kProbeWindow = 64;
// Enters `pfc` for the request `request` (a RequestDigest, non-zero) and returns its new id; 0
// when no slot is free near its home. A context entered again keeps its one slot under a new id:
// the earlier id no longer resolves.
std::uint32_t Enter(HTTP_FILTER_CONTEXT* pfc, std::uint64_t request) noexcept;
// The live context named by `id` if it was entered for `request`; null otherwise.
HTTP_FILTER_CONTEXT* Find(std::uint32_t id, std::uint64_t request) noexcept;
void Leave(HTTP_FILTER_CONTEXT* pfc) noexcept;
}  // namespace context_table

// Reads a server variable into `area`; true with `size` (terminator included) on success.
using VariableReader = bool (*)(void* source, const char* name, char* area, DWORD* size);

// A keyed digest (HMAC-SHA256 under a key made at random for the process, 64 bits of it) of the
// request's connection as `read` reports it: REMOTE_ADDR, REMOTE_PORT, LOCAL_ADDR, SERVER_PORT.
// 0 when a variable cannot be read or the digest cannot be made.
std::uint64_t RequestDigest(VariableReader read, void* source) noexcept;

// Whether the gate added a Set-Cookie line to the response of the request `pfc` serves. The mark
// lives in the filter context's private pointer, which the filter clears when a request's headers
// arrive and when it ends (IIS may keep the pointer for the whole connection).
bool CarriesTokenCookie(const HTTP_FILTER_CONTEXT* pfc) noexcept;

// A response that carries the token cookie is kept from shared caches: its Cache-Control becomes
// gate::PrivateCacheControl of the application's one ("no-store" when that cannot be read). False
// when the header could not be set.
bool MakeResponsePrivate(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_SEND_RESPONSE* response) noexcept;

// Ends a request from the filter with `status` ("400 Bad Request", "500 Internal Server Error")
// and a short page; the filter then returns SF_STATUS_REQ_FINISHED.
void SendFilterRefusal(HTTP_FILTER_CONTEXT* pfc, const char* status) noexcept;

// What removing the client's look-alikes of attribute headers came to.
struct LookAlikeRemoval {
  enum class Result {
    Done,            // `removed` names what was deleted (empty: nothing was there)
    RawUnavailable,  // ALL_RAW could not be read (`code`: the error)
    NotRemoved,      // a look-alike could not be deleted; `removed` names it
  };
  Result result = Result::Done;
  DWORD code = 0;
  std::string removed;  // names in request order, ", " between them
};

class IsapiFilterContext final : public gate::IFilterContext {
 public:
  explicit IsapiFilterContext(HTTP_FILTER_CONTEXT* pfc) : pfc_(pfc) {}
  // Adds the line and marks the request as carrying the token cookie (CarriesTokenCookie).
  bool AddResponseHeaders(std::string_view line) noexcept override;

 private:
  HTTP_FILTER_CONTEXT* pfc_;
};

class IsapiFilterNotification final : public gate::IFilterNotification {
 public:
  IsapiFilterNotification(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_PREPROC_HEADERS* headers)
      : pfc_(pfc), headers_(headers) {}
  void ClearPrivateContext() noexcept override { pfc_->pFilterContext = nullptr; }
  std::uint32_t ContextId() const noexcept override;
  bool AddHeader(std::string_view name, std::string_view value) noexcept override;
  // Deletes every context header the client sent ("TarvexAuth-Context" and "TarvexAuth_Context",
  // in any case), so that the only one the extension can read is the filter's own. False when one
  // is still there afterwards.
  bool RemoveClientContextHeaders() noexcept;
  // Deletes every request header whose name carries `prefix` (gate::CarriesAttributePrefix), as
  // ALL_RAW lists them, so that nothing after the filter (the extension, a static file, ASP.NET,
  // a proxy) sees a client's header posing as an attribute header. Nothing to do for an empty
  // prefix.
  LookAlikeRemoval RemoveAttributeLookAlikes(std::string_view prefix) noexcept;

 private:
  HTTP_FILTER_CONTEXT* pfc_;
  HTTP_FILTER_PREPROC_HEADERS* headers_;
  mutable std::uint32_t id_ = 0;
};

class IsapiRequestHost final : public gate::IRequestHost {
 public:
  explicit IsapiRequestHost(EXTENSION_CONTROL_BLOCK* ecb) : ecb_(ecb) {}

  gate::VariableRead GetServerVariable(std::string_view name,
                                       std::span<char> area) noexcept override;
  std::string_view QueryString() const noexcept override;
  std::string_view AvailableBody() const noexcept override;
  // IIS's other readings of the path (see path_views.h): from "URL" and from the raw URL
  // (UNENCODED_URL, HTTP_URL).
  std::vector<std::string> OtherPathViews() const override;
  void SetStatusCode(std::uint32_t status) noexcept override;
  void SetLogData(std::string_view text) noexcept override;
  bool WriteClient(std::string_view bytes) noexcept override;
  bool SendRedirect(std::string_view location) noexcept override;
  bool ExecuteChild(std::unique_ptr<gate::HandOff>& hand_off,
                    gate::CompletionRoutine done) noexcept override;
  bool GetExecStatus(gate::ExecStatus& status) noexcept override;
  void SetThreadLastError(std::uint32_t code) noexcept override;
  void DoneWithSession(std::uint32_t status) noexcept override;
  gate::IFilterContext* ResolveFilterContext(std::uint32_t id) noexcept override;
  gate::Credential OpenThreadCredential() noexcept override;
  bool RevertToSelf() noexcept override;
  bool Impersonate(const gate::ICredential& credential) noexcept override;
  std::optional<std::u16string> ThreadUserName() override;

 private:
  EXTENSION_CONTROL_BLOCK* ecb_;
  std::optional<IsapiFilterContext> filterContext_;
};

}  // namespace tokengate::isapi
