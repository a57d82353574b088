#pragma once

// Which sanitizer the test binary was built with (scripts/test --sanitize).
// A test whose subject the sanitizer changes skips itself under it and says
// why; everything else in its binary still runs instrumented.

namespace vandrel::test_support {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

// What ThreadSanitizer changes that some tests are about: it runs a
// signal's handler only at its next interception point (not before raise()
// returns), refuses new threads in a child forked from a multi-threaded
// process, and runs a thread of its own in every process.

}  // namespace vandrel::test_support
