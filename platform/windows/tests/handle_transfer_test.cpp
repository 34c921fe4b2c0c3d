// Opening a handle in another process: the broker's copy is closed whatever the outcome.
#include <windows.h>

#include <gtest/gtest.h>

#include "tokengate/platform/windows_service.h"

namespace {

using Outcome = tokengate::broker::IHandleTransfer::Outcome;

void CloseEvent(std::intptr_t value) noexcept {
  CloseHandle(reinterpret_cast<HANDLE>(value));
}

TEST(DuplicateHandleTransfer, OpensTheHandleInTheTargetAndClosesTheSource) {
  const auto transfer = tokengate::platform::CreateDuplicateHandleTransfer();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const auto result = transfer->Transfer(
      tokengate::broker::OwnedCredential(reinterpret_cast<std::intptr_t>(event), &CloseEvent),
      static_cast<std::int32_t>(GetCurrentProcessId()));
  ASSERT_EQ(result.outcome, Outcome::Transferred);
  const auto copy = reinterpret_cast<HANDLE>(result.value);
  EXPECT_TRUE(SetEvent(copy));
  EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(copy));
}

TEST(DuplicateHandleTransfer, UnknownProcessIsOpenProcessFailed) {
  const auto transfer = tokengate::platform::CreateDuplicateHandleTransfer();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const auto result = transfer->Transfer(
      tokengate::broker::OwnedCredential(reinterpret_cast<std::intptr_t>(event), &CloseEvent),
      0x7FFFFFF0);
  EXPECT_EQ(result.outcome, Outcome::OpenProcessFailed);
  EXPECT_EQ(result.value, -1);
}

}  // namespace
