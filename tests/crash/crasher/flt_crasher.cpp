// A program that sets crash capture up as the application does (with its
// own pthread_create linked in) and then crashes the way it is told. The
// crash tests run it in forked children; no test crashes its own process.
//
//   flt_crasher <report-directory> <scenario> [number]
//
// Before it crashes it writes "facts" (key=value lines) into the report
// directory: what the test needs to know of this process (addresses,
// counts). Exit statuses 90 and above mean the scenario could not be
// staged.

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "crash/capture/flt_binary_images.h"
#include "crash/capture/flt_context.h"
#include "crash/capture/flt_exception.h"
#include "crash/capture/flt_host.h"
#include "crash/capture/flt_signal.h"
#include "crash/capture/flt_thread_stacks.h"
#include "crash/capture/flt_user_logging.h"
#include "platform/dispatch.h"
#include "tests/crash/crasher/thread_library.h"

namespace {

using namespace vandrel::crash;

std::string gDir;
void* gBusPage = nullptr;

void writeFacts(const std::map<std::string, std::string>& facts) {
  std::ofstream out(gDir + "/facts", std::ios::app);
  for (const auto& [key, value] : facts) out << key << '=' << value << '\n';
}

// ---- Ways to die -------------------------------------------------------------

void segvAtSixteen() {
  volatile std::uintptr_t address = 16;
  *reinterpret_cast<volatile int*>(address) = 1;
}
void divideByZero() {
  asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                   : "eax", "ecx", "edx");
}
void illegalInstruction() { asm volatile("ud2"); }
void breakpoint() { asm volatile("int3"); }
void busError() { *static_cast<volatile char*>(gBusPage) = 1; }
void abortNow() { std::abort(); }
void raiseSegv() { raise(SIGSEGV); }

struct Kind {
  const char* name;
  void (*crash)();
};
constexpr Kind kKinds[] = {
    {"segv", segvAtSixteen}, {"fpe", divideByZero}, {"ill", illegalInstruction}, {"bus", busError},
    {"abort", abortNow},     {"trap", breakpoint},  {"raise-segv", raiseSegv}};

const Kind* kindNamed(const std::string& name) {
  for (const Kind& kind : kKinds) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

// A page past the end of an empty file: touching it raises SIGBUS.
void prepareBusPage() {
  const std::string file = gDir + "/bus-file";
  const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  gBusPage = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (gBusPage == MAP_FAILED) _exit(92);
}

// Each frame keeps a live buffer, so the compiler can neither drop the
// recursion nor turn it into a loop. The endless recursion is the point.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline)) int recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return recurse(depth + 1) + frame[0];
}
#pragma GCC diagnostic pop
void overflowStack() { (void)recurse(0); }
void overflowStackWith(void*) { overflowStack(); }

__attribute__((noinline)) int descend(int depth) {
  volatile char frame[64];
  frame[0] = static_cast<char>(depth);
  if (depth == 0) {
    segvAtSixteen();
    return 0;
  }
  return descend(depth - 1) + frame[0];  // not a tail call: every level keeps its frame
}

[[noreturn]] void idleForever() {
  for (;;) pause();
}

// ---- Set-up --------------------------------------------------------------------

void setUpCapture(std::uint32_t maskToLeaveAlone) {
  FLTHostRegisterSetUp();
  FLTUserLoggingRegisterSetUp();
  FLTBinaryImageRegisterWithContext();
  FLTSignalRegisterSetUp();
  FLTExceptionRegisterSetUp();
  FLTContextInitParameters parameters;
  parameters.apiKey = "crasher-key";
  parameters.reportDirectory = gDir.c_str();
  parameters.sessionIdentifier = "crasher-session";
  parameters.installIdentifier = "crasher-install";
  parameters.machExceptionMaskToIgnore = maskToLeaveAlone;
  parameters.maxCustomKeys = 64;
  parameters.logBufferSize = 64 * 1024;
  if (!FLTContextInitialize(&parameters)) _exit(90);
  if (FLTContextReadOnly()->signal == nullptr) _exit(91);
}

// ---- Scenarios -----------------------------------------------------------------

// `count` threads fault at the same moment, each its own way.
[[noreturn]] void faultTogether(int count) {
  prepareBusPage();
  static std::atomic<int> ready{0};
  static std::atomic<bool> go{false};
  for (int i = 0; i < count; ++i) {
    std::thread([i] {
      ready.fetch_add(1);
      while (!go.load()) {
      }
      kKinds[static_cast<std::size_t>(i) % std::size(kKinds)].crash();
    }).detach();
  }
  while (ready.load() < count) std::this_thread::yield();
  go.store(true);
  idleForever();
}

// A thread that blocks every signal stands before the thread that faults.
[[noreturn]] void faultBehindABlocker() {
  std::thread([] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    pthread_setname_np(pthread_self(), "flt-blocker");
    idleForever();
  }).detach();
  std::thread([] {
    pthread_setname_np(pthread_self(), "flt-idle");
    idleForever();
  }).detach();
  // The faulting thread starts last, so it comes after the others in the
  // kernel's list.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::thread([] {
    pthread_setname_np(pthread_self(), "flt-faulting");
    segvAtSixteen();
  }).detach();
  idleForever();
}

std::atomic<bool> gEarlyGo{false};
void* earlyThread(void*) {
  pthread_setname_np(pthread_self(), "flt-early");
  while (!gEarlyGo.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  overflowStack();
  return nullptr;
}

// A thread started before set-up by the C library's pthread_create itself,
// past ours: only the one-time signal gives it a stack.
void startEarlyForeignThread() {
  auto next = reinterpret_cast<FLTPthreadCreateFunction>(dlsym(RTLD_NEXT, "pthread_create"));
  pthread_t thread;
  if (next == nullptr || next(&thread, nullptr, earlyThread, nullptr) != 0) _exit(93);
}

[[noreturn]] void overflowOn(const std::string& where) {
  if (where == "main") overflowStack();
  if (where == "pool") {
    vandrel::platform::globalQueue().async([] { overflowStack(); });
  } else if (where == "std-thread") {
    std::thread([] { overflowStack(); }).detach();
  } else if (where == "library") {
    if (flt_test_library_start_thread(overflowStackWith, nullptr) != 0) _exit(94);
  } else if (where == "early-foreign") {
    gEarlyGo.store(true);
  } else {
    _exit(95);
  }
  idleForever();
}

[[noreturn]] void faultAmongThreads(int count) {
  static std::atomic<int> started{0};
  for (int i = 0; i < count; ++i) {
    std::thread([] {
      started.fetch_add(1);
      idleForever();
    }).detach();
  }
  while (started.load() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  segvAtSixteen();
  _exit(96);
}

void applicationSegvHandler(int, siginfo_t* info, void*) {
  char text[64];
  const int length =
      std::snprintf(text, sizeof text, "application %d %lu\n", info->si_code,
                    static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(info->si_addr)));
  const std::string path = gDir + "/delivered";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0 && length > 0) {
    ssize_t ignored = write(fd, text, static_cast<std::size_t>(length));
    (void)ignored;
  }
  _exit(42);
}

// Threads that start and end (by return and by pthread_exit) with capture
// on: each gives its stack back.
int churnThreads(int count) {
  auto vmSize = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
    }
    return -1L;
  };
  auto startAndJoin = [](int times) {
    for (int i = 0; i < times; ++i) {
      pthread_t thread;
      const bool byExit = i % 2 == 1;
      pthread_create(
          &thread, nullptr,
          byExit ? +[](void*) -> void* { pthread_exit(nullptr); }
                 : +[](void*) -> void* { return nullptr; },
          nullptr);
      pthread_join(thread, nullptr);
    }
  };
  // Counted in a child of its own: the set-up's worker threads start (and
  // take their stacks) whenever they are first scheduled, which on a loaded
  // machine can fall between the two counts. The child has only the thread
  // that forked it, with capture on as it was.
  const pid_t child = fork();
  if (child < 0) return 96;
  if (child == 0) {
    // The first ends load the unwinder and fill the C library's caches of
    // thread stacks: that growth is theirs, not ours.
    startAndJoin(8);
    const std::size_t liveBefore = FLTThreadStacksLiveCount();
    const long vmBefore = vmSize();
    startAndJoin(count);
    writeFacts({{"live_before", std::to_string(liveBefore)},
                {"live_after", std::to_string(FLTThreadStacksLiveCount())},
                {"vm_before_kb", std::to_string(vmBefore)},
                {"vm_after_kb", std::to_string(vmSize())}});
    _exit(0);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 96;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 95;
}

__attribute__((noinline)) int crasherMain(int argc, char** argv) {
  if (argc < 3) return 97;
  gDir = argv[1];
  const std::string scenario = argv[2];
  const std::string argument = argc > 3 ? argv[3] : "";
  // The return address into main: the record of a deep stack must reach it.
  writeFacts({{"main_return",
               std::to_string(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)))}});

  std::uint32_t mask = 0;
  if (scenario == "deliver") {
    struct sigaction action {};
    action.sa_sigaction = applicationSegvHandler;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGSEGV, &action, nullptr);
    mask = 0x2;  // SIGSEGV's bad-access exceptions are left to the signal handlers
  }
  if (scenario == "overflow" && argument == "early-foreign") startEarlyForeignThread();
  setUpCapture(mask);

  if (scenario == "signal") {
    const Kind* kind = kindNamed(argument);
    if (kind == nullptr) return 98;
    if (argument == "bus") prepareBusPage();
    kind->crash();
    return 99;
  }
  if (scenario == "together") faultTogether(std::atoi(argument.c_str()));
  if (scenario == "blocker") faultBehindABlocker();
  if (scenario == "overflow") overflowOn(argument);
  if (scenario == "deep") {
    descend(std::atoi(argument.c_str()));
    return 99;
  }
  if (scenario == "threads") faultAmongThreads(std::atoi(argument.c_str()));
  if (scenario == "deliver") {
    segvAtSixteen();
    return 99;
  }
  if (scenario == "churn") return churnThreads(std::atoi(argument.c_str()));
  return 98;
}

}  // namespace

int main(int argc, char** argv) {
  // Crashes by the hundred: no core files.
  rlimit none{0, 0};
  setrlimit(RLIMIT_CORE, &none);
  const int result = crasherMain(argc, argv);
  std::fflush(stdout);  // keeps the call above from becoming a jump
  return result;
}
