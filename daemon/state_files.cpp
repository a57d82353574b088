#include "daemon/state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_io.h"

namespace vandrel::daemon {
namespace {

constexpr std::size_t kMaxRecord = 256 * 1024;

platform::Error stateError(int code, const std::string& message) {
  return platform::Error{"vandrel.daemon.state", code, message};
}

}  // namespace

StateFiles::StateFiles(std::string directory) : directory_(std::move(directory)) {}

std::string StateFiles::path(std::string_view name) const {
  return directory_ + "/" + std::string(name);
}

platform::Result<void> StateFiles::prepare() const {
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST) {
    return stateError(errno, "cannot create " + directory_ + ": " + std::strerror(errno));
  }
  struct stat st {};
  if (::lstat(directory_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0 ||
      (st.st_mode & 077) != 0) {
    return stateError(EPERM, directory_ + " must be a directory of root that only root may enter");
  }
  return platform::success();
}

platform::Result<void> StateFiles::write(std::string_view name, std::string_view content) const {
  auto prepared = prepare();
  if (!prepared) return prepared;
  if (!platform::replaceFileAtomically(path(name), content, 0600)) {
    return stateError(errno, "cannot write " + path(name) + ": " + std::strerror(errno));
  }
  return platform::success();
}

std::optional<std::string> StateFiles::read(std::string_view name) const {
  struct stat st {};
  platform::UniqueFd fd = platform::openRegularFile(path(name).c_str(), O_RDONLY | O_NOFOLLOW, &st);
  if (!fd || st.st_uid != 0) return std::nullopt;
  std::string text;
  if (!platform::readAll(fd.get(), text, kMaxRecord)) return std::nullopt;
  return text;
}

void StateFiles::remove(std::string_view name) const { ::unlink(path(name).c_str()); }

}  // namespace vandrel::daemon
