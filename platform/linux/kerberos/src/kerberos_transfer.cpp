#include "tokengate/platform/kerberos_transfer.h"

#include <utility>

namespace tokengate::platform {

namespace {

class DescriptorHandleTransfer final : public broker::IHandleTransfer {
 public:
  explicit DescriptorHandleTransfer(DescriptorTransferHooks hooks) : hooks_(std::move(hooks)) {}

  Result Transfer(broker::OwnedCredential credential, std::int32_t childProcessId) override {
    Result result;
    const std::optional<std::int32_t> caller =
        hooks_.callerProcessId ? hooks_.callerProcessId() : std::nullopt;
    if (!caller || *caller != childProcessId || childProcessId <= 0) {
      // Only the process that is on the other end of the socket may receive the credential.
      result.outcome = Outcome::OpenProcessFailed;
      return result;  // `credential` closes here
    }
    UniqueFd fd(static_cast<int>(credential.Release()));
    if (!fd || !hooks_.attachToReply || !hooks_.attachToReply(std::move(fd))) {
      result.outcome = Outcome::DuplicateHandleFailed;
      return result;
    }
    // The descriptor's number in the caller is chosen when it arrives there; the caller's side
    // of the transport returns it. Any value other than -1 means "sent".
    result.outcome = Outcome::Transferred;
    result.value = 0;
    return result;
  }

 private:
  DescriptorTransferHooks hooks_;
};

}  // namespace

std::unique_ptr<broker::IHandleTransfer> CreateDescriptorHandleTransfer(
    DescriptorTransferHooks hooks) {
  return std::make_unique<DescriptorHandleTransfer>(std::move(hooks));
}

}  // namespace tokengate::platform
