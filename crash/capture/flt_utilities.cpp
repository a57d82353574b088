#include "crash/capture/flt_utilities.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "crash/capture/flt_allocator.h"
#include "crash/capture/flt_sdk_log.h"
#include "crash/kit/trl_async_operation.h"
#include "platform/bundle.h"
#include "platform/check.h"
#include "platform/dispatch.h"

namespace vandrel::crash {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kPageSize = 4096;

// Cleared once the kernel refuses process_vm_readv (seccomp, old kernels);
// the pipe read takes over from then on.
std::atomic<bool> gProcessVmReadvUsable{true};

// Preserves errno across a crash-time helper, which may run inside a signal
// handler that interrupted code about to read errno.
class ErrnoGuard {
 public:
  ErrnoGuard() noexcept : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }
  ErrnoGuard(const ErrnoGuard&) = delete;
  ErrnoGuard& operator=(const ErrnoGuard&) = delete;

 private:
  int saved_;
};

// 1: read, 0: unreadable, -1: the kernel refuses the call itself.
int readWithProcessVmReadv(std::uintptr_t address, void* destination, std::size_t length,
                           pid_t pid) noexcept {
  struct iovec local = {destination, length};
  struct iovec remote = {reinterpret_cast<void*>(address), length};
  const ssize_t n = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
  if (n == static_cast<ssize_t>(length)) return 1;
  if (n < 0 && (errno == ENOSYS || errno == EPERM)) return -1;
  // A partial count means the range ran into an unmapped page.
  return 0;
}

// Writing from a bad address into a pipe fails with EFAULT instead of
// faulting; the bytes are read back from the other end.
bool readWithPipe(std::uintptr_t address, void* destination, std::size_t length) noexcept {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  bool ok = true;
  auto* out = static_cast<char*>(destination);
  while (ok && length > 0) {
    // Below PIPE_BUF a pipe write is all or nothing.
    const std::size_t chunk = length < kPageSize ? length : kPageSize;
    ssize_t n = ::write(fds[1], reinterpret_cast<const void*>(address), chunk);
    if (n != static_cast<ssize_t>(chunk)) {
      ok = false;
      break;
    }
    n = ::read(fds[0], out, chunk);
    ok = n == static_cast<ssize_t>(chunk);
    address += chunk;
    out += chunk;
    length -= chunk;
  }
  ::close(fds[0]);
  ::close(fds[1]);
  return ok;
}

bool readDirectly(std::uintptr_t address, void* destination, std::size_t length,
                  pid_t pid) noexcept {
  if (gProcessVmReadvUsable.load(std::memory_order_relaxed)) {
    const int result = readWithProcessVmReadv(address, destination, length, pid);
    if (result >= 0) return result == 1;
    gProcessVmReadvUsable.store(false, std::memory_order_relaxed);
  }
  return readWithPipe(address, destination, length);
}

// ---- The recording thread's read session -------------------------------------
//
// The thread that records a crash reads the same few pages (an image's
// unwind tables, the stack it walks) over and over, a few bytes at a time.
// While it holds the session its reads are served from copies of whole
// pages, each taken once, and the pid is asked once: a stack of a hundred
// thousand frames then costs a fraction of the system calls. The copies are
// right only while the memory stands still, which the recording ensures
// (the other threads are held); only the thread that opened the session
// uses them, and they are dropped when it ends.

constexpr std::size_t kSessionPages = 16;

struct SessionPage {
  std::uintptr_t address;  // 0: empty
  std::uint64_t lastUse;
  alignas(16) unsigned char bytes[kPageSize];
};

struct Session {
  std::atomic<bool> taken{false};
  pid_t pid = 0;
  std::uint64_t clock = 0;
  SessionPage pages[kSessionPages];
};

Session gSession;
// Read in signal handlers: initial-exec, so reading it never allocates.
thread_local bool tlsHoldsSession __attribute__((tls_model("initial-exec"))) = false;

const unsigned char* sessionPage(std::uintptr_t pageAddress) noexcept {
  SessionPage* victim = &gSession.pages[0];
  for (SessionPage& page : gSession.pages) {
    if (page.address == pageAddress) {
      page.lastUse = ++gSession.clock;
      return page.bytes;
    }
    if (page.lastUse < victim->lastUse) victim = &page;
  }
  victim->address = 0;
  if (!readDirectly(pageAddress, victim->bytes, kPageSize, gSession.pid)) return nullptr;
  victim->address = pageAddress;
  victim->lastUse = ++gSession.clock;
  return victim->bytes;
}

bool readThroughSession(std::uintptr_t address, void* destination, std::size_t length) noexcept {
  auto* out = static_cast<unsigned char*>(destination);
  while (length > 0) {
    const std::uintptr_t pageAddress = address & ~(std::uintptr_t{kPageSize} - 1);
    const std::size_t offset = address - pageAddress;
    const std::size_t chunk = std::min(length, kPageSize - offset);
    const unsigned char* page = sessionPage(pageAddress);
    if (page == nullptr) return false;
    std::memcpy(out, page + offset, chunk);
    address += chunk;
    out += chunk;
    length -= chunk;
  }
  return true;
}

bool readMemory(std::uintptr_t address, void* destination, std::size_t length) noexcept {
  if (length == 0) return true;
  if (address < kFLTMinimumValidAddress || destination == nullptr) return false;
  if (address + length < address) return false;  // wraps around
  if (tlsHoldsSession) return readThroughSession(address, destination, length);
  return readDirectly(address, destination, length, ::getpid());
}

std::uint64_t monotonicNanoseconds() noexcept {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
         static_cast<std::uint64_t>(now.tv_nsec);
}

platform::Duration delayFromSeconds(double seconds) {
  // NaN, negative and absurd delays must not reach a duration cast (UB).
  if (!(seconds > 0)) return platform::Duration::zero();
  constexpr double kMaxSeconds = 100.0 * 365 * 24 * 3600;
  const double bounded = std::min(seconds, kMaxSeconds);
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(bounded));
}

class BlockOperation final : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  void main() override {
    if (block_) block_();
  }

 private:
  std::function<void()> block_;
};

std::optional<std::string> infoString(const platform::Bundle& bundle, std::string_view key) {
  return bundle.infoString(key);
}

}  // namespace

// ---- Crash-time helpers ----------------------------------------------------

bool FLTUnlinkIfExists(const char* path) noexcept {
  if (path == nullptr) return false;
  ErrnoGuard guard;
  return ::unlink(path) == 0 || errno == ENOENT;
}

void FLTByteToHex(std::uint8_t byte, char* out) noexcept {
  out[0] = kHexDigits[byte >> 4];
  out[1] = kHexDigits[byte & 0x0f];
}

std::uint8_t FLTHexDigitValue(char character) noexcept {
  if (character >= '0' && character <= '9') return static_cast<std::uint8_t>(character - '0');
  if (character >= 'a' && character <= 'f') return static_cast<std::uint8_t>(character - 'a' + 10);
  if (character >= 'A' && character <= 'F') return static_cast<std::uint8_t>(character - 'A' + 10);
  return 255;
}

void FLTBytesToHex(const void* bytes, std::size_t length, char* out) noexcept {
  if (out == nullptr) return;
  std::memset(out, 0, 2 * length + 1);
  if (bytes == nullptr) return;
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t i = 0; i < length; ++i) FLTByteToHex(in[i], out + 2 * i);
}

bool FLTReadMemory(std::uintptr_t address, void* destination, std::size_t length) noexcept {
  ErrnoGuard guard;
  return readMemory(address, destination, length);
}

bool FLTReadMemoryBeginSession() noexcept {
  if (tlsHoldsSession) return true;
  bool expected = false;
  if (!gSession.taken.compare_exchange_strong(expected, true)) return false;
  gSession.pid = ::getpid();
  gSession.clock = 0;
  for (SessionPage& page : gSession.pages) {
    page.address = 0;
    page.lastUse = 0;
  }
  tlsHoldsSession = true;
  return true;
}

void FLTReadMemoryEndSession() noexcept {
  if (!tlsHoldsSession) return;
  tlsHoldsSession = false;
  gSession.taken.store(false);
}

bool FLTReadMemoryThroughPipe(std::uintptr_t address, void* destination,
                              std::size_t length) noexcept {
  if (length == 0) return true;
  if (address < kFLTMinimumValidAddress || destination == nullptr) return false;
  if (address + length < address) return false;
  ErrnoGuard guard;
  return readWithPipe(address, destination, length);
}

bool FLTReadString(std::uintptr_t address, const char** result, std::size_t maxLength) noexcept {
  if (result == nullptr) return false;
  if (maxLength == 0) return true;
  ErrnoGuard guard;
  // Readability is decided per page, so reading up to each page end is as
  // safe as reading byte by byte and far cheaper.
  char chunk[256];
  std::uintptr_t at = address;
  std::size_t left = maxLength;
  while (left > 0) {
    std::size_t toPageEnd = kPageSize - (at % kPageSize);
    std::size_t n = std::min({left, toPageEnd, sizeof chunk});
    if (!readMemory(at, chunk, n)) return false;
    if (std::memchr(chunk, '\0', n) != nullptr) break;
    at += n;
    left -= n;
  }
  *result = reinterpret_cast<const char*>(address);
  return true;
}

std::uint64_t FLTProfileStart() noexcept { return monotonicNanoseconds(); }

double FLTProfileEnd(std::uint64_t mark) noexcept {
  const std::uint64_t now = monotonicNanoseconds();
  if (now < mark) return 0.0;
  return static_cast<double>(now - mark) / 1e6;
}

char* FLTDupString(FLTAllocator* allocator, const char* string) noexcept {
  if (string == nullptr) return nullptr;
  const std::size_t size = std::strlen(string) + 1;
  auto* copy =
      static_cast<char*>(FLTAllocatorSafeAllocate(allocator, size, kFLTAllocationTypeReadOnly));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, string, size);
  return copy;
}

// ---- Start-up and report-time helpers --------------------------------------

std::string FLTNSDataToHexString(std::span<const std::uint8_t> data) {
  std::string hex(2 * data.size() + 1, '\0');
  FLTBytesToHex(data.data(), data.size(), hex.data());
  hex.pop_back();
  return hex;
}

std::string FLTHashBytes(const void* bytes, std::size_t length) {
  if (bytes == nullptr && length != 0) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (EVP_Digest(bytes == nullptr ? "" : bytes, length, digest, &digestLength, EVP_sha1(),
                 nullptr) != 1) {
    return {};
  }
  return FLTNSDataToHexString(std::span<const std::uint8_t>(digest, digestLength));
}

std::string FLTHashNSData(std::span<const std::uint8_t> data) {
  return FLTHashBytes(data.data(), data.size());
}

void FLTDladdrNames(std::uintptr_t address,
                    const std::function<void(const char*, const char*)>& block) {
  if (!block) return;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(address), &info) == 0) {
    block(nullptr, nullptr);
    return;
  }
  block(info.dli_sname != nullptr ? info.dli_sname : "unknown",
        info.dli_fname != nullptr ? info.dli_fname : "unknown");
}

std::string FLTGenerateUUID() {
  std::uint8_t bytes[16] = {};
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // getrandom only fails this way on kernels older than we support.
      VANDREL_CHECK(false, "getrandom failed");
    }
    filled += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  constexpr char kUpper[] = "0123456789ABCDEF";
  std::string uuid;
  uuid.reserve(36);
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) uuid.push_back('-');
    uuid.push_back(kUpper[bytes[i] >> 4]);
    uuid.push_back(kUpper[bytes[i] & 0x0f]);
  }
  return uuid;
}

std::string FLTNormalizeUUID(std::string_view uuid) {
  std::string normalized;
  normalized.reserve(uuid.size());
  for (char c : uuid) {
    if (c == '-') continue;
    normalized.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  return normalized;
}

std::string FLTGenerateNormalizedUUID() { return FLTNormalizeUUID(FLTGenerateUUID()); }

void FLTDispatchAfter(platform::Queue& queue, std::function<void()> block, double seconds) {
  FLTDispatchAfter(queue, std::move(block), seconds, platform::Scheduler::system());
}

void FLTDispatchAfter(platform::Queue& queue, std::function<void()> block, double seconds,
                      platform::Scheduler& scheduler) {
  if (!block) return;
  queue.after(delayFromSeconds(seconds), std::move(block), scheduler);
}

void FLTAddOperationAfter(std::shared_ptr<OperationQueue> operationQueue,
                          std::function<void()> block, double seconds) {
  FLTAddOperationAfter(std::move(operationQueue), std::move(block), seconds,
                       platform::Scheduler::system());
}

void FLTAddOperationAfter(std::shared_ptr<OperationQueue> operationQueue,
                          std::function<void()> block, double seconds,
                          platform::Scheduler& scheduler) {
  if (!operationQueue || !block) return;
  FLTDispatchAfter(
      platform::GlobalQueue::shared(),
      [operationQueue = std::move(operationQueue), block = std::move(block)]() mutable {
        operationQueue->addOperation(std::make_shared<BlockOperation>(std::move(block)));
      },
      seconds, scheduler);
}

void FLTProfileBlock(const char* label, const std::function<void()>& block) {
  const std::uint64_t mark = FLTProfileStart();
  if (block) block();
  std::fprintf(stderr, "[Profile] %s: %f ms\n", label != nullptr ? label : "(null)",
               FLTProfileEnd(mark));
}

std::optional<std::string> FLTApplicationGetBuildVersion(const platform::Bundle& bundle) {
  return infoString(bundle, "CFBundleVersion");
}

std::optional<std::string> FLTApplicationGetDisplayVersion(const platform::Bundle& bundle) {
  return infoString(bundle, "CFBundleShortVersionString");
}

std::optional<std::string> FLTApplicationGetName(const platform::Bundle& bundle) {
  if (auto name = infoString(bundle, "CFBundleDisplayName")) return name;
  if (auto name = infoString(bundle, "CFBundleName")) return name;
  return FLTApplicationGetBuildVersion(bundle);
}

std::optional<std::string> FLTApplicationGetBuildVersion() {
  return FLTApplicationGetBuildVersion(platform::Bundle::main());
}

std::optional<std::string> FLTApplicationGetDisplayVersion() {
  return FLTApplicationGetDisplayVersion(platform::Bundle::main());
}

std::optional<std::string> FLTApplicationGetName() {
  return FLTApplicationGetName(platform::Bundle::main());
}

std::optional<std::string> FLTApplicationExtensionPointIdentifier(const platform::Bundle& bundle) {
  const auto& info = bundle.infoDictionary();
  const auto extension = info.find("NSExtension");
  if (extension == info.end()) return std::nullopt;
  const platform::Value::Dictionary* dictionary = extension->second.asDictionary();
  if (dictionary == nullptr) {
    FLT_SDK_LOG_WARN("Error: NSExtension Info.plist entry is mal-formed\n");
    return std::nullopt;
  }
  const auto point = dictionary->find("NSExtensionPointIdentifier");
  const std::string* identifier =
      point == dictionary->end() ? nullptr : point->second.asString();
  if (identifier == nullptr) {
    FLT_SDK_LOG_WARN("Error: NSExtensionPointIdentifier Info.plist entry is mal-formed\n");
    return std::nullopt;
  }
  return *identifier;
}

std::optional<std::string> FLTApplicationExtensionPointIdentifier() {
  return FLTApplicationExtensionPointIdentifier(platform::Bundle::main());
}

bool FLTApplicationIsExtension(const platform::Bundle& bundle) {
  return FLTApplicationExtensionPointIdentifier(bundle).has_value();
}

bool FLTApplicationIsExtension() { return FLTApplicationIsExtension(platform::Bundle::main()); }

}  // namespace vandrel::crash
