// Signal capture. Every handler is installed in a forked child: the test
// process itself never changes a signal disposition.

#include "crash/capture/flt_signal.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "crash/capture/flt_context.h"
#include "crash/capture/flt_record_reader.h"
#include "tests/crash/capture_test_support.h"
#include "tests/support/sanitizers.h"

namespace vandrel::crash {
namespace {

using capture_test::readFile;
using capture_test::runChild;
using nlohmann::json;

// Child-side state.
std::string gDir;
std::string gMarkerPath;

// Sections of a record file, in order, read with the kit's own reader.
std::vector<json> readRecord(const std::string& path) {
  std::vector<json> result;
  auto sections = FLTFileReadSections(path.c_str(), false);
  if (!sections.ok()) return result;
  for (const platform::Value& section : sections.value().sections) {
    result.push_back(json::parse(section.toJson()));
  }
  return result;
}

const json* findSection(const std::vector<json>& sections, const std::string& name) {
  for (const json& section : sections) {
    if (section.contains(name)) return &section[name];
  }
  return nullptr;
}

// Writes `text` to the marker file with nothing but async-signal-safe calls.
void writeMarker(const char* text) {
  const int fd = open(gMarkerPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
  close(fd);
}

void setUpCapture() {
  FLTSignalRegisterSetUp();
  FLTContextInitParameters parameters;
  parameters.apiKey = "key";
  parameters.reportDirectory = gDir.c_str();
  parameters.sessionIdentifier = "session";
  parameters.installIdentifier = "install";
  if (!FLTContextInitialize(&parameters)) _exit(90);
  if (FLTContextReadOnly()->signal == nullptr) _exit(91);
}

class FLTSignalTest : public capture_test::SdkLogTest {
 protected:
  void SetUp() override {
    SdkLogTest::SetUp();
    gDir = dir_.path().string();
    gMarkerPath = path("marker");
    recordPath_ = path("signal.fltrecord");
  }

  std::string recordPath_;
};

::testing::AssertionResult diedOf(int status, int signal) {
  if (WIFSIGNALED(status) && WTERMSIG(status) == signal) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << status << ", expected death by " << signal;
}

// ---- Faults and raised signals reach the default action --------------------

void segvAtSixteen() {
  // Through a volatile so the compiler cannot see the address.
  volatile std::uintptr_t address = 16;
  *reinterpret_cast<volatile int*>(address) = 1;
}
void raiseSegv() { raise(SIGSEGV); }
void abortNow() { std::abort(); }
void busError() {
  // Touching a page of a mapping beyond the end of its (empty) file.
  const std::string file = gDir + "/empty";
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED) _exit(92);
  *static_cast<volatile char*>(page) = 1;
}
void divideByZero() {
  // In assembly: the compiler may treat a division by zero as unreachable.
  asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                   : "eax", "ecx", "edx");
}
void illegalInstruction() { __builtin_trap(); }
// Each frame keeps a live buffer, so the compiler can neither drop the
// recursion nor turn it into a loop. The endless recursion is the point.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return recurse(depth + 1) + frame[0];
}
#pragma GCC diagnostic pop
// The handler can only run on its alternate stack: the thread's own is gone.
void overflowStack() { (void)recurse(0); }
void breakpoint() { asm volatile("int3"); }

struct FatalCase {
  const char* label;
  void (*crash)();
  int signal;
  const char* name;
  bool hasCodeName;
  bool faultCode;  // a kernel code (> 0), else sent by a process (< 0)
};

TEST_F(FLTSignalTest, FatalSignalIsRecordedAndStillKillsTheProcess) {
  const FatalCase cases[] = {
      {"segfault", segvAtSixteen, SIGSEGV, "SIGSEGV", false, true},
      {"raised SIGSEGV", raiseSegv, SIGSEGV, "SIGSEGV", false, false},
      {"abort", abortNow, SIGABRT, "SIGABRT", true, false},
      {"bus error", busError, SIGBUS, "SIGBUS", false, true},
      {"division by zero", divideByZero, SIGFPE, "SIGFPE", false, true},
      {"illegal instruction", illegalInstruction, SIGILL, "SIGILL", false, true},
      {"stack overflow", overflowStack, SIGSEGV, "SIGSEGV", false, true},
      // A trap does not repeat when the handler returns: it must be sent again.
      {"breakpoint", breakpoint, SIGTRAP, "SIGTRAP", false, true},
  };
  for (const FatalCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::remove(recordPath_.c_str());
    const int status = runChild([&c] {
      setUpCapture();
      c.crash();
      _exit(93);
    });
    EXPECT_TRUE(diedOf(status, c.signal));

    const std::vector<json> record = readRecord(recordPath_);
    ASSERT_FALSE(record.empty());
    ASSERT_TRUE(record[0].contains("signal")) << record[0];
    const json& line = record[0]["signal"];
    EXPECT_EQ(line["number"], c.signal);
    EXPECT_EQ(line["name"], c.name);
    if (c.hasCodeName) {
      EXPECT_EQ(line["code_name"], "ABORT");
    } else {
      EXPECT_TRUE(line["code_name"].is_null());
    }
    EXPECT_EQ(line["code"].get<int>() > 0, c.faultCode) << line["code"];
    EXPECT_TRUE(line["errno"].is_number());
    EXPECT_GT(line["time"].get<std::int64_t>(), 1600000000);
    if (c.crash == segvAtSixteen) {
      EXPECT_EQ(line["address"], 16);
    }

    const json* threads = findSection(record, "threads");
    ASSERT_NE(threads, nullptr);
    // The set-up's queue workers are threads of the child too.
    int crashed = 0;
    for (const json& thread : *threads) crashed += thread.contains("crashed") ? 1 : 0;
    EXPECT_EQ(crashed, 1);
    for (const char* name : {"runtime", "dispatch_queue_names", "thread_names", "process_stats"}) {
      EXPECT_NE(findSection(record, name), nullptr) << name;
    }
    EXPECT_NE(readFile(path("sdk.log")).find("Signal: " + std::to_string(c.signal) + "\n"),
              std::string::npos);
  }
}

// ---- Earlier handlers ------------------------------------------------------

void earlierSegvHandler(int, siginfo_t* info, void*) {
  char text[64];
  std::snprintf(text, sizeof text, "earlier %d %ld", info->si_code,
                static_cast<long>(reinterpret_cast<std::uintptr_t>(info->si_addr)));
  writeMarker(text);
  _exit(42);
}

void installEarlier(int signal, void (*handler)(int, siginfo_t*, void*)) {
  struct sigaction action {};
  action.sa_sigaction = handler;
  action.sa_flags = SA_SIGINFO;
  sigaction(signal, &action, nullptr);
}

TEST_F(FLTSignalTest, EarlierHandlerRunsAfterTheRecordWithTheOriginalInformation) {
  struct Case {
    const char* label;
    void (*crash)();
    std::string markerPrefix;
  };
  // A raised signal's address field holds the sender; only its code counts.
  const Case cases[] = {
      {"fault that repeats", segvAtSixteen, "earlier 1 16"},
      {"raised signal sent again", raiseSegv, "earlier " + std::to_string(SI_TKILL) + " "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::remove(recordPath_.c_str());
    std::remove(gMarkerPath.c_str());
    const int status = runChild([&c] {
      installEarlier(SIGSEGV, earlierSegvHandler);
      setUpCapture();
      c.crash();
      _exit(93);
    });
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << "status " << status;
    EXPECT_EQ(readFile(gMarkerPath).rfind(c.markerPrefix, 0), 0u) << readFile(gMarkerPath);
    const std::vector<json> record = readRecord(recordPath_);
    ASSERT_FALSE(record.empty());
    EXPECT_EQ(record[0]["signal"]["number"], SIGSEGV);
  }
}

std::atomic<int> gEarlierCalls{0};
void earlierReturningHandler(int, siginfo_t*, void*) {
  ++gEarlierCalls;
  errno = EBADF;  // a careless handler; ours must still hand back the caller's errno
}

TEST_F(FLTSignalTest, ProcessGoesOnWhenTheEarlierHandlerReturnsAndErrnoIsKept) {
  if (test_support::kUnderThreadSanitizer) {
    GTEST_SKIP() << "expects the handler to have run when raise() returns; ThreadSanitizer defers it";
  }
  const int status = runChild([] {
    installEarlier(SIGTRAP, earlierReturningHandler);
    setUpCapture();
    errno = EAGAIN;
    raise(SIGTRAP);
    const int seen = errno;
    if (gEarlierCalls.load() != 1) _exit(10 + gEarlierCalls.load());
    if (seen != EAGAIN) _exit(20);
    _exit(0);
  });
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<json> record = readRecord(recordPath_);
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(record[0]["signal"]["errno"], EAGAIN);
}

// Facts of the child's dispositions, as "signal handler flags" lines.
enum class Disposition { Ours, Default, Earlier, Ignored, Other };

Disposition dispositionOf(int signal, void (*earlier)(int)) {
  struct sigaction current {};
  sigaction(signal, nullptr, &current);
  if ((current.sa_flags & SA_SIGINFO) != 0) {
    if (current.sa_sigaction == FLTSignalHandler && (current.sa_flags & SA_ONSTACK) != 0) {
      return Disposition::Ours;
    }
    return Disposition::Other;
  }
  if (current.sa_handler == SIG_DFL) return Disposition::Default;
  if (current.sa_handler == SIG_IGN) return Disposition::Ignored;
  if (current.sa_handler == earlier) return Disposition::Earlier;
  return Disposition::Other;
}

void earlierPlainHandler(int) {}

TEST_F(FLTSignalTest, InstallCoversAllSevenAndUninstallPutsBackWhatWasThere) {
  const int status = runChild([] {
    struct sigaction plain {};
    plain.sa_handler = earlierPlainHandler;
    sigaction(SIGBUS, &plain, nullptr);
    signal(SIGSYS, SIG_IGN);
    setUpCapture();
    std::ostringstream facts;
    FLTSignalEnumerateHandledSignals([&facts](std::size_t, int signal) {
      facts << static_cast<int>(dispositionOf(signal, earlierPlainHandler)) << ' ';
    });
    facts << "| ";
    const bool restored = FLTSignalSafeInstallPreexistingHandlers(FLTContextReadOnly()->signal);
    FLTSignalEnumerateHandledSignals([&facts](std::size_t, int signal) {
      facts << static_cast<int>(dispositionOf(signal, earlierPlainHandler)) << ' ';
    });
    facts << "| " << restored;
    writeMarker(facts.str().c_str());
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  // List order: ABRT BUS FPE ILL SEGV SYS TRAP. Ours = 0, default = 1,
  // earlier = 2, ignored = 3.
  EXPECT_EQ(readFile(gMarkerPath), "0 0 0 0 0 0 0 | 1 2 1 1 1 3 1 | 1");
}

TEST_F(FLTSignalTest, SecondFatalSignalAfterARecordedCrashExitsWithOne) {
  const int status = runChild([] {
    setUpCapture();
    FLTContextMarkHasCrashed();
    segvAtSixteen();
  });
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(readRecord(recordPath_).empty());
  EXPECT_NE(readFile(path("sdk.log"))
                .find("Error: aborting signal handler because crash has already occurred"),
            std::string::npos);
}

TEST_F(FLTSignalTest, SignalWithoutInformationWritesOnlyErrnoAndTime) {
  const int status = runChild([] {
    setUpCapture();
    errno = ENOENT;
    FLTSignalHandler(SIGSEGV, nullptr, nullptr);
    _exit(93);
  });
  EXPECT_TRUE(diedOf(status, SIGSEGV));
  const std::vector<json> record = readRecord(recordPath_);
  ASSERT_FALSE(record.empty());
  const json& line = record[0]["signal"];
  EXPECT_EQ(line.size(), 2u) << line;
  EXPECT_EQ(line["errno"], ENOENT);
  EXPECT_TRUE(line.contains("time"));
  EXPECT_NE(findSection(record, "threads"), nullptr);
}

TEST_F(FLTSignalTest, CheckWarnsOfAHandlerInstalledAfterSetUp) {
  const std::string errPath = path("stderr");
  const int status = runChild([&errPath] {
    setUpCapture();
    struct sigaction plain {};
    plain.sa_handler = earlierPlainHandler;
    sigaction(SIGFPE, &plain, nullptr);
    const int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    FLTSignalCheckHandlers();
    std::fflush(stderr);
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::string err = readFile(errPath);
  EXPECT_EQ(err.rfind("[Faultline] The signal SIGFPE has a non-Faultline handler (", 0), 0u) << err;
  EXPECT_NE(err.find(").  This will interfere with reporting.\n"), std::string::npos);
  EXPECT_EQ(err.find('\n'), err.size() - 1) << "only one signal was foreign: " << err;
}

TEST(FLTSignalNamesTest, NamesCoverTheTableAndUnknownElsewhere) {
  const std::map<int, std::string> expected = {
      {SIGQUIT, "UNKNOWN"}, {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"},
      {SIGFPE, "SIGFPE"},   {SIGKILL, "UNKNOWN"}, {SIGUSR1, "UNKNOWN"}, {SIGSEGV, "SIGSEGV"},
      {SIGUSR2, "UNKNOWN"}, {SIGBUS, "SIGBUS"},   {SIGSYS, "SIGSYS"},   {64, "UNKNOWN"}};
  for (const auto& [signal, name] : expected) {
    EXPECT_EQ(FLTSignalNameForSignal(signal), name) << signal;
  }
  EXPECT_STREQ(FLTSignalCodeNameForSignal(SIGABRT), "ABORT");
  EXPECT_EQ(FLTSignalCodeNameForSignal(SIGSEGV), nullptr);
}

}  // namespace
}  // namespace vandrel::crash
