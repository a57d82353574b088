#include "launcher/launcher_paths.h"

#include <optional>

#include <gtest/gtest.h>

namespace vandrel::launcher {
namespace {

struct PathCase {
  const char* name;
  const char* launcherBundle;
  std::optional<const char*> mainExecutable;
};

TEST(LauncherPathsTest, MainExecutableIsThreeComponentsUpThenMacOSVandrel) {
  const PathCase cases[] = {
      {"installed bundle with spaces",
       "/home/ann/My Apps/Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app",
       "/home/ann/My Apps/Vandrel.app/Contents/MacOS/Vandrel"},
      {"trailing slash and doubled slashes are no components",
       "/opt//Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app/",
       "/opt/Vandrel.app/Contents/MacOS/Vandrel"},
      {"relative path stays relative", "b c/Vandrel.app/Contents/Library/LoginItems/L.app",
       "b c/Vandrel.app/Contents/MacOS/Vandrel"},
      {"exactly three components", "/x y/z/w", "/MacOS/Vandrel"},
      {"two components", "/LoginItems/Vandrel_Launcher.app", std::nullopt},
      {"root", "/", std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto got = mainAppExecutablePath(QString::fromUtf8(c.launcherBundle));
    ASSERT_EQ(got.has_value(), c.mainExecutable.has_value());
    if (got) {
      EXPECT_EQ(got->toStdString(), *c.mainExecutable);
    }
  }
}

TEST(LauncherPathsTest, BundleOfTheLauncherExecutable) {
  const struct {
    const char* executable;
    const char* bundle;
  } cases[] = {
      {"/a b/Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app/Contents/MacOS/"
       "Vandrel_Launcher",
       "/a b/Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app"},
      // Outside the bundle layout the directory of the executable stands in.
      {"/usr/lib/vandrel/Vandrel_Launcher", "/usr/lib/vandrel"},
      {"/x/Other/MacOS/Vandrel_Launcher", "/x/Other/MacOS"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.executable);
    EXPECT_EQ(bundlePathForExecutable(QString::fromUtf8(c.executable)).toStdString(), c.bundle);
  }
}

}  // namespace
}  // namespace vandrel::launcher
