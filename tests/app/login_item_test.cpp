// Start at log-in: the XDG autostart entry that starts the launcher, written
// and removed in a temporary config home, and read back the way a desktop
// session reads it.

#include <gtest/gtest.h>

#include <QString>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "app/login_item.h"
#include "launcher/launcher_paths.h"
#include "platform/bundle.h"
#include "tests/support/temp_dir.h"

namespace vandrel::app {
namespace {

namespace fs = std::filesystem;

using test_support::readFile;

// The value of `key` in the [Desktop Entry] group, escapes of a string
// value undone (\s \n \t \r \\), as a session reads it.
std::optional<std::string> entryValue(const std::string& entry, const std::string& key) {
  std::istringstream lines(entry);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(key + "=", 0) != 0) continue;
    const std::string raw = line.substr(key.size() + 1);
    std::string value;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '\\' || i + 1 == raw.size()) {
        value += raw[i];
        continue;
      }
      const char next = raw[++i];
      value += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
    }
    return value;
  }
  return std::nullopt;
}

// The program an Exec value starts: its first argument, with the quoting
// of the entry format undone and "%%" read as "%". Absent when the value is
// not one well-formed argument.
std::optional<std::string> execProgram(const std::string& exec) {
  std::string out;
  if (exec.empty() || exec.front() != '"') return std::nullopt;
  std::size_t i = 1;
  for (; i < exec.size() && exec[i] != '"'; ++i) {
    if (exec[i] == '\\') {
      if (++i == exec.size()) return std::nullopt;
      const char c = exec[i];
      if (c != '"' && c != '`' && c != '$' && c != '\\') return std::nullopt;
      out += c;
    } else if (exec[i] == '%') {
      if (++i == exec.size() || exec[i] != '%') return std::nullopt;  // a field code
      out += '%';
    } else if (exec[i] == '`' || exec[i] == '$') {
      return std::nullopt;  // reserved, must be escaped inside quotes
    } else {
      out += exec[i];
    }
  }
  if (i + 1 != exec.size()) return std::nullopt;  // no closing quote, or more arguments
  return out;
}

class LoginItemTest : public ::testing::Test {
 protected:
  fs::path entryFile() const {
    return dir_.path() / "config" / "autostart" / "com.vandrel.mac.launcherApp.desktop";
  }

  test_support::TempDir dir_{"vandrel-login-item"};
  fs::path launcher_ =
      "/opt/Vandrel.app/Contents/Library/LoginItems/Vandrel_Launcher.app/Contents/MacOS/"
      "Vandrel_Launcher";
  LoginItem item_{dir_.path() / "config", launcher_};
};

TEST_F(LoginItemTest, SwitchingOnWritesAnEntryThatStartsTheLauncherAndOffRemovesIt) {
  EXPECT_FALSE(item_.isEnabled());
  ASSERT_TRUE(item_.setEnabled(true).ok());
  EXPECT_EQ(item_.entryPath(), entryFile());
  ASSERT_TRUE(fs::exists(entryFile()));
  EXPECT_TRUE(item_.isEnabled());

  const std::string entry = readFile(entryFile());
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u) << entry;
  EXPECT_EQ(entryValue(entry, "Type"), "Application");
  EXPECT_EQ(entryValue(entry, "Hidden"), std::nullopt);  // Hidden=true would disable it
  const std::optional<std::string> exec = entryValue(entry, "Exec");
  ASSERT_TRUE(exec);
  EXPECT_EQ(execProgram(*exec), launcher_.string());
  // Only the entry lands in the folder: no temporary file stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(entryFile().parent_path()),
                          fs::directory_iterator()),
            1);

  ASSERT_TRUE(item_.setEnabled(false).ok());
  EXPECT_FALSE(fs::exists(entryFile()));
  EXPECT_FALSE(item_.isEnabled());
  // Off again, with nothing there: still fine.
  EXPECT_TRUE(item_.setEnabled(false).ok());
}

TEST_F(LoginItemTest, SwitchingOnAgainReplacesAnOlderEntry) {
  fs::create_directories(entryFile().parent_path());
  std::ofstream(entryFile()) << "[Desktop Entry]\nType=Application\nExec=/old/launcher\n";
  ASSERT_TRUE(item_.setEnabled(true).ok());
  EXPECT_EQ(execProgram(entryValue(readFile(entryFile()), "Exec").value_or("")),
            launcher_.string());
}

TEST_F(LoginItemTest, ALauncherPathWithSpecialCharactersSurvivesTheEntryFormat) {
  const char* const paths[] = {
      "/opt/My Apps/Vandrel.app/launcher",
      "/opt/say \"hi\"/launcher",
      "/opt/$HOME/`id`/launcher",
      "/opt/back\\slash/launcher",
      "/opt/100%/%f %U/launcher",
      "/opt/Vandrel 应用/launcher",
  };
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    const LoginItem item(dir_.path() / "config", path);
    ASSERT_TRUE(item.setEnabled(true).ok());
    const std::optional<std::string> exec = entryValue(readFile(entryFile()), "Exec");
    ASSERT_TRUE(exec);
    EXPECT_EQ(execProgram(*exec), std::string(path)) << *exec;
  }
}

TEST_F(LoginItemTest, ALauncherPathAnEntryCannotCarryIsRefusedAndWritesNothing) {
  const char* const paths[] = {"relative/launcher", "/opt/line\nbreak/launcher",
                               "/opt/tab\there/launcher"};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    const LoginItem item(dir_.path() / "config", path);
    EXPECT_FALSE(item.setEnabled(true).ok());
    EXPECT_FALSE(fs::exists(entryFile()));
  }
}

TEST_F(LoginItemTest, AnUnwritableAutostartFolderIsAnErrorNotASilentSuccess) {
  fs::create_directories(dir_.path() / "config");
  std::ofstream(dir_.path() / "config" / "autostart") << "a file where the folder belongs";
  const platform::Result<void> result = item_.setEnabled(true);
  ASSERT_FALSE(result.ok());
  EXPECT_FALSE(result.error().message.empty());
  EXPECT_FALSE(item_.isEnabled());
}

TEST_F(LoginItemTest, DefaultsFollowXdgConfigHomeAndTheRunningBundle) {
  test_support::ScopedEnv config("XDG_CONFIG_HOME", (dir_.path() / "xdg").string());
  test_support::ScopedEnv bundle("VANDREL_BUNDLE", "/opt/Vandrel.app");
  const LoginItem item;
  EXPECT_EQ(item.entryPath(),
            dir_.path() / "xdg" / "autostart" / "com.vandrel.mac.launcherApp.desktop");
  EXPECT_EQ(item.launcherExecutable(), launcher_);
  ASSERT_TRUE(item.setEnabled(true).ok());
  EXPECT_TRUE(fs::exists(dir_.path() / "xdg" / "autostart" / "com.vandrel.mac.launcherApp.desktop"));
}

TEST_F(LoginItemTest, TheLauncherStartedByTheEntryFindsTheApplicationOfItsBundle) {
  // The build tree's bundle, where the launcher is built next to the
  // application.
  const char* bundleDir = std::getenv("VANDREL_BUNDLE");
  if (bundleDir == nullptr) GTEST_SKIP() << "VANDREL_BUNDLE is not set";
  const platform::Bundle bundle{fs::path(bundleDir)};
  const LoginItem item(dir_.path() / "config");
  ASSERT_TRUE(item.setEnabled(true).ok());
  const std::optional<std::string> program =
      execProgram(entryValue(readFile(entryFile()), "Exec").value_or(""));
  ASSERT_TRUE(program);
  EXPECT_TRUE(fs::exists(*program)) << *program;

  // What the launcher works out from its own executable path.
  const QString launcherBundle =
      launcher::bundlePathForExecutable(QString::fromStdString(*program));
  const std::optional<QString> mainApp = launcher::mainAppExecutablePath(launcherBundle);
  ASSERT_TRUE(mainApp);
  EXPECT_EQ(fs::path(mainApp->toStdString()), bundle.contentsPath() / "MacOS" / "Vandrel");
}

}  // namespace
}  // namespace vandrel::app
