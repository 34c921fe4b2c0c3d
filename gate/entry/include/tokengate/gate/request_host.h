// The web server as the gate sees it during one request. Every web server the gate runs in
// (IIS through ISAPI, Apache httpd, the in-memory test host) implements these interfaces; the
// gate's request code uses nothing else of the server. The interfaces carry no OS types: handles
// and credentials are wrapped by the platform layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tokengate::gate {

// Status values returned to the web server.
inline constexpr std::uint32_t kHseStatusSuccess = 1;
inline constexpr std::uint32_t kHseStatusPending = 3;
inline constexpr std::uint32_t kHseStatusError = 4;
inline constexpr std::uint32_t kSfStatusReqNextNotification = 0x08000002;
inline constexpr std::uint32_t kSfStatusReqError = 0x08000004;

// Execute flags of a child request.
inline constexpr std::uint32_t kExecUrlIgnoreCurrentInterceptor = 4;

// Fixed work areas: server variable values, request bodies, pages, header lines, child header
// blocks and redirect targets each hold at most this many bytes, the terminating NUL included.
inline constexpr std::size_t kWorkAreaBytes = 50000;
// The first read of the cookie header uses a small area; a larger value is read again.
inline constexpr std::size_t kCookieFirstReadBytes = 512;
// The per-request log field holds 80 bytes with its terminator.
inline constexpr std::size_t kLogFieldBytes = 80;

// Error codes a server variable read reports (the Win32 values, also used by other hosts).
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorNoData = 232;
inline constexpr std::uint32_t kErrorInvalidIndex = 1413;

enum class VariableError : std::uint8_t {
  None,
  InsufficientBuffer,  // `size` then holds the bytes needed, terminator included
  InvalidParameter,
  NoData,
  InvalidIndex,
  Other,
};

struct VariableRead {
  VariableError error = VariableError::None;
  // On success: bytes written into the area, terminating NUL included. On InsufficientBuffer:
  // the bytes the value needs, terminator included.
  std::size_t size = 0;
  // The host's error code, written into the warning event of a failed read.
  std::uint32_t code = 0;
};

// An operating-system identity (a Windows access token, a Kerberos credential cache on Linux).
// The owner closes it exactly once by destroying it.
class ICredential {
 public:
  virtual ~ICredential() = default;
  // The platform handle, for the host implementation that hands it to the web server.
  virtual std::uintptr_t NativeHandle() const noexcept = 0;
};
using Credential = std::unique_ptr<ICredential>;

// The filter role's per-request context: the only route to the response headers of a request
// that is handed on as a child request.
class IFilterContext {
 public:
  virtual ~IFilterContext() = default;
  // Adds one complete header line (name, value and CR LF). False when the server refused it.
  virtual bool AddResponseHeaders(std::string_view line) noexcept = 0;
};

// The filter role's view of a request whose headers have just been read.
class IFilterNotification {
 public:
  virtual ~IFilterNotification() = default;
  // Clears the server's per-request private pointer of the filter.
  virtual void ClearPrivateContext() noexcept = 0;
  // The non-zero identifier of this request's filter context. The host must be able to resolve it
  // back (IRequestHost::ResolveFilterContext) for this same request only.
  virtual std::uint32_t ContextId() const noexcept = 0;
  // Adds a request header (never replaces one of the same name). `name` ends with ":".
  virtual bool AddHeader(std::string_view name, std::string_view value) noexcept = 0;
};

enum class HandOffKind : std::uint8_t { Unchanged, WithHeaders, Impersonated };

// One execute request for a child request, owned by the gate until the host accepts it and then by
// the host until the completion step, which destroys it. Destroying it closes the user credential.
struct HandOff {
  HandOffKind kind = HandOffKind::Unchanged;
  std::uint32_t flags = 0;
  // Single-byte header text for the child request, NUL-free; empty for an unchanged hand-off.
  std::string child_headers;
  // Impersonated hand-off only: the user's credential, the account name and the auth type.
  Credential user_token;
  std::u16string user_name;
  std::string auth_type;
};

struct ExecStatus {
  std::uint32_t http_status = 0;
  std::uint32_t win32_error = 0;
};

class IRequestHost;
// The gate's completion step; the host calls it once for every accepted hand-off.
using CompletionRoutine = void (*)(IRequestHost& host, std::unique_ptr<HandOff> hand_off) noexcept;

// The extension role's view of one request. Methods are called on the request's worker thread,
// except the completion-related ones, which may run on the thread that completes the child.
class IRequestHost {
 public:
  virtual ~IRequestHost() = default;

  // --- request values ---
  // Reads the variable `name` (ANSI) into `area`, NUL-terminated.
  virtual VariableRead GetServerVariable(std::string_view name, std::span<char> area) noexcept = 0;
  // The query string without "?", in the system code page.
  virtual std::string_view QueryString() const noexcept = 0;
  // The part of the request body the server has already received.
  virtual std::string_view AvailableBody() const noexcept = 0;
  // Further readings of the request path, besides the "URL" variable, that the server or a
  // backend behind it may act on (ANSI, like "URL"; no query). Where the server maps a request by
  // one reading and a backend may read another, the gate's decision must hold for both: a request
  // is protected when any reading is, and exempt (error page, reload, cancel) only when every
  // reading is. Empty when the server has a single reading.
  virtual std::vector<std::string> OtherPathViews() const { return {}; }

  // --- response ---
  virtual void SetStatusCode(std::uint32_t status) noexcept = 0;
  // Sets the per-request log text; the caller never passes more than 79 bytes.
  virtual void SetLogData(std::string_view text) noexcept = 0;
  // Writes response bytes synchronously. The gate sends no headers of its own with a page.
  virtual bool WriteClient(std::string_view bytes) noexcept = 0;
  // Sends a redirect to `location` (single-byte, no CR, LF or NUL).
  virtual bool SendRedirect(std::string_view location) noexcept = 0;
  // Answers with `status`, the extra header lines `headers` ("Name: value\r\n" each, free of
  // other control characters) and `body` of type `content_type`. False when the server cannot
  // send such a response (the caller then answers as it would have otherwise).
  virtual bool SendResponse(std::uint32_t status, std::string_view headers,
                            std::string_view content_type, std::string_view body) noexcept {
    (void)status, (void)headers, (void)content_type, (void)body;
    return false;
  }

  // --- hand-off ---
  // Registers `done` as the completion step and asks the server to run the child request. On
  // acceptance the host takes `hand_off` (it is null afterwards), keeps it until the child has
  // finished and then calls `done` exactly once with it. On refusal `hand_off` is left with the
  // caller and `done` is never called.
  virtual bool ExecuteChild(std::unique_ptr<HandOff>& hand_off,
                            CompletionRoutine done) noexcept = 0;
  // From the completion step: the finished child's status.
  virtual bool GetExecStatus(ExecStatus& status) noexcept = 0;
  virtual void SetThreadLastError(std::uint32_t code) noexcept = 0;
  virtual void DoneWithSession(std::uint32_t status) noexcept = 0;

  // --- context link ---
  // The filter context named by `id` if, and only if, it is this request's own live context.
  virtual IFilterContext* ResolveFilterContext(std::uint32_t id) noexcept = 0;

  // --- thread identity (integrated Windows authentication route) ---
  // The identity the calling thread currently runs under, opened to query, impersonate and
  // duplicate; null on failure.
  virtual Credential OpenThreadCredential() noexcept = 0;
  // Makes the calling thread run as the process again.
  virtual bool RevertToSelf() noexcept = 0;
  // Makes the calling thread run as `credential`.
  virtual bool Impersonate(const ICredential& credential) noexcept = 0;
  // The account name of the identity the calling thread runs under; nullopt on failure.
  virtual std::optional<std::u16string> ThreadUserName() = 0;
};

}  // namespace tokengate::gate
