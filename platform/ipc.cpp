#include "platform/ipc.h"

#include <unistd.h>

namespace vandrel::platform::ipc {

std::array<char, kFrameHeaderSize> frameHeader(std::uint32_t size) {
  return {static_cast<char>((size >> 24) & 0xff), static_cast<char>((size >> 16) & 0xff),
          static_cast<char>((size >> 8) & 0xff), static_cast<char>(size & 0xff)};
}

}  // namespace vandrel::platform::ipc
