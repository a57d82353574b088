#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace vandrel::platform {

// A descriptor with exactly one owner; closed when dropped.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Writes every byte, retrying short writes and EINTR. On failure returns
// false with errno from the failed write.
bool writeAll(int fd, std::string_view bytes);

// Appends everything up to end of file to `out`, retrying EINTR. Returns
// false with errno set on a read error, or with errno EFBIG once `out` would
// grow past `maxBytes` (what was read so far stays in `out`).
bool readAll(int fd, std::string& out, std::size_t maxBytes);

// Opens `path` with `flags` (O_CLOEXEC and O_NONBLOCK added) only when it
// is a regular file, whose status then goes to `status` when given. A FIFO
// in a file's place would otherwise hold open() until some writer came, and
// a device or directory is no file of ours: for those the result is empty
// with errno EINVAL; other failures keep open's or fstat's errno.
UniqueFd openRegularFile(const char* path, int flags, struct stat* status = nullptr,
                         mode_t mode = 0);

// How much of a replace is on the disk when the call returns. Flushed: the
// new file and its name (the folder is flushed too), so it survives a power
// cut. ContentFlushed: the new file's bytes are on the disk before it takes
// the name, so after a power cut the name holds the old file or the new
// one, whole; the rename itself may be lost with the cut. Each flush waits
// for the disk, on a busy disk for whatever other programs wrote first.
enum class Durability { Flushed, ContentFlushed };

// Replaces the file at `path` with `bytes` in one step: a temporary file
// beside it (".<name>.XXXXXX", so it never looks like an entry of its
// folder) is written, given `mode` and flushed, then renamed over the path,
// and (Flushed) the folder is flushed. Readers see the old file or the new
// one, whole, after a crash of the process or of the machine. On failure no
// temporary file stays and errno tells why.
bool replaceFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                           Durability durability = Durability::Flushed);

}  // namespace vandrel::platform
