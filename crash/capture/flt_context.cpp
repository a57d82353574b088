#include "crash/capture/flt_context.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_utilities.h"
#include "crash/kit/trl_application_identity.h"
#include "platform/dispatch.h"

namespace vandrel::crash {

// Crash-time code reads these through plain loads: they must not hide a lock.
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<FLTReadOnlyContext*>::is_always_lock_free);

namespace {

std::atomic<FLTReadOnlyContext*> gReadOnly{nullptr};
std::atomic<FLTWritableContext*> gWritable{nullptr};
std::atomic<FLTAllocator*> gAllocator{nullptr};

std::atomic<platform::Queue*> gLoggingQueue{nullptr};
std::atomic<platform::Queue*> gBinaryImagesQueue{nullptr};
std::atomic<platform::Queue*> gExceptionQueue{nullptr};

struct Hooks {
  std::atomic<FLTContextSetUpHook> hostInitialize{nullptr};
  std::atomic<FLTContextMetadataLineHook> hostWriteLine{nullptr};
  std::atomic<FLTContextSetUpHook> userLogging{nullptr};
  std::atomic<FLTContextSetUpHook> binaryImages{nullptr};
  std::atomic<FLTContextMetadataLineHook> executableWriteLine{nullptr};
  std::atomic<FLTContextSetUpHook> signal{nullptr};
  std::atomic<FLTContextSetUpHook> machException{nullptr};
  std::atomic<FLTContextSetUpHook> exception{nullptr};
};
Hooks gHooks;

void createQueuesOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    // The queues live for the process: capture code may post to them at any
    // time until exit.
    gLoggingQueue.store(new platform::SerialQueue(std::string(kFLTLoggingQueueLabel)));
    gBinaryImagesQueue.store(new platform::SerialQueue(std::string(kFLTBinaryImagesQueueLabel)));
    gExceptionQueue.store(new platform::SerialQueue(std::string(kFLTExceptionQueueLabel)));
  });
}

void* zeroedAllocation(FLTAllocator* allocator, std::size_t size, int kind) {
  void* memory = FLTAllocatorSafeAllocate(allocator, size, kind);
  if (memory != nullptr) std::memset(memory, 0, size);
  return memory;
}

// Report directory + name, with exactly one separator between them.
std::string appendPathComponent(const char* directory, std::string_view name) {
  std::string path(directory);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

char* dupPath(FLTAllocator* allocator, const char* directory, std::string_view name) {
  const std::string path = appendPathComponent(directory, name);
  return FLTDupString(allocator, path.c_str());
}

bool isDirectory(const char* path) {
  struct stat info {};
  return path != nullptr && path[0] != '\0' && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> copyOf(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

const char* cString(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

void runHook(const std::atomic<FLTContextSetUpHook>& hook, FLTReadOnlyContext* readOnly,
             FLTWritableContext* writable, FLTAllocator* allocator) {
  if (FLTContextSetUpHook function = hook.load(std::memory_order_acquire)) {
    function(readOnly, writable, allocator);
  }
}

bool runLineHook(const std::atomic<FLTContextMetadataLineHook>& hook, FLTFile* file) {
  FLTContextMetadataLineHook function = hook.load(std::memory_order_acquire);
  return function != nullptr && function(file);
}

void writeObjectEntry(FLTFile* file, const char* key, const std::optional<std::string>& value) {
  if (value) {
    FLTFileWriteHashEntryObjectString(file, key, std::string_view(*value));
  } else {
    FLTFileWriteHashEntryObjectString(file, key, std::nullopt);
  }
}

void writeIdentityLine(FLTFile* file, const char* apiKey, const char* sessionIdentifier,
                       const char* installIdentifier, const char* betaToken) {
  FLTFileWriteSectionStart(file, "identity");
  FLTFileWriteHashStart(file);
  FLTFileWriteHashEntryString(file, "generator", kFLTSDKGenerator.data());
  FLTFileWriteHashEntryString(file, "build_version", kFLTSDKBuildVersion.data());
  FLTFileWriteHashEntryString(file, "display_version", kFLTSDKDisplayVersion.data());
  FLTFileWriteHashEntryString(file, "api_key", apiKey);
  FLTFileWriteHashEntryUint64(file, "started_at", static_cast<std::uint64_t>(time(nullptr)));
  FLTFileWriteHashEntryString(file, "session_id", sessionIdentifier);
  FLTFileWriteHashEntryString(file, "install_id", installIdentifier);
  FLTFileWriteHashEntryString(file, "beta_token", betaToken);
  FLTFileWriteHashEntryBoolean(file, "absolute_log_timestamps", true);
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
}

void writeApplicationLine(FLTFile* file, const char* customBundleIdentifier) {
  FLTFileWriteSectionStart(file, "application");
  FLTFileWriteHashStart(file);
  writeObjectEntry(file, "bundle_id", TRLBundleIdentifierNamespace());
  FLTFileWriteHashEntryString(file, "custom_bundle_id", customBundleIdentifier);
  writeObjectEntry(file, "build_version", TRLBundleBuildVersion());
  writeObjectEntry(file, "display_version", TRLBundleDisplayVersion());
  writeObjectEntry(file, "extension_id", FLTApplicationExtensionPointIdentifier());
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
}

// Everything the set-up items need, copied out of the parameter block: the
// items may still run after the caller's wait has given up.
struct SetUp {
  FLTReadOnlyContext* readOnly;
  FLTWritableContext* writable;
  FLTAllocator* allocator;
  std::string metadataPath;
  std::optional<std::string> apiKey;
  std::optional<std::string> sessionIdentifier;
  std::optional<std::string> installIdentifier;
  std::optional<std::string> betaToken;
  std::optional<std::string> customBundleIdentifier;
  // Whichever of the group notification and the caller's successful wait
  // comes first finishes the set-up; the other waits until it has.
  std::once_flag finished;
};

void finishSetUp(SetUp& setUp) {
  std::call_once(setUp.finished, [&setUp] {
    setUp.readOnly->initialized.store(true, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!FLTAllocatorProtect(setUp.allocator)) {
      FLT_SDK_LOG_WARN("Error: Memory protection failed\n");
    }
  });
}

// Paths and values the capture parts find in the read-only context; handler
// paths only when handlers will be installed.
void fillReadOnlyContext(FLTReadOnlyContext* readOnly, FLTAllocator* allocator,
                         const FLTContextInitParameters& parameters) {
  const char* directory = parameters.reportDirectory;
  readOnly->crashDetectedDelegate = parameters.crashDetectedDelegate;
  readOnly->crashCallbackDelegate = parameters.crashCallbackDelegate;
  readOnly->firstInstall = parameters.firstInstall;
  readOnly->userLoggingLimits = FLTContextUserLoggingLimits{
      parameters.errorReportingEnabled, parameters.maxCustomExceptions,
      parameters.errorLogBufferSize, parameters.logBufferSize, parameters.maxCustomKeys};
  readOnly->binaryImagePath = dupPath(allocator, directory, kFLTRecordFileBinaryImages);
  if (readOnly->debuggerAttached) return;
  readOnly->signalPath = dupPath(allocator, directory, kFLTRecordFileSignal);
  readOnly->machExceptionPath = dupPath(allocator, directory, kFLTRecordFileMachException);
  readOnly->machExceptionMaskToIgnore = parameters.machExceptionMaskToIgnore;
  readOnly->exceptionPath = dupPath(allocator, directory, kFLTRecordFileException);
  readOnly->customExceptionLimit =
      parameters.customExceptionsEnabled ? parameters.maxCustomExceptions : 0;
}

void submitSetUpItems(platform::Group& group, const std::shared_ptr<SetUp>& setUp) {
  platform::Queue& queue = platform::globalQueue();
  auto item = [&group, &queue, setUp](const std::atomic<FLTContextSetUpHook>& hook) {
    group.async(queue, [setUp, &hook] {
      runHook(hook, setUp->readOnly, setUp->writable, setUp->allocator);
    });
  };
  item(gHooks.hostInitialize);
  item(gHooks.userLogging);
  item(gHooks.binaryImages);
  if (!setUp->readOnly->debuggerAttached) {
    // An alternate signal stack belongs to the thread that installs it: the
    // signal item runs here, so the stack covers the thread that starts
    // crash reporting (the main thread) rather than a pool worker.
    runHook(gHooks.signal, setUp->readOnly, setUp->writable, setUp->allocator);
    item(gHooks.machException);
    item(gHooks.exception);
  } else {
    FLT_SDK_LOG_WARN("Debugger present - not installing handlers\n");
  }
  group.async(queue, [setUp] {
    FLTContextRecordMetadata(setUp->metadataPath.c_str(), cString(setUp->apiKey),
                             cString(setUp->sessionIdentifier), cString(setUp->installIdentifier),
                             cString(setUp->betaToken), cString(setUp->customBundleIdentifier));
  });
}

}  // namespace

FLTReadOnlyContext* FLTContextReadOnly() noexcept { return gReadOnly.load(); }
FLTWritableContext* FLTContextWritable() noexcept { return gWritable.load(); }
FLTAllocator* FLTContextAllocator() noexcept { return gAllocator.load(); }

platform::Queue* FLTLoggingQueue() noexcept { return gLoggingQueue.load(); }
platform::Queue* FLTBinaryImagesQueue() noexcept { return gBinaryImagesQueue.load(); }
platform::Queue* FLTExceptionQueue() noexcept { return gExceptionQueue.load(); }

void FLTContextRegisterHostSetUp(FLTContextSetUpHook initialize,
                                 FLTContextMetadataLineHook writeHostLine) noexcept {
  gHooks.hostInitialize.store(initialize);
  gHooks.hostWriteLine.store(writeHostLine);
}

void FLTContextRegisterUserLoggingSetUp(FLTContextSetUpHook initialize) noexcept {
  gHooks.userLogging.store(initialize);
}

void FLTContextRegisterBinaryImageSetUp(FLTContextSetUpHook initialize,
                                        FLTContextMetadataLineHook writeExecutableLine) noexcept {
  gHooks.binaryImages.store(initialize);
  gHooks.executableWriteLine.store(writeExecutableLine);
}

void FLTContextRegisterSignalSetUp(FLTContextSetUpHook initialize) noexcept {
  gHooks.signal.store(initialize);
}

void FLTContextRegisterMachExceptionSetUp(FLTContextSetUpHook initialize) noexcept {
  gHooks.machException.store(initialize);
}

void FLTContextRegisterExceptionSetUp(FLTContextSetUpHook initialize) noexcept {
  gHooks.exception.store(initialize);
}

void FLTContextBaseInit() {
  createQueuesOnce();
  FLTAllocator* allocator =
      FLTAllocatorCreate(kFLTContextWritableRegionRequest, kFLTContextReadOnlyRegionRequest);

  auto* readOnly = new (zeroedAllocation(allocator, sizeof(FLTReadOnlyContext),
                                         kFLTAllocationTypeReadOnly)) FLTReadOnlyContext{};
  readOnly->machExceptionServerStack =
      zeroedAllocation(allocator, kFLTContextStackSize, kFLTAllocationTypeWritable);
  readOnly->signalStack =
      zeroedAllocation(allocator, kFLTContextStackSize, kFLTAllocationTypeWritable);

  auto* writable = new (zeroedAllocation(allocator, sizeof(FLTWritableContext),
                                         kFLTAllocationTypeWritable)) FLTWritableContext{};
  writable->sdkLog.descriptor = -1;
  writable->sdkLog.minimumLevel = kFLTSDKLogLevelDebug;
  writable->crashOccurred.store(false);

  readOnly->initialized.store(false);
  gAllocator.store(allocator);
  gWritable.store(writable);
  gReadOnly.store(readOnly);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

bool FLTContextInitialize(const FLTContextInitParameters* parameters) {
  return FLTContextInitialize(parameters, kFLTContextInitializeWait);
}

bool FLTContextInitialize(const FLTContextInitParameters* parameters, platform::Duration wait) {
  if (parameters == nullptr) return false;
  FLTContextBaseInit();
  FLTReadOnlyContext* readOnly = gReadOnly.load();
  FLTWritableContext* writable = gWritable.load();
  FLTAllocator* allocator = gAllocator.load();
  platform::Group group;

  if (!isDirectory(parameters->reportDirectory)) return false;
  readOnly->sdkLog.path = dupPath(allocator, parameters->reportDirectory, kFLTSDKLogFileName);
  // Plain unlink: the message needs its errno.
  if (::unlink(readOnly->sdkLog.path) != 0 && errno != ENOENT) {
    std::fprintf(stderr, "[Faultline:Crash] Unable to write initialize SDK write paths %s\n",
                 std::strerror(errno));
  }
  FLTSDKLogAttach(&readOnly->sdkLog, &writable->sdkLog);

  readOnly->debuggerAttached = FLTProcessDebuggerAttached();
  fillReadOnlyContext(readOnly, allocator, *parameters);

  auto setUp = std::make_shared<SetUp>();
  setUp->readOnly = readOnly;
  setUp->writable = writable;
  setUp->allocator = allocator;
  setUp->metadataPath = appendPathComponent(parameters->reportDirectory, kFLTRecordFileMetadata);
  setUp->apiKey = copyOf(parameters->apiKey);
  setUp->sessionIdentifier = copyOf(parameters->sessionIdentifier);
  setUp->installIdentifier = copyOf(parameters->installIdentifier);
  setUp->betaToken = copyOf(parameters->betaToken);
  setUp->customBundleIdentifier = copyOf(parameters->customBundleIdentifier);

  submitSetUpItems(group, setUp);
  group.notify(platform::globalQueue(), [setUp] { finishSetUp(*setUp); });
  if (group.wait(wait)) {
    // Finish here too, so the context is initialized when this returns.
    finishSetUp(*setUp);
  } else {
    FLT_SDK_LOG_WARN("Error: Delayed initialization\n");
  }
  return true;
}

void FLTContextRecordMetadata(const char* path, const char* apiKey, const char* sessionIdentifier,
                              const char* installIdentifier, const char* betaToken,
                              const char* customBundleIdentifier) {
  if (!FLTUnlinkIfExists(path)) {
    FLT_SDK_LOG_WARN("Unable to unlink existing metadata file %s\n", path);
  }
  FLTFile file;
  if (!FLTFileInitWithPathMode(&file, path, true, false)) {
    FLT_SDK_LOG_WARN("Unable to open metadata file %s\n", path);
    FLT_SDK_LOG_WARN("Unable to record context metadata\n");
    return;
  }
  writeIdentityLine(&file, apiKey, sessionIdentifier, installIdentifier, betaToken);
  if (!runLineHook(gHooks.hostWriteLine, &file)) {
    FLT_SDK_LOG_WARN("Unable to write out host metadata\n");
  }
  writeApplicationLine(&file, customBundleIdentifier);
  if (!runLineHook(gHooks.executableWriteLine, &file)) {
    FLT_SDK_LOG_WARN("Unable to write out executable metadata\n");
  }
  FLTFileCloseWithOffset(&file, nullptr);
}

bool FLTProcessDebuggerAttached() {
  // The traced flag of the process: a non-zero "TracerPid" in its status.
  const int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  char buffer[4096];
  ssize_t length = -1;
  if (fd >= 0) {
    length = read(fd, buffer, sizeof(buffer) - 1);
    close(fd);
  }
  const char* field = nullptr;
  if (length > 0) {
    buffer[length] = '\0';
    field = std::strstr(buffer, "\nTracerPid:");
  }
  if (field == nullptr) {
    FLT_SDK_LOG_WARN("sysctl failed while trying to get kinfo_proc\n");
    return false;
  }
  field += std::strlen("\nTracerPid:");
  while (*field == ' ' || *field == '\t') ++field;
  return *field >= '1' && *field <= '9';
}

bool FLTContextIsInitialized() noexcept {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  FLTReadOnlyContext* readOnly = gReadOnly.load();
  return readOnly != nullptr && readOnly->initialized.load(std::memory_order_seq_cst);
}

bool FLTContextHasCrashed() noexcept {
  FLTWritableContext* writable = gWritable.load();
  return FLTContextIsInitialized() && writable != nullptr &&
         writable->crashOccurred.load(std::memory_order_seq_cst);
}

void FLTContextMarkHasCrashed() noexcept {
  if (!FLTContextIsInitialized()) return;
  gWritable.load()->crashOccurred.store(true, std::memory_order_seq_cst);
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

bool FLTContextMarkAndCheckIfCrashed() noexcept {
  if (!FLTContextIsInitialized()) return false;
  // One exchange, so two fatal events arriving together cannot both pass.
  return gWritable.load()->crashOccurred.exchange(true, std::memory_order_seq_cst);
}

void FLTContextBaseDeinitialize() noexcept {
  FLTReadOnlyContext* readOnly = gReadOnly.load();
  FLTAllocator* allocator = gAllocator.load();
  if (readOnly != nullptr) {
    // The flag sits in the protected region: lift the protection for the
    // one store rather than fault on it.
    const bool isProtected = allocator != nullptr && allocator->isProtected.load() &&
                             FLTAllocatorContains(allocator, readOnly);
    const bool lifted = isProtected &&
                        mprotect(reinterpret_cast<void*>(allocator->readOnly.start),
                                 allocator->readOnly.size, PROT_READ | PROT_WRITE) == 0;
    if (!isProtected || lifted) {
      readOnly->initialized.store(false, std::memory_order_seq_cst);
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    if (lifted) {
      mprotect(reinterpret_cast<void*>(allocator->readOnly.start), allocator->readOnly.size,
               PROT_READ);
    }
  }
  FLTAllocatorFree(allocator);
}

}  // namespace vandrel::crash
