// The broker's properties-file reader on Windows: which paths, owners and access lists it
// refuses, and real files read through it.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tessera/tessera.h"
#include "tokengate/platform/windows_properties_file.h"

namespace {

using tokengate::platform::PropertiesPathProblem;
using tokengate::platform::PropertiesSecurityProblem;
using tokengate::platform::WindowsPropertiesFileSource;

const std::string kFullPath =
    "must be a full path on a local drive, such as "
    "C:\\Program Files\\Tarvex\\TokenGate\\conf\\agent-config.txt (not a network, device or "
    "relative path).";

TEST(PropertiesPath, OnlyFullPathsToFilesOnAFixedLocalDrive) {
  struct Case {
    std::wstring path;
    std::string problem;
  };
  for (const Case& c : {
           Case{L"C:\\TokenGate\\conf\\agent-config.txt", ""},
           Case{L"c:/TokenGate/conf/agent-config.txt", ""},
           Case{L"C:\\TokenGate\\conf\\console.txt", ""},
           Case{L"\\\\server\\share\\agent-config.txt", kFullPath},
           Case{L"//server/share/agent-config.txt", kFullPath},
           Case{L"\\\\?\\C:\\TokenGate\\agent-config.txt", kFullPath},
           Case{L"\\\\.\\C:\\TokenGate\\agent-config.txt", kFullPath},
           Case{L"\\\\?\\UNC\\server\\share\\agent-config.txt", kFullPath},
           Case{L"conf\\agent-config.txt", kFullPath},
           Case{L"\\TokenGate\\agent-config.txt", kFullPath},
           Case{L"C:agent-config.txt", kFullPath},
           Case{L"", kFullPath},
           Case{L"C:\\TokenGate\\agent-config.txt:hidden",
                "must not name an alternate data stream."},
           Case{L"C:\\TokenGate\\NUL", "names the device NUL; name a file."},
           Case{L"C:\\TokenGate\\com1.txt", "names the device com1.txt; name a file."},
           Case{L"C:\\TokenGate\\Aux .conf\\x.txt", "names the device Aux .conf; name a file."},
           Case{L"C:\\TokenGate\\CONOUT$", "names the device CONOUT$; name a file."},
           Case{L"Q:\\agent-config.txt", "must be on a fixed local drive (Q: is no drive)."},
       }) {
    EXPECT_EQ(PropertiesPathProblem(c.path), c.problem)
        << std::string(c.path.begin(), c.path.end());
  }
}

// A security descriptor written in SDDL, owner and access list taken out of it.
class Descriptor {
 public:
  explicit Descriptor(const std::wstring& sddl) {
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                     &sd_, nullptr))
        << std::string(sddl.begin(), sddl.end());
    BOOL defaulted = FALSE;
    BOOL present = FALSE;
    GetSecurityDescriptorOwner(sd_, &owner_, &defaulted);
    GetSecurityDescriptorDacl(sd_, &present, &dacl_, &defaulted);
  }
  ~Descriptor() { LocalFree(sd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  PSID owner() const { return owner_; }
  PACL dacl() const { return dacl_; }

 private:
  PSECURITY_DESCRIPTOR sd_ = nullptr;
  PSID owner_ = nullptr;
  PACL dacl_ = nullptr;
};

TEST(PropertiesSecurity, OwnedByTheAdministratorsAndWritableByNobodyElse) {
  const std::string p = "C:\\TokenGate\\conf\\agent-config.txt";
  const std::string setOwner = "); icacls \"" + p + "\" /setowner Administrators.";
  const std::string access =
      " may write it); icacls \"" + p + "\" /inheritance:r /grant:r SYSTEM:F Administrators:F.";
  struct Case {
    std::wstring sddl;
    std::string problem;
  };
  for (const Case& c : {
           Case{L"O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)", ""},
           Case{L"O:BAD:(A;;FA;;;BA)(A;;0x1200a9;;;WD)", ""},
           // Entries for what is made inside a folder, and denials, give no one anything.
           Case{L"O:BAD:(A;;FA;;;SY)(A;OICIIO;FA;;;CO)(A;OICIIO;FA;;;BU)", ""},
           Case{L"O:BAD:(D;;FA;;;WD)(A;;FA;;;SY)", ""},
           Case{L"O:BAD:(A;;FA;;;S-1-3-4)", ""},  // OWNER RIGHTS: the owner's own
           Case{L"O:BUD:(A;;FA;;;SY)",
                "must be owned by SYSTEM or Administrators (the owner is S-1-5-32-545" + setOwner},
           Case{L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;SY)",
                "must be owned by SYSTEM or Administrators (the owner is S-1-5-21-1-2-3-1001" +
                    setOwner},
           Case{L"O:BAD:(A;;FA;;;SY)(A;;FW;;;BU)",
                "must not be writable by anyone but SYSTEM and Administrators (S-1-5-32-545" +
                    access},
           Case{L"O:BAD:(A;;0x100;;;AU)",
                "must not be writable by anyone but SYSTEM and Administrators (S-1-5-11" + access},
           Case{L"O:BAD:(A;;GA;;;WD)",
                "must not be writable by anyone but SYSTEM and Administrators (S-1-1-0" + access},
           Case{L"O:BAD:(A;;WD;;;S-1-5-32-568)",
                "must not be writable by anyone but SYSTEM and Administrators (S-1-5-32-568" +
                    access},
       }) {
    const Descriptor d(c.sddl);
    EXPECT_EQ(PropertiesSecurityProblem(d.owner(), d.dacl(), nullptr, p), c.problem)
        << std::string(c.sddl.begin(), c.sddl.end());
  }

  // No access list at all: everyone has full access.
  const Descriptor admins(L"O:BA");
  EXPECT_EQ(PropertiesSecurityProblem(admins.owner(), nullptr, nullptr, p),
            "grants everyone full access (it has no access list); icacls \"" + p +
                "\" /inheritance:r /grant:r SYSTEM:F Administrators:F.");

  // The broker's own account counts as an administrator (it is SYSTEM as a service).
  const Descriptor own(L"O:S-1-5-21-1-2-3-1001D:(A;;FA;;;S-1-5-21-1-2-3-1001)(A;;FR;;;WD)");
  const Descriptor broker(L"O:S-1-5-21-1-2-3-1001");
  EXPECT_EQ(PropertiesSecurityProblem(own.owner(), own.dacl(), broker.owner(), p), "");
}

class PropertiesFileRead : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / "tg-properties-file-test";
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ / "conf");
    std::ofstream(dir_ / "conf" / "agent-config.txt", std::ios::binary) << kContent;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static constexpr char kContent[] = "TokenLifetime=300\r\n# a comment\r\n";
  std::filesystem::path dir_;
};

TEST_F(PropertiesFileRead, ReadsAFileOfItsOwnAccountAndRefusesTheRest) {
  const WindowsPropertiesFileSource source;
  std::string text;
  source.Read((dir_ / "conf" / "agent-config.txt").string(), text);
  EXPECT_EQ(text, kContent);

  try {
    source.Read((dir_ / "conf" / "missing.txt").string(), text);
    ADD_FAILURE() << "a missing file was read";
  } catch (const tessera::FileNotFoundException& e) {
    EXPECT_STREQ(e.what(), "No such file or directory");
  }
  struct Case {
    std::string path;
    std::string message;
  };
  const std::string conf = (dir_ / "conf").string();
  for (const Case& c : {
           Case{conf, conf + ": is not a regular file (it is a directory)."},
           Case{conf + "\\NUL", conf + "\\NUL: names the device NUL; name a file."},
           Case{"\\\\127.0.0.1\\c$\\agent-config.txt",
                "\\\\127.0.0.1\\c$\\agent-config.txt: " + kFullPath},
       }) {
    try {
      source.Read(c.path, text);
      ADD_FAILURE() << c.path << " was read";
    } catch (const tessera::ConfigurationException& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
  // The codec's checking source is this one.
  EXPECT_THROW(tessera::AgentConfiguration(conf, tessera::CheckedPropertiesFileSource()),
               tessera::ConfigurationException);
}

}  // namespace
