// The installer program against a staging root directory: what it writes,
// with which owners and modes, and what it asks of the service manager.

#include "helper/installer.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "helper/daemon_components.h"
#include "helper/helper_config.h"
#include "tests/helper/helper_fixture.h"

namespace vandrel::helper {
namespace {

using namespace testing_support;

struct Ran {
  int exitCode = -1;
  std::string errors;
};

class InstallerTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the installer runs as root";
    bundle_ = dir_ / "Vandrel.app";
    fs::create_directories(bundle_ / "Contents/Resources");
    fs::create_directories(bundle_ / "Contents/Library/LaunchServices");
    std::ofstream(bundle_ / "Contents/Resources/Vandrel-server-daemon") << "daemon program";
    std::ofstream(bundle_ / "Contents/Library/LaunchServices/com.vandrel.mac.daemon")
        << "helper program";
    stage_ = dir_ / "stage";
    systemctl_ = dir_ / "systemctl";
    std::ofstream(systemctl_) << "#!/bin/sh\necho \"$*\" >> " << (dir_ / "systemctl.log").string()
                              << "\n";
    ::chmod(systemctl_.c_str(), 0755);
    // The daemon's packaged components, as the installer looks for them.
    components_ = dir_ / "system";
    for (const auto& component : kDaemonComponents) {
      const fs::path path = components_ / fs::path(component.path).relative_path();
      fs::create_directories(path.parent_path());
      std::ofstream(path) << "packaged program";
    }
  }

  Ran install(std::vector<std::string> extra, const std::string& environment = "") {
    const fs::path errors = dir_ / "errors";
    std::string command = environment + " " + installerExecutable().string() + " --bundle " +
                          bundle_.string() + " --root " + stage_.string() +
                          " --components-root " + components_.string();
    for (const auto& arg : extra) command += " " + arg;
    command += " 2>" + errors.string();
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(errors)};
  }

  static void expectOwnedFile(const fs::path& path, mode_t mode, const std::string& content) {
    SCOPED_TRACE(path.string());
    struct stat st {};
    ASSERT_EQ(0, ::lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0u, st.st_gid);
    EXPECT_EQ(mode, st.st_mode & 07777);
    if (!content.empty()) {
      EXPECT_EQ(content, readFile(path));
    }
  }

  static void expectOwnedDirectory(const fs::path& path) {
    SCOPED_TRACE(path.string());
    struct stat st {};
    ASSERT_EQ(0, ::lstat(path.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0755u, st.st_mode & 07777);
  }

  HelperConfig config() {
    auto parsed = HelperConfig::parse(readFile(stage_ / "etc/vandrel/helper.conf"));
    EXPECT_TRUE(parsed.ok()) << (parsed.ok() ? "" : parsed.error().message);
    return parsed.ok() ? parsed.value() : HelperConfig{};
  }

  TempDir dir_;
  fs::path bundle_, stage_, systemctl_, components_;
};

TEST_F(InstallerTest, WritesProgramsConfigurationAndUnitsOwnedByRoot) {
  const Ran ran = install({"--uid", "1234", "--systemctl", systemctl_.string()});
  ASSERT_EQ(0, ran.exitCode) << ran.errors;
  expectOwnedDirectory(stage_ / "usr/libexec/vandrel");
  expectOwnedDirectory(stage_ / "etc/vandrel");
  expectOwnedFile(stage_ / "usr/libexec/vandrel/com.vandrel.mac.daemon", 0755, "helper program");
  expectOwnedFile(stage_ / "usr/libexec/vandrel/Vandrel-server-daemon", 0755, "daemon program");
  expectOwnedFile(stage_ / "etc/vandrel/helper.conf", 0644, "");
  expectOwnedFile(stage_ / "etc/systemd/system/com.vandrel.mac.daemon.socket", 0644,
                  socketUnitText());
  expectOwnedFile(stage_ / "etc/systemd/system/com.vandrel.mac.daemon.service", 0644,
                  serviceUnitText());

  const HelperConfig written = config();
  EXPECT_EQ(std::vector<uid_t>{1234}, written.allowedUids);
  EXPECT_EQ("/usr/libexec/vandrel/Vandrel-server-daemon", written.daemonPath);
  EXPECT_EQ(50051, written.daemonPort);
  EXPECT_FALSE(written.execCommand);
  EXPECT_EQ((std::vector<std::string>{"daemon-reload", "enable --now com.vandrel.mac.daemon.socket",
                                      "try-restart com.vandrel.mac.daemon.service"}),
            readLines(dir_ / "systemctl.log"));
  // No temporary file is left beside what was written.
  for (const auto& dir : {"usr/libexec/vandrel", "etc/vandrel", "etc/systemd/system"}) {
    for (const auto& entry : fs::directory_iterator(stage_ / dir)) {
      EXPECT_NE('.', entry.path().filename().string().front()) << entry.path();
    }
  }
}

TEST_F(InstallerTest, UnitsNameTheSocketAndKeepTheDaemonAcrossHelperRestarts) {
  EXPECT_NE(std::string::npos,
            socketUnitText().find("ListenStream=/run/com.vandrel.mac.daemon.sock\n"));
  EXPECT_NE(std::string::npos, socketUnitText().find("Accept=no\n"));
  EXPECT_NE(std::string::npos,
            serviceUnitText().find("ExecStart=/usr/libexec/vandrel/com.vandrel.mac.daemon --config "
                                   "/etc/vandrel/helper.conf\n"));
  EXPECT_NE(std::string::npos, serviceUnitText().find("KillMode=process\n"));
}

TEST_F(InstallerTest, ReinstallKeepsEarlierUsersAndPortAndRepairsDirectories) {
  ASSERT_EQ(0, install({"--uid", "1234"}).exitCode);
  {
    HelperConfig edited = config();
    edited.daemonPort = 50999;
    edited.execCommand = true;
    std::ofstream(stage_ / "etc/vandrel/helper.conf") << edited.format();
  }
  ::chmod((stage_ / "etc/vandrel").c_str(), 0777);
  ::chown((stage_ / "usr/libexec/vandrel").c_str(), 65534, 65534);

  const Ran ran = install({"--uid", "4321"}, "PKEXEC_UID=1235");
  ASSERT_EQ(0, ran.exitCode) << ran.errors;
  const HelperConfig written = config();
  EXPECT_EQ((std::vector<uid_t>{1234, 1235}), written.allowedUids);  // pkexec's user wins
  EXPECT_EQ(50999, written.daemonPort);
  EXPECT_FALSE(written.execCommand);
  expectOwnedDirectory(stage_ / "etc/vandrel");
  expectOwnedDirectory(stage_ / "usr/libexec/vandrel");
  EXPECT_FALSE(fs::exists(dir_ / "systemctl.log"));  // staging root, no --systemctl
}

TEST_F(InstallerTest, UnusableConfigurationIsReplaced) {
  fs::create_directories(stage_ / "etc/vandrel");
  std::ofstream(stage_ / "etc/vandrel/helper.conf") << "garbage\n";
  const Ran ran = install({"--uid", "77"});
  ASSERT_EQ(0, ran.exitCode) << ran.errors;
  EXPECT_NE(std::string::npos, ran.errors.find("replacing an unusable configuration"));
  EXPECT_EQ(std::vector<uid_t>{77}, config().allowedUids);
}

TEST_F(InstallerTest, MissingPackagedComponentsAreNamedAndNothingIsInstalled) {
  fs::remove(components_ / "usr/bin/ss-local");
  fs::remove(components_ / "usr/sbin/privoxy");
  const Ran ran = install({"--uid", "77"});
  EXPECT_EQ(1, ran.exitCode);
  EXPECT_NE(std::string::npos, ran.errors.find("shadowsocks-libev (/usr/bin/ss-local"))
      << ran.errors;
  EXPECT_NE(std::string::npos, ran.errors.find("privoxy (/usr/sbin/privoxy")) << ran.errors;
  EXPECT_NE(std::string::npos, ran.errors.find("apt-get install shadowsocks-libev privoxy"))
      << ran.errors;
  EXPECT_EQ(std::string::npos, ran.errors.find("shadowsocks-v2ray-plugin")) << ran.errors;
  EXPECT_FALSE(fs::exists(stage_));

  std::ofstream(components_ / "usr/bin/ss-local") << "packaged program";
  std::ofstream(components_ / "usr/sbin/privoxy") << "packaged program";
  EXPECT_EQ(0, install({"--uid", "77"}).exitCode);
}

TEST_F(InstallerTest, FailuresExitOneWithAReason) {
  fs::remove(bundle_ / "Contents/Resources/Vandrel-server-daemon");
  const Ran missing = install({});
  EXPECT_EQ(1, missing.exitCode);
  EXPECT_NE(std::string::npos, missing.errors.find("Vandrel-server-daemon")) << missing.errors;

  std::ofstream(bundle_ / "Contents/Resources/Vandrel-server-daemon") << "daemon program";
  const fs::path failing = dir_ / "failing-systemctl";
  std::ofstream(failing) << "#!/bin/sh\necho 'no bus' >&2\nexit 1\n";
  ::chmod(failing.c_str(), 0755);
  const Ran refused = install({"--systemctl", failing.string()});
  EXPECT_EQ(1, refused.exitCode);
  EXPECT_NE(std::string::npos, refused.errors.find("no bus")) << refused.errors;

  // A FIFO in place of a program is refused, not waited on (124: timed out).
  fs::remove(bundle_ / "Contents/Library/LaunchServices/com.vandrel.mac.daemon");
  ASSERT_EQ(
      0,
      ::mkfifo((bundle_ / "Contents/Library/LaunchServices/com.vandrel.mac.daemon").c_str(), 0755));
  const Ran fifo = install({}, "timeout 10");
  EXPECT_EQ(1, fifo.exitCode) << fifo.errors;
  EXPECT_NE(std::string::npos, fifo.errors.find("com.vandrel.mac.daemon")) << fifo.errors;

  EXPECT_EQ(2, install({"--uid", "x"}).exitCode);
  EXPECT_EQ(2, install({"--bogus", "1"}).exitCode);
}

}  // namespace
}  // namespace vandrel::helper
