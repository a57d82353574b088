#include "crash/capture/flt_signal.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_context.h"
#include "crash/capture/flt_process.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_thread_stacks.h"

namespace vandrel::crash {
namespace {

// Names the error without locale data (strerror may allocate).
const char* errorText(int error) noexcept {
  const char* text = strerrordesc_np(error);
  return text != nullptr ? text : "Unknown error";
}

pid_t currentThreadId() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

// How far the first fatal signal has got; what a second one waits for.
constexpr int kStageNone = 0;
constexpr int kStageRecording = 1;
// Recorded and handed on to the default action: the process is ending.
constexpr int kStageEnding = 2;
// Recorded and handed on to an earlier handler, which may let it live.
constexpr int kStageHandedOn = 3;

std::atomic<int> gStage{kStageNone};
// The thread that records the first fatal signal, and that signal.
std::atomic<pid_t> gRecordingThread{0};
std::atomic<int> gFirstSignal{0};

std::int64_t nowMs() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Ends the process by `signal`'s default action (every signal of the list
// ends it), from whichever thread calls.
[[noreturn]] void endProcessBy(int signal) noexcept {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  syscall(SYS_tgkill, getpid(), currentThreadId(), signal);
  _exit(1);
}

// A fatal signal on a thread while another thread records the first one:
// the record is finished first, and the process ends by the first signal
// (the recorder hands it on while this thread waits). Only when the first
// signal went to an earlier handler, which may let the process live, does
// this one end it with status 1.
[[noreturn]] void waitForFirstCrash(int signal) noexcept {
  const std::int64_t deadline = nowMs() + kFLTSignalSecondFaultWaitMs;
  while (gStage.load() != kStageHandedOn && nowMs() < deadline) {
    timespec nap{0, 1000000};
    nanosleep(&nap, nullptr);
  }
  if (gStage.load() == kStageHandedOn) _exit(1);
  FLT_SDK_LOG_WARN("Error: the first crash was not recorded in time\n");
  const int first = gFirstSignal.load();
  endProcessBy(first != 0 ? first : signal);
}

// A fault signal the kernel raised carries the faulting address in
// `si_addr`; for a signal sent by a process that storage holds the
// sender's pid and uid instead.
std::uint64_t faultAddress(int signal, const siginfo_t* info) noexcept {
  if (info->si_code <= 0) return 0;
  switch (signal) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGTRAP:
    case SIGSYS:
      return reinterpret_cast<std::uintptr_t>(info->si_addr);
    default:
      return 0;
  }
}

// Whether the signal goes on to a handler that was there before ours.
bool hasEarlierHandler(const FLTSignalContext* context, int signal) noexcept {
  if (context == nullptr) return false;
  bool found = false;
  FLTSignalEnumerateHandledSignals([&](std::size_t index, int listed) {
    if (listed == signal) found = context->hasSaved[index];
  });
  return found;
}

// A fault the hardware raised re-executes the faulting instruction when the
// handler returns, so the repeat reaches whatever handles it next. Every
// other signal must be sent again or it is lost.
bool repeatsOnReturn(int signal, const siginfo_t* info) noexcept {
  if (info == nullptr || info->si_code <= 0) return false;
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
}

void handOn(int signal, siginfo_t* info) noexcept {
  if (repeatsOnReturn(signal, info)) return;
  if (info != nullptr) {
    // Queued with its own information, so an earlier handler sees the
    // sender and the address ours saw. Allowed for any code to oneself.
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), currentThreadId(), signal, info) == 0) return;
  }
  syscall(SYS_tgkill, getpid(), currentThreadId(), signal);
}

void recordSignal(const FLTSignalContext* context, int signal, const siginfo_t* info,
                  const ucontext_t* userContext, int savedErrno) noexcept {
  FLTFile file;
  if (!FLTFileInitWithPathMode(&file, context->path, true, false)) {
    FLT_SDK_LOG_WARN("Unable to open signal file\n");
    return;
  }
  FLTFileWriteSectionStart(&file, "signal");
  FLTFileWriteHashStart(&file);
  if (info != nullptr) {
    FLTFileWriteHashEntryUint64(&file, "number", static_cast<std::uint64_t>(info->si_signo));
    FLTFileWriteHashEntryInt64(&file, "code", info->si_code);
    FLTFileWriteHashEntryUint64(&file, "address", faultAddress(signal, info));
    FLTFileWriteHashEntryString(&file, "name", FLTSignalNameForSignal(signal));
    FLTFileWriteHashEntryString(&file, "code_name", FLTSignalCodeNameForSignal(signal));
  }
  FLTFileWriteHashEntryInt64(&file, "errno", savedErrno);
  FLTFileWriteHashEntryInt64(&file, "time", static_cast<std::int64_t>(time(nullptr)));
  FLTFileWriteHashEnd(&file);
  FLTFileWriteSectionEnd(&file);
  FLTHandlerHoldingThreads(&file, currentThreadId(), userContext);
  FLTFileCloseWithOffset(&file, nullptr);
}

void installAltStack(FLTSignalContext* context) {
  stack_t stack{};
  stack.ss_sp = context->stack;
  stack.ss_size = kFLTContextStackSize;
  stack.ss_flags = 0;
  stack_t previous{};
  if (context->stack == nullptr || sigaltstack(&stack, &previous) != 0) {
    FLT_SDK_LOG_WARN("Unable to setup stack %s\n",
                     errorText(context->stack == nullptr ? EINVAL : errno));
    return;
  }
  // A disabled previous stack is nothing to put back.
  if ((previous.ss_flags & SS_DISABLE) == 0) context->savedStack = previous;
}

void installHandlers(FLTSignalContext* context) {
  FLTSignalEnumerateHandledSignals([context](std::size_t index, int signal) {
    struct sigaction action {};
    action.sa_sigaction = FLTSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    struct sigaction previous {};
    if (sigaction(signal, &action, &previous) != 0) {
      FLT_SDK_LOG_WARN("Unable to install handler for %d (%s)\n", signal, errorText(errno));
      return;
    }
    const bool hadHandler = (previous.sa_flags & SA_SIGINFO) != 0 ? previous.sa_sigaction != nullptr
                                                                  : previous.sa_handler != SIG_DFL;
    if (hadHandler && previous.sa_sigaction != FLTSignalHandler) {
      context->saved[index] = previous;
      context->hasSaved[index] = true;
    }
  });
}

}  // namespace

const char* FLTSignalNameForSignal(int signal) noexcept {
  switch (signal) {
    case SIGILL:
      return "SIGILL";
    case SIGTRAP:
      return "SIGTRAP";
    case SIGABRT:
      return "SIGABRT";
    case SIGFPE:
      return "SIGFPE";
    case SIGBUS:
      return "SIGBUS";
    case SIGSEGV:
      return "SIGSEGV";
    case SIGSYS:
      return "SIGSYS";
    default:
      return "UNKNOWN";
  }
}

const char* FLTSignalCodeNameForSignal(int signal) noexcept {
  return signal == SIGABRT ? "ABORT" : nullptr;
}

void FLTSignalInitialize(FLTSignalContext* context) {
  if (context == nullptr) return;
  if (context->path != nullptr && unlink(context->path) != 0 && errno != ENOENT) {
    FLT_SDK_LOG_WARN("Unable to reset the signal log file %s\n", errorText(errno));
  }
  installAltStack(context);
  installHandlers(context);
  FLTThreadStacksEnable();
}

void FLTSignalSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext*, FLTAllocator* allocator) {
  if (readOnly == nullptr) return;
  void* memory =
      FLTAllocatorSafeAllocate(allocator, sizeof(FLTSignalContext), kFLTAllocationTypeReadOnly);
  if (memory == nullptr) return;
  std::memset(memory, 0, sizeof(FLTSignalContext));
  auto* context = new (memory) FLTSignalContext{};
  context->path = readOnly->signalPath;
  context->stack = readOnly->signalStack;
  readOnly->signal = context;
  FLTSignalInitialize(context);
}

void FLTSignalRegisterSetUp() noexcept { FLTContextRegisterSignalSetUp(FLTSignalSetUp); }

void FLTSignalSafeRemoveHandlers() noexcept {
  FLTSignalEnumerateHandledSignals([](std::size_t, int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal, &action, nullptr) != 0) {
      FLT_SDK_LOG_WARN("Unable to set default handler for %d (%s)\n", signal, errorText(errno));
    }
  });
}

bool FLTSignalSafeInstallPreexistingHandlers(const FLTSignalContext* context) noexcept {
  FLTSignalSafeRemoveHandlers();
  if (context == nullptr) return false;
  bool result = true;
  if (context->savedStack.ss_sp != nullptr) {
    stack_t stack = context->savedStack;
    if (sigaltstack(&stack, nullptr) != 0) {
      FLT_SDK_LOG_WARN("Unable to setup stack %s\n", errorText(errno));
      result = false;
    }
  }
  FLTSignalEnumerateHandledSignals([context, &result](std::size_t index, int signal) {
    if (!context->hasSaved[index]) return;
    if (sigaction(signal, &context->saved[index], nullptr) != 0) {
      FLT_SDK_LOG_WARN("Unable to install handler for %d (%s)\n", signal, errorText(errno));
      result = false;
    }
  });
  return result;
}

void FLTSignalHandler(int signal, siginfo_t* info, void* userContext) noexcept {
  const auto* context = static_cast<const ucontext_t*>(userContext);
  // Asked to park while it waits below, this thread reports its fault.
  FLTProcessNoteFaultContext(context);
  const int savedErrno = errno;
  errno = 0;
  FLT_SDK_LOG_WARN("Signal: %d\n", signal);
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  if (readOnly == nullptr) {
    FLTSignalSafeRemoveHandlers();
    FLTProcessNoteFaultContext(nullptr);
    handOn(signal, info);
    errno = savedErrno;
    return;
  }
  // Our handlers stay in place while the first fault is recorded: a fault
  // on another thread meanwhile must wait for the record, not take the
  // default action and end the process half-way through it.
  const pid_t self = currentThreadId();
  pid_t recorder = 0;
  if (!gRecordingThread.compare_exchange_strong(recorder, self)) {
    if (recorder == self && gStage.load() != kStageHandedOn) {
      FLT_SDK_LOG_WARN("Error: fault while recording a crash\n");
      const int first = gFirstSignal.load();
      endProcessBy(first != 0 ? first : signal);
    }
    FLT_SDK_LOG_WARN("Error: aborting signal handler because crash has already occurred");
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
    waitForFirstCrash(signal);
  }
  gFirstSignal.store(signal);
  gStage.store(kStageRecording);
  // A fault inside the recording comes back here rather than recursing
  // into the default action.
  sigset_t all;
  sigfillset(&all);
  if (sigprocmask(SIG_UNBLOCK, &all, nullptr) != 0) {
    FLT_SDK_LOG_WARN("Unable to unmask signals - we risk infinite recursion here\n");
  }
  if (FLTContextMarkAndCheckIfCrashed()) {
    FLT_SDK_LOG_WARN("Error: aborting signal handler because crash has already occurred");
    _exit(1);
  }
  const FLTSignalContext* signalContext = readOnly->signal;
  if (signalContext != nullptr && signalContext->path != nullptr) {
    recordSignal(signalContext, signal, info, context, savedErrno);
  }
  FLTSignalSafeInstallPreexistingHandlers(signalContext);
  if (hasEarlierHandler(signalContext, signal)) {
    // The earlier handler decides what happens next, and may let the
    // process go on: the other threads run again.
    gStage.store(kStageHandedOn);
    FLTProcessReleaseHeldThreads();
  } else {
    // The default action ends the process with the other threads still
    // held, so none of them can end it first by a signal of its own.
    gStage.store(kStageEnding);
  }
  FLTProcessNoteFaultContext(nullptr);
  handOn(signal, info);
  errno = savedErrno;
}

void FLTSignalCheckHandlers() {
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  if (readOnly != nullptr && readOnly->debuggerAttached) return;
  FLTSignalEnumerateHandledSignals([](std::size_t, int signal) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) {
      std::fputs("Unable to read signal handler\n", stderr);
      return;
    }
    void* handler = (current.sa_flags & SA_SIGINFO) != 0
                        ? reinterpret_cast<void*>(current.sa_sigaction)
                        : reinterpret_cast<void*>(current.sa_handler);
    if (handler == reinterpret_cast<void*>(FLTSignalHandler)) return;
    Dl_info image{};
    const char* file = dladdr(handler, &image) != 0 ? image.dli_fname : nullptr;
    std::fprintf(stderr,
                 "[Faultline] The signal %s has a non-Faultline handler (%s).  This will "
                 "interfere with reporting.\n",
                 FLTSignalNameForSignal(signal), file != nullptr ? file : "(null)");
  });
}

}  // namespace vandrel::crash
