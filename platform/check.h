#pragma once

// Checks that guard against dead-locks and misuse. Unlike assert they stay
// on in every build type: a silent hang or a corrupted queue is worse than
// an abort with a message.

namespace vandrel::platform {

[[noreturn]] void checkFailed(const char* file, int line, const char* condition,
                              const char* message) noexcept;

}  // namespace vandrel::platform

#define VANDREL_CHECK(condition, message)                                          \
  do {                                                                             \
    if (!(condition)) [[unlikely]] {                                               \
      ::vandrel::platform::checkFailed(__FILE__, __LINE__, #condition, (message)); \
    }                                                                              \
  } while (false)
