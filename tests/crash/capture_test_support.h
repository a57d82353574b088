#pragma once

// What the crash-capture tests share: a temp directory with the SDK log of
// its own per test, reading files back, forked children and the facts they
// hand back.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "crash/capture/flt_sdk_log.h"
#include "tests/support/temp_dir.h"

namespace vandrel::crash::capture_test {

using test_support::readFile;

// Waits up to 20 s for the child; a child that does not finish is killed.
inline ::testing::AssertionResult waitForChild(pid_t pid, int* status) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return ::testing::AssertionSuccess();
    if (done < 0) return ::testing::AssertionFailure() << "waitpid failed";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, status, 0);
  return ::testing::AssertionFailure() << "child did not finish in time";
}

// Runs `body` in a forked child that then exits 0; the child's wait status.
template <typename Body>
int runChild(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    body();
    _exit(0);
  }
  int status = 0;
  EXPECT_GE(pid, 0);
  EXPECT_TRUE(waitForChild(pid, &status));
  return status;
}

// What a child learnt, handed back as "key=value" lines in a file.
using Facts = std::map<std::string, std::string>;

inline void writeFacts(const std::string& path, const Facts& facts) {
  std::ofstream out(path);
  for (const auto& [key, value] : facts) out << key << '=' << value << '\n';
}

// Waits for the child, which must exit 0, and reads the facts it wrote.
inline Facts collectFacts(pid_t pid, const std::string& path) {
  int status = 0;
  EXPECT_GT(pid, 0);
  EXPECT_TRUE(waitForChild(pid, &status));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  Facts facts;
  std::istringstream lines(readFile(path));
  for (std::string line; std::getline(lines, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) facts[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return facts;
}

// Every test gets its own directory and "sdk.log" in it, attached as the
// kit's log, so warnings can be read back.
class SdkLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = path("sdk.log");
    readOnlyLog_.path = logPath_.c_str();
    writableLog_.descriptor = -1;
    writableLog_.minimumLevel = kFLTSDKLogLevelDebug;
    FLTSDKLogAttach(&readOnlyLog_, &writableLog_);
  }

  void TearDown() override {
    FLTSDKLogAttach(nullptr, nullptr);
    if (writableLog_.descriptor >= 0) close(writableLog_.descriptor);
  }

  std::string path(const std::string& name) const { return (dir_.path() / name).string(); }
  std::string log() const { return readFile(logPath_); }

  test_support::TempDir dir_{"flt-capture-test"};
  std::string logPath_;
  FLTSDKLogReadOnlyState readOnlyLog_{};
  FLTSDKLogWritableState writableLog_{};
};

}  // namespace vandrel::crash::capture_test
