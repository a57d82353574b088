#include "platform/check.h"

#include <cstdio>
#include <cstdlib>

namespace vandrel::platform {

void checkFailed(const char* file, int line, const char* condition,
                 const char* message) noexcept {
  std::fprintf(stderr, "vandrel: check failed at %s:%d: %s: %s\n", file, line, condition,
               message != nullptr ? message : "");
  std::fflush(stderr);
  std::abort();
}

}  // namespace vandrel::platform
