#pragma once

// The common tail of every fatal capture path: after the trigger line the
// handler holds the other threads still and appends the crash-time
// sections to the same record file (threads with registers and stacks,
// runtime facts, queue and thread names, process statistics, free disk
// space).
//
// Everything here is async-signal-safe: no heap, no locks, stack buffers
// and crash-time mappings only, foreign memory read through FLTReadMemory.
//
// Threads on Linux: the list comes from /proc/self/task (read with
// getdents64), in the order the kernel gives it, however many there are
// (the table is mapped at crash time from the kernel, never the heap).
// Another thread's registers are taken without ptrace: the handler sends it
// kFLTProcessThreadStateSignal (tgkill); its handler copies the registers of
// its signal context into the process record and then waits, parked, until
// the handler releases it. Parking stands in for suspension: while the
// sections are written the other threads do not run, so their stacks can be
// read. A thread that blocks that signal of its own accord (its "SigBlk" in
// /proc/self/task/TID/status) is asked all the same but given only a short
// grace (kFLTProcessBlockedGraceMs), not the whole wait; one that does not
// answer within kFLTProcessParkTimeoutMs (stuck in a handler of its own)
// has no state either. Such a thread is left out of the `threads` section
// (an ERROR line says so) and the threads after it are still recorded. The
// crashed thread's registers come from the signal's user context; the
// recording thread's own are taken at the call. A thread that faulted while
// another one records answers with the registers of its own fault.
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

inline constexpr int kFLTProcessParkTimeoutMs = 500;
// A thread that blocks the signal when it is asked (and is not merely held
// by the C library for a moment, inside raise or while it starts) is waited
// for only this long, far less than a thread that never answers costs
// otherwise.
inline constexpr int kFLTProcessBlockedGraceMs = 10;
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
  bool blockedWhenAsked;       // its "SigBlk" held the signal when it was asked
  FLTMachineState state;
};

// The process record, with room for one entry per thread, in crash-time
// scratch memory (FLTAllocatorMapCrashScratch).
struct FLTProcess {
  pid_t pid;
  pid_t currentThread;
  pid_t crashedThread;
  const ucontext_t* crashedState;  // the crashed thread's saved registers, or null
  std::size_t threadCount;
  std::size_t capacity;
  FLTProcessThread* threads;  // right behind the record in the same mapping
  std::size_t mappingSize;
  std::atomic<bool> released;
  bool parked;  // the other threads were asked to park
};

// Maps a record with room for every thread listed now (and some that start
// meanwhile) and fills it: task, current and crashed thread, saved state,
// the thread list in the kernel's order. Null when no memory could be
// mapped. When the list cannot be read the record has no threads (WARN
// "Error: unable to get task threads").
FLTProcess* FLTProcessCreate(pid_t crashedThread, const ucontext_t* crashedState) noexcept;
// Unmaps the record. Not while threads are parked on it.
void FLTProcessDestroy(FLTProcess* process) noexcept;

// Calls `visit(tid, context)` for each thread of this process until it
// answers false; false when the list cannot be read. Async-signal-safe.
bool FLTProcessEnumerateThreadIds(bool (*visit)(pid_t tid, void* context), void* context) noexcept;

// The blocked set of thread `tid` of this process (its "SigBlk" line of
// /proc/self/task/TID/status, bit n-1 for signal n); false when that cannot
// be read. Async-signal-safe.
bool FLTProcessThreadSignalMask(pid_t tid, std::uint64_t* mask) noexcept;
// True when thread `tid` blocks `signal`; false when that cannot be read.
// Async-signal-safe.
bool FLTProcessThreadBlocksSignal(pid_t tid, int signal) noexcept;

// Notes the registers of the calling thread's own fault (null clears
// them): asked to park while it is in a fatal handler, the thread answers
// with these rather than the handler's. Async-signal-safe.
void FLTProcessNoteFaultContext(const ucontext_t* context) noexcept;

// Parks every thread but the current one; false when any could not be
// parked (it blocks the signal, or did not answer in time; the others stay
// parked). Resuming releases all and waits (bounded) until they left the
// handler.
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
// other threads parked, lets them go again, then delivers the synchronous
// crash callback of the read-only context when there is one.
// `crashedState` is null when no signal context exists (fatal exceptions).
void FLTHandler(FLTFile* file, pid_t crashedThread, const ucontext_t* crashedState) noexcept;

// As FLTHandler, but the other threads stay parked after it returns, until
// FLTProcessReleaseHeldThreads: when the fault is handed on to the default
// action the process ends with them still held, so none of them can fault
// anew in between and end it by another signal.
void FLTHandlerHoldingThreads(FLTFile* file, pid_t crashedThread,
                              const ucontext_t* crashedState) noexcept;
// Lets the threads held by FLTHandlerHoldingThreads go (bounded wait until
// they have left their handler) and frees the record. Nothing when none
// are held.
void FLTProcessReleaseHeldThreads() noexcept;

}  // namespace vandrel::crash
