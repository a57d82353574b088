// Starting the daemon from its checked descriptor: what the started
// process inherits, and that nothing is left behind.

#include "helper/daemon_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "helper/proc_table.h"
#include "tests/helper/helper_fixture.h"
#include "tests/support/sanitizers.h"

namespace vandrel::helper {
namespace {

using namespace testing_support;

// "SigBlk:" and the like from /proc/PID/status, as a number.
unsigned long long statusMask(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stoull(line.substr(field.size() + 1), nullptr, 16);
  }
  return ~0ULL;
}

pid_t sessionOf(pid_t pid) {
  const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string state;
  pid_t ppid = 0, group = 0, session = 0;
  rest >> state >> ppid >> group >> session;
  return session;
}

// Runs as the first process of a pid namespace of its own: starts a daemon
// that ends at once and is never asked about, makes its pid the next one
// handed out, starts another there and tells whether that one passes for
// ended. Exit 0: it does not; 1: it does; others: the set-up failed.
int reusedPidCase(const DaemonExecutable& ending, const DaemonExecutable& running) {
  auto first = startDetached(ending, {"false"});
  if (!first.ok()) return 2;
  // The reaper thread ends right after it recorded the exit.
  auto alone = [] {
    return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator()) == 1;
  };
  if (!eventually(alone, 5s, "the reaper to end")) return 3;
  std::ofstream("/proc/sys/kernel/ns_last_pid") << first.value() - 1 << std::flush;
  auto second = startDetached(running, {"sleep", "300"});
  if (!second.ok()) return 4;
  const bool reused = second.value() == first.value();
  const bool ended = reused && takeExitStatus(second.value()).has_value();
  ::kill(second.value(), SIGKILL);
  if (!reused) return 5;
  return ended ? 1 : 0;
}

class DaemonProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
  }
  // A root-owned copy of a system program, the way the helper wants it.
  fs::path copyOf(const char* program) {
    const fs::path copy = dir_ / fs::path(program).filename();
    fs::copy_file(program, copy);
    ::chmod(copy.c_str(), 0755);
    return copy;
  }
  TempDir dir_;
};

TEST_F(DaemonProcessTest, OpenChecksTheFileItself) {
  const fs::path good = copyOf("/bin/true");
  EXPECT_TRUE(DaemonExecutable::open(good).ok());
  struct Case {
    const char* name;
    std::function<fs::path()> arrange;
  };
  const Case cases[] = {
      {"group-writable",
       [&] {
         ::chmod(good.c_str(), 0775);
         return good;
       }},
      {"world-writable",
       [&] {
         ::chmod(good.c_str(), 0757);
         return good;
       }},
      {"not executable",
       [&] {
         ::chmod(good.c_str(), 0644);
         return good;
       }},
      {"not root's",
       [&] {
         ::chmod(good.c_str(), 0755);
         ::chown(good.c_str(), 65534, 0);
         return good;
       }},
      {"directory", [&] { return dir_.path(); }},
      {"link",
       [&] {
         ::chown(good.c_str(), 0, 0);
         fs::create_symlink(good, dir_ / "link");
         return dir_ / "link";
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(DaemonExecutable::open(c.arrange()).ok());
  }
}

TEST_F(DaemonProcessTest, DetachedProcessStartsCleanAndIsReaped) {
  const fs::path sleep = copyOf("/bin/sleep");
  auto executable = DaemonExecutable::open(sleep);
  ASSERT_TRUE(executable.ok()) << executable.error().message;
  // What a helper thread might carry: an ignored and a blocked signal, and
  // a descriptor without close-on-exec.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGINT, &ignore, &previous);
  sigset_t usr1, oldMask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);
  const int leaked = ::open("/dev/zero", O_RDONLY);

  auto pid = startDetached(executable.value(), {sleep.string(), "300"});
  ::close(leaked);
  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGINT, &previous, nullptr);
  ASSERT_TRUE(pid.ok()) << pid.error().message;
  const pid_t child = pid.value();
  ASSERT_TRUE(
      eventually([&] { return proc::executableIdentity(child) == executable.value().identity(); },
                 5s, "the exec"));

  EXPECT_EQ(child, sessionOf(child));
  EXPECT_EQ(0ULL, statusMask(child, "SigBlk"));
  EXPECT_EQ(0ULL, statusMask(child, "SigIgn") & ((1ULL << 31) - 1));
  // The dynamic loader holds a library open for a moment after exec;
  // anything inherited would stay.
  auto standardStreamsOnly = [&] {
    const auto files = proc::openFiles(child);
    return files.size() == 3 && std::all_of(files.begin(), files.end(), [](const auto& file) {
             return file.fd <= 2 && file.target == "/dev/null";
           });
  };
  EXPECT_TRUE(eventually(standardStreamsOnly, 5s, "only 0, 1 and 2 on /dev/null"));

  ::kill(child, SIGKILL);
  std::optional<int> status;
  EXPECT_TRUE(
      eventually([&] { return (status = takeExitStatus(child)).has_value(); }, 5s, "reaping"));
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFSIGNALED(*status));
  EXPECT_FALSE(fs::exists("/proc/" + std::to_string(child)));  // no zombie
}

TEST_F(DaemonProcessTest, EarlyExitIsReported) {
  const fs::path no = copyOf("/bin/false");
  auto executable = DaemonExecutable::open(no);
  ASSERT_TRUE(executable.ok());
  auto pid = startDetached(executable.value(), {no.string()});
  ASSERT_TRUE(pid.ok());
  std::optional<int> status;
  EXPECT_TRUE(eventually([&] { return (status = takeExitStatus(pid.value())).has_value(); }, 5s,
                         "the exit"));
  ASSERT_TRUE(status);
  EXPECT_EQ(1, WEXITSTATUS(*status));
}

TEST_F(DaemonProcessTest, ExitOfAnEarlierProcessIsNotTakenForAReusedPid) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "waits for a forked child to be down to one thread; ThreadSanitizer keeps "
                    "a thread of its own in every process";
  }
  const fs::path no = copyOf("/bin/false");
  const fs::path sleep = copyOf("/bin/sleep");
  auto ending = DaemonExecutable::open(no);
  auto running = DaemonExecutable::open(sleep);
  ASSERT_TRUE(ending.ok() && running.ok());
  // Pids wrap around (32768 by default); a namespace of its own lets the
  // test hand one out again at once.
  const pid_t outer = ::fork();
  if (outer == 0) {
    if (::unshare(CLONE_NEWPID) != 0) ::_exit(10);
    const pid_t first = ::fork();
    if (first == 0) ::_exit(reusedPidCase(ending.value(), running.value()));
    int status = 0;
    if (first < 0 || ::waitpid(first, &status, 0) != first) ::_exit(11);
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 12);
  }
  int status = 0;
  ASSERT_EQ(outer, ::waitpid(outer, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status))
      << "1: the new process passed for ended; 2-12: the set-up failed";
}

// A multi-threaded process whose first thread has ended is a zombie, yet
// its other threads still hold its descriptors: a listening socket among
// them keeps a new daemon off the port. It has exited only once every
// thread has.
TEST_F(DaemonProcessTest, AProcessWhoseFirstThreadEndedHasNotExitedWhileOthersRun) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "starts a thread in a forked child, which ThreadSanitizer does not support";
  }
  const int port = freeLoopbackPort();
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 1) != 0) {
      ::_exit(1);
    }
    pthread_t other;
    ::pthread_create(
        &other, nullptr,
        [](void*) -> void* {
          for (;;) ::pause();
        },
        nullptr);
    // This thread alone ends (no unwinding through the test's frames).
    ::syscall(SYS_exit, 0);
  }
  ASSERT_GT(child, 0);
  const auto started = proc::readStat(child);
  ASSERT_TRUE(started);
  ASSERT_TRUE(eventually(
      [&] {
        const auto stat = proc::readStat(child);
        return stat && stat->state == 'Z';
      },
      5s, "the first thread to end"));
  EXPECT_FALSE(proc::isRunning(child, started->startTime));
  EXPECT_FALSE(proc::hasExited(child, started->startTime));
  EXPECT_FALSE(proc::listeningSocketInodes(port).empty());

  ::kill(child, SIGKILL);
  EXPECT_TRUE(eventually([&] { return proc::hasExited(child, started->startTime); }, 5s,
                         "every thread to end"));
  EXPECT_TRUE(proc::listeningSocketInodes(port).empty());
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(proc::hasExited(child, started->startTime));
}

TEST_F(DaemonProcessTest, RunAndWaitGivesTheStatusOrKillsTheWholeSession) {
  const fs::path sh = copyOf("/bin/sh");
  auto executable = DaemonExecutable::open(sh);
  ASSERT_TRUE(executable.ok());
  auto status = runAndWait(executable.value(), {"sh", "-c", "exit 7"}, 10s);
  ASSERT_TRUE(status.ok()) << status.error().message;
  EXPECT_EQ(7, WEXITSTATUS(status.value()));

  const fs::path marker = dir_ / "pid";
  auto slow = runAndWait(executable.value(),
                         {"sh", "-c", "sleep 30 & echo $! > " + marker.string() + "; wait"}, 500ms);
  ASSERT_FALSE(slow.ok());
  EXPECT_EQ(ETIMEDOUT, slow.error().code);
  const pid_t grandchild = std::stoi(readFile(marker));
  EXPECT_TRUE(eventually([&] { return !processAlive(grandchild); }, 5s, "the session to end"));
}

}  // namespace
}  // namespace vandrel::helper
