#include "crash/capture/flt_sdk_log.h"
#include "tests/support/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace vandrel::crash {
namespace {

namespace fs = std::filesystem;

using test_support::readFile;

int openDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// Waits for a forked child with a deadline; kills (by pid) and fails on
// time-out.
testing::AssertionResult waitForChild(pid_t pid, int* status,
                                      std::chrono::seconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = ::waitpid(pid, status, WNOHANG);
    if (done == pid) return testing::AssertionSuccess();
    if (done < 0) return testing::AssertionFailure() << "waitpid: " << std::strerror(errno);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, status, 0);
  return testing::AssertionFailure() << "child " << pid << " did not finish in time";
}

class FLTSDKLogTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flt_sdk_log_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = (dir_ / "sdk.log").string();
    readOnly_.path = path_.c_str();
    writable_.descriptor = -1;
    writable_.minimumLevel = kFLTSDKLogLevelDebug;
    FLTSDKLogAttach(&readOnly_, &writable_);
  }

  void TearDown() override {
    FLTSDKLogAttach(nullptr, nullptr);
    if (writable_.descriptor >= 0) ::close(writable_.descriptor);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string logged() const { return readFile(path_); }
  void clearLog() const { fs::resize_file(path_, 0); }

  fs::path dir_;
  std::string path_;
  FLTSDKLogReadOnlyState readOnly_{};
  FLTSDKLogWritableState writable_{};
};

struct FormatCase {
  const char* name;
  std::function<void()> log;
  std::string expected;
};

TEST_F(FLTSDKLogTest, ConversionsWriteTheirValuesAndUnknownOnesLiterally) {
  const int kAnInt = 7;
  const FormatCase cases[] = {
      {"null string", [] { FLTSDKLog(1, "[%s]", static_cast<const char*>(nullptr)); }, "[(null)]"},
      {"nullptr for %s", [] { FLTSDKLog(1, "[%s]", nullptr); }, "[(null)]"},
      {"string", [] { FLTSDKLog(1, "a %s b", "text"); }, "a text b"},
      {"negative", [] { FLTSDKLog(1, "%d", -5); }, "-5"},
      {"int min", [] { FLTSDKLog(1, "%d", INT32_MIN); }, "-2147483648"},
      {"zero signed", [] { FLTSDKLog(1, "%d", 0); }, "0"},
      {"%d is 32-bit", [] { FLTSDKLog(1, "%d", std::int64_t{0x1'0000'0005}); }, "5"},
      {"null pointer", [] { FLTSDKLog(1, "%p", static_cast<void*>(nullptr)); }, "0x0"},
      {"pointer", [] { FLTSDKLog(1, "%p", reinterpret_cast<void*>(0xdeadBEEFull)); }, "0xdeadbeef"},
      {"pointer as integer", [] { FLTSDKLog(1, "%p", std::uintptr_t{0x1000}); }, "0x1000"},
      {"unsigned max", [] { FLTSDKLog(1, "%u", 4294967295u); }, "4294967295"},
      {"%u is 32-bit", [] { FLTSDKLog(1, "%u", std::uint64_t{0x1'0000'0002}); }, "2"},
      {"hex", [] { FLTSDKLog(1, "%x", 0xABCDu); }, "abcd"},
      {"negative as hex", [] { FLTSDKLog(1, "%x", -1); }, "ffffffff"},
      {"%zu is literal", [] { FLTSDKLog(1, "total: %zu K\n", std::size_t{3}); }, "total: %zu K\n"},
      {"%llx is literal", [] { FLTSDKLog(1, "%llx", 1ull); }, "%llx"},
      {"%i and %f are literal", [] { FLTSDKLog(1, "%i %f", 1, 2); }, "%i %f"},
      {"%% is literal", [] { FLTSDKLog(1, "100%%"); }, "100%%"},
      {"trailing percent", [] { FLTSDKLog(1, "50%"); }, "50%"},
      {"unknown conversion takes no argument",
       [] { FLTSDKLog(1, "%z %d", 9); }, "%z 9"},
      {"missing argument", [] { FLTSDKLog(1, "%s and %d", "one"); }, "one and (missing)"},
      {"integer for %s is never dereferenced", [] { FLTSDKLog(1, "%s", 0x1234); }, "(invalid)"},
      {"pointer for %s is never dereferenced",
       [kAnInt] { FLTSDKLog(1, "%s", &kAnInt); }, "(invalid)"},
      {"string for %d", [] { FLTSDKLog(1, "%d", "x"); }, "(invalid)"},
      {"enum", [] { enum class E { A = 3 }; FLTSDKLog(1, "%d", E::A); }, "3"},
      {"bool", [] { FLTSDKLog(1, "%u", true); }, "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.log();
    EXPECT_EQ(logged(), c.expected);
    clearLog();
  }
}

TEST_F(FLTSDKLogTest, MacrosPrefixTheLevelWordAndThePlace) {
  FLT_SDK_LOG_DEBUG("Allocator successfully created %p", reinterpret_cast<void*>(0x10));
  FLT_SDK_LOG_INFO("plain\n");
  FLT_SDK_LOG_WARN("Unable to open metadata file %s\n", "/x/metadata.fltrecord");
  FLT_SDK_LOG_ERROR("Invalid allocator");
  const std::regex expected(
      "DEBUG \\[\\w+:\\d+\\] Allocator successfully created 0x10"
      "INFO  \\[\\w+:\\d+\\] plain\n"
      "WARN  \\[\\w+:\\d+\\] Unable to open metadata file /x/metadata.fltrecord\n"
      "ERROR \\[\\w+:\\d+\\] Invalid allocator");
  EXPECT_TRUE(std::regex_match(logged(), expected)) << logged();
}

TEST_F(FLTSDKLogTest, RaisedMinimumLevelDropsDebugAndInfoUntilRestored) {
  EXPECT_EQ(FLTSDKLogMinimumLevel(), kFLTSDKLogLevelDebug);
  FLTSDKLog(kFLTSDKLogLevelDebug, "d1;");

  FLTSDKLogSetMinimumLevel(kFLTSDKLogLevelWarn);
  FLTSDKLog(kFLTSDKLogLevelDebug, "d2;");
  FLTSDKLog(kFLTSDKLogLevelInfo, "i2;");
  FLTSDKLog(kFLTSDKLogLevelWarn, "w2;");
  FLTSDKLog(kFLTSDKLogLevelError, "e2;");

  FLTSDKLogSetMinimumLevel(kFLTSDKLogLevelDebug);
  FLTSDKLog(kFLTSDKLogLevelDebug, "d3;");
  EXPECT_EQ(logged(), "d1;w2;e2;d3;");
  EXPECT_EQ(writable_.minimumLevel, kFLTSDKLogLevelDebug);
}

TEST_F(FLTSDKLogTest, WritesNothingWithoutContextsOrPath) {
  FLTSDKLogAttach(nullptr, &writable_);
  FLTSDKLog(4, "no read-only context");
  FLTSDKLogAttach(&readOnly_, nullptr);
  FLTSDKLog(4, "no writable context");
  EXPECT_EQ(FLTSDKLogMinimumLevel(), 0);
  FLTSDKLogSetMinimumLevel(3);  // nothing attached: ignored, no fault
  FLTSDKLogReadOnlyState noPath{nullptr};
  FLTSDKLogAttach(&noPath, &writable_);
  FLTSDKLog(4, "no path");
  FLTSDKLog(4, nullptr);
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_EQ(writable_.descriptor, -1);
}

TEST_F(FLTSDKLogTest, AppendsToAnExistingFileAndRetriesAFailedOpen) {
  const fs::path sub = dir_ / "later";
  const std::string subPath = (sub / "sdk.log").string();
  FLTSDKLogReadOnlyState later{subPath.c_str()};
  FLTSDKLogAttach(&later, &writable_);
  FLTSDKLog(1, "lost;");
  EXPECT_EQ(writable_.descriptor, -1);

  fs::create_directory(sub);
  { std::ofstream(subPath) << "old;"; }
  FLTSDKLog(1, "kept;");
  EXPECT_GE(writable_.descriptor, 0);
  EXPECT_EQ(readFile(subPath), "old;kept;");
  struct stat info {};
  ASSERT_EQ(::stat(subPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u & ~static_cast<unsigned>([] {
              const mode_t mask = ::umask(0);
              ::umask(mask);
              return mask;
            }()));
}

TEST_F(FLTSDKLogTest, PreservesErrnoOfTheCaller) {
  errno = ERANGE;
  FLTSDKLog(1, "%s", "x");
  EXPECT_EQ(errno, ERANGE);
  FLTSDKLogReadOnlyState bad{"/nonexistent-dir/sdk.log"};
  FLTSDKLogAttach(&bad, &writable_);
  errno = EAGAIN;
  FLTSDKLog(1, "y");
  EXPECT_EQ(errno, EAGAIN);
}

TEST_F(FLTSDKLogTest, ConcurrentFirstLinesShareOneDescriptorAndLoseNoCharacter) {
  const int before = openDescriptorCount();
  constexpr int kThreads = 8;
  constexpr int kLines = 50;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&go, t] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) FLTSDKLog(2, "%d\n", t);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(openDescriptorCount(), before + 1);
  const std::string text = logged();
  EXPECT_EQ(text.size(), static_cast<std::size_t>(kThreads * kLines * 2));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(std::count(text.begin(), text.end(), static_cast<char>('0' + t)), kLines);
  }
}

// open, write, close, strlen and the errno accesses are all on the
// async-signal-safe list; this child proves the log works inside a handler
// of a real fault, running on an alternate stack, with nothing else.
void faultHandler(int signal) {
  FLT_SDK_LOG_ERROR("caught signal %d at %p in %s\n", signal, reinterpret_cast<void*>(0x2a),
                    "handler");
  ::_exit(3);
}

TEST_F(FLTSDKLogTest, LogsFromInsideTheSignalHandlerOfAFaultingChild) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    static char altStack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = altStack;
    stack.ss_size = sizeof altStack;
    ::sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_handler = faultHandler;
    action.sa_flags = SA_ONSTACK;
    ::sigaction(SIGSEGV, &action, nullptr);
    FLTSDKLog(1, "before;");
    volatile std::uintptr_t bad = 16;  // below the first page: never mapped
    *reinterpret_cast<volatile int*>(bad) = 1;
    ::_exit(0);
  }
  int status = 0;
  ASSERT_TRUE(waitForChild(pid, &status));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 3);
  const std::regex expected("before;ERROR \\[\\w+:\\d+\\] caught signal 11 at 0x2a in handler\n");
  EXPECT_TRUE(std::regex_match(logged(), expected)) << logged();
}

}  // namespace
}  // namespace vandrel::crash
