#include "platform/process.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

namespace vandrel::platform {
namespace {

using test_support::TempDir;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Every run in these tests is bounded: a fault shows as a failure, not a hang.
ProcessOptions bounded(ProcessOptions options = {}) {
  if (!options.timeout) options.timeout = 30s;
  return options;
}

ProcessOutput mustRun(const std::vector<std::string>& argv, const ProcessOptions& options = {}) {
  auto result = ProcessRunner::system().run(argv, bounded(options));
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
  return result.ok() ? std::move(result).value() : ProcessOutput{};
}

ProcessOutput mustRunShell(const std::string& command, const ProcessOptions& options = {}) {
  auto result = ProcessRunner::system().runShell(command, bounded(options));
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
  return result.ok() ? std::move(result).value() : ProcessOutput{};
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// True once `pid` has gone or is a zombie (killed, not yet reaped by init).
testing::AssertionResult processEnds(pid_t pid, std::chrono::seconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string ignored, state;
    if (!(stat >> ignored) || !stat.ignore(1024, ')') || !(stat >> state) || state == "Z") {
      return testing::AssertionSuccess();
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return testing::AssertionFailure() << "process " << pid << " still runs (" << state << ")";
    }
    std::this_thread::sleep_for(10ms);
  }
}

TEST(ProcessRunnerTest, PassesArgvVerbatimWithoutAShell) {
  const std::vector<std::string> args = {"a b", "x;echo injected", "$HOME", "\"q\"", "it's",
                                         "",    "*",               "`id`"};
  std::vector<std::string> argv = {"printf", "[%s]\\n"};  // bare name: found in the fixed PATH
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessOutput out = mustRun(argv);
  std::string expected;
  for (const auto& a : args) expected += "[" + a + "]\n";
  EXPECT_EQ(out.standardOutput, expected);
  EXPECT_EQ(out.exitCode, 0);
}

TEST(ProcessRunnerTest, RunShellUsesBashWithOnlyTheFixedPath) {
  ASSERT_EQ(::setenv("VANDREL_PROCESS_TEST_PARENT_ONLY", "leaked", 1), 0);
  const ProcessOutput out = mustRunShell(
      "echo \"$PATH\"; [ -n \"$BASH_VERSION\" ] && echo bash; "
      "echo \"[${VANDREL_PROCESS_TEST_PARENT_ONLY}]\"");
  ::unsetenv("VANDREL_PROCESS_TEST_PARENT_ONLY");
  EXPECT_EQ(lines(out.standardOutput),
            (std::vector<std::string>{"/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "bash", "[]"}));
}

TEST(ProcessRunnerTest, GivenEnvironmentReplacesTheDefaultAndDrivesTheProgramLookup) {
  ProcessOptions options;
  options.environment = {"A=1 2", "PATH=/bin"};
  EXPECT_EQ(mustRunShell("echo \"$A|$PATH\"", options).standardOutput, "1 2|/bin\n");

  // A bare program name is looked up in the child's PATH, never in ours.
  options.environment = {"PATH=/nonexistent"};
  auto missing = ProcessRunner::system().run({"true"}, bounded(options));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().code, ENOENT);
}

TEST(ProcessRunnerTest, ReadsLargeOutputOnBothStreamsAtOnce) {
  // stderr first: a runner that reads stdout to its end (or waits before
  // reading) leaves the child blocked on a full stderr pipe.
  const ProcessOutput out = mustRunShell(
      "head -c 204800 /dev/zero | tr '\\0' e >&2; head -c 204800 /dev/zero | tr '\\0' o; "
      "head -c 204800 /dev/zero | tr '\\0' E >&2");
  EXPECT_EQ(out.exitCode, 0);
  EXPECT_EQ(out.standardOutput, std::string(204800, 'o'));
  EXPECT_EQ(out.standardError, std::string(204800, 'e') + std::string(204800, 'E'));
}

TEST(ProcessRunnerTest, KeepsAtMostTheCapOfAStreamAndFlagsWhatWasCut) {
  // The child writes on past the cap and then to the other stream: it is
  // drained to its end, so it neither blocks nor loses the later line.
  struct Case {
    const char* name;
    const char* stream;  // where the bulk goes; "done" goes to the other
    std::size_t size;
    bool truncated;
  };
  const Case cases[] = {
      {"stdout past the cap", "1", kMaxKeptOutput + 300000, true},
      {"stderr past the cap", "2", kMaxKeptOutput + 300000, true},
      {"stdout exactly at the cap", "1", kMaxKeptOutput, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool toStdout = std::string_view(c.stream) == "1";
    const ProcessOutput out = mustRunShell("head -c " + std::to_string(c.size) +
                                           " /dev/zero | tr '\\0' x >&" + c.stream +
                                           "; echo done >&" + (toStdout ? "2" : "1"));
    EXPECT_EQ(out.exitCode, 0);
    const std::string& bulk = toStdout ? out.standardOutput : out.standardError;
    const std::string& other = toStdout ? out.standardError : out.standardOutput;
    EXPECT_EQ(bulk.size(), std::min(c.size, kMaxKeptOutput));
    EXPECT_EQ(bulk.find_first_not_of('x'), std::string::npos);
    EXPECT_EQ(other, "done\n");
    EXPECT_EQ(toStdout ? out.standardOutputTruncated : out.standardErrorTruncated, c.truncated);
    EXPECT_FALSE(toStdout ? out.standardErrorTruncated : out.standardOutputTruncated);
  }
}

TEST(ProcessRunnerTest, DeliversLargeStdinWhileReadingOutput) {
  // cat echoes as it reads: writing all input before reading any output
  // would dead-lock once both pipes are full.
  std::string input;
  for (int i = 0; input.size() < 1024 * 1024; ++i) input += std::to_string(i) + "\n";
  ProcessOptions options;
  options.standardInput = input;
  const ProcessOutput out = mustRun({"/bin/cat"}, options);
  EXPECT_EQ(out.exitCode, 0);
  EXPECT_EQ(out.standardOutput.size(), input.size());
  EXPECT_TRUE(out.standardOutput == input);

  // No input: stdin is at end of file, not our terminal or pipe.
  EXPECT_EQ(mustRun({"/bin/cat"}).standardOutput, "");
}

TEST(ProcessRunnerTest, ReportsExitCodeAndSignalDeath) {
  struct Case {
    const char* command;
    int exitCode;
    int signal;  // 0 = exited normally
  };
  const Case cases[] = {
      {"exit 0", 0, 0},
      {"exit 3", 3, 0},
      {"exit 255", 255, 0},
      {"kill -TERM $$", -1, SIGTERM},
      {"kill -KILL $$", -1, SIGKILL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const ProcessOutput out = mustRunShell(c.command);
    EXPECT_EQ(out.exitCode, c.exitCode);
    if (c.signal == 0) {
      EXPECT_TRUE(WIFEXITED(out.waitStatus));
    } else {
      ASSERT_TRUE(WIFSIGNALED(out.waitStatus));
      EXPECT_EQ(WTERMSIG(out.waitStatus), c.signal);
    }
  }
}

TEST(ProcessRunnerTest, TimeoutKillsTheChildAndWhatItStarted) {
  TempDir dir;
  const fs::path pidFile = dir.path() / "pid";
  ProcessOptions options;
  // Long enough for the shell to start its background child on a busy
  // machine: the test is about what the kill reaches, not how soon.
  options.timeout = 2s;
  const auto started = std::chrono::steady_clock::now();
  auto result = ProcessRunner::system().runShell(
      "sleep 60 & echo $! > '" + pidFile.string() + "'; wait", options);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(result.error().code, ETIMEDOUT);
  EXPECT_EQ(result.error().message, "\"/bin/bash\" did not finish within 2000 ms and was killed");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

  pid_t background = 0;
  std::ifstream(pidFile) >> background;
  ASSERT_GT(background, 0);
  EXPECT_TRUE(processEnds(background));
}

TEST(ProcessRunnerTest, TimeoutHoldsAgainstAChildThatNeverStopsWriting) {
  ProcessOptions options;
  options.timeout = 300ms;
  auto result = ProcessRunner::system().run({"yes"}, options);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().code, ETIMEDOUT);
}

TEST(ProcessRunnerTest, BackgroundProcessHoldingThePipesDoesNotDelayTheResult) {
  // The shell exits at once; its background child keeps stdout and stderr
  // open for a minute.
  const ProcessOutput out = mustRunShell("sleep 60 & echo $!; echo done >&2");
  EXPECT_EQ(out.exitCode, 0);
  EXPECT_EQ(out.standardError, "done\n");
  const pid_t background = std::atoi(out.standardOutput.c_str());
  ASSERT_GT(background, 0);
  ::kill(background, SIGKILL);  // ours: its pid came from the shell we ran
}

TEST(ProcessRunnerTest, ProgramThatCannotStartIsAnError) {
  TempDir dir;
  const fs::path notExecutable = dir.path() / "script";
  std::ofstream(notExecutable) << "#!/bin/sh\necho hi\n";
  ::chmod(notExecutable.c_str(), 0644);

  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::string workingDirectory;
    int code;
  };
  const Case cases[] = {
      {"missing path", {"/nonexistent/program"}, "", ENOENT},
      {"missing bare name", {"vandrel-no-such-program"}, "", ENOENT},
      {"not executable", {notExecutable.string()}, "", EACCES},
      {"directory", {dir.path().string()}, "", EACCES},
      {"missing working directory", {"/bin/true"}, (dir.path() / "gone").string(), ENOENT},
      {"empty argv", {}, "", EINVAL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessOptions options;
    options.workingDirectory = c.workingDirectory;
    auto result = ProcessRunner::system().run(c.argv, bounded(options));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(result.error().code, c.code) << result.error().message;
    if (!c.argv.empty()) {
      EXPECT_NE(result.error().message.find(c.argv.front()), std::string::npos);
    }
    if (!c.workingDirectory.empty()) {
      EXPECT_NE(result.error().message.find(c.workingDirectory), std::string::npos);
    }
  }

  // Inside a shell command a missing program is the shell's exit code.
  EXPECT_EQ(mustRunShell("vandrel-no-such-program").exitCode, 127);
}

TEST(ProcessRunnerTest, RefusesANulByteInsteadOfRunningWhatPrecedesIt) {
  // Each of these would run, cut at the NUL, were it passed on as a C string.
  using namespace std::string_literals;
  struct Case {
    const char* name;
    std::vector<std::string> argv;
    std::vector<std::string> environment;
    std::string workingDirectory;
  };
  const Case cases[] = {
      {"program", {"/bin/true\0/elsewhere"s}, {}, ""},
      {"argument", {"/bin/echo", "safe\0; more"s}, {}, ""},
      {"shell command", {std::string(kShellPath), "-c", "exit 0\0; exit 3"s}, {}, ""},
      {"environment entry", {"/bin/true"}, {"PATH=/bin\0:/elsewhere"s}, ""},
      {"working directory", {"/bin/true"}, {}, "/\0/elsewhere"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProcessOptions options;
    options.environment = c.environment;
    options.workingDirectory = c.workingDirectory;
    auto result = ProcessRunner::system().run(c.argv, bounded(options));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(result.error().code, EINVAL);
    EXPECT_NE(result.error().message.find("NUL byte"), std::string::npos) << result.error().message;
    EXPECT_EQ(result.error().message.find('\0'), std::string::npos);
  }
  auto shell = ProcessRunner::system().runShell("exit 0\0; exit 3"s, bounded());
  ASSERT_FALSE(shell.ok());
  EXPECT_EQ(shell.error().code, EINVAL);
}

TEST(ProcessRunnerTest, RunsInTheGivenWorkingDirectory) {
  TempDir dir;
  ProcessOptions options;
  options.workingDirectory = dir.path().string();
  EXPECT_EQ(mustRun({"/bin/pwd"}, options).standardOutput, dir.path().string() + "\n");
}

TEST(ProcessRunnerTest, ChildGetsOnlyTheStandardDescriptors) {
  // One descriptor of ours without close-on-exec, as a careless library
  // would leave it: it must not reach the child either.
  const int stray = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 0);
  // ls runs as the shell's child and lists the shell's descriptors.
  const ProcessOutput out = mustRunShell("ls /proc/$$/fd; true");
  ::close(stray);
  EXPECT_EQ(lines(out.standardOutput), (std::vector<std::string>{"0", "1", "2"}));
}

// /proc/<pid>/status reports the mask and the ignored set as hex bit sets.
std::string statusField(const std::string& status, const std::string& field) {
  for (const auto& line : lines(status)) {
    if (line.starts_with(field + ":")) return line.substr(line.find_first_not_of(" \t", field.size() + 1));
  }
  return "missing";
}

TEST(ProcessRunnerTest, ChildStartsWithNoBlockedOrIgnoredSignals) {
  ignoreSigpipe();  // ignored here: the child must get it back
  struct sigaction ignore {};
  struct sigaction previousInt {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGINT, &ignore, &previousInt);
  sigset_t blocked;
  sigset_t previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

  // cat itself reads its own status: no shell in between to reset anything.
  const ProcessOutput out = mustRun({"/bin/cat", "/proc/self/status"});

  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ::sigaction(SIGINT, &previousInt, nullptr);
  EXPECT_EQ(statusField(out.standardOutput, "SigBlk"), "0000000000000000");
  // Bits 31 and 32 are signals 32 and 33, the C library's internal ones:
  // its posix_spawn leaves them ignored and no sigset_t can name them.
  // Every program that uses them installs its own handler.
  const std::string ignored = statusField(out.standardOutput, "SigIgn");
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & ~0x180000000ull, 0u) << ignored;
}

TEST(ProcessRunnerDeathTest, ChildClosingStdinEarlyDoesNotKillUs) {
  // A freshly started test process, with SIGPIPE at its default as an
  // application starts: nothing before the runner may have ignored it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::signal(SIGPIPE, SIG_DFL);
        ProcessOptions options;
        options.standardInput = std::string(8 * 1024 * 1024, 'x');
        auto result = ProcessRunner::system().runShell("exec 0<&-; echo closed", bounded(options));
        const bool delivered = result.ok() && result.value().exitCode == 0 &&
                               result.value().standardOutput == "closed\n";
        std::fprintf(stderr, delivered ? "delivered" : "wrong result");
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "^delivered$");
}

TEST(ProcessRunnerTest, ManyThreadsRunAtOnce) {
  // Each child reads its stdin to the end. Were a pipe end of one run to
  // leak into another run's child, that cat would never see end of file.
  constexpr int kThreads = 8;
  constexpr int kRunsEach = 10;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &good] {
      for (int i = 0; i < kRunsEach; ++i) {
        ProcessOptions options;
        options.standardInput = std::string(100000 + t * 1000 + i, static_cast<char>('a' + t));
        auto result = ProcessRunner::system().run({"/bin/cat"}, bounded(options));
        if (result.ok() && result.value().standardOutput == options.standardInput) ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), kThreads * kRunsEach);
}

}  // namespace
}  // namespace vandrel::platform
