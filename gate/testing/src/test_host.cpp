#include "tokengate/gate/testing/test_host.h"

#include <algorithm>
#include <cstring>

namespace tokengate::gate::testing {

namespace {
// "Accept-Language" -> "HTTP_ACCEPT_LANGUAGE", as servers name header variables.
std::string HeaderVariableName(std::string_view header) {
  std::string out = "HTTP_";
  for (char c : header) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c == '-') {
      c = '_';
    }
    out.push_back(c);
  }
  return out;
}
}  // namespace

Credential MakeTestCredential(std::u16string account, std::shared_ptr<int> closes) {
  return std::make_unique<TestCredential>(std::move(account), std::move(closes));
}

bool TestFilterContext::AddResponseHeaders(std::string_view line) noexcept {
  if (refuse) {
    return false;
  }
  lines.emplace_back(line);
  return true;
}

TestHost::TestHost(TestRequest request, std::uint32_t context_id)
    : request_(std::move(request)), context_id_(context_id) {}

void TestHost::FailVariable(const std::string& name, VariableError error, std::uint32_t code,
                            int from_read) {
  failures_[name] = Failure{error, code, from_read};
}

void TestHost::SetVariable(const std::string& name, std::string value) {
  overrides_[name] = std::move(value);
}

std::optional<std::string> TestHost::VariableValue(const std::string& name) const {
  if (auto it = overrides_.find(name); it != overrides_.end()) {
    return it->second;
  }
  if (name == "URL") {
    return request_.url;
  }
  if (name == "QUERY_STRING") {
    return request_.query;
  }
  if (name == "HTTPS") {
    return request_.https ? "on" : "off";
  }
  if (name == "HTTP_HOST") {
    return request_.host;
  }
  if (name == "PATH_INFO") {
    return request_.path_info.value_or(request_.url);
  }
  if (name == "REQUEST_METHOD") {
    return request_.method;
  }
  if (name == "ALL_RAW") {
    std::string raw;
    for (const auto& [header, value] : request_.headers) {
      raw += header + ": " + value + "\r\n";
    }
    return raw;
  }
  const std::string wanted = name == "HEADER_COOKIE" ? "HTTP_COOKIE" : name;
  std::optional<std::string> joined;
  for (const auto& [header, value] : request_.headers) {
    if (HeaderVariableName(header) == wanted) {
      joined = joined ? *joined + ", " + value : value;
    }
  }
  return joined;
}

VariableRead TestHost::GetServerVariable(std::string_view name, std::span<char> area) noexcept {
  const std::string key(name);
  variable_reads.emplace_back(key, area.size());
  const int count = ++read_counts_[key];
  if (auto it = failures_.find(key); it != failures_.end() && count >= it->second.from_read) {
    return VariableRead{it->second.error, 0, it->second.code};
  }
  const std::optional<std::string> value = VariableValue(key);
  if (!value) {
    return VariableRead{VariableError::InvalidIndex, 0, kErrorInvalidIndex};
  }
  const std::size_t needed = value->size() + 1;
  if (needed > area.size()) {
    return VariableRead{VariableError::InsufficientBuffer, needed, kErrorInsufficientBuffer};
  }
  std::memcpy(area.data(), value->data(), value->size());
  area[value->size()] = '\0';
  return VariableRead{VariableError::None, needed, 0};
}

bool TestHost::WriteClient(std::string_view bytes) noexcept {
  if (fail_write_client) {
    return false;
  }
  page.append(bytes);
  return true;
}

bool TestHost::SendResponse(std::uint32_t status, std::string_view headers, std::string_view type,
                            std::string_view body) noexcept {
  if (refuse_send_response) {
    return false;
  }
  status_code = status;
  response_headers = headers;
  content_type = type;
  page.append(body);
  return true;
}

bool TestHost::SendRedirect(std::string_view location) noexcept {
  if (fail_send_redirect) {
    return false;
  }
  redirects.emplace_back(location);
  return true;
}

bool TestHost::ExecuteChild(std::unique_ptr<HandOff>& hand_off, CompletionRoutine done) noexcept {
  ++hand_off_attempts;
  if (refuse_hand_off || !hand_off || pending_) {
    return false;
  }
  HandOffRecord record;
  record.kind = hand_off->kind;
  record.flags = hand_off->flags;
  record.child_headers = hand_off->child_headers;
  record.has_user_token = hand_off->user_token != nullptr;
  if (const auto* credential = dynamic_cast<const TestCredential*>(hand_off->user_token.get())) {
    record.user_token_account = credential->Account();
  }
  record.user_name = hand_off->user_name;
  record.auth_type = hand_off->auth_type;
  accepted = std::move(record);
  pending_ = std::move(hand_off);
  completion_ = done;
  return true;
}

bool TestHost::FinishChild(std::uint32_t http_status, std::uint32_t win32_error) {
  if (!pending_ || completion_ == nullptr) {
    return false;
  }
  child_status_ = ExecStatus{http_status, win32_error};
  CompletionRoutine done = completion_;
  completion_ = nullptr;
  done(*this, std::move(pending_));
  return true;
}

bool TestHost::GetExecStatus(ExecStatus& status) noexcept {
  if (fail_exec_status) {
    return false;
  }
  status = child_status_;
  return true;
}

IFilterContext* TestHost::ResolveFilterContext(std::uint32_t id) noexcept {
  return tagged_ && id != 0 && id == context_id_ ? &filter : nullptr;
}

Credential TestHost::OpenThreadCredential() noexcept {
  if (fail_open_thread) {
    return nullptr;
  }
  return MakeTestCredential(thread_account, thread_credential_closes);
}

bool TestHost::RevertToSelf() noexcept {
  if (fail_revert) {
    return false;
  }
  thread_account = process_account;
  return true;
}

bool TestHost::Impersonate(const ICredential& credential) noexcept {
  const auto* test_credential = dynamic_cast<const TestCredential*>(&credential);
  if (test_credential == nullptr || refuse_impersonation_of.contains(test_credential->Account())) {
    return false;
  }
  thread_account = test_credential->Account();
  return true;
}

std::optional<std::u16string> TestHost::ThreadUserName() {
  if (fail_user_name) {
    return std::nullopt;
  }
  return thread_account;
}

bool TestHost::AddHeader(std::string_view name, std::string_view value) noexcept {
  if (fail_add_header) {
    return false;
  }
  std::string header(name);
  if (!header.empty() && header.back() == ':') {
    header.pop_back();
  }
  request_.headers.emplace_back(std::move(header), std::string(value));
  tagged_ = true;
  return true;
}

}  // namespace tokengate::gate::testing
