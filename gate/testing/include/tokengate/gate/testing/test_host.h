// An in-memory web server for tests: a request described as data, every host operation with
// failure injection, and an outcome that can be inspected after the gate has answered.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tokengate/gate/gate_event_log.h"
#include "tokengate/gate/request_host.h"

namespace tokengate::gate::testing {

struct TestRequest {
  std::string method = "GET";
  std::string url = "/";  // the "URL" variable: path without query
  std::string query{};    // without "?"
  std::vector<std::pair<std::string, std::string>> headers{};  // in request order
  std::string body{};
  bool https = false;
  std::string host = "app.example.test";        // "HTTP_HOST"
  std::optional<std::string> path_info{};       // "PATH_INFO"; the URL when unset
  std::vector<std::string> other_path_views{};  // further readings of the path (OtherPathViews)
};

// A credential of the test host's identity model: an account name and a shared close counter.
class TestCredential final : public ICredential {
 public:
  TestCredential(std::u16string account, std::shared_ptr<int> closes)
      : account_(std::move(account)), closes_(std::move(closes)) {}
  ~TestCredential() override { ++*closes_; }
  TestCredential(const TestCredential&) = delete;
  TestCredential& operator=(const TestCredential&) = delete;
  std::uintptr_t NativeHandle() const noexcept override {
    return reinterpret_cast<std::uintptr_t>(this);
  }
  const std::u16string& Account() const { return account_; }

 private:
  std::u16string account_;
  std::shared_ptr<int> closes_;
};

// A credential for `account` whose destructions are counted in `*closes`.
Credential MakeTestCredential(std::u16string account, std::shared_ptr<int> closes);

struct HandOffRecord {
  HandOffKind kind = HandOffKind::Unchanged;
  std::uint32_t flags = 0;
  std::string child_headers;
  bool has_user_token = false;
  std::u16string user_token_account;
  std::u16string user_name;
  std::string auth_type;
};

class TestFilterContext final : public IFilterContext {
 public:
  bool AddResponseHeaders(std::string_view line) noexcept override;
  bool refuse = false;
  std::vector<std::string> lines;  // accepted lines, each with its CR LF
};

class TestHost final : public IRequestHost, public IFilterNotification {
 public:
  explicit TestHost(TestRequest request, std::uint32_t context_id = 0x00c0ffee);

  // Events written by the gate through Log(), in order.
  const GateEventLog& Log() const { return log_; }
  std::vector<CapturingEventSink::Event> Events() const { return sink_->Events(); }

  // --- failure injection ---
  // Reads of `name` from the `from_read`-th one on (1-based) fail with `error` and `code`.
  void FailVariable(const std::string& name, VariableError error, std::uint32_t code,
                    int from_read = 1);
  // Replaces (or adds) the value a variable reads as.
  void SetVariable(const std::string& name, std::string value);
  bool refuse_hand_off = false;
  bool fail_exec_status = false;
  bool fail_add_header = false;
  bool fail_write_client = false;
  bool fail_send_redirect = false;
  bool fail_open_thread = false;
  bool fail_revert = false;
  bool fail_user_name = false;
  std::set<std::u16string> refuse_impersonation_of;  // accounts Impersonate refuses
  TestFilterContext filter;                          // filter.refuse fails AddResponseHeaders

  // --- identity model ---
  std::u16string process_account = u"LocalSystem";
  std::u16string thread_account = u"IUSR";  // the identity the server runs the request under
  std::shared_ptr<int> thread_credential_closes = std::make_shared<int>(0);

  // --- outcome ---
  std::optional<std::uint32_t> status_code;
  std::string log_data;
  std::string page;  // every WriteClient, concatenated
  std::vector<std::string> redirects;
  // SendResponse: the extra header lines and the content type (status_code and page hold the
  // rest); refuse_send_response makes the host unable to send one.
  std::string response_headers;
  std::string content_type;
  bool refuse_send_response = false;
  int hand_off_attempts = 0;
  std::optional<HandOffRecord> accepted;  // the hand-off the host accepted
  std::optional<std::uint32_t> last_error;
  std::vector<std::uint32_t> done_with_session;
  std::vector<std::pair<std::string, std::size_t>> variable_reads;  // name, area size
  std::vector<std::pair<std::string, std::string>> headers() const { return request_.headers; }
  bool Pending() const { return pending_ != nullptr; }
  // Runs the completion step of the accepted hand-off as the server would when the child ends.
  bool FinishChild(std::uint32_t http_status, std::uint32_t win32_error = 0);

  // --- IRequestHost ---
  VariableRead GetServerVariable(std::string_view name, std::span<char> area) noexcept override;
  std::string_view QueryString() const noexcept override { return request_.query; }
  std::string_view AvailableBody() const noexcept override { return request_.body; }
  std::vector<std::string> OtherPathViews() const override { return request_.other_path_views; }
  void SetStatusCode(std::uint32_t status) noexcept override { status_code = status; }
  void SetLogData(std::string_view text) noexcept override { log_data = text; }
  bool WriteClient(std::string_view bytes) noexcept override;
  bool SendRedirect(std::string_view location) noexcept override;
  bool SendResponse(std::uint32_t status, std::string_view headers, std::string_view content_type,
                    std::string_view body) noexcept override;
  bool ExecuteChild(std::unique_ptr<HandOff>& hand_off, CompletionRoutine done) noexcept override;
  bool GetExecStatus(ExecStatus& status) noexcept override;
  void SetThreadLastError(std::uint32_t code) noexcept override { last_error = code; }
  void DoneWithSession(std::uint32_t status) noexcept override {
    done_with_session.push_back(status);
  }
  IFilterContext* ResolveFilterContext(std::uint32_t id) noexcept override;
  Credential OpenThreadCredential() noexcept override;
  bool RevertToSelf() noexcept override;
  bool Impersonate(const ICredential& credential) noexcept override;
  std::optional<std::u16string> ThreadUserName() override;

  // --- IFilterNotification ---
  void ClearPrivateContext() noexcept override { private_context_cleared = true; }
  std::uint32_t ContextId() const noexcept override { return context_id_; }
  bool AddHeader(std::string_view name, std::string_view value) noexcept override;
  bool private_context_cleared = false;

 private:
  std::optional<std::string> VariableValue(const std::string& name) const;

  TestRequest request_;
  std::uint32_t context_id_;
  bool tagged_ = false;
  std::shared_ptr<CapturingEventSink> sink_ = std::make_shared<CapturingEventSink>();
  GateEventLog log_{sink_};
  struct Failure {
    VariableError error;
    std::uint32_t code;
    int from_read;
  };
  std::map<std::string, Failure> failures_;
  std::map<std::string, std::string> overrides_;
  std::map<std::string, int> read_counts_;
  std::unique_ptr<HandOff> pending_;
  CompletionRoutine completion_ = nullptr;
  ExecStatus child_status_;
};

}  // namespace tokengate::gate::testing
