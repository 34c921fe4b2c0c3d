#include <gtest/gtest.h>

#include <vector>

#include "tokengate/platform/kerberos_transfer.h"

namespace tokengate::platform {
namespace {

using Outcome = broker::IHandleTransfer::Outcome;

std::vector<std::intptr_t> g_closed;
void RecordClose(std::intptr_t value) noexcept {
  g_closed.push_back(value);
}

struct TransferCase {
  const char* name;
  std::optional<std::int32_t> callerPid;
  std::int32_t childPid;
  bool attachSucceeds;
  Outcome expected;
  bool attached;
};

class DescriptorTransfer : public ::testing::TestWithParam<TransferCase> {};

TEST_P(DescriptorTransfer, SendsOnlyToTheAuthenticatedCallerAndKeepsNoCopy) {
  const TransferCase& c = GetParam();
  g_closed.clear();
  std::vector<int> attached;
  DescriptorTransferHooks hooks;
  hooks.callerProcessId = [&c] { return c.callerPid; };
  hooks.attachToReply = [&](UniqueFd fd) {
    attached.push_back(fd.release());  // the transport now owns it
    return c.attachSucceeds;
  };
  auto transfer = CreateDescriptorHandleTransfer(std::move(hooks));
  // A value no real descriptor has, so nothing is closed by accident.
  const auto result =
      transfer->Transfer(broker::OwnedCredential(1000123, &RecordClose), c.childPid);
  EXPECT_EQ(result.outcome, c.expected);
  EXPECT_EQ(result.value != -1, c.expected == Outcome::Transferred);
  if (c.attached) {
    ASSERT_EQ(attached.size(), 1u);
    EXPECT_EQ(attached[0], 1000123);
    EXPECT_TRUE(g_closed.empty());
  } else {
    EXPECT_TRUE(attached.empty());
    EXPECT_EQ(g_closed, std::vector<std::intptr_t>{1000123});  // closed on the way out
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptorTransfer,
    ::testing::Values(
        TransferCase{"matching", 4242, 4242, true, Outcome::Transferred, true},
        TransferCase{"otherPid", 4242, 4243, true, Outcome::OpenProcessFailed, false},
        TransferCase{"unknownPid", std::nullopt, 4242, true, Outcome::OpenProcessFailed, false},
        TransferCase{"zeroPid", 0, 0, true, Outcome::OpenProcessFailed, false},
        TransferCase{"sendFails", 4242, 4242, false, Outcome::DuplicateHandleFailed, true}),
    [](const ::testing::TestParamInfo<TransferCase>& param) { return param.param.name; });

}  // namespace
}  // namespace tokengate::platform
