#include "platform/ipc.h"

#include <unistd.h>

namespace vandrel::platform::ipc {

OwnedFd& OwnedFd::operator=(OwnedFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void OwnedFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

std::array<char, kFrameHeaderSize> frameHeader(std::uint32_t size) {
  return {static_cast<char>((size >> 24) & 0xff), static_cast<char>((size >> 16) & 0xff),
          static_cast<char>((size >> 8) & 0xff), static_cast<char>(size & 0xff)};
}

}  // namespace vandrel::platform::ipc
