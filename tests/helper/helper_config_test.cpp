#include "helper/helper_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace vandrel::helper {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(HelperConfigTest, ReadsWhatFormatWrites) {
  HelperConfig config;
  config.allowedUids = {1000, 1001};
  config.daemonPath = "/usr/libexec/vandrel/Vandrel-server-daemon";
  config.daemonPort = 50999;
  config.execCommand = true;
  auto parsed = HelperConfig::parse(config.format());
  ASSERT_TRUE(parsed.ok()) << parsed.error().message;
  EXPECT_EQ(config.allowedUids, parsed.value().allowedUids);
  EXPECT_EQ(config.daemonPath, parsed.value().daemonPath);
  EXPECT_EQ(50999, parsed.value().daemonPort);
  EXPECT_TRUE(parsed.value().execCommand);
}

TEST(HelperConfigTest, DefaultsAreSafe) {
  auto parsed = HelperConfig::parse("daemon_path = /opt/d\n");
  ASSERT_TRUE(parsed.ok());
  EXPECT_TRUE(parsed.value().allowedUids.empty());
  EXPECT_EQ(50051, parsed.value().daemonPort);
  EXPECT_FALSE(parsed.value().execCommand);
  EXPECT_TRUE(parsed.value().allows(0));
  EXPECT_FALSE(parsed.value().allows(1000));
}

struct BadConfig {
  const char* name;
  std::string text;
  const char* says;
};

class HelperConfigRejectsTest : public testing::TestWithParam<BadConfig> {};

TEST_P(HelperConfigRejectsTest, WithAReason) {
  auto parsed = HelperConfig::parse(GetParam().text);
  ASSERT_FALSE(parsed.ok());
  EXPECT_NE(std::string::npos, parsed.error().message.find(GetParam().says))
      << parsed.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HelperConfigRejectsTest,
    testing::Values(
        BadConfig{"NoDaemon", "allowed_uids = 1000\n", "daemon_path is missing"},
        BadConfig{"RelativeDaemon", "daemon_path = bin/d\n", "absolute"},
        BadConfig{"UnknownKey", "daemon_path = /d\nalowed_uids = 5\n", "unknown key"},
        BadConfig{"Repeated", "daemon_path = /d\ndaemon_path = /e\n", "given twice"},
        BadConfig{"NoEquals", "daemon_path /d\n", "expected key = value"},
        BadConfig{"BadUid", "daemon_path = /d\nallowed_uids = 1000 x\n", "not a user id"},
        BadConfig{"NegativeUid", "daemon_path = /d\nallowed_uids = -1\n", "not a user id"},
        BadConfig{"NoUserUid", "daemon_path = /d\nallowed_uids = 4294967295\n", "not a user id"},
        BadConfig{"HugeUid", "daemon_path = /d\nallowed_uids = 99999999999\n", "not a user id"},
        BadConfig{"PortZero", "daemon_path = /d\ndaemon_port = 0\n", "port number"},
        BadConfig{"PortTooBig", "daemon_path = /d\ndaemon_port = 65536\n", "port number"},
        BadConfig{"PortWord", "daemon_path = /d\ndaemon_port = http\n", "port number"},
        BadConfig{"ExecYes", "daemon_path = /d\nexec_command = yes\n", "true or false"},
        BadConfig{"Nul", std::string("daemon_path = /d\0x\n", 19), "NUL"}),
    [](const testing::TestParamInfo<BadConfig>& info) { return info.param.name; });

class HelperConfigFileTest : public testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the file";
    std::string pattern = (fs::temp_directory_path() / "vandrel-config-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    file_ = dir_ / "helper.conf";
    std::ofstream(file_) << "# comment\n\n  daemon_path = /opt/d  \nallowed_uids = 7 8\n";
    ::chmod(file_.c_str(), 0644);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_, file_;
};

TEST_F(HelperConfigFileTest, LoadsARootOwnedFile) {
  auto loaded = HelperConfig::load(file_);
  ASSERT_TRUE(loaded.ok()) << loaded.error().message;
  EXPECT_EQ("/opt/d", loaded.value().daemonPath);
  EXPECT_TRUE(loaded.value().allows(8));
}

TEST_F(HelperConfigFileTest, RefusesAFileOthersMayChange) {
  ::chmod(file_.c_str(), 0664);
  EXPECT_FALSE(HelperConfig::load(file_).ok());
  ::chmod(file_.c_str(), 0644);
  ::chown(file_.c_str(), 65534, 65534);
  EXPECT_FALSE(HelperConfig::load(file_).ok());
  ::chown(file_.c_str(), 0, 0);
  fs::create_symlink(file_, dir_ / "link");
  EXPECT_FALSE(HelperConfig::load(dir_ / "link").ok());
  EXPECT_FALSE(HelperConfig::load(dir_ / "absent").ok());
}

TEST_F(HelperConfigFileTest, RefusesAFifoWithoutWaitingForAWriter) {
  const fs::path fifo = dir_ / "fifo.conf";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0644));
  auto loaded = std::make_shared<std::promise<bool>>();
  auto result = loaded->get_future();
  std::thread([loaded, fifo] { loaded->set_value(HelperConfig::load(fifo).ok()); }).detach();
  if (result.wait_for(5s) != std::future_status::ready) {
    // A writer that comes and goes lets the stuck open return.
    ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    result.wait();
    FAIL() << "load waited for a writer of the FIFO";
  }
  EXPECT_FALSE(result.get());
}

}  // namespace
}  // namespace vandrel::helper
