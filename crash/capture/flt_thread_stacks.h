#pragma once

// An alternate signal stack for every thread of the process.
//
// A synchronous fault (SIGSEGV, SIGBUS, ...) is delivered to the thread that
// faulted, and Linux keeps the alternate signal stack per thread: a thread
// whose own stack is gone (an overflow) can run the crash handler only on a
// stack of its own. Threads get one in two ways:
//  - threads started after capture is set up: the executable that enables
//    capture defines `pthread_create` (flt_pthread_create.cpp, linked into
//    that executable only), so every thread that the program or any library
//    it loads starts goes through FLTThreadStacksCreateThread. The new thread
//    installs its stack before its own code runs and frees it when it ends
//    (return, pthread_exit or cancellation);
//  - threads that exist when capture is set up: a one-time signal asks each
//    of them to install one on itself.
//
// Not covered: a thread started before set-up that blocks the one-time
// signal until after it faults, and a thread started after set-up by code that
// does not call the exported `pthread_create` (the C library's own helper
// threads, raw clone calls). Those still run the handler when the fault
// leaves their stack usable; only an overflow there goes unrecorded.
//
// Each stack is kFLTThreadStackSize bytes above a guard page, mapped
// straight from the kernel. A thread that FLTThreadStacksCreateThread did
// not start (the main thread, a C library helper) keeps the stack the
// one-time signal gave it until the process ends. Like any signal, the
// one-time signal cuts short a sleep or wait that the thread was in
// (EINTR) once; the real-time signal it uses must not be one the
// application uses itself.

#include <pthread.h>

#include <chrono>
#include <cstddef>

namespace vandrel::crash {

// As large as the crash context's own signal stack: the whole crash-time
// writer runs on it.
inline constexpr std::size_t kFLTThreadStackSize = 0x40000;

// How long set-up waits for the threads that exist to install their stacks.
inline constexpr std::chrono::milliseconds kFLTThreadStacksAnswerWait{2000};

using FLTThreadStartRoutine = void* (*)(void*);
using FLTPthreadCreateFunction = int (*)(pthread_t*, const pthread_attr_t*, FLTThreadStartRoutine,
                                         void*);

// The body of the executable's `pthread_create`: starts the thread through
// `next` (the C library's definition) with a start routine that installs a
// stack while capture is on, then runs `routine`. Same result as `next`.
int FLTThreadStacksCreateThread(FLTPthreadCreateFunction next, pthread_t* thread,
                                const pthread_attr_t* attributes, FLTThreadStartRoutine routine,
                                void* argument) noexcept;

// The real-time signal that asks a thread to install its stack.
int FLTThreadStacksSignal() noexcept;

// Turns coverage on: threads started from now on install a stack, the
// calling thread installs one unless it has one, and every other thread that
// exists now gets the one-time signal. Waits (at most
// kFLTThreadStacksAnswerWait) until the signalled threads have answered;
// threads that block the signal get it when they unblock it and are not
// waited for. Answers how many threads were found to block it.
int FLTThreadStacksEnable();
bool FLTThreadStacksEnabled() noexcept;

// Installs a stack of its own on the calling thread unless it already has
// an alternate stack. False when none could be installed. Async-signal-safe.
bool FLTThreadStacksInstallOnCurrentThread() noexcept;

// Stacks mapped by this module and not yet freed (threads that ended have
// given theirs back).
std::size_t FLTThreadStacksLiveCount() noexcept;

}  // namespace vandrel::crash
