#pragma once

// Capture of uncaught C++ exceptions through a std::terminate handler, and
// the recording routine shared with the application's non-fatal custom
// exceptions.
//
// Fatal types (1 "objective-c", 2 "c++") go to "exception.fltrecord"
// followed by the crash-time sections of the recording thread; other types
// go to the rotating custom-exception store of user logging. Recording is
// not async-signal-safe: it runs in a live process (the terminate handler
// runs before abort). There is no Objective-C runtime here, so nothing
// replaces an application's top-level exception reporting; the type and its
// name stay so reports keep their vocabulary.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandrel::crash {

struct FLTFile;
struct FLTReadOnlyContext;
struct FLTWritableContext;
struct FLTAllocator;

inline constexpr int kFLTExceptionTypeObjectiveC = 1;
inline constexpr int kFLTExceptionTypeCpp = 2;
inline constexpr int kFLTExceptionTypeUnknown = 3;
inline constexpr int kFLTExceptionTypeCustom = 4;

// "objective-c", "c++", "unknown", "custom"; "unknown" for any other.
const char* FLTExceptionTypeName(int type) noexcept;

// Inside the read-only context; written only before protection.
struct FLTExceptionContext {
  const char* path;                                 // report directory + "exception.fltrecord"
  std::terminate_handler previousTerminateHandler;  // null when none
  std::uint32_t customExceptionLimit;
};

// One frame of a recorded exception. Optional texts are left out of the
// record when absent.
struct FLTExceptionFrame {
  std::uintptr_t address = 0;
  std::optional<std::string> symbol;
  std::uint64_t offset = 0;
  std::optional<std::string> library;
  std::optional<std::string> file;
  std::uint32_t line = 0;
};

// Resets the record file and installs the terminate handler, keeping the
// previous one.
void FLTExceptionInitialize(FLTExceptionContext* context, std::uint32_t customExceptionCount);

// The context set-up hook: the exception context from the read-only region
// (path = readOnly->exceptionPath, limit = readOnly->customExceptionLimit),
// stored in readOnly->exception, then initialized.
void FLTExceptionSetUp(FLTReadOnlyContext* readOnly, FLTWritableContext* writable,
                       FLTAllocator* allocator);
// Registers FLTExceptionSetUp with the context set-up; call before
// FLTContextInitialize.
void FLTExceptionRegisterSetUp() noexcept;

// Records the active exception (if any), hands on to the previous handler
// and aborts. Never returns.
[[noreturn]] void FLTTerminateHandler();

// Records one exception; only while the context is initialized. `name` and
// `reason` may be null (written as null). `frames` may be null or empty (no
// `frames` key then).
void FLTExceptionRecord(int type, const char* name, const char* reason,
                        const std::vector<FLTExceptionFrame>* frames, bool attemptDelivery);

// Writes one `exception` line.
void FLTExceptionWrite(FLTFile* file, int type, const char* name, const char* reason,
                       const std::vector<FLTExceptionFrame>* frames);

// Start-up check (not with a debugger attached): warns on standard error
// when the terminate handler is not ours.
void FLTExceptionCheckHandlers();

}  // namespace vandrel::crash
