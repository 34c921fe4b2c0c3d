#include "tokengate/gate/hand_off.h"

#include <optional>

#include "tokengate/gate/response_pages.h"

namespace tokengate::gate {

namespace {

std::uint32_t Execute(IRequestHost& host, std::unique_ptr<HandOff> hand_off) {
  // On refusal `hand_off` stays here and is destroyed on return, closing any credential in it.
  return host.ExecuteChild(hand_off, &CompleteHandOff) ? kHseStatusPending : kHseStatusError;
}

std::uint32_t Refuse(IRequestHost& host, const GateSettings& settings, const GateEventLog& log,
                     std::u16string_view message) {
  log.Report(EventType::Error, message);
  return ErrorResponse(host, settings, log, message);
}

}  // namespace

std::uint32_t PassOnUnchanged(IRequestHost& host) {
  auto hand_off = std::make_unique<HandOff>();
  hand_off->kind = HandOffKind::Unchanged;
  hand_off->flags = kExecUrlIgnoreCurrentInterceptor;
  return Execute(host, std::move(hand_off));
}

std::uint32_t PassOnWithHeaders(IRequestHost& host, std::string child_headers) {
  auto hand_off = std::make_unique<HandOff>();
  hand_off->kind = HandOffKind::WithHeaders;
  hand_off->flags = 0;
  hand_off->child_headers = std::move(child_headers);
  return Execute(host, std::move(hand_off));
}

std::uint32_t PassOnImpersonated(IRequestHost& host, const GateSettings& settings,
                                 const GateEventLog& log, Credential user_token,
                                 std::string child_headers) {
  if (!user_token) {
    return Refuse(host, settings, log, kCannotImpersonate);
  }
  const Credential saved = host.OpenThreadCredential();
  if (!saved) {
    return Refuse(host, settings, log, kNoThreadToken);
  }
  if (!host.Impersonate(*user_token)) {
    return Refuse(host, settings, log, kCannotImpersonate);
  }
  std::optional<std::u16string> user_name;
  try {
    user_name = host.ThreadUserName();
  } catch (...) {
    user_name.reset();
  }
  if (!host.Impersonate(*saved)) {
    // The thread must not go on running as the user.
    host.RevertToSelf();
    return Refuse(host, settings, log, kCannotRestoreIdentity);
  }
  if (!user_name) {
    return Refuse(host, settings, log, kCannotImpersonate);
  }
  auto hand_off = std::make_unique<HandOff>();
  hand_off->kind = HandOffKind::Impersonated;
  hand_off->flags = kExecUrlIgnoreCurrentInterceptor;
  hand_off->child_headers = std::move(child_headers);
  hand_off->user_token = std::move(user_token);
  hand_off->user_name = std::move(*user_name);
  hand_off->auth_type = kImpersonatedAuthType;
  return Execute(host, std::move(hand_off));
}

void CompleteHandOff(IRequestHost& host, std::unique_ptr<HandOff> hand_off) noexcept {
  if (hand_off) {
    hand_off->user_token.reset();
  }
  hand_off.reset();
  ExecStatus status;
  if (host.GetExecStatus(status)) {
    host.SetStatusCode(status.http_status);
    host.SetThreadLastError(status.win32_error);
  }
  host.DoneWithSession(kHseStatusSuccess);
}

}  // namespace tokengate::gate
