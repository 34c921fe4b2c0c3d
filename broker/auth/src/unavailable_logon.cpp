// The logon provider of builds without a service-for-user logon.
#include "tokengate/broker/auth/logon.h"

namespace tokengate::broker {
namespace {

class UnavailableS4ULogonProvider final : public IS4ULogonProvider {
 public:
  std::int32_t EnablePrivilege(std::unique_ptr<IPrivilegeHold>& hold) override {
    hold.reset();
    return 0;
  }
  std::int32_t RegisterLogonProcess(const std::string&) override { return 0; }
  std::int32_t LookupAuthenticationPackage(const std::string&, std::uint32_t& id) override {
    id = 0;
    return 0;
  }
  std::int32_t DeregisterLogonProcess() override { return 0; }
  LogonResult LogonUser(const std::u16string&, const std::u16string&, std::uint32_t) override {
    LogonResult result;
    result.status = kStatusNoSuchPackage;
    result.winError = 1364;  // ERROR_NO_SUCH_PACKAGE
    return result;
  }
};

}  // namespace

std::unique_ptr<IS4ULogonProvider> CreateUnavailableS4ULogonProvider() {
  return std::make_unique<UnavailableS4ULogonProvider>();
}

}  // namespace tokengate::broker
