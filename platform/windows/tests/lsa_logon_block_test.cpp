// The S4U logon block, byte by byte.
#include <windows.h>

// The LSA declarations need the base types of windows.h.
#include <ntsecapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tokengate/platform/windows_lsa.h"

namespace {

using tokengate::platform::ConstructLsaLogonBlock;

// The structure's layout on x64: message type, flags, then two counted strings of 16 bytes
// (length, maximum, 4 bytes of padding, buffer pointer).
constexpr std::size_t kHeader = 40;

std::uint16_t U16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t U32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
const unsigned char* Ptr(const unsigned char* p) {
  const unsigned char* v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

TEST(LsaLogonBlock, LayoutWithAndWithoutRealm) {
  struct Case {
    std::u16string upn, realm;
  };
  for (const Case& c :
       {Case{u"jdoe@example.test", u"EXAMPLE.TEST"}, Case{u"jdoe", u""}, Case{u"", u""}}) {
    std::size_t size = 0;
    const auto block = ConstructLsaLogonBlock(c.upn, c.realm, size);
    ASSERT_NE(block, nullptr);
    const std::size_t upnBytes = 2 * (c.upn.size() + 1);
    const std::size_t realmBytes = c.realm.empty() ? 0 : 2 * (c.realm.size() + 1);
    ASSERT_EQ(size, kHeader + upnBytes + realmBytes);
    const auto* b = static_cast<const unsigned char*>(block.get());
    EXPECT_EQ(U32(b + 0), 12u);  // KerbS4ULogon
    EXPECT_EQ(U32(b + 4), 0u);   // flags
    EXPECT_EQ(U16(b + 8), 2 * c.upn.size());
    EXPECT_EQ(U16(b + 10), upnBytes);
    EXPECT_EQ(U32(b + 12), 0u);
    EXPECT_EQ(Ptr(b + 16), b + kHeader);
    EXPECT_EQ(std::memcmp(b + kHeader, c.upn.c_str(), upnBytes), 0);  // text and NUL
    if (c.realm.empty()) {
      EXPECT_EQ(U16(b + 24), 0u);
      EXPECT_EQ(U16(b + 26), 0u);
      EXPECT_EQ(Ptr(b + 32), nullptr);
    } else {
      EXPECT_EQ(U16(b + 24), 2 * c.realm.size());
      EXPECT_EQ(U16(b + 26), realmBytes);
      EXPECT_EQ(Ptr(b + 32), b + kHeader + upnBytes);
      EXPECT_EQ(std::memcmp(b + kHeader + upnBytes, c.realm.c_str(), realmBytes), 0);
    }
    EXPECT_EQ(sizeof(KERB_S4U_LOGON), kHeader);
  }
}

TEST(LsaLogonBlock, LengthsBeyondSixteenBitsAreRefused) {
  std::size_t size = 0;
  EXPECT_NE(ConstructLsaLogonBlock(std::u16string(32766, u'u'), u"", size), nullptr);
  EXPECT_EQ(ConstructLsaLogonBlock(std::u16string(32767, u'u'), u"", size), nullptr);
  EXPECT_EQ(ConstructLsaLogonBlock(u"jdoe", std::u16string(40000, u'r'), size), nullptr);
}

// Under the test platform the LSA accepts the registration and the Kerberos lookup; a logon
// there may report success without a token, which must come back as a failure.
TEST(LsaS4ULogonProvider, SuccessWithoutTokenIsAFailure) {
  auto provider = tokengate::platform::CreateLsaS4ULogonProvider();
  std::unique_ptr<tokengate::broker::IPrivilegeHold> hold;
  ASSERT_EQ(provider->EnablePrivilege(hold), 0);
  ASSERT_GE(provider->RegisterLogonProcess("Corvane Web Agent Authentication Service"), 0);
  std::uint32_t id = 0xFFFFFFFF;
  ASSERT_GE(provider->LookupAuthenticationPackage("Kerberos", id), 0);
  const auto result = provider->LogonUser(u"jdoe@example.test", u"", id);
  EXPECT_TRUE(result.status < 0 || result.credential) << result.status;
  EXPECT_EQ(provider->DeregisterLogonProcess(), 0);
}

}  // namespace
