#include "crash/capture/flt_thread_stacks.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "crash/capture/flt_process.h"
#include "crash/capture/flt_sdk_log.h"

namespace vandrel::crash {
namespace {

// What the parent hands the new thread; it lives until the thread ends.
struct ThreadStart {
  FLTThreadStartRoutine routine;
  void* argument;
  // The mapping of the thread's stack (guard page first), null while it has
  // none of ours. Written only by its own thread.
  void* stackMapping;
};

// The calling thread's start record, null for a thread that
// FLTThreadStacksCreateThread did not start. Read in a signal handler:
// initial-exec, so reading it never allocates.
thread_local ThreadStart* tlsStart __attribute__((tls_model("initial-exec"))) = nullptr;
// A stack the one-time signal installed while tlsStart was still null: on
// a thread that FLTThreadStacksCreateThread did not start, or on one that
// got the signal before its start routine ran (which then adopts it).
thread_local void* tlsUnownedMapping __attribute__((tls_model("initial-exec"))) = nullptr;

std::atomic<bool> gEnabled{false};
std::atomic<bool> gHandlerInstalled{false};
std::atomic<std::size_t> gLiveStacks{0};
std::atomic<int> gAnswers{0};

pthread_key_t gEndKey;
pthread_once_t gEndKeyOnce = PTHREAD_ONCE_INIT;
bool gEndKeyMade = false;

std::size_t pageSize() noexcept {
  static const std::size_t size = [] {
    const long value = sysconf(_SC_PAGESIZE);
    return value > 0 ? static_cast<std::size_t>(value) : std::size_t{4096};
  }();
  return size;
}

std::size_t mappingSize() noexcept { return pageSize() + kFLTThreadStackSize; }

pid_t currentTid() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Gives back the calling thread's stack. A thread still running on it (an
// exit from inside a signal handler) keeps it: freeing it there would pull
// the stack from under the code that runs.
void freeCurrentStack(ThreadStart* start) noexcept {
  if (start->stackMapping == nullptr) return;
  stack_t disable{};
  disable.ss_flags = SS_DISABLE;
  if (sigaltstack(&disable, nullptr) != 0) return;
  munmap(start->stackMapping, mappingSize());
  start->stackMapping = nullptr;
  gLiveStacks.fetch_sub(1);
}

void threadEnded(void* raw) {
  auto* start = static_cast<ThreadStart*>(raw);
  // A one-time signal that arrived now would install a stack nobody frees.
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, FLTThreadStacksSignal());
  pthread_sigmask(SIG_BLOCK, &block, nullptr);
  freeCurrentStack(start);
  tlsStart = nullptr;
  std::free(start);
}

void makeEndKey() { gEndKeyMade = pthread_key_create(&gEndKey, threadEnded) == 0; }

// Takes the thread's record and, while capture is on, installs its stack,
// with the one-time signal held off so it cannot install one in between.
void beginThread(ThreadStart* start) noexcept {
  sigset_t block, previous;
  sigemptyset(&block);
  sigaddset(&block, FLTThreadStacksSignal());
  pthread_sigmask(SIG_BLOCK, &block, &previous);
  tlsStart = start;
  start->stackMapping = tlsUnownedMapping;
  tlsUnownedMapping = nullptr;
  if (gEnabled.load()) FLTThreadStacksInstallOnCurrentThread();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void* startThread(void* raw) {
  auto* start = static_cast<ThreadStart*>(raw);
  beginThread(start);
  if (gEndKeyMade) pthread_setspecific(gEndKey, start);
  const FLTThreadStartRoutine routine = start->routine;
  void* const argument = start->argument;
  // Without the key (the process ran out of keys) only a thread that
  // returns gives its record and stack back; one that ends by
  // pthread_exit keeps them.
  if (!gEndKeyMade) {
    void* result = routine(argument);
    threadEnded(start);
    return result;
  }
  return routine(argument);
}

void stackSignalHandler(int, siginfo_t*, void* userContext) noexcept {
  const int savedErrno = errno;
  // The return from a handler puts back the alternate stack its context
  // holds: a new stack goes into that context, or it would be gone again.
  stack_t before{};
  stack_t installed{};
  if (sigaltstack(nullptr, &before) == 0 && (before.ss_flags & SS_DISABLE) != 0 &&
      FLTThreadStacksInstallOnCurrentThread() && sigaltstack(nullptr, &installed) == 0 &&
      userContext != nullptr) {
    static_cast<ucontext_t*>(userContext)->uc_stack = installed;
  }
  gAnswers.fetch_add(1);
  errno = savedErrno;
}

bool installStackSignalHandler() noexcept {
  if (gHandlerInstalled.load()) return true;
  struct sigaction action {};
  action.sa_sigaction = stackSignalHandler;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  // Stays installed: a thread that unblocks the signal later still gets it,
  // and the default action of a real-time signal would end the process.
  if (sigaction(FLTThreadStacksSignal(), &action, nullptr) != 0) return false;
  gHandlerInstalled.store(true);
  return true;
}

std::int64_t nowMs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

struct Broadcast {
  pid_t pid;
  pid_t self;
  bool firstRound;
  std::vector<pid_t> signalled;  // in the first round
  int sent;
};

// The first round signals the threads that can answer at once and is
// waited for; the second signals every other one (a thread that blocks the
// signal, one just started, which holds every signal until the C library
// has set it up): the signal stays pending until they unblock it. Their
// answers come after the wait, so they never stand in for an answer the
// wait expects.
bool signalThread(pid_t tid, void* raw) noexcept {
  auto* broadcast = static_cast<Broadcast*>(raw);
  if (tid == broadcast->self) return true;
  if (broadcast->firstRound) {
    if (FLTProcessThreadBlocksSignal(tid, FLTThreadStacksSignal())) return true;
  } else if (std::find(broadcast->signalled.begin(), broadcast->signalled.end(), tid) !=
             broadcast->signalled.end()) {
    return true;
  }
  if (syscall(SYS_tgkill, broadcast->pid, tid, FLTThreadStacksSignal()) != 0) return true;
  ++broadcast->sent;
  if (broadcast->firstRound) {
    // Without room to note it the thread is only signalled twice, which
    // the handler takes in its stride.
    try {
      broadcast->signalled.push_back(tid);
    } catch (const std::bad_alloc&) {
    }
  }
  return true;
}

}  // namespace

int FLTThreadStacksSignal() noexcept { return SIGRTMAX - 4; }

bool FLTThreadStacksEnabled() noexcept { return gEnabled.load(); }

std::size_t FLTThreadStacksLiveCount() noexcept { return gLiveStacks.load(); }

bool FLTThreadStacksInstallOnCurrentThread() noexcept {
  stack_t current{};
  if (sigaltstack(nullptr, &current) != 0) return false;
  if ((current.ss_flags & SS_DISABLE) == 0) return true;
  void* mapping = mmap(nullptr, mappingSize(), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (mapping == MAP_FAILED) return false;
  // The guard page below: a handler that runs out of room faults instead of
  // writing over whatever lies next to the stack.
  stack_t stack{};
  stack.ss_sp = static_cast<char*>(mapping) + pageSize();
  stack.ss_size = kFLTThreadStackSize;
  stack.ss_flags = 0;
  if (mprotect(mapping, pageSize(), PROT_NONE) != 0 || sigaltstack(&stack, nullptr) != 0) {
    munmap(mapping, mappingSize());
    return false;
  }
  gLiveStacks.fetch_add(1);
  if (tlsStart != nullptr) {
    tlsStart->stackMapping = mapping;
  } else {
    tlsUnownedMapping = mapping;
  }
  return true;
}

int FLTThreadStacksCreateThread(FLTPthreadCreateFunction next, pthread_t* thread,
                                const pthread_attr_t* attributes, FLTThreadStartRoutine routine,
                                void* argument) noexcept {
  if (next == nullptr) return EAGAIN;
  pthread_once(&gEndKeyOnce, makeEndKey);
  auto* start = static_cast<ThreadStart*>(std::malloc(sizeof(ThreadStart)));
  // Without room for the record the thread still starts, as it would have
  // without us: only its stack is missing.
  if (start == nullptr) return next(thread, attributes, routine, argument);
  *start = ThreadStart{routine, argument, nullptr};
  const int result = next(thread, attributes, startThread, start);
  if (result != 0) std::free(start);
  return result;
}

int FLTThreadStacksEnable() {
  gEnabled.store(true);
  if (!installStackSignalHandler()) {
    FLT_SDK_LOG_WARN("Unable to install the thread stack handler\n");
  }
  if (!FLTThreadStacksInstallOnCurrentThread()) {
    FLT_SDK_LOG_WARN("Unable to setup stack for the current thread\n");
  }
  if (!gHandlerInstalled.load()) return 0;
  gAnswers.store(0);
  Broadcast broadcast{getpid(), currentTid(), true, {}, 0};
  FLTProcessEnumerateThreadIds(signalThread, &broadcast);
  const int answering = broadcast.sent;
  const std::int64_t deadline = nowMs() + kFLTThreadStacksAnswerWait.count();
  while (gAnswers.load() < answering && nowMs() < deadline) {
    timespec nap{0, 1000000};
    nanosleep(&nap, nullptr);
  }
  if (gAnswers.load() < answering) {
    FLT_SDK_LOG_WARN("Threads without a signal stack of their own: %d\n",
                     answering - gAnswers.load());
  }
  broadcast.firstRound = false;
  broadcast.sent = 0;
  FLTProcessEnumerateThreadIds(signalThread, &broadcast);
  if (broadcast.sent > 0) {
    FLT_SDK_LOG_WARN("Threads blocking the stack signal: %d\n", broadcast.sent);
  }
  return broadcast.sent;
}

}  // namespace vandrel::crash
