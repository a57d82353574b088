#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
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

UniqueFd openRegularFile(const char* path, int flags, struct stat* status, mode_t mode) {
  UniqueFd fd(::open(path, flags | O_CLOEXEC | O_NONBLOCK, mode));
  if (!fd) return fd;
  struct stat seen {};
  if (::fstat(fd.get(), &seen) != 0) {
    const int error = errno;
    fd.reset();
    errno = error;
    return fd;
  }
  if (!S_ISREG(seen.st_mode)) {
    fd.reset();
    errno = EINVAL;
    return fd;
  }
  if (status != nullptr) *status = seen;
  return fd;
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

bool replaceFileAtomically(const std::string& pathName, std::string_view bytes, mode_t mode,
                           Durability durability) {
  const std::filesystem::path path(pathName);
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  std::string temp = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
  UniqueFd file(::mkostemp(temp.data(), O_CLOEXEC));
  if (!file) return false;
  // The bytes reach the disk before the name moves: a power cut never
  // leaves the name on a file whose content was still in the page cache.
  if (::fchmod(file.get(), mode) != 0 || !writeAll(file.get(), bytes) || ::fsync(file.get()) != 0 ||
      ::close(file.release()) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    errno = error;
    return false;
  }
  if (durability == Durability::ContentFlushed) return true;
  // Makes the rename itself durable; the file is already whole without it.
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

}  // namespace vandrel::platform
