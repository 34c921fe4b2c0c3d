// The gate's host seam over ISAPI: the extension control block, the filter context and the
// identity of the calling thread.
#pragma once

#include <windows.h>

// The ISAPI declarations need the base types of windows.h.
#include <httpext.h>
#include <httpfilt.h>

#include <cstdint>
#include <optional>

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
namespace context_table {
std::uint32_t Enter(HTTP_FILTER_CONTEXT* pfc) noexcept;
HTTP_FILTER_CONTEXT* Find(std::uint32_t id) noexcept;
void Leave(HTTP_FILTER_CONTEXT* pfc) noexcept;
}  // namespace context_table

class IsapiFilterContext final : public gate::IFilterContext {
 public:
  explicit IsapiFilterContext(HTTP_FILTER_CONTEXT* pfc) : pfc_(pfc) {}
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
