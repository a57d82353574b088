#pragma once

// The crash kit's own diagnostic log, "sdk.log" in the report directory of
// each launch. Safe inside a signal handler: no heap, no locks, only
// async-signal-safe system calls (open, write, close), errno preserved.
//
// Every format string of the kit starts with the level word padded to five
// characters and the place of the report ("WARN  [%s:%d] ..."); the
// FLT_SDK_LOG_* macros below add that prefix with the function name and the
// source line.
//
// Conversions: %p ("0x" + lowercase hex), %s ("(null)" for a null pointer),
// %u and %x (32-bit unsigned), %d (32-bit signed). Any other character after
// '%' (z, l, i, f, %, ...) is written as it stands and takes no argument, so
// "%zu" appears literally in the file. Arguments are typed: a conversion
// that receives an argument of the wrong kind writes "(invalid)", one
// without an argument left writes "(missing)"; neither ever reads memory
// through a non-string argument.

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vandrel::crash {

inline constexpr int kFLTSDKLogLevelDebug = 1;
inline constexpr int kFLTSDKLogLevelInfo = 2;
inline constexpr int kFLTSDKLogLevelWarn = 3;
inline constexpr int kFLTSDKLogLevelError = 4;

// The log's share of the read-only crash context: the path of "sdk.log"
// (report directory + "sdk.log"). The context set-up embeds it in the
// read-only context, which becomes write-protected afterwards.
struct FLTSDKLogReadOnlyState {
  const char* path;
};

// The log's share of the writable crash context. Zeroed memory is not a valid
// state: the context set-up sets descriptor -1 and minimum level 1. Both
// fields are only touched through atomic operations (they are plain ints so
// that the structure can live in pre-mapped, zeroed memory).
struct FLTSDKLogWritableState {
  int descriptor;    // -1 until the first line opens the file
  int minimumLevel;  // lines below this level are dropped
};

// Makes the log use these states (pointers into the two crash contexts).
// Either may be null: the log then writes nothing. Async-signal-safe.
void FLTSDKLogAttach(const FLTSDKLogReadOnlyState* readOnly,
                     FLTSDKLogWritableState* writable) noexcept;

// Minimum level of the attached writable state (0 when none is attached).
// The recursion rule of the stack recorder raises it to WARN while a
// recursing stack is written and restores it afterwards.
int FLTSDKLogMinimumLevel() noexcept;
void FLTSDKLogSetMinimumLevel(int level) noexcept;

// One typed argument of FLTSDKLog. Built implicitly from integers, enums,
// pointers and C strings.
struct FLTSDKLogArg {
  enum class Kind : unsigned char { Signed, Unsigned, Pointer, String };
  Kind kind;
  union {
    long long signedValue;
    unsigned long long unsignedValue;
    const void* pointer;
    const char* string;
  };

  FLTSDKLogArg(const char* s) noexcept : kind(Kind::String), string(s) {}  // NOLINT
  FLTSDKLogArg(char* s) noexcept : kind(Kind::String), string(s) {}        // NOLINT
  FLTSDKLogArg(std::nullptr_t) noexcept : kind(Kind::Pointer), pointer(nullptr) {}  // NOLINT
  FLTSDKLogArg(bool b) noexcept : kind(Kind::Unsigned), unsignedValue(b ? 1 : 0) {}  // NOLINT
  template <typename T>
    requires(std::is_integral_v<T> && std::is_signed_v<T>)
  FLTSDKLogArg(T v) noexcept : kind(Kind::Signed), signedValue(v) {}  // NOLINT
  template <typename T>
    requires(std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
  FLTSDKLogArg(T v) noexcept : kind(Kind::Unsigned), unsignedValue(v) {}  // NOLINT
  template <typename T>
    requires std::is_enum_v<T>
  FLTSDKLogArg(T v) noexcept  // NOLINT
      : FLTSDKLogArg(static_cast<std::underlying_type_t<T>>(v)) {}
  template <typename T>
    requires(!std::is_same_v<std::remove_cv_t<T>, char>)
  FLTSDKLogArg(T* p) noexcept : kind(Kind::Pointer), pointer(p) {}  // NOLINT
};

// Writes one line (or anything else the format says) at `level` with the
// arguments in `args`. Returns at once when no state is attached, the path is
// missing or `level` is below the minimum level. Opens the path on first use
// (write-only, create, append, 0644); a failed open is retried by the next
// call. One write call per ordinary character: concurrent writers interleave
// at character level.
void FLTSDKLogWithArgs(int level, const char* format, const FLTSDKLogArg* args,
                       std::size_t count) noexcept;

template <typename... Args>
inline void FLTSDKLog(int level, const char* format, Args... args) noexcept {
  if constexpr (sizeof...(Args) == 0) {
    FLTSDKLogWithArgs(level, format, nullptr, 0);
  } else {
    const FLTSDKLogArg list[] = {FLTSDKLogArg(args)...};
    FLTSDKLogWithArgs(level, format, list, sizeof...(Args));
  }
}

}  // namespace vandrel::crash

// FLT_SDK_LOG_WARN("Unable to open metadata file %s\n", path) writes
// "WARN  [function:line] Unable to open metadata file /x\n".
#define FLT_SDK_LOG_AT(level, word, format, ...)                              \
  ::vandrel::crash::FLTSDKLog((level), word " [%s:%d] " format, __func__, \
                              __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define FLT_SDK_LOG_DEBUG(format, ...) \
  FLT_SDK_LOG_AT(::vandrel::crash::kFLTSDKLogLevelDebug, "DEBUG", format __VA_OPT__(, ) __VA_ARGS__)
#define FLT_SDK_LOG_INFO(format, ...) \
  FLT_SDK_LOG_AT(::vandrel::crash::kFLTSDKLogLevelInfo, "INFO ", format __VA_OPT__(, ) __VA_ARGS__)
#define FLT_SDK_LOG_WARN(format, ...) \
  FLT_SDK_LOG_AT(::vandrel::crash::kFLTSDKLogLevelWarn, "WARN ", format __VA_OPT__(, ) __VA_ARGS__)
#define FLT_SDK_LOG_ERROR(format, ...) \
  FLT_SDK_LOG_AT(::vandrel::crash::kFLTSDKLogLevelError, "ERROR", format __VA_OPT__(, ) __VA_ARGS__)
