#include "core/qv_device_info.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "tests/core/core_test_support.h"

namespace vandrel::core {
namespace {

using namespace testing_support;

constexpr const char* kMachineId = "0123456789abcdef0123456789abcdef";
// HMAC-SHA256 of kMachineId keyed by the bundle identifier, worked out with
// another tool.
constexpr const char* kUdidForVandrel =
    "67A61796DAEB707944F1E91C016875BF57B5543F4B91C8C606C0E3E270A67FBB";
constexpr const char* kUdidForOther =
    "32890867F9257566C2FB8EECE050ACB17B6F9EB2C2818FD630D0918DF32904AF";

constexpr const char* kInfo = R"({
  "CFBundleIdentifier": "com.vandrel.mac.offline",
  "CFBundleShortVersionString": "2.4.1",
  "CFBundleVersion": "317"
})";

// A fixture file-system root, a bundle and an environment of its own.
class DeviceFactsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(temp_.path().empty()); }

  fs::path root() const { return temp_.path() / "root"; }
  void put(const std::string& relative, const std::string& text) {
    writeFile(root() / relative, text);
  }

  DeviceFacts facts(const std::string& info = kInfo) {
    const fs::path bundlePath = temp_.path() / ("b" + std::to_string(++bundles_)) / "Vandrel.app";
    writeFile(bundlePath / "Contents" / "Info.json", info);
    bundle_ = std::make_unique<platform::Bundle>(bundlePath);
    return DeviceFacts(*bundle_, root(), [this](const char* name) -> std::optional<std::string> {
      const auto it = environment_.find(name);
      if (it == environment_.end()) return std::nullopt;
      return it->second;
    });
  }

  TempDir temp_;
  int bundles_ = 0;
  std::unique_ptr<platform::Bundle> bundle_;
  std::map<std::string, std::string> environment_;
};

TEST_F(DeviceFactsTest, BundleValuesAndTheirFallbacks) {
  const DeviceFacts full = facts();
  EXPECT_EQ(full.appVersion(), "2.4.1");
  EXPECT_EQ(full.buildVersion(), "317");
  EXPECT_EQ(full.bundleId(), "com.vandrel.mac.offline");

  struct Case {
    const char* name;
    std::string info;
  };
  const std::vector<Case> cases = {
      {"keys missing", "{}"},
      {"values of another type",
       R"({"CFBundleIdentifier": 7, "CFBundleShortVersionString": 2.4, "CFBundleVersion": null})"},
      {"not an object", "[1, 2]"},
      {"malformed", "{\"CFBundleVersion\": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DeviceFacts missing = facts(c.info);
    EXPECT_EQ(missing.appVersion(), "0.0");
    EXPECT_EQ(missing.buildVersion(), "0.0");
    EXPECT_EQ(missing.bundleId(), "com.---.mac");
  }
}

TEST_F(DeviceFactsTest, CountryCodeFromTheLocaleOfTheMoment) {
  struct Case {
    std::map<std::string, std::string> environment;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {{{"LANG", "de_DE.UTF-8"}}, "DE"},
      {{{"LC_ALL", "fr_CA.UTF-8"}, {"LC_MESSAGES", "ja_JP"}, {"LANG", "de_DE.UTF-8"}}, "CA"},
      {{{"LC_MESSAGES", "ja_JP.UTF-8"}, {"LANG", "de_DE.UTF-8"}}, "JP"},
      {{{"LC_ALL", ""}, {"LANG", "pt_BR"}}, "BR"},
      {{{"LANG", "sr_RS@latin"}}, "RS"},
      {{{"LANG", "es_419.UTF-8"}}, "419"},
      {{{"LANG", "C.UTF-8"}}, "unknow"},
      {{{"LANG", "POSIX"}}, "unknow"},
      {{{"LANG", "en"}}, "unknow"},
      {{}, "unknow"},
  };
  const DeviceFacts device = facts();
  for (const Case& c : cases) {
    environment_ = c.environment;
    std::string described;
    for (const auto& [name, value] : c.environment) described += name + "=" + value + " ";
    SCOPED_TRACE(described);
    EXPECT_EQ(device.countryCode(), c.expected);
  }
}

TEST_F(DeviceFactsTest, UdidIsTheSerialUnlessAPlaceholderElseDerivedFromTheMachineId) {
  struct Case {
    const char* name;
    std::optional<std::string> serial;
    std::optional<std::string> machineId;
    const char* expected;
  };
  const std::string idFile = std::string(kMachineId) + "\n";
  const std::vector<Case> cases = {
      {"serial", "C02XK1ABJG5H\n", idFile, "C02XK1ABJG5H"},
      {"serial with blanks", "  PF2ABCDE \n", std::nullopt, "PF2ABCDE"},
      {"OEM placeholder", "To Be Filled By O.E.M.\n", idFile, kUdidForVandrel},
      {"placeholder in other case", "TO BE FILLED BY O.E.M.", idFile, kUdidForVandrel},
      {"not specified", "Not Specified\n", idFile, kUdidForVandrel},
      {"default string", "Default string\n", idFile, kUdidForVandrel},
      {"zero", "0\n", idFile, kUdidForVandrel},
      {"blank", " \n", idFile, kUdidForVandrel},
      {"no serial file", std::nullopt, idFile, kUdidForVandrel},
      {"machine id without line end", std::nullopt, kMachineId, kUdidForVandrel},
      {"nothing", std::nullopt, std::nullopt, "unKnowUDID"},
      {"placeholder and no machine id", "0\n", std::nullopt, "unKnowUDID"},
      {"machine id not yet set", std::nullopt, "uninitialized\n", "unKnowUDID"},
      {"empty machine id", std::nullopt, "", "unKnowUDID"},
      {"machine id in upper case", std::nullopt, "0123456789ABCDEF0123456789ABCDEF\n",
       "unKnowUDID"},
  };
  writeFile(temp_.path() / "v.app/Contents/Info.json", kInfo);
  const platform::Bundle bundle(temp_.path() / "v.app");
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path caseRoot = temp_.path() / ("udid" + std::to_string(++n));
    if (c.serial) writeFile(caseRoot / "sys/class/dmi/id/product_serial", *c.serial);
    if (c.machineId) writeFile(caseRoot / "etc/machine-id", *c.machineId);
    fs::create_directories(caseRoot);
    EXPECT_EQ(DeviceFacts(bundle, caseRoot).udid(), c.expected);
  }
}

TEST_F(DeviceFactsTest, DerivedUdidIsKeyedByTheBundleIdentifier) {
  put("etc/machine-id", std::string(kMachineId) + "\n");
  EXPECT_EQ(facts().udid(), kUdidForVandrel);
  EXPECT_EQ(facts(R"({"CFBundleIdentifier": "com.example.other"})").udid(), kUdidForOther);
  const std::string udid = facts().udid();
  EXPECT_EQ(udid.find(kMachineId), std::string::npos);
}

TEST_F(DeviceFactsTest, DeviceModelFromDmiProductName) {
  const DeviceFacts device = facts();
  EXPECT_EQ(device.deviceModel(), "");
  put("sys/class/dmi/id/product_name", "20XW0055GE\n");
  EXPECT_EQ(device.deviceModel(), "20XW0055GE");
  put("sys/class/dmi/id/product_name", "  Standard PC (Q35 + ICH9, 2009) \n");
  EXPECT_EQ(device.deviceModel(), "Standard PC (Q35 + ICH9, 2009)");
  put("sys/class/dmi/id/product_name", "To be filled by O.E.M.\n");
  EXPECT_EQ(device.deviceModel(), "");
  put("sys/class/dmi/id/product_name", "\n");
  EXPECT_EQ(device.deviceModel(), "");
}

TEST_F(DeviceFactsTest, OsVersionFromOsRelease) {
  struct Case {
    const char* name;
    std::optional<std::string> etc;
    std::optional<std::string> usrLib;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"double quotes", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\n", std::nullopt,
       "12"},
      {"no quotes", "VERSION_ID=22.04\n", std::nullopt, "22.04"},
      {"single quotes", "VERSION_ID='39'\n", std::nullopt, "39"},
      {"escape inside double quotes", "VERSION_ID=\"1\\\"2\"\n", std::nullopt, "1\"2"},
      {"no line end", "ID=x\nVERSION_ID=\"3.19\"", std::nullopt, "3.19"},
      {"similar keys only", "XVERSION_ID=9\nVERSION_IDS=8\nVERSION=\"7\"\n", std::nullopt,
       "unknow"},
      {"vendor file when etc has none", std::nullopt, "VERSION_ID=\"11\"\n", "11"},
      {"etc wins", "VERSION_ID=\"12\"\n", "VERSION_ID=\"11\"\n", "12"},
      {"etc without version: no fallback", "ID=debian\n", "VERSION_ID=\"11\"\n", "unknow"},
      {"empty version", "VERSION_ID=\"\"\n", std::nullopt, "unknow"},
      {"neither file", std::nullopt, std::nullopt, "unknow"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path caseRoot = temp_.path() / ("os" + std::to_string(++n));
    if (c.etc) writeFile(caseRoot / "etc/os-release", *c.etc);
    if (c.usrLib) writeFile(caseRoot / "usr/lib/os-release", *c.usrLib);
    fs::create_directories(caseRoot);
    const platform::Bundle bundle(temp_.path() / "none.app");
    EXPECT_EQ(DeviceFacts(bundle, caseRoot).osVersion(), c.expected);
  }
}

TEST_F(DeviceFactsTest, OsReleaseLinkedIntoTheRootIsFollowed) {
  put("usr/lib/os-release", "VERSION_ID=\"12\"\n");
  fs::create_directories(root() / "etc");
  fs::create_symlink("../usr/lib/os-release", root() / "etc/os-release");
  EXPECT_EQ(facts().osVersion(), "12");
}

TEST_F(DeviceFactsTest, NamedPipesInPlaceOfTheSourcesGiveTheFallbacksWithoutWaiting) {
  struct Case {
    const char* source;
    std::string (*read)(const DeviceFacts&);
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"sys/class/dmi/id/product_serial", [](const DeviceFacts& d) { return d.udid(); },
       "unKnowUDID"},
      {"etc/machine-id", [](const DeviceFacts& d) { return d.udid(); }, "unKnowUDID"},
      {"sys/class/dmi/id/product_name", [](const DeviceFacts& d) { return d.deviceModel(); }, ""},
      {"etc/os-release", [](const DeviceFacts& d) { return d.osVersion(); }, "unknow"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    ASSERT_TRUE(makeFifo(root() / c.source));
    const DeviceFacts device = facts();
    std::string value = "not read";
    EXPECT_TRUE(returnsWithoutWaitingOn(root() / c.source, [&] { value = c.read(device); }));
    EXPECT_EQ(value, c.expected);
    fs::remove(root() / c.source);
  }
}

TEST(QvDeviceInfoTest, StaticGettersReadTheRunningApplication) {
  // ctest points VANDREL_BUNDLE at the build tree's bundle.
  EXPECT_EQ(qv_DeviceInfo::bundleId(), "com.vandrel.mac.offline");
  EXPECT_FALSE(qv_DeviceInfo::appVersion().empty());
  EXPECT_FALSE(qv_DeviceInfo::udid().empty());
  EXPECT_FALSE(qv_DeviceInfo::osVersion().empty());
}

}  // namespace
}  // namespace vandrel::core
