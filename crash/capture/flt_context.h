#pragma once

// The crash context: everything in-process crash capture needs before a
// crash can happen, prepared once per launch by `FLTContextInitialize`.
//
// Two records live in the guarded allocator's regions:
//  - the read-only context (paths, saved handlers, delegates, the per-part
//    capture contexts), write-protected once set-up has finished, so a stray
//    write cannot corrupt what the crash path relies on;
//  - the writable context (SDK log descriptor and level, the crash flag,
//    counters and tables that change while the process runs).
//
// The accessors and the flag functions below are async-signal-safe: they
// read a global pointer and an atomic flag, nothing more.
//
// Parts of the capture built elsewhere (host facts, user logging, binary
// images, signal, Mach-style exception and terminate handlers) join the
// set-up through registration functions: each registers its set-up hook
// before `FLTContextInitialize` runs; an unregistered hook is simply
// skipped. The hooks run concurrently on the global queue before
// protection, each writing only its own fields of the two contexts; a hook
// that needs memory of its own takes it from the allocator it is given (the
// read-only region for what must be protected).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/clock.h"
#include "crash/capture/flt_sdk_log.h"

namespace vandrel::platform {
class Queue;
}  // namespace vandrel::platform

namespace vandrel::crash {

struct FLTAllocator;
struct FLTFile;

// Capture contexts owned by the capture parts that define them; the crash
// context only keeps a pointer to each.
struct FLTSignalContext;
struct FLTMachExceptionContext;
struct FLTExceptionContext;
struct FLTUserLoggingReadOnlyContext;
struct FLTUserLoggingWritableContext;
struct FLTBinaryImageWritableContext;

inline constexpr std::string_view kFLTLoggingQueueLabel = "com.kestrel.faultline.mac.logging";
inline constexpr std::string_view kFLTBinaryImagesQueueLabel =
    "com.kestrel.faultline.mac.binary-images";
inline constexpr std::string_view kFLTExceptionQueueLabel = "com.kestrel.faultline.mac.exception";

inline constexpr std::string_view kFLTSDKLogFileName = "sdk.log";

// Sizes asked of the allocator, and of each of the two stacks (Mach-style
// exception server thread, alternate signal stack) in the writable region.
inline constexpr std::size_t kFLTContextWritableRegionRequest = 544872;
inline constexpr std::size_t kFLTContextReadOnlyRegionRequest = 17064;
inline constexpr std::size_t kFLTContextStackSize = 0x40000;

// How long `FLTContextInitialize` waits for its set-up items.
inline constexpr platform::Duration kFLTContextInitializeWait = std::chrono::seconds(5);

// What "metadata.fltrecord" says of the kit itself.
inline constexpr std::string_view kFLTSDKGenerator = "Faultline Mac SDK/3.14.0";
inline constexpr std::string_view kFLTSDKBuildVersion = "144";
inline constexpr std::string_view kFLTSDKDisplayVersion = "3.14.0";

// Told once a crash that may be submitted has been recorded. Called on the
// recording thread at crash time: the implementation must be
// async-signal-safe.
class FLTCrashDetectedDelegate {
 public:
  virtual void potentiallySubmittableCrashOccurred() = 0;

 protected:
  ~FLTCrashDetectedDelegate() = default;
};

// The application's synchronous crash callback, delivered at crash time on
// the recording thread.
class FLTCrashCallbackDelegate {
 public:
  virtual void deliverCrashDelegateCallback() = 0;

 protected:
  ~FLTCrashCallbackDelegate() = default;
};

// The parameter block the crash-reporting controller fills in. Strings are
// NUL-terminated and need stay valid only during the call: set-up copies
// what outlives it. The delegates must live as long as the process.
struct FLTContextInitParameters {
  const char* apiKey = nullptr;
  FLTCrashDetectedDelegate* crashDetectedDelegate = nullptr;
  bool firstInstall = false;
  FLTCrashCallbackDelegate* crashCallbackDelegate = nullptr;
  const char* customBundleIdentifier = nullptr;
  const char* reportDirectory = nullptr;  // null or not a directory: failure
  const char* sessionIdentifier = nullptr;
  const char* installIdentifier = nullptr;
  const char* betaToken = nullptr;
  std::uint32_t machExceptionMaskToIgnore = 0;
  bool errorReportingEnabled = false;
  bool customExceptionsEnabled = false;
  std::uint32_t maxCustomExceptions = 0;
  std::uint32_t errorLogBufferSize = 0;  // passed on; capture does not use it
  std::uint32_t logBufferSize = 0;
  std::uint32_t maxCustomKeys = 0;
};

// The limits user logging sets its stores up with (copied from the
// parameter block, which does not outlive the call).
struct FLTContextUserLoggingLimits {
  bool errorReportingEnabled;
  std::uint32_t maxCustomExceptions;
  std::uint32_t errorLogBufferSize;
  std::uint32_t logBufferSize;
  std::uint32_t maxCustomKeys;
};

// Zeroed, then filled in by set-up; read-only once set-up has finished.
// Paths are report directory + file name, duplicated into the read-only
// region; a null path means that piece is not set up.
struct FLTReadOnlyContext {
  std::atomic<bool> initialized;
  bool debuggerAttached;
  FLTSDKLogReadOnlyState sdkLog;  // report directory + "sdk.log"

  // Both 0x40000 bytes, zeroed, in the writable region.
  void* machExceptionServerStack;
  void* signalStack;

  FLTCrashDetectedDelegate* crashDetectedDelegate;
  FLTCrashCallbackDelegate* crashCallbackDelegate;
  bool firstInstall;

  // Host facts (set by the host set-up hook).
  std::size_t pageSize;
  const char* measuredDirectory;  // whose volume is measured at crash time

  const char* binaryImagePath;

  const char* signalPath;
  FLTSignalContext* signal;

  const char* machExceptionPath;
  std::uint32_t machExceptionMaskToIgnore;
  FLTMachExceptionContext* machException;

  const char* exceptionPath;
  std::uint32_t customExceptionLimit;  // max custom exceptions when enabled, else 0
  FLTExceptionContext* exception;

  FLTContextUserLoggingLimits userLoggingLimits;
  FLTUserLoggingReadOnlyContext* userLogging;
};

// Zeroed, then descriptor -1, minimum level DEBUG, crash flag false.
struct FLTWritableContext {
  FLTSDKLogWritableState sdkLog;
  std::atomic<bool> crashOccurred;
  FLTBinaryImageWritableContext* binaryImages;
  FLTUserLoggingWritableContext* userLogging;
};

// ---- The globals (null until base initialisation) -------------------------

FLTReadOnlyContext* FLTContextReadOnly() noexcept;
FLTWritableContext* FLTContextWritable() noexcept;
FLTAllocator* FLTContextAllocator() noexcept;

// The kit's serial queues: user logging and key/value compaction, binary-
// image records, fatal exception recording. Null until base initialisation;
// then alive for the rest of the process.
platform::Queue* FLTLoggingQueue() noexcept;
platform::Queue* FLTBinaryImagesQueue() noexcept;
platform::Queue* FLTExceptionQueue() noexcept;

// ---- Set-up hooks of the capture parts ------------------------------------

// Runs on the global queue during set-up, before protection.
using FLTContextSetUpHook = void (*)(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                                     FLTAllocator* allocator);
// Writes one line of "metadata.fltrecord"; false when it could not.
using FLTContextMetadataLineHook = bool (*)(FLTFile* file);

// Host facts: fills pageSize and measuredDirectory; `writeHostLine` writes
// the `host` line.
void FLTContextRegisterHostSetUp(FLTContextSetUpHook initialize,
                                 FLTContextMetadataLineHook writeHostLine) noexcept;
// User logging: its stores, from readOnly->userLoggingLimits.
void FLTContextRegisterUserLoggingSetUp(FLTContextSetUpHook initialize) noexcept;
// Binary images: the registry on readOnly->binaryImagePath;
// `writeExecutableLine` writes the `executable` line.
void FLTContextRegisterBinaryImageSetUp(FLTContextSetUpHook initialize,
                                        FLTContextMetadataLineHook writeExecutableLine) noexcept;
// Handlers, installed only without a debugger: signals (signalPath, the
// signal stack), Mach-style exceptions (machExceptionPath, the mask to leave
// alone, the server stack), terminate and exception capture (exceptionPath,
// customExceptionLimit).
void FLTContextRegisterSignalSetUp(FLTContextSetUpHook initialize) noexcept;
void FLTContextRegisterMachExceptionSetUp(FLTContextSetUpHook initialize) noexcept;
void FLTContextRegisterExceptionSetUp(FLTContextSetUpHook initialize) noexcept;

// ---- Set-up and flags ------------------------------------------------------

// Base initialisation: the queues (once per process), the allocator, both
// contexts zeroed with their initial values, initialized flag false. When
// the allocator cannot be mapped the contexts come from the heap (and
// protection later fails with a warning).
void FLTContextBaseInit();

// Prepares the crash context. False only for a null block or a report
// directory that is missing or not a directory. Waits up
// to `wait` for the set-up items; past that it logs "Error: Delayed
// initialization" and returns true, and the context becomes initialized
// (and protected) whenever the items finish.
bool FLTContextInitialize(const FLTContextInitParameters* parameters);
bool FLTContextInitialize(const FLTContextInitParameters* parameters, platform::Duration wait);

// Writes the metadata record (identity, host, application, executable) to
// `path`, replacing an older file. Failures are logged; nothing is raised.
void FLTContextRecordMetadata(const char* path, const char* apiKey, const char* sessionIdentifier,
                              const char* installIdentifier, const char* betaToken,
                              const char* customBundleIdentifier);

// True when the traced flag of this process is set (a debugger or tracer
// is attached).
bool FLTProcessDebuggerAttached();

// Flags: async-signal-safe, full barriers.
bool FLTContextIsInitialized() noexcept;
bool FLTContextHasCrashed() noexcept;
void FLTContextMarkHasCrashed() noexcept;
// Not initialized: false. Otherwise an atomic test-and-set of the crash
// flag: false for the first caller only, true for every later one (whose
// fatal handler then leaves with exit status 1).
bool FLTContextMarkAndCheckIfCrashed() noexcept;

// Clears the initialized flag (briefly lifting the write protection to do
// so); the memory itself lives for the process.
void FLTContextBaseDeinitialize() noexcept;

}  // namespace vandrel::crash
