#include "tokengate/gate/context_link.h"

#include <gtest/gtest.h>

#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::TestHost;
using testing::TestRequest;

TEST(ContextId, FormatsEightLowercaseDigitsAndReadsBack) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0x1, "00000001"}, {0xabc, "00000abc"}, {0xDEADBEEF, "deadbeef"}, {0x7fffffff, "7fffffff"}};
  for (const auto& [id, text] : cases) {
    EXPECT_EQ(FormatContextId(id), text);
    EXPECT_EQ(ParseContextId(text), id);
  }
}

TEST(ContextId, ParsesLikeAnUnsignedHexNumber) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"", 0},
      {"   00c0ffee", 0xc0ffee},
      {"\t0x00C0FFEE", 0xc0ffee},
      {"0XaB", 0xab},
      {"1f-rest", 0x1f},
      {"0x", 0},
      {"0xg1", 0},
      {"g1", 0},
      {"-1", 0},
      {"+1", 0},
      {"100000000", 0},  // more than 32 bits names no context
      {"000000000ffffffff", 0xffffffff},
      {"00c0ffee, 12345678", 0xc0ffee},
  };
  for (const auto& [text, id] : cases) {
    EXPECT_EQ(ParseContextId(text), id) << text;
  }
}

TEST(TagRequest, AddsTheContextHeaderAndClearsThePrivatePointer) {
  TestHost host(TestRequest{.headers = {{"Host", "a"}}}, 0xabc);
  EXPECT_EQ(TagRequest(host), kSfStatusReqNextNotification);
  EXPECT_TRUE(host.private_context_cleared);
  ASSERT_EQ(host.headers().size(), 2u);
  EXPECT_EQ(host.headers()[1],
            (std::pair<std::string, std::string>{"TarvexAuth-Context", "00000abc"}));
}

TEST(TagRequest, RefusedHeaderEndsTheRequest) {
  TestHost host(TestRequest{});
  host.fail_add_header = true;
  EXPECT_EQ(TagRequest(host), kSfStatusReqError);
}

TEST(FindFilterContext, ResolvesTheTaggedRequestsOwnContext) {
  TestHost host(TestRequest{}, 0x1234);
  ASSERT_EQ(TagRequest(host), kSfStatusReqNextNotification);
  EXPECT_EQ(FindFilterContext(host, host.Log()), &host.filter);
  EXPECT_TRUE(host.Events().empty());
}

TEST(FindFilterContext, ClientSentHeaderNeverResolves) {
  // The filter did not run: the header comes from the client and names the right id.
  TestHost untagged(TestRequest{.headers = {{"TarvexAuth-Context", "00001234"}}}, 0x1234);
  EXPECT_EQ(FindFilterContext(untagged, untagged.Log()), nullptr);

  // The filter ran, but the client sent its own header first: the first value read is the
  // client's, and it does not name this request's context.
  TestHost tagged(TestRequest{.headers = {{"TarvexAuth-Context", "0badf00d"}}}, 0x1234);
  TagRequest(tagged);
  EXPECT_EQ(FindFilterContext(tagged, tagged.Log()), nullptr);
}

TEST(FindFilterContext, MissingOrUnreadableHeaderGivesNone) {
  TestHost missing(TestRequest{});
  EXPECT_EQ(FindFilterContext(missing, missing.Log()), nullptr);
  ASSERT_EQ(missing.Events().size(), 1u);  // the reader's warning only
  EXPECT_EQ(missing.Events()[0].text,
            u"HTTP_TARVEXAUTH_CONTEXT could not be obtained from request 1413");

  TestHost unreadable(TestRequest{}, 0x77);
  TagRequest(unreadable);
  unreadable.FailVariable("HTTP_TARVEXAUTH_CONTEXT", VariableError::Other, 31);
  EXPECT_EQ(FindFilterContext(unreadable, unreadable.Log()), nullptr);
  EXPECT_EQ(unreadable.Events().size(), 1u);
}

TEST(FindFilterContext, LeadingBlanksAndPrefixReadBack) {
  TestHost host(TestRequest{}, 0xc0ffee);
  TagRequest(host);
  host.SetVariable("HTTP_TARVEXAUTH_CONTEXT", "  0x00c0ffee");
  EXPECT_EQ(FindFilterContext(host, host.Log()), &host.filter);
}

}  // namespace
}  // namespace tokengate::gate
