#include "crash/capture/flt_exception.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <typeinfo>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_context.h"
#include "crash/capture/flt_process.h"
#include "crash/capture/flt_record_writer.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/capture/flt_user_logging.h"
#include "platform/dispatch.h"

namespace vandrel::crash {
namespace {

const FLTExceptionContext* exceptionContext() noexcept {
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  return readOnly != nullptr ? readOnly->exception : nullptr;
}

std::string demangle(const char* mangled) {
  if (mangled == nullptr) return {};
  int status = 0;
  char* text = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string result = (status == 0 && text != nullptr) ? text : mangled;
  std::free(text);
  return result;
}

void recordCpp(const char* name, const char* reason) {
  FLTExceptionRecord(kFLTExceptionTypeCpp, name, reason, nullptr, true);
}

// Rethrows the active exception to learn what it is. Anything thrown while
// recording is swallowed here: a throw escaping a terminate handler would
// enter terminate again.
void FLTCatchAndRecordActiveException() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) {
    FLT_SDK_LOG_WARN("no active exception\n");
    return;
  }
  FLT_SDK_LOG_WARN("Recording exception of type '%s'\n", type->name());
  try {
    try {
      throw;
    } catch (const char* text) {
      recordCpp("const char *", text);
    } catch (const std::string& text) {
      recordCpp("std::string", text.c_str());
    } catch (const std::bad_alloc& error) {
      recordCpp("std::bad_alloc", error.what());
    } catch (const std::exception& error) {
      recordCpp(demangle(typeid(error).name()).c_str(), error.what());
    } catch (const std::exception* error) {
      if (error == nullptr) {
        recordCpp(demangle(type->name()).c_str(), "");
      } else {
        recordCpp(demangle(typeid(*error).name()).c_str(), error->what());
      }
    } catch (...) {
      recordCpp(demangle(type->name()).c_str(), "");
    }
  } catch (...) {
    FLT_SDK_LOG_WARN("Unable to record the active exception\n");
  }
}

void writeFrames(FLTFile* file, const std::vector<FLTExceptionFrame>& frames) {
  FLTFileWriteHashKey(file, "frames");
  FLTFileWriteArrayStart(file);
  for (const FLTExceptionFrame& frame : frames) {
    FLTFileWriteHashStart(file);
    FLTFileWriteHashEntryUint64(file, "pc", frame.address);
    if (frame.symbol) FLTFileWriteHashEntryHexEncodedString(file, "symbol", frame.symbol->c_str());
    FLTFileWriteHashEntryUint64(file, "offset", frame.offset);
    if (frame.library) {
      FLTFileWriteHashEntryHexEncodedString(file, "library", frame.library->c_str());
    }
    if (frame.file) FLTFileWriteHashEntryHexEncodedString(file, "file", frame.file->c_str());
    FLTFileWriteHashEntryUint64(file, "line", frame.line);
    FLTFileWriteHashEnd(file);
  }
  FLTFileWriteArrayEnd(file);
}

void recordFatal(int type, const char* name, const char* reason,
                 const std::vector<FLTExceptionFrame>* frames, bool attemptDelivery) {
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  const FLTExceptionContext* context = exceptionContext();
  FLTFile file;
  if (context == nullptr || context->path == nullptr ||
      !FLTFileInitWithPathMode(&file, context->path, true, false)) {
    FLT_SDK_LOG_WARN("Unable to open exception file\n");
    return;
  }
  FLTExceptionWrite(&file, type, name, reason, frames);
  FLTHandler(&file, static_cast<pid_t>(syscall(SYS_gettid)), nullptr);
  FLTFileCloseWithOffset(&file, nullptr);
  if (attemptDelivery && readOnly->crashDetectedDelegate != nullptr) {
    readOnly->crashDetectedDelegate->potentiallySubmittableCrashOccurred();
  }
}

void recordNonFatal(int type, const char* name, const char* reason,
                    const std::vector<FLTExceptionFrame>* frames) {
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  FLTWritableContext* writable = FLTContextWritable();
  const FLTExceptionContext* context = exceptionContext();
  // Custom exceptions switched off leave the limit at 0.
  if (context == nullptr || context->customExceptionLimit == 0) return;
  if (readOnly->userLogging == nullptr || writable == nullptr || writable->userLogging == nullptr) {
    return;
  }
  FLTUserLoggingWriteAndCheckABFiles(
      &readOnly->userLogging->customExceptionStorage,
      &writable->userLogging->activeCustomExceptionPath,
      [&](FLTFile* file) { FLTExceptionWrite(file, type, name, reason, frames); });
}

}  // namespace

const char* FLTExceptionTypeName(int type) noexcept {
  switch (type) {
    case kFLTExceptionTypeObjectiveC:
      return "objective-c";
    case kFLTExceptionTypeCpp:
      return "c++";
    case kFLTExceptionTypeCustom:
      return "custom";
    default:
      return "unknown";
  }
}

void FLTExceptionInitialize(FLTExceptionContext* context, std::uint32_t customExceptionCount) {
  if (context == nullptr) return;
  if (context->path != nullptr && unlink(context->path) != 0 && errno != ENOENT) {
    FLT_SDK_LOG_WARN("Unable to reset the exception file %s\n", strerrordesc_np(errno));
  }
  context->customExceptionLimit = customExceptionCount;
  std::terminate_handler previous = std::set_terminate(FLTTerminateHandler);
  // Set up twice in one process: keep the handler from before the first.
  if (previous != FLTTerminateHandler) context->previousTerminateHandler = previous;
}

void FLTExceptionSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext*, FLTAllocator* allocator) {
  if (readOnly == nullptr) return;
  void* memory =
      FLTAllocatorSafeAllocate(allocator, sizeof(FLTExceptionContext), kFLTAllocationTypeReadOnly);
  if (memory == nullptr) return;
  auto* context = new (memory) FLTExceptionContext{};
  context->path = readOnly->exceptionPath;
  readOnly->exception = context;
  FLTExceptionInitialize(context, readOnly->customExceptionLimit);
}

void FLTExceptionRegisterSetUp() noexcept { FLTContextRegisterExceptionSetUp(FLTExceptionSetUp); }

void FLTTerminateHandler() {
  FLT_SDK_LOG_WARN("C++ terminate handler invoked\n");
  const FLTExceptionContext* context = exceptionContext();
  std::terminate_handler previous =
      context != nullptr ? context->previousTerminateHandler : nullptr;
  if (previous == FLTTerminateHandler) {
    FLT_SDK_LOG_WARN("Error: original handler was set recursively\n");
    previous = nullptr;
  }
  if (previous != nullptr) {
    FLT_SDK_LOG_WARN("restoring pre-existing handler\n");
    if (std::set_terminate(previous) == previous) {
      FLT_SDK_LOG_WARN("handler has already been restored, aborting\n");
      std::abort();
    }
  }
  FLTCatchAndRecordActiveException();
  if (previous != nullptr) {
    FLT_SDK_LOG_WARN("invoking pre-existing handler\n");
    previous();
  }
  FLT_SDK_LOG_WARN("aborting\n");
  std::abort();
}

void FLTExceptionWrite(FLTFile* file, int type, const char* name, const char* reason,
                       const std::vector<FLTExceptionFrame>* frames) {
  FLTFileWriteSectionStart(file, "exception");
  FLTFileWriteHashStart(file);
  FLTFileWriteHashEntryString(file, "type", FLTExceptionTypeName(type));
  FLTFileWriteHashEntryHexEncodedString(file, "name", name);
  FLTFileWriteHashEntryHexEncodedString(file, "reason", reason);
  FLTFileWriteHashEntryInt64(file, "time", static_cast<std::int64_t>(std::time(nullptr)));
  if (frames != nullptr && !frames->empty()) writeFrames(file, *frames);
  FLTFileWriteHashEnd(file);
  FLTFileWriteSectionEnd(file);
}

void FLTExceptionRecord(int type, const char* name, const char* reason,
                        const std::vector<FLTExceptionFrame>* frames, bool attemptDelivery) {
  if (!FLTContextIsInitialized()) return;
  const bool fatal = type == kFLTExceptionTypeObjectiveC || type == kFLTExceptionTypeCpp;
  FLT_SDK_LOG_WARN("Recording an exception structure (%d, %d)\n", attemptDelivery ? 1 : 0,
                   fatal ? 1 : 0);
  if (!fatal) {
    recordNonFatal(type, name, reason, frames);
  } else {
    auto work = [&] { recordFatal(type, name, reason, frames, attemptDelivery); };
    platform::Queue* queue = FLTExceptionQueue();
    // A throw from a job of the exception queue itself records in place:
    // waiting for the queue there would never end.
    if (queue == nullptr || queue->isCurrent()) {
      work();
    } else {
      queue->sync(work);
    }
  }
  FLT_SDK_LOG_WARN("Finished recording an exception structure\n");
}

void FLTExceptionCheckHandlers() {
  const FLTReadOnlyContext* readOnly = FLTContextReadOnly();
  if (readOnly != nullptr && readOnly->debuggerAttached) return;
  std::terminate_handler current = std::get_terminate();
  if (current == FLTTerminateHandler) return;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(current), &info) == 0) {
    std::fprintf(stderr, "[Faultline:Crash] Warning: std::get_terminate is '%s' in '%s'\n",
                 "(null)", "(null)");
    return;
  }
  std::fprintf(stderr, "[Faultline:Crash] Warning: std::get_terminate is '%s' in '%s'\n",
               info.dli_sname != nullptr ? info.dli_sname : "unknown",
               info.dli_fname != nullptr ? info.dli_fname : "unknown");
}

}  // namespace vandrel::crash
