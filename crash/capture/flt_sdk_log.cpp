#include "crash/capture/flt_sdk_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

// Everything here may run inside a signal handler: only open, write and
// close are called, the state is reached through lock-free atomics, and the
// caller's errno is restored before returning.

namespace vandrel::crash {
namespace {

std::atomic<const FLTSDKLogReadOnlyState*> gReadOnly{nullptr};
std::atomic<FLTSDKLogWritableState*> gWritable{nullptr};

static_assert(std::atomic_ref<int>::is_always_lock_free);
static_assert(std::atomic<FLTSDKLogWritableState*>::is_always_lock_free);

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::size_t kScratchSize = 21;  // 2^64 in decimal has 20 digits

void writeAll(int fd, const char* bytes, std::size_t length) noexcept {
  // Bounded: a descriptor that keeps taking nothing must not hang a crash.
  for (int attempts = 0; length > 0 && attempts < 50; ++attempts) {
    const ssize_t n = ::write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || static_cast<std::size_t>(n) > length) return;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
}

// Digits of `value` in `base`, built from the right into a stack buffer.
void writeUnsigned(int fd, unsigned long long value, unsigned base) noexcept {
  char scratch[kScratchSize];
  std::size_t at = kScratchSize;
  do {
    scratch[--at] = kHexDigits[value % base];
    value /= base;
  } while (value != 0 && at > 0);
  writeAll(fd, scratch + at, kScratchSize - at);
}

void writeText(int fd, const char* text) noexcept { writeAll(fd, text, std::strlen(text)); }

int openDescriptor(const FLTSDKLogReadOnlyState& readOnly,
                   FLTSDKLogWritableState& writable) noexcept {
  std::atomic_ref<int> descriptor(writable.descriptor);
  int fd = descriptor.load();
  if (fd != -1) return fd;
  const int opened =
      ::open(readOnly.path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (opened < 0) return -1;
  int expected = -1;
  if (descriptor.compare_exchange_strong(expected, opened)) return opened;
  // Another thread opened it first: keep one descriptor.
  ::close(opened);
  return expected;
}

bool isInteger(const FLTSDKLogArg& arg) noexcept {
  return arg.kind == FLTSDKLogArg::Kind::Signed || arg.kind == FLTSDKLogArg::Kind::Unsigned;
}

unsigned long long integerBits(const FLTSDKLogArg& arg) noexcept {
  return arg.kind == FLTSDKLogArg::Kind::Signed
             ? static_cast<unsigned long long>(arg.signedValue)
             : arg.unsignedValue;
}

void writeConversion(int fd, char conversion, const FLTSDKLogArg& arg) noexcept {
  using Kind = FLTSDKLogArg::Kind;
  switch (conversion) {
    case 'p':
      writeAll(fd, "0x", 2);
      if (arg.kind == Kind::Pointer) {
        writeUnsigned(fd, reinterpret_cast<std::uintptr_t>(arg.pointer), 16);
      } else if (arg.kind == Kind::String) {
        writeUnsigned(fd, reinterpret_cast<std::uintptr_t>(arg.string), 16);
      } else {
        // Addresses often travel as integers in the crash path.
        writeUnsigned(fd, integerBits(arg), 16);
      }
      return;
    case 's':
      if (arg.kind == Kind::String || (arg.kind == Kind::Pointer && arg.pointer == nullptr)) {
        writeText(fd, arg.kind == Kind::String && arg.string != nullptr ? arg.string : "(null)");
      } else {
        writeText(fd, "(invalid)");
      }
      return;
    case 'u':
    case 'x':
      if (!isInteger(arg)) break;
      writeUnsigned(fd, static_cast<std::uint32_t>(integerBits(arg)), conversion == 'u' ? 10 : 16);
      return;
    case 'd': {
      if (!isInteger(arg)) break;
      const auto value = static_cast<std::int32_t>(integerBits(arg));
      if (value < 0) writeAll(fd, "-", 1);
      // The magnitude of INT32_MIN does not fit an int32; widen first.
      const long long wide = value;
      writeUnsigned(fd, static_cast<unsigned long long>(wide < 0 ? -wide : wide), 10);
      return;
    }
    default:
      break;
  }
  writeText(fd, "(invalid)");
}

bool takesArgument(char c) noexcept { return c == 'p' || c == 's' || c == 'u' || c == 'x' || c == 'd'; }

void writeFormatted(int fd, const char* format, const FLTSDKLogArg* args,
                    std::size_t count) noexcept {
  std::size_t next = 0;
  for (const char* c = format; *c != '\0'; ++c) {
    if (*c != '%') {
      writeAll(fd, c, 1);
      continue;
    }
    const char conversion = c[1];
    if (conversion == '\0') {
      writeAll(fd, c, 1);
      return;
    }
    ++c;
    if (!takesArgument(conversion)) {
      writeAll(fd, c - 1, 2);
      continue;
    }
    if (next >= count || args == nullptr) {
      writeText(fd, "(missing)");
      continue;
    }
    writeConversion(fd, conversion, args[next++]);
  }
}

}  // namespace

void FLTSDKLogAttach(const FLTSDKLogReadOnlyState* readOnly,
                     FLTSDKLogWritableState* writable) noexcept {
  gReadOnly.store(readOnly);
  gWritable.store(writable);
}

int FLTSDKLogMinimumLevel() noexcept {
  FLTSDKLogWritableState* writable = gWritable.load();
  return writable == nullptr ? 0 : std::atomic_ref<int>(writable->minimumLevel).load();
}

void FLTSDKLogSetMinimumLevel(int level) noexcept {
  FLTSDKLogWritableState* writable = gWritable.load();
  if (writable != nullptr) std::atomic_ref<int>(writable->minimumLevel).store(level);
}

void FLTSDKLogWithArgs(int level, const char* format, const FLTSDKLogArg* args,
                       std::size_t count) noexcept {
  const FLTSDKLogReadOnlyState* readOnly = gReadOnly.load();
  FLTSDKLogWritableState* writable = gWritable.load();
  if (readOnly == nullptr || writable == nullptr || readOnly->path == nullptr ||
      format == nullptr) {
    return;
  }
  if (level < std::atomic_ref<int>(writable->minimumLevel).load()) return;
  const int savedErrno = errno;
  const int fd = openDescriptor(*readOnly, *writable);
  if (fd >= 0) writeFormatted(fd, format, args, count);
  errno = savedErrno;
}

}  // namespace vandrel::crash
