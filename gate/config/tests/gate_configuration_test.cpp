#include "tokengate/gate/gate_configuration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "tokengate/common/text.h"

namespace tokengate::gate {
namespace {

namespace fs = std::filesystem;
using Events = std::vector<CapturingEventSink::Event>;

CapturingEventSink::Event ErrorEvent(std::u16string text) {
  return {EventType::Error, kEventCategory, kEventId, std::move(text)};
}

// Compares every key field plus the two derived ones; reports the first difference by name.
void ExpectSameSettings(const GateSettings& actual, const GateSettings& expected) {
  EXPECT_EQ(actual.InstallPath, expected.InstallPath);
  EXPECT_EQ(actual.ConfDirectory, expected.ConfDirectory);
  for (const ConfKey& key : ConfKeys()) {
    std::visit(
        [&](auto member) {
          EXPECT_EQ(actual.*member, expected.*member) << text::Utf16ToUtf8(key.name);
        },
        key.field);
  }
}

// A private install directory with a conf/ subdirectory, and a record that reads from it.
class ConfigFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string id = std::string(info->test_suite_name()) + "-" + info->name();
    std::replace(id.begin(), id.end(), '/', '_');
    root_ = fs::temp_directory_path() / ("tg-config-" + id);
    fs::remove_all(root_);
    fs::create_directories(root_ / "conf");
    installPath_ = text::Utf8ToUtf16(root_.string() + "/");
    registry_ = std::make_shared<FixedGateRegistry>(installPath_);
    config_.emplace(log_, registry_, std::make_shared<IniProfileReader>());
  }
  void TearDown() override { fs::remove_all(root_); }

  void WriteConf(const std::string& body) {
    std::ofstream(root_ / "conf" / "cvisapi.conf", std::ios::binary) << body;
  }

  GateSettings Expected() const {
    GateSettings s = DefaultSettings();
    s.InstallPath = installPath_;
    s.ConfDirectory = installPath_ + u"/conf/";
    return s;
  }

  std::shared_ptr<CapturingEventSink> sink_ = std::make_shared<CapturingEventSink>();
  GateEventLog log_{sink_};
  fs::path root_;
  std::u16string installPath_;
  std::shared_ptr<FixedGateRegistry> registry_;
  std::optional<GateConfiguration> config_;
};

struct ConfCase {
  const char* name;
  std::string conf;  // lines of the section ISAPI
  std::function<void(GateSettings&)> change;
};

class ConfValues : public ConfigFixture, public ::testing::WithParamInterface<ConfCase> {};

TEST_P(ConfValues, LoadGivesDefaultsChangedByTheFile) {
  WriteConf("[ISAPI]\n" + GetParam().conf);
  ASSERT_TRUE(config_->Load());
  GateSettings expected = Expected();
  GetParam().change(expected);
  ExpectSameSettings(*config_->Snapshot(), expected);
  EXPECT_TRUE(sink_->Events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfValues,
    ::testing::Values(
        ConfCase{"empty_section", "", [](GateSettings&) {}},
        ConfCase{"empty_values_keep_defaults",
                 "ReloadConfigUrl=\nPath=\nEnableExtension=\nSessionCookie=\nCookieAge=\n"
                 "TesseraPropertiesFileName=\n",
                 [](GateSettings&) {}},
        ConfCase{"every_text_key",
                 "CorvaneBaseUrl=https://c/\nSSOUrl=https://c/sso\nCancelUrl=/cancel\n"
                 "SLOUrl=https://c/slo\nReloadConfigUrl=/r\nErrorUrl=/err\nTesseraName=TT\n"
                 "TesseraPropertiesFileName=p.txt\nDomain=.ex.com\nPath=/app\n"
                 "ProtectedResourceList=^/app/\nAuthenticationPrefix=X-\nApplicationHost=h\n"
                 "ApplicationPort=8443\nApplicationScheme=https\n",
                 [](GateSettings& s) {
                   s.CorvaneBaseUrl = u"https://c/";
                   s.SSOUrl = u"https://c/sso";
                   s.CancelUrl = u"/cancel";
                   s.SLOUrl = u"https://c/slo";
                   s.ReloadConfigUrl = u"/r";
                   s.ErrorUrl = u"/err";
                   s.TesseraName = u"TT";
                   s.TesseraPropertiesFileName = u"p.txt";
                   s.Domain = u".ex.com";
                   s.Path = u"/app";
                   s.ProtectedResourceList = u"^/app/";
                   s.AuthenticationPrefix = u"X-";
                   s.ApplicationHost = u"h";
                   s.ApplicationPort = u"8443";
                   s.ApplicationScheme = u"https";
                 }},
        ConfCase{"flags_yes_any_case",
                 "EnableIWA=yes\nDeleteTesseraCookie=Yes\nAllowExpiredPassword=YES\n"
                 "SecureCookie=yEs\nEnableExtension=no\nSessionCookie=NO\n",
                 [](GateSettings& s) {
                   s.EnableIWA = s.DeleteTesseraCookie = s.AllowExpiredPassword = true;
                   s.SecureCookie = true;
                   s.EnableExtension = s.SessionCookie = false;
                 }},
        ConfCase{"flags_true_1_y_are_false",
                 "EnableExtension=true\nSessionCookie=1\nEnableIWA=Y\nSecureCookie= yes x\n",
                 [](GateSettings& s) { s.EnableExtension = s.SessionCookie = false; }},
        ConfCase{"number_abc", "CookieAge=abc\n", [](GateSettings& s) { s.CookieAge = 0; }},
        ConfCase{"number_15min", "CookieAge=15min\n", [](GateSettings& s) { s.CookieAge = 15; }},
        ConfCase{"number_negative", "CookieAge=-5\nTokenUpdateWindow=-1\n",
                 [](GateSettings& s) {
                   s.CookieAge = -5;
                   s.TokenUpdateWindow = -1;
                 }},
        ConfCase{"number_plus_sign", "CookieAge=+30\n", [](GateSettings& s) { s.CookieAge = 30; }},
        ConfCase{"number_sign_without_digits", "CookieAge=-x\n",
                 [](GateSettings& s) { s.CookieAge = 0; }},
        ConfCase{"number_clamped", "CookieAge=99999999999\nTokenUpdateWindow=-99999999999\n",
                 [](GateSettings& s) {
                   s.CookieAge = std::numeric_limits<std::int32_t>::max();
                   s.TokenUpdateWindow = std::numeric_limits<std::int32_t>::min();
                 }},
        ConfCase{"long_value_cut", "TesseraName=" + std::string(12000, 'n') + "\n",
                 [](GateSettings& s) { s.TesseraName = std::u16string(9999, u'n'); }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ParseNumber, LeadingWhiteSpaceAndExtremes) {
  EXPECT_EQ(ParseNumber(u" \t 42"), 42);
  EXPECT_EQ(ParseNumber(u"2147483647"), 2147483647);
  EXPECT_EQ(ParseNumber(u"-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ParseNumber(u"2147483648"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(ParseNumber(u"- 5"), 0);
  EXPECT_EQ(ParseNumber(u""), 0);
}

TEST_F(ConfigFixture, NoConfFileGivesDefaults) {
  ASSERT_TRUE(config_->Load());
  ExpectSameSettings(*config_->Snapshot(), Expected());
  EXPECT_EQ(config_->ReloadConfigUrl(), u"/.*cmd=reload.*");
  EXPECT_EQ(config_->Path(), u"/");
  EXPECT_EQ(config_->TesseraPropertiesFileName(), u"agent-config.txt");
  EXPECT_TRUE(config_->EnableExtension());
  EXPECT_TRUE(config_->SessionCookie());
  EXPECT_EQ(config_->CookieAge(), 5);
  EXPECT_EQ(config_->TokenUpdateWindow(), 5);
}

TEST_F(ConfigFixture, InstallPathWithoutTrailingSeparatorMissesTheFile) {
  WriteConf("[ISAPI]\nTesseraName=T\n");
  const std::u16string bare = installPath_.substr(0, installPath_.size() - 1);
  GateConfiguration config(log_, std::make_shared<FixedGateRegistry>(bare),
                           std::make_shared<IniProfileReader>());
  ASSERT_TRUE(config.Load());
  EXPECT_EQ(config.ConfFilePath(), bare + u"conf/cvisapi.conf");
  EXPECT_EQ(config.ConfDirectory(), bare + u"/conf/");
  EXPECT_EQ(config.TesseraName(), u"");
}

TEST_F(ConfigFixture, InstallPathWithTrailingSeparator) {
  ASSERT_TRUE(config_->Load());
  EXPECT_EQ(config_->ConfFilePath(), installPath_ + u"conf/cvisapi.conf");
  EXPECT_EQ(config_->ConfDirectory(), installPath_ + u"/conf/");
}

TEST_F(ConfigFixture, WindowsSeparatorComesFromTheRegistrySeam) {
  GateConfiguration config(log_, std::make_shared<FixedGateRegistry>(u"D:\\Agent\\", u'\\'),
                           std::make_shared<IniProfileReader>());
  ASSERT_TRUE(config.Load());
  EXPECT_EQ(config.ConfFilePath(), u"D:\\Agent\\conf\\cvisapi.conf");
  EXPECT_EQ(config.ConfDirectory(), u"D:\\Agent\\\\conf\\");
}

TEST_F(ConfigFixture, ReloadRevertsARemovedKeyToItsDefault) {
  WriteConf("[ISAPI]\nPath=/app\nCookieAge=30\n");
  ASSERT_TRUE(config_->Load());
  EXPECT_EQ(config_->Path(), u"/app");
  WriteConf("[ISAPI]\nCookieAge=30\n");
  ASSERT_TRUE(config_->Load());
  EXPECT_EQ(config_->Path(), u"/");
  EXPECT_EQ(config_->CookieAge(), 30);
}

TEST_F(ConfigFixture, SnapshotTakenBeforeReloadKeepsItsValues) {
  WriteConf("[ISAPI]\nTesseraName=old\n");
  ASSERT_TRUE(config_->Load());
  const auto before = config_->Snapshot();
  WriteConf("[ISAPI]\nTesseraName=new\n");
  ASSERT_TRUE(config_->Load());
  EXPECT_EQ(before->TesseraName, u"old");
  EXPECT_EQ(config_->TesseraName(), u"new");
}

// A registry key whose InstallPath read is scripted.
class ScriptedKey final : public IRegistryKey {
 public:
  explicit ScriptedKey(RegistryValueRead read) : read_(std::move(read)) {}
  RegistryValueRead ReadValue(std::u16string_view, std::size_t) override { return read_; }

 private:
  RegistryValueRead read_;
};

class ScriptedRegistry final : public IGateRegistry {
 public:
  std::optional<RegistryValueRead> read;  // nullopt: the key cannot be opened
  std::unique_ptr<IRegistryKey> OpenGateKey() override {
    return read ? std::make_unique<ScriptedKey>(*read) : nullptr;
  }
  char16_t PathSeparator() const noexcept override { return u'/'; }
};

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view s, bool withNul = true) {
  std::vector<std::uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (withNul) {
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

TEST_F(ConfigFixture, RegistryFailuresKeepEveryPreviousValue) {
  WriteConf("[ISAPI]\nTesseraName=T\nCookieAge=9\n");
  auto registry = std::make_shared<ScriptedRegistry>();
  registry->read =
      RegistryValueRead{RegistryValueRead::Status::Ok, kRegSz, Utf16Bytes(installPath_)};
  GateConfiguration config(log_, registry, std::make_shared<IniProfileReader>());
  ASSERT_TRUE(config.Load());
  const auto loaded = config.Snapshot();

  registry->read.reset();
  EXPECT_FALSE(config.Load());
  registry->read = RegistryValueRead{RegistryValueRead::Status::NotFound, 0, {}};
  EXPECT_FALSE(config.Load());
  EXPECT_EQ(config.Snapshot(), loaded);
  EXPECT_EQ(config.TesseraName(), u"T");
  EXPECT_EQ(sink_->Events(), (Events{ErrorEvent(u"Unable to open registry key"),
                                     ErrorEvent(u"Unable to load key 'InstallPath'")}));
}

// The gate's own reader, or a failure in the middle of Load when asked to.
class FailingReader final : public IProfileReader {
 public:
  bool fail = false;
  std::unique_ptr<IProfile> Open(const std::u16string& path) override {
    if (fail) {
      throw std::length_error("conf file too large");
    }
    return IniProfileReader().Open(path);
  }
};

// A listener is given exactly the values each successful load published, and nothing on a
// failed one.
TEST_F(ConfigFixture, ListenerFollowsEverySuccessfulLoad) {
  auto reader = std::make_shared<FailingReader>();
  GateConfiguration config(log_, registry_, reader);
  std::vector<std::shared_ptr<const GateSettings>> given;
  config.OnLoaded([&](const std::shared_ptr<const GateSettings>& s) { given.push_back(s); });
  WriteConf("[ISAPI]\nAuthenticationPrefix=X-\n");
  ASSERT_TRUE(config.Load());
  WriteConf("[ISAPI]\nAuthenticationPrefix=Tarvex-\n");
  ASSERT_TRUE(config.Load());
  reader->fail = true;
  EXPECT_FALSE(config.Load());
  ASSERT_EQ(given.size(), 2u);
  EXPECT_EQ(given[0]->AuthenticationPrefix, u"X-");
  EXPECT_EQ(given[1], config.Snapshot());
  EXPECT_EQ(given[1]->AuthenticationPrefix, u"Tarvex-");
}

TEST_F(ConfigFixture, FailureAfterTheRegistryStepKeepsEveryPreviousValue) {
  WriteConf("[ISAPI]\nTesseraName=T\nPath=/app\n");
  auto reader = std::make_shared<FailingReader>();
  GateConfiguration config(log_, registry_, reader);
  ASSERT_TRUE(config.Load());
  const auto loaded = config.Snapshot();
  reader->fail = true;
  EXPECT_FALSE(config.Load());
  EXPECT_EQ(config.Snapshot(), loaded);
  EXPECT_EQ(config.Path(), u"/app");
  EXPECT_EQ(sink_->Events(), (Events{ErrorEvent(u"Exception occured in loading configuration")}));
}

struct InstallPathCase {
  const char* name;
  RegistryValueRead read;
  InstallPathProblem problem;
  std::u16string value;
};

class InstallPathRules : public ::testing::TestWithParam<InstallPathCase> {};

TEST_P(InstallPathRules, Validate) {
  std::u16string value = u"unchanged";
  EXPECT_EQ(ValidateInstallPath(GetParam().read, value), GetParam().problem);
  if (GetParam().problem == InstallPathProblem::None) {
    EXPECT_EQ(value, GetParam().value);
  }
}

using St = RegistryValueRead::Status;
INSTANTIATE_TEST_SUITE_P(
    Cases, InstallPathRules,
    ::testing::Values(
        InstallPathCase{
            "sz", {St::Ok, kRegSz, Utf16Bytes(u"/opt/tg/")}, InstallPathProblem::None, u"/opt/tg/"},
        InstallPathCase{"expand_sz_unexpanded",
                        {St::Ok, kRegExpandSz, Utf16Bytes(u"%ProgramFiles%\\TG\\")},
                        InstallPathProblem::None,
                        u"%ProgramFiles%\\TG\\"},
        InstallPathCase{
            "empty_string", {St::Ok, kRegSz, Utf16Bytes(u"")}, InstallPathProblem::None, u""},
        InstallPathCase{"missing", {St::NotFound, 0, {}}, InstallPathProblem::Missing, u""},
        InstallPathCase{"read_failed", {St::Failed, 0, {}}, InstallPathProblem::Missing, u""},
        InstallPathCase{"dword", {St::Ok, 4, {1, 0, 0, 0}}, InstallPathProblem::NotAString, u""},
        InstallPathCase{
            "multi_sz", {St::Ok, 7, Utf16Bytes(u"a")}, InstallPathProblem::NotAString, u""},
        InstallPathCase{
            "odd_size", {St::Ok, kRegSz, {'a', 0, 0}}, InstallPathProblem::OddSize, u""},
        InstallPathCase{"no_nul",
                        {St::Ok, kRegSz, Utf16Bytes(u"/opt", false)},
                        InstallPathProblem::NotTerminated,
                        u""},
        InstallPathCase{
            "zero_bytes", {St::Ok, kRegSz, {}}, InstallPathProblem::NotTerminated, u""}),
    [](const auto& p) { return std::string(p.param.name); });

// Reports "more data" until it is given room for the whole value, as the registry does.
class GrowingKey final : public IRegistryKey {
 public:
  explicit GrowingKey(std::u16string value) : value_(std::move(value)) {}
  RegistryValueRead ReadValue(std::u16string_view, std::size_t capacity) override {
    ++reads;
    const auto bytes = Utf16Bytes(value_);
    if (bytes.size() > capacity) {
      return {St::MoreData, kRegSz, {}};
    }
    return {St::Ok, kRegSz, bytes};
  }
  int reads = 0;

 private:
  std::u16string value_;
};

TEST(ReadInstallPath, GrowsTheBufferBy128Characters) {
  const std::u16string longPath = u"/" + std::u16string(299, u'p');
  GrowingKey key(longPath);
  std::u16string value;
  EXPECT_EQ(ReadInstallPath(key, value), InstallPathProblem::None);
  EXPECT_EQ(value, longPath);
  EXPECT_EQ(key.reads, 3);  // 128, 256, 384 characters
}

TEST(ReadInstallPath, GivesUpOnAnEndlessValue) {
  GrowingKey key(std::u16string(kMaxInstallPathChars + 1, u'p'));
  std::u16string value;
  EXPECT_EQ(ReadInstallPath(key, value), InstallPathProblem::TooLong);
}

// Reloads in a loop while readers check that each snapshot comes from one file version.
TEST_F(ConfigFixture, ConcurrentReadersSeeOneFileVersionPerSnapshot) {
  auto versionConf = [](int v) {
    const std::string s = std::to_string(v);
    return "[ISAPI]\nTesseraName=t" + s + "\nSSOUrl=https://sso/" + s + "\nPath=/p" + s +
           "\nCookieAge=" + s + "\nTokenUpdateWindow=" + s +
           "\nSecureCookie=" + (v % 2 ? "YES" : "NO") + "\n" + (v % 3 ? "Domain=d" + s + "\n" : "");
  };
  WriteConf(versionConf(0));
  ASSERT_TRUE(config_->Load());

  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const auto s = config_->Snapshot();
        const int v = s->CookieAge;
        const std::u16string n = text::Utf8ToUtf16(std::to_string(v));
        const bool ok = s->TesseraName == u"t" + n && s->SSOUrl == u"https://sso/" + n &&
                        s->Path == u"/p" + n && s->TokenUpdateWindow == v &&
                        s->SecureCookie == (v % 2 == 1) && s->Domain == (v % 3 ? u"d" + n : u"");
        if (!ok) {
          mismatches.fetch_add(1);
        }
      }
    });
  }
  for (int v = 1; v <= 300; ++v) {
    WriteConf(versionConf(v));
    ASSERT_TRUE(config_->Load());
  }
  done.store(true);
  for (auto& t : readers) {
    t.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(config_->CookieAge(), 300);
}

}  // namespace
}  // namespace tokengate::gate
