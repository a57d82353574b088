#pragma once

// The common tail of every fatal capture path: after the trigger line the
// handler holds the other threads still and appends the crash-time
// sections to the same record file (threads with registers and stacks,
// runtime facts, queue and thread names, process statistics, free disk
// space).
//
// Everything here is async-signal-safe: no heap, no locks, stack buffers
// only, foreign memory read through FLTReadMemory.
//
// Threads on Linux: the list comes from /proc/self/task (read with
// getdents64). Another thread's registers are taken without ptrace: the
// handler sends it kFLTProcessThreadStateSignal (tgkill); its handler copies
// the registers of its signal context into the process record and then
// waits, parked, until the handler releases it. Parking stands in for
// suspension: while the sections are written the other threads do not run,
// so their stacks can be read. A thread that does not answer within
// kFLTProcessParkTimeoutMs (signal blocked, or stuck in a handler of its
// own) has no state. The crashed thread's registers come from the signal's
// user context; the recording thread's own are taken at the call.
//
// Stacks are walked by the unwinder (crash/unwind/flt_unwind_cursor.h):
// call-frame information of the images first, frame pointers after, every
// frame read through the safe read.

#include <sys/types.h>
#include <ucontext.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vandrel::crash {

struct FLTFile;

inline constexpr std::size_t kFLTProcessMaxThreads = 256;
inline constexpr std::size_t kFLTProcessMaxFrames = 512;
inline constexpr int kFLTProcessParkTimeoutMs = 500;
// Frames with the same pc in a row after which a stack counts as recursing.
inline constexpr std::uint32_t kFLTProcessRecursionLimit = 10;

// The real-time signal that asks a thread for its registers.
int FLTProcessThreadStateSignal() noexcept;

// The registers of one thread, x86-64.
struct FLTMachineState {
  std::uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
  std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  std::uint64_t rip, rflags, cs, fs, gs;
};

// Fills `state` from a signal's user context.
void FLTMachineStateFromUContext(const ucontext_t* context, FLTMachineState* state) noexcept;

// One thread of the process record.
struct FLTProcessThread {
  pid_t tid;
  std::atomic<int> parkState;  // see flt_process.cpp
  FLTMachineState state;
};

// The process record, on the handler's stack.
struct FLTProcess {
  pid_t pid;
  pid_t currentThread;
  pid_t crashedThread;
  const ucontext_t* crashedState;  // the crashed thread's saved registers, or null
  std::size_t threadCount;
  FLTProcessThread threads[kFLTProcessMaxThreads];
  std::atomic<bool> released;
  bool parked;  // the other threads were asked to park
};

// Task, current and crashed thread, saved state, the thread list (the
// current thread first). False, with the thread count 0, when the list
// cannot be read.
bool FLTProcessInit(FLTProcess* process, pid_t crashedThread, const ucontext_t* crashedState) noexcept;

// Parks every thread but the current one; false when any did not park in
// time (the others stay parked). Resuming releases all and waits (bounded)
// until they left the handler.
bool FLTProcessSuspendAllOtherThreads(FLTProcess* process) noexcept;
bool FLTProcessResumeAllOtherThreads(FLTProcess* process) noexcept;

// The registers of thread `index`: the saved state for the crashed thread,
// those at the call for the current thread (rip = the caller's return
// address), the parked registers for any other. False when there are none.
bool FLTProcessGetThreadState(const FLTProcess* process, std::size_t index,
                              FLTMachineState* state) noexcept;

// The sections, one line each.
void FLTProcessRecordAllThreads(FLTProcess* process, FLTFile* file) noexcept;
void FLTProcessRecordRuntimeInfo(FLTProcess* process, FLTFile* file) noexcept;
void FLTProcessRecordDispatchQueueNames(FLTProcess* process, FLTFile* file) noexcept;
void FLTProcessRecordThreadNames(FLTProcess* process, FLTFile* file) noexcept;
void FLTProcessRecordStats(FLTProcess* process, FLTFile* file) noexcept;

// Writes all crash-time sections in order (threads, runtime,
// dispatch_queue_names, thread_names, process_stats, storage) with the
// other threads parked, then delivers the synchronous crash callback of
// the read-only context when there is one. `crashedState` is null when no
// signal context exists (fatal exceptions). The FLTProcess record is large
// (about 50 KiB of stack).
void FLTHandler(FLTFile* file, pid_t crashedThread, const ucontext_t* crashedState) noexcept;

}  // namespace vandrel::crash
