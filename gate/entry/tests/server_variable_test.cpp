#include "tokengate/gate/server_variable.h"

#include <gtest/gtest.h>

#include <thread>

#include "tokengate/gate/testing/test_host.h"

namespace tokengate::gate {
namespace {

using testing::TestHost;
using testing::TestRequest;

TEST(ReadServerVariable, ReturnsValueAsUtf16) {
  TestHost host(TestRequest{.url = "/caf\xc3\xa9/x"});
  EXPECT_EQ(ReadServerVariable(host, host.Log(), "URL"), u"/caf\u00e9/x");
  EXPECT_TRUE(host.Events().empty());
  ASSERT_EQ(host.variable_reads.size(), 1u);
  EXPECT_EQ(host.variable_reads[0].second, kWorkAreaBytes);
}

TEST(ReadServerVariable, ValueStopsAtEmbeddedNul) {
  TestHost host(TestRequest{});
  host.SetVariable("URL", std::string("/a\0b", 4));
  EXPECT_EQ(ReadServerVariable(host, host.Log(), "URL"), u"/a");
}

TEST(ReadServerVariable, FailedReadsGiveEmptyValueAndOneWarning) {
  struct Case {
    VariableError error;
    std::uint32_t code;
    const char16_t* text;
  };
  const Case cases[] = {
      {VariableError::InvalidIndex, kErrorInvalidIndex,
       u"ALL_RAW could not be obtained from request 1413"},
      {VariableError::NoData, kErrorNoData, u"ALL_RAW could not be obtained from request 232"},
      {VariableError::InvalidParameter, kErrorInvalidParameter,
       u"ALL_RAW could not be obtained from request 87"},
      {VariableError::Other, 5, u"ALL_RAW could not be obtained from request 5"},
  };
  for (const Case& c : cases) {
    TestHost host(TestRequest{.headers = {{"Host", "x"}}});
    host.FailVariable("ALL_RAW", c.error, c.code);
    EXPECT_EQ(ReadServerVariable(host, host.Log(), "ALL_RAW"), u"");
    ASSERT_EQ(host.Events().size(), 1u);
    EXPECT_EQ(host.Events()[0].type, EventType::Warning);
    EXPECT_EQ(host.Events()[0].text, c.text);
    // The byte read fails the same way, with the same warning.
    EXPECT_EQ(TryReadServerVariableBytes(host, host.Log(), "ALL_RAW"), std::nullopt);
    ASSERT_EQ(host.Events().size(), 2u);
    EXPECT_EQ(host.Events()[1].type, EventType::Warning);
    EXPECT_EQ(host.Events()[1].text, c.text);
  }
}

TEST(TryReadServerVariableBytes, GivesTheBytesAsWrittenUpToTheFirstNul) {
  TestHost host(TestRequest{.url = "/caf\xc3\xa9/\xff"});
  EXPECT_EQ(TryReadServerVariableBytes(host, host.Log(), "URL"), "/caf\xc3\xa9/\xff");
  host.SetVariable("URL", std::string("/a\0b", 4));
  EXPECT_EQ(TryReadServerVariableBytes(host, host.Log(), "URL"), "/a");
  host.SetVariable("URL", "");
  EXPECT_EQ(TryReadServerVariableBytes(host, host.Log(), "URL"), "");
  EXPECT_TRUE(host.Events().empty());
}

TEST(ReadServerVariable, ValueLargerThanTheAreaIsRefusedNotCut) {
  TestHost host(TestRequest{});
  host.SetVariable("ALL_RAW", std::string(kWorkAreaBytes, 'a'));  // needs one byte more
  EXPECT_EQ(ReadServerVariable(host, host.Log(), "ALL_RAW"), u"");
  ASSERT_EQ(host.Events().size(), 1u);
  EXPECT_EQ(host.Events()[0].text, u"ALL_RAW could not be obtained from request 122");

  TestHost fits(TestRequest{});
  fits.SetVariable("ALL_RAW", std::string(kWorkAreaBytes - 1, 'a'));
  EXPECT_EQ(ReadServerVariable(fits, fits.Log(), "ALL_RAW").size(), kWorkAreaBytes - 1);
}

TEST(ReadServerVariable, EachReadSeesOnlyItsOwnValue) {
  // The reading area is the thread's own and reused, never cleared: a short value read after a
  // long one, or after one of another request, is that value and nothing of the earlier one.
  TestHost first(TestRequest{});
  first.SetVariable("ALL_RAW", std::string(kWorkAreaBytes - 1, 'a'));
  ASSERT_EQ(ReadServerVariable(first, first.Log(), "ALL_RAW").size(), kWorkAreaBytes - 1);
  TestHost second(TestRequest{.url = "/b"});
  EXPECT_EQ(ReadServerVariable(second, second.Log(), "URL"), u"/b");
  second.SetVariable("QUERY_STRING", "");
  EXPECT_EQ(ReadServerVariable(second, second.Log(), "QUERY_STRING"), u"");
  EXPECT_EQ(ThreadReadingArea().size(), kWorkAreaBytes);
  // Another thread has an area of its own.
  const char* mine = ThreadReadingArea().data();
  const char* theirs = nullptr;
  std::thread([&] { theirs = ThreadReadingArea().data(); }).join();
  EXPECT_NE(mine, theirs);
}

}  // namespace
}  // namespace tokengate::gate
