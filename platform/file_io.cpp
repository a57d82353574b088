#include "platform/file_io.h"

#include <unistd.h>

#include <array>
#include <cerrno>

namespace vandrel::platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool readAll(int fd, std::string& out, std::size_t maxBytes) {
  std::array<char, 65536> buffer;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (out.size() + static_cast<std::size_t>(n) > maxBytes) {
      errno = EFBIG;
      return false;
    }
    out.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace vandrel::platform
