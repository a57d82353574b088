#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "platform/bundle.h"
#include "platform/paths.h"
#include "tests/support/temp_dir.h"

namespace vandrel::platform {
namespace {

using test_support::ScopedEnv;

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class TempDirTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vandrel-paths-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

using PathsTest = TempDirTest;

struct PathCase {
  const char* variable;
  fs::path (*function)();
  const char* homeFallback;
};

const PathCase kPathCases[] = {
    {"XDG_CACHE_HOME", cachesDirectory, ".cache"},
    {"XDG_DATA_HOME", applicationSupportDirectory, ".local/share"},
    {"XDG_DOCUMENTS_DIR", documentsDirectory, "Documents"},
    {"XDG_CONFIG_HOME", configDirectory, ".config"},
};

TEST_F(PathsTest, XdgVariableWinsAndTheDirectoryIsCreated) {
  for (const auto& c : kPathCases) {
    SCOPED_TRACE(c.variable);
    const fs::path wanted = dir_ / "xdg" / c.variable / "nested";
    ScopedEnv env(c.variable, wanted.string());
    EXPECT_EQ(c.function(), wanted);
    EXPECT_TRUE(fs::is_directory(wanted));
  }
}

TEST_F(PathsTest, HomeFallbackWhenTheVariableIsUnsetEmptyOrRelative) {
  ScopedEnv home("HOME", dir_.string());
  EXPECT_EQ(homeDirectory(), dir_);
  for (const auto& c : kPathCases) {
    SCOPED_TRACE(c.variable);
    const fs::path fallback = dir_ / c.homeFallback;
    for (std::optional<std::string> value :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("relative/dir")}) {
      ScopedEnv env(c.variable, value);
      EXPECT_EQ(c.function(), fallback);
      EXPECT_TRUE(fs::is_directory(fallback));
    }
  }
  EXPECT_FALSE(fs::exists(fs::current_path() / "relative"));
}

TEST_F(PathsTest, EnvironmentIsReadOnEveryCall) {
  ScopedEnv first("XDG_CACHE_HOME", (dir_ / "one").string());
  EXPECT_EQ(cachesDirectory(), dir_ / "one");
  ScopedEnv second("XDG_CACHE_HOME", (dir_ / "two").string());
  EXPECT_EQ(cachesDirectory(), dir_ / "two");
}

TEST_F(PathsTest, HomeWithoutHomeVariableComesFromThePasswordDatabase) {
  ScopedEnv home("HOME", std::nullopt);
  EXPECT_TRUE(homeDirectory().is_absolute());
}

class BundleTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    app_ = dir_ / "Vandrel.app";
    writeFile(app_ / "Contents" / "Info.json",
              R"({"CFBundleIdentifier": "com.vandrel.mac.offline",
                  "CFBundleShortVersionString": "1.0.0", "CFBundleVersion": "7",
                  "CFBundleExecutable": "Vandrel",
                  "Faultline": {"collectionEnabled": false}, "Number": 3})");
    writeFile(app_ / "Contents" / "Resources" / "icon.xcImage", "certs");
    writeFile(app_ / "Contents" / "Resources" / "Vandrel-server-daemon", "daemon");
    writeFile(app_ / "Contents" / "Resources" / "widget-off.png", "png");
  }
  fs::path app_;
};

TEST_F(BundleTest, MainBundleComesFromVandrelBundleFirst) {
  ScopedEnv env("VANDREL_BUNDLE", app_.string() + "/");
  const Bundle& main = Bundle::main();
  EXPECT_EQ(main.bundlePath(), app_);
  EXPECT_EQ(&main, &Bundle::main());
  EXPECT_EQ(main.bundleIdentifier(), "com.vandrel.mac.offline");
  EXPECT_EQ(main.infoString("CFBundleVersion"), "7");
  EXPECT_EQ(main.executablePath(), app_ / "Contents" / "MacOS" / "Vandrel");
}

TEST_F(BundleTest, MainBundleWithoutOverrideIsTheRunningExecutablesBundle) {
  ScopedEnv env("VANDREL_BUNDLE", std::nullopt);
  const fs::path exe = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(Bundle::main().bundlePath(), Bundle::bundlePathForExecutable(exe));
}

TEST(BundlePathTest, ExecutableLayoutGivesTheBundleDirectory) {
  struct Case {
    fs::path executable;
    fs::path bundle;
  };
  const Case cases[] = {
      {"/opt/Vandrel.app/Contents/MacOS/Vandrel", "/opt/Vandrel.app"},
      {"/opt/Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app/Contents/MacOS/"
       "Vandrel_Launcher",
       "/opt/Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app"},
      {"/usr/libexec/vandrel/helper", "/usr/libexec/vandrel"},
      {"/opt/Contents/MacOS.bak/Vandrel", "/opt/Contents/MacOS.bak"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.executable);
    EXPECT_EQ(Bundle::bundlePathForExecutable(c.executable), c.bundle);
  }
}

TEST_F(BundleTest, InfoDictionaryKeepsTypes) {
  Bundle bundle(app_);
  const auto& info = bundle.infoDictionary();
  EXPECT_EQ(info.at("CFBundleShortVersionString"), Value("1.0.0"));
  EXPECT_EQ(info.at("Number"), Value(3));
  EXPECT_EQ(info.at("Faultline").find("collectionEnabled")->asBool(), false);
  EXPECT_EQ(bundle.infoString("Number"), std::nullopt);  // not a string
  EXPECT_EQ(bundle.infoString("missing"), std::nullopt);
}

TEST_F(BundleTest, MissingOrCorruptInfoGivesAnEmptyDictionary) {
  const std::optional<std::string> infos[] = {std::nullopt, "{\"CFBundleIdentifier\": ",
                                              "[\"not an object\"]"};
  for (const auto& text : infos) {
    SCOPED_TRACE(text.value_or("(missing)"));
    fs::remove(app_ / "Contents" / "Info.json");
    if (text) writeFile(app_ / "Contents" / "Info.json", *text);
    testing::internal::CaptureStderr();
    Bundle bundle(app_);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(bundle.infoDictionary().empty());
    EXPECT_EQ(bundle.bundleIdentifier(), "");
    EXPECT_EQ(errors.empty(), !text.has_value()) << errors;
    // Without CFBundleExecutable the executable is named after the bundle.
    EXPECT_EQ(bundle.executablePath(), app_ / "Contents" / "MacOS" / "Vandrel");
  }
}

TEST_F(BundleTest, PathForResourceFindsExistingResourcesOnly) {
  Bundle bundle(app_);
  const fs::path resources = app_ / "Contents" / "Resources";
  EXPECT_EQ(bundle.resourcesPath(), resources);
  EXPECT_EQ(bundle.pathForResource("icon", "xcImage"), resources / "icon.xcImage");
  EXPECT_EQ(bundle.pathForResource("icon", ".xcImage"), resources / "icon.xcImage");
  EXPECT_EQ(bundle.pathForResource("icon.xcImage"), resources / "icon.xcImage");
  EXPECT_EQ(bundle.pathForResource("Vandrel-server-daemon"), resources / "Vandrel-server-daemon");
  EXPECT_EQ(bundle.pathForResource("widget-off", "png"), resources / "widget-off.png");
  EXPECT_EQ(bundle.pathForResource("icon"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource("widget-on", "png"), std::nullopt);
  EXPECT_EQ(bundle.pathForResource(""), std::nullopt);
}

TEST_F(BundleTest, LibraryPathsForLoginItemsAndLaunchServices) {
  Bundle bundle(app_);
  EXPECT_EQ(bundle.loginItemsPath() / "Vandrel_Launcher.app",
            app_ / "Contents/Library/LoginItems/Vandrel_Launcher.app");
  EXPECT_EQ(bundle.launchServicesPath() / "com.vandrel.mac.daemon",
            app_ / "Contents/Library/LaunchServices/com.vandrel.mac.daemon");
}

TEST(BuiltBundleTest, BuildTreeBundleCarriesTheIdentifier) {
  const char* built = std::getenv("VANDREL_BINARY_DIR");
  if (built == nullptr) GTEST_SKIP() << "run under CTest";
  Bundle bundle(fs::path(built) / "Vandrel.app");
  EXPECT_EQ(bundle.bundleIdentifier(), "com.vandrel.mac.offline");
  EXPECT_TRUE(bundle.infoString("CFBundleShortVersionString").has_value());
  EXPECT_TRUE(bundle.infoString("CFBundleVersion").has_value());
}

}  // namespace
}  // namespace vandrel::platform
