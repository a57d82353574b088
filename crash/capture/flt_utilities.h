#pragma once

// Small helpers shared by the crash kit. The first group (hex, unlink, safe
// memory reads, profiling marks) is async-signal-safe: no heap, no locks,
// errno preserved. The rest runs only outside crash time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vandrel::platform {
class Bundle;
class Queue;
class Scheduler;
}  // namespace vandrel::platform

namespace vandrel::crash {

class OperationQueue;
struct FLTAllocator;

// Any address below this value is an invalid pointer for the safe reads.
inline constexpr std::uintptr_t kFLTMinimumValidAddress = 4096;

// ---- Crash-time helpers (async-signal-safe) --------------------------------

// `unlink`; true when it worked or the file did not exist. A null path fails.
bool FLTUnlinkIfExists(const char* path) noexcept;

// Two lowercase hex digits of `byte` into out[0..1] (no NUL).
void FLTByteToHex(std::uint8_t byte, char* out) noexcept;

// 0-15 for 0-9, a-f and A-F; 255 for any other character.
std::uint8_t FLTHexDigitValue(char character) noexcept;

// Zeroes 2 * length + 1 bytes of `out`, then writes two lowercase digits per
// byte; `out` is NUL-terminated.
void FLTBytesToHex(const void* bytes, std::size_t length, char* out) noexcept;

// Copies `length` bytes at `address` of this process into `destination`
// without faulting: an unmapped or unreadable address gives false. Addresses
// below 4096 fail. A zero length succeeds. Reads through the kernel
// (process_vm_readv on the own process, or a pipe when that is refused).
bool FLTReadMemory(std::uintptr_t address, void* destination, std::size_t length) noexcept;
inline bool FLTReadMemory(const void* address, void* destination, std::size_t length) noexcept {
  return FLTReadMemory(reinterpret_cast<std::uintptr_t>(address), destination, length);
}

// The crash recording's read session. While the calling thread holds it,
// its FLTReadMemory calls are served from copies of whole pages, each read
// from the kernel once (the recording reads the same unwind tables and
// stacks over and over): right only while the memory stands still, as it
// does while the other threads are held. One thread at a time: false when
// another holds it (that thread's reads go to the kernel as usual).
bool FLTReadMemoryBeginSession() noexcept;
void FLTReadMemoryEndSession() noexcept;

// The fallback of FLTReadMemory, used once the kernel refuses
// process_vm_readv: the bytes go through a pipe, whose write fails with
// EFAULT on an unreadable address. Same contract as FLTReadMemory.
bool FLTReadMemoryThroughPipe(std::uintptr_t address, void* destination,
                              std::size_t length) noexcept;

// Checks that the string at `address` is readable up to its NUL or up to
// `maxLength` bytes, whichever comes first; on success `*result` is the
// address itself. A zero `maxLength` succeeds at once and leaves `*result`
// alone. A null `result` fails.
bool FLTReadString(std::uintptr_t address, const char** result, std::size_t maxLength) noexcept;
inline bool FLTReadString(const void* address, const char** result, std::size_t maxLength) noexcept {
  return FLTReadString(reinterpret_cast<std::uintptr_t>(address), result, maxLength);
}

// Profiling mark: monotonic nanoseconds. FLTProfileEnd gives the
// milliseconds since `mark`.
std::uint64_t FLTProfileStart() noexcept;
double FLTProfileEnd(std::uint64_t mark) noexcept;

// Copies `string` with its NUL into the read-only region of `allocator`;
// null for a null string. Async-signal-safe only while the region has room
// and is not yet protected: otherwise the allocator falls back to `malloc`.
char* FLTDupString(FLTAllocator* allocator, const char* string) noexcept;

// ---- Start-up and report-time helpers --------------------------------------

// FLTBytesToHex of the data.
std::string FLTNSDataToHexString(std::span<const std::uint8_t> data);

// SHA-1 as 40 lowercase hex digits. A null pointer with a non-zero length
// gives an empty string (there is nothing to hash).
std::string FLTHashBytes(const void* bytes, std::size_t length);
std::string FLTHashNSData(std::span<const std::uint8_t> data);

// Calls `block`(symbolName, imageFileName) for the symbol containing
// `address`; either is "unknown" when the loader knows the image but not
// that name; both are null when the address lies in no loaded image.
void FLTDladdrNames(std::uintptr_t address,
                    const std::function<void(const char* symbolName,
                                             const char* imageFileName)>& block);

// A random UUID, upper case with dashes ("3F2A...-..."); its normalized form
// has no dashes and is lower case.
std::string FLTGenerateUUID();
std::string FLTNormalizeUUID(std::string_view uuid);
std::string FLTGenerateNormalizedUUID();

// Runs `block` on `queue` after `seconds` (negative, NaN: at once). The
// scheduler form lets tests drive the delay with a manual clock.
void FLTDispatchAfter(platform::Queue& queue, std::function<void()> block, double seconds);
void FLTDispatchAfter(platform::Queue& queue, std::function<void()> block, double seconds,
                      platform::Scheduler& scheduler);

// After `seconds` (timed on the global queue) adds `block` as an operation to
// `operationQueue`. The queue is kept alive until then.
void FLTAddOperationAfter(std::shared_ptr<OperationQueue> operationQueue,
                          std::function<void()> block, double seconds);
void FLTAddOperationAfter(std::shared_ptr<OperationQueue> operationQueue,
                          std::function<void()> block, double seconds,
                          platform::Scheduler& scheduler);

// Runs `block` and prints "[Profile] <label>: <ms> ms\n" to standard error.
void FLTProfileBlock(const char* label, const std::function<void()>& block);

// Bundle facts of the application (the main bundle by default):
// "CFBundleVersion", "CFBundleShortVersionString"; the name is
// "CFBundleDisplayName", else "CFBundleName", else the build version.
std::optional<std::string> FLTApplicationGetBuildVersion(const platform::Bundle& bundle);
std::optional<std::string> FLTApplicationGetDisplayVersion(const platform::Bundle& bundle);
std::optional<std::string> FLTApplicationGetName(const platform::Bundle& bundle);
std::optional<std::string> FLTApplicationGetBuildVersion();
std::optional<std::string> FLTApplicationGetDisplayVersion();
std::optional<std::string> FLTApplicationGetName();

// The "NSExtensionPointIdentifier" of the bundle's "NSExtension" dictionary;
// absent for an application. A malformed entry logs a WARN line to the SDK
// log and gives absent.
std::optional<std::string> FLTApplicationExtensionPointIdentifier(const platform::Bundle& bundle);
std::optional<std::string> FLTApplicationExtensionPointIdentifier();
bool FLTApplicationIsExtension(const platform::Bundle& bundle);
bool FLTApplicationIsExtension();

}  // namespace vandrel::crash
