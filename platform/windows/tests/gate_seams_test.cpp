// The gate's registry, profile and event seams against the real Windows API.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tokengate/gate/gate_configuration.h"
#include "tokengate/platform/windows_gate.h"

namespace {

using tokengate::gate::InstallPathProblem;
using tokengate::platform::WindowsGateRegistry;

const std::u16string kTestRoot = u"Software\\TokenGate Windows Layer Tests";

// Writes InstallPath with raw type and bytes into a key of its own below the test root.
std::u16string SeedValue(const std::u16string& name, DWORD type, const std::vector<BYTE>& data) {
  const std::u16string sub = kTestRoot + u"\\" + name;
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(sub.c_str()), 0,
                            nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"InstallPath", 0, type, data.empty() ? nullptr : data.data(),
                           static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
  return sub;
}

std::vector<BYTE> Utf16Bytes(const std::u16string& text, bool withNul) {
  std::vector<BYTE> out;
  for (char16_t c : text) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  if (withNul) {
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

TEST(WindowsGateRegistry, InstallPathReadAppliesEveryRule) {
  const std::u16string longPath = u"C:\\" + std::u16string(300, u'p') + u"\\";
  std::vector<BYTE> odd = Utf16Bytes(u"C:\\x\\", true);
  odd.push_back(0);
  struct Case {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
    InstallPathProblem problem;
    std::u16string value;
  };
  const Case cases[] = {
      {u"sz", REG_SZ, Utf16Bytes(u"C:\\TokenGate\\", true), InstallPathProblem::None,
       u"C:\\TokenGate\\"},
      {u"expand", REG_EXPAND_SZ, Utf16Bytes(u"%SystemDrive%\\tg\\", true), InstallPathProblem::None,
       u"%SystemDrive%\\tg\\"},
      {u"empty", REG_SZ, Utf16Bytes(u"", true), InstallPathProblem::None, u""},
      {u"long", REG_SZ, Utf16Bytes(longPath, true), InstallPathProblem::None, longPath},
      {u"dword", REG_DWORD, {1, 0, 0, 0}, InstallPathProblem::NotAString, u""},
      {u"odd", REG_SZ, odd, InstallPathProblem::OddSize, u""},
      {u"unterminated", REG_SZ, Utf16Bytes(u"C:\\x", false), InstallPathProblem::NotTerminated,
       u""},
  };
  for (const Case& c : cases) {
    WindowsGateRegistry registry(SeedValue(c.name, c.type, c.data));
    auto key = registry.OpenGateKey();
    ASSERT_NE(key, nullptr);
    std::u16string value;
    EXPECT_EQ(tokengate::gate::ReadInstallPath(*key, value), c.problem)
        << std::string(c.name.begin(), c.name.end());
    if (c.problem == InstallPathProblem::None) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(WindowsGateRegistry, MissingKeyAndMissingValue) {
  EXPECT_EQ(WindowsGateRegistry(kTestRoot + u"\\no such key").OpenGateKey(), nullptr);
  SeedValue(u"other", REG_SZ, Utf16Bytes(u"x", true));
  const std::u16string sub = kTestRoot + u"\\other";
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(sub.c_str()), 0,
                          KEY_WRITE, &key),
            ERROR_SUCCESS);
  RegDeleteValueW(key, L"InstallPath");
  RegCloseKey(key);
  auto opened = WindowsGateRegistry(sub).OpenGateKey();
  ASSERT_NE(opened, nullptr);
  std::u16string value;
  EXPECT_EQ(tokengate::gate::ReadInstallPath(*opened, value), InstallPathProblem::Missing);
  EXPECT_EQ(WindowsGateRegistry().PathSeparator(), u'\\');
}

std::u16string TempFile(const wchar_t* name) {
  wchar_t dir[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, dir);
  std::wstring path = std::wstring(dir) + name;
  return std::u16string(path.begin(), path.end());
}

TEST(WindowsProfileReader, ReadsLikeTheSystemReader) {
  const std::u16string path = TempFile(L"tokengate-profile-test.conf");
  {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out << "[other]\r\nSSOUrl=wrong\r\n[isapi]\r\nssourl = https://sso.example/signon \r\n"
        << "Quoted=\"a b\"\r\nEmpty=\r\nLong=" << std::string(12000, 'v') << "\r\n";
  }
  tokengate::platform::WindowsProfileReader reader;
  const auto profile = reader.Open(path);
  EXPECT_EQ(profile->Get(u"ISAPI", u"SSOUrl"), u"https://sso.example/signon");
  EXPECT_EQ(profile->Get(u"ISAPI", u"Quoted"), u"a b");
  EXPECT_EQ(profile->Get(u"ISAPI", u"Empty"), u"");
  EXPECT_EQ(profile->Get(u"ISAPI", u"Absent"), u"");
  EXPECT_EQ(profile->Get(u"ISAPI", u"Long"), std::u16string(9999, u'v'));
  DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));

  EXPECT_EQ(reader.Open(TempFile(L"tokengate-no-such.conf"))->Get(u"ISAPI", u"SSOUrl"), u"");
}

TEST(WindowsEventSource, RegistersAndWrites) {
  auto sink = tokengate::platform::RegisterWindowsEventSource(u"CV ISAPI Agent");
  ASSERT_NE(sink, nullptr);
  // The script running these tests reads this text back from the event log trace.
  tokengate::gate::GateEventLog log(sink);
  log.Report(tokengate::gate::EventType::Warning, u"windows layer test event \u00e9");
}

}  // namespace
