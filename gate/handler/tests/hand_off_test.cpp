#include "tokengate/gate/hand_off.h"

#include <gtest/gtest.h>

#include "tokengate/gate/response_pages.h"
#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::MakeTestCredential;
using testing::TestHost;
using testing::TestRequest;

// One hand-off of each kind, started on `host`; `user_closes` counts the user credential's closes.
std::uint32_t Start(HandOffKind kind, TestHost& host, const std::shared_ptr<int>& user_closes) {
  switch (kind) {
    case HandOffKind::Unchanged:
      return PassOnUnchanged(host);
    case HandOffKind::WithHeaders:
      return PassOnWithHeaders(host, "Host: h\r\nP-uid: alice\r\n");
    case HandOffKind::Impersonated:
      return PassOnImpersonated(host, GateSettings{}, host.Log(),
                                MakeTestCredential(u"alice", user_closes),
                                "Host: h\r\nP-uid: alice\r\n");
  }
  return 0;
}

TEST(HandOff, AcceptedKindsAndTheirCompletion) {
  struct Case {
    HandOffKind kind;
    std::uint32_t flags;
    std::string headers;
    std::u16string user_name;
    std::string auth_type;
  };
  const Case cases[] = {
      {HandOffKind::Unchanged, 4, "", u"", ""},
      {HandOffKind::WithHeaders, 0, "Host: h\r\nP-uid: alice\r\n", u"", ""},
      {HandOffKind::Impersonated, 4, "Host: h\r\nP-uid: alice\r\n", u"alice", "Corvane Tessera"},
  };
  for (const Case& c : cases) {
    TestHost host(TestRequest{});
    auto user_closes = std::make_shared<int>(0);
    EXPECT_EQ(Start(c.kind, host, user_closes), 3u);
    ASSERT_TRUE(host.accepted.has_value());
    EXPECT_EQ(host.accepted->kind, c.kind);
    EXPECT_EQ(host.accepted->flags, c.flags);
    EXPECT_EQ(host.accepted->child_headers, c.headers);
    EXPECT_EQ(host.accepted->user_name, c.user_name);
    EXPECT_EQ(host.accepted->auth_type, c.auth_type);
    EXPECT_EQ(host.accepted->has_user_token, c.kind == HandOffKind::Impersonated);
    EXPECT_EQ(host.thread_account, u"IUSR");  // the thread's identity is back
    EXPECT_EQ(*user_closes, 0);               // the credential lives until completion
    EXPECT_TRUE(host.done_with_session.empty());

    ASSERT_TRUE(host.FinishChild(404, 2));
    EXPECT_EQ(host.status_code, 404u);
    EXPECT_EQ(host.last_error, 2u);
    EXPECT_EQ(host.done_with_session, std::vector<std::uint32_t>{1});
    EXPECT_EQ(*user_closes, c.kind == HandOffKind::Impersonated ? 1 : 0);
    EXPECT_FALSE(host.FinishChild(200));  // exactly one completion per hand-off
    EXPECT_TRUE(host.Events().empty());
  }
}

TEST(HandOff, RefusedHandOffReturnsErrorAndIsNeverCompleted) {
  for (HandOffKind kind :
       {HandOffKind::Unchanged, HandOffKind::WithHeaders, HandOffKind::Impersonated}) {
    TestHost host(TestRequest{});
    host.refuse_hand_off = true;
    auto user_closes = std::make_shared<int>(0);
    EXPECT_EQ(Start(kind, host, user_closes), 4u);
    EXPECT_EQ(host.hand_off_attempts, 1);
    EXPECT_FALSE(host.Pending());
    EXPECT_FALSE(host.FinishChild(200));
    EXPECT_TRUE(host.done_with_session.empty());
    EXPECT_EQ(*user_closes, kind == HandOffKind::Impersonated ? 1 : 0);
    EXPECT_FALSE(host.status_code.has_value());
  }
}

TEST(HandOff, UnavailableChildStatusLeavesTheStatusAlone) {
  TestHost host(TestRequest{});
  host.fail_exec_status = true;
  ASSERT_EQ(PassOnUnchanged(host), 3u);
  ASSERT_TRUE(host.FinishChild(500, 9));
  EXPECT_FALSE(host.status_code.has_value());
  EXPECT_FALSE(host.last_error.has_value());
  EXPECT_EQ(host.done_with_session, std::vector<std::uint32_t>{1});
}

TEST(PassOnImpersonated, FailedIdentityStepsAreAnsweredAndCloseEverything) {
  struct Case {
    const char* what;
    void (*inject)(TestHost&);
    std::u16string message;
    std::u16string thread_after;
    int thread_closes;
  };
  const Case cases[] = {
      {"thread token", [](TestHost& h) { h.fail_open_thread = true; },
       u"Unable to get thread token", u"IUSR", 0},
      {"impersonation", [](TestHost& h) { h.refuse_impersonation_of.insert(u"alice"); },
       u"Unable to set impersonation token", u"IUSR", 1},
      {"user name", [](TestHost& h) { h.fail_user_name = true; },
       u"Unable to set impersonation token", u"IUSR", 1},
      {"identity not put back", [](TestHost& h) { h.refuse_impersonation_of.insert(u"IUSR"); },
       u"Unable to revert to original thread token", u"LocalSystem", 1},
  };
  for (const Case& c : cases) {
    TestHost host(TestRequest{});
    c.inject(host);
    auto user_closes = std::make_shared<int>(0);
    EXPECT_EQ(PassOnImpersonated(host, GateSettings{}, host.Log(),
                                 MakeTestCredential(u"alice", user_closes), "Host: h\r\n"),
              4u)
        << c.what;
    EXPECT_EQ(host.hand_off_attempts, 0) << c.what;
    EXPECT_EQ(*user_closes, 1) << c.what;
    EXPECT_EQ(*host.thread_credential_closes, c.thread_closes) << c.what;
    EXPECT_EQ(host.thread_account, c.thread_after) << c.what;
    ASSERT_EQ(host.Events().size(), 1u) << c.what;
    EXPECT_EQ(host.Events()[0].type, EventType::Error);
    EXPECT_EQ(host.Events()[0].text, c.message);
    EXPECT_EQ(host.status_code, 500u);
    const std::string message(c.message.begin(), c.message.end());
    EXPECT_EQ(host.page, BuildErrorPage(message)) << c.what;
  }
}

TEST(PassOnImpersonated, SavedThreadCredentialIsClosedBeforeTheChildRuns) {
  TestHost host(TestRequest{});
  auto user_closes = std::make_shared<int>(0);
  ASSERT_EQ(PassOnImpersonated(host, GateSettings{}, host.Log(),
                               MakeTestCredential(u"alice", user_closes), ""),
            3u);
  EXPECT_EQ(*host.thread_credential_closes, 1);
  EXPECT_EQ(host.accepted->user_token_account, u"alice");
}

}  // namespace
}  // namespace tokengate::gate
