#pragma once

// Signal capture: handlers for seven fatal signals, run on a pre-allocated
// alternate stack. The handler records the signal and the crash-time
// sections into "signal.fltrecord", puts back the handlers that were there
// before and hands the signal on:
//  - a fault the hardware raised (SIGSEGV, SIGBUS, SIGILL, SIGFPE with a
//    kernel signal code) repeats as soon as the handler returns, so it
//    returns and the repeat reaches the earlier handler or the default;
//  - any other signal (abort, kill, raise, a trap or a seccomp stop) would
//    not repeat: it is queued again for this thread with its original
//    information, so it is not swallowed and the earlier handler sees what
//    ours saw.
//
// Linux keeps the alternate stack per thread: the one stack of the crash
// context covers the thread that runs the set-up, and every other thread
// gets one of its own (flt_thread_stacks.h), so a fault on any thread finds
// a stack even when its own is gone.
//
// Faults on several threads at once: the first thread records; our
// handlers stay installed meanwhile, and a thread that faults in the
// meantime waits in its handler (parked with the registers of its own
// fault, so the record shows where it stood) until the record is written.
// With no earlier handler the recorder then hands its signal on to the
// default action while the other threads are still held, so the process
// always ends by the first signal. A fault inside the recording itself ends
// the process by the first signal at once.

#include <signal.h>

#include <cstddef>
#include <cstdint>

namespace vandrel::crash {

struct FLTReadOnlyContext;
struct FLTWritableContext;
struct FLTAllocator;

inline constexpr std::size_t kFLTSignalCount = 7;
// How long a thread that faults while another records the first crash
// waits for that record before it ends the process by the first signal.
inline constexpr std::int64_t kFLTSignalSecondFaultWaitMs = 60000;
// The order of installation, of the saved slots and of the enumeration.
inline constexpr int kFLTSignalList[kFLTSignalCount] = {SIGABRT, SIGBUS, SIGFPE, SIGILL,
                                                        SIGSEGV, SIGSYS, SIGTRAP};

// Inside the read-only context; written only before protection.
struct FLTSignalContext {
  const char* path;  // report directory + "signal.fltrecord"
  // One slot per signal of the list; `hasSaved` false when the signal had
  // the default action before ours.
  struct sigaction saved[kFLTSignalCount];
  bool hasSaved[kFLTSignalCount];
  stack_t savedStack;  // ss_sp null when none was saved
  void* stack;         // ours, kFLTContextStackSize bytes
};

// `name` written for a signal ("UNKNOWN" outside the table); `code_name`
// ("ABORT" for SIGABRT, null otherwise).
const char* FLTSignalNameForSignal(int signal) noexcept;
const char* FLTSignalCodeNameForSignal(int signal) noexcept;

// Calls `block(index, signal)` for the seven signals in list order.
template <typename Block>
void FLTSignalEnumerateHandledSignals(Block&& block) {
  for (std::size_t i = 0; i < kFLTSignalCount; ++i) block(i, kFLTSignalList[i]);
}

// Resets the record file, installs the alternate stack (`context->stack`)
// on the calling thread and the seven handlers, saving what was there.
// Failures are logged only.
void FLTSignalInitialize(FLTSignalContext* context);

// The context set-up hook: takes the signal context from the read-only
// region (path = readOnly->signalPath, stack = readOnly->signalStack),
// stores it in readOnly->signal and initializes it.
void FLTSignalSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                    FLTAllocator* allocator);
// Registers FLTSignalSetUp with the context set-up; call before
// FLTContextInitialize.
void FLTSignalRegisterSetUp() noexcept;

// The handler (async-signal-safe throughout).
void FLTSignalHandler(int signal, siginfo_t* info, void* userContext) noexcept;

// All seven signals back to the default action. Async-signal-safe.
void FLTSignalSafeRemoveHandlers() noexcept;

// Defaults first, then the saved alternate stack and every saved action.
// False when any of them could not be put back. Async-signal-safe.
bool FLTSignalSafeInstallPreexistingHandlers(const FLTSignalContext* context) noexcept;

// Start-up check (not with a debugger attached): prints to standard error
// each signal of the list whose handler is not ours.
void FLTSignalCheckHandlers();

}  // namespace vandrel::crash
