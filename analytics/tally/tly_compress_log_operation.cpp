#include "analytics/tally/tly_compress_log_operation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "analytics/tally/tly_file_utils.h"
#include "analytics/tally/tly_logger.h"
#include "platform/file_io.h"

namespace vandrel::analytics {
namespace {

constexpr std::size_t kChunkSize = 64 * 1024;

bool isDirectoryOrMissing(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}

// Streams every byte of `in` through the gzip stream on `out`; true when all
// went in and the stream closed cleanly (`gzFile` takes `out`).
bool gzipInto(int in, int out) {
  gzFile gz = ::gzdopen(out, "w");
  if (gz == nullptr) {
    ::close(out);
    return false;
  }
  std::vector<char> buffer(kChunkSize);
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    if (::gzwrite(gz, buffer.data(), static_cast<unsigned>(n)) != static_cast<int>(n)) {
      ok = false;
      break;
    }
  }
  return ::gzclose(gz) == Z_OK && ok;
}

}  // namespace

TLYCompressLogOperation::TLYCompressLogOperation(std::filesystem::path uncompressedLogURL,
                                                 std::filesystem::path compressedLogURL,
                                                 const TLYLogger* logger)
    : uncompressedLogURL_(std::move(uncompressedLogURL)),
      compressedLogURL_(std::move(compressedLogURL)),
      logger_(logger != nullptr ? logger : &TLYLogger::sharedLogger()) {}

std::filesystem::path TLYCompressLogOperation::compressedURLForUncompressedURL(const std::filesystem::path& url) {
  std::filesystem::path result = url;
  result.replace_extension("gz");
  return result;
}

void TLYCompressLogOperation::main() {
  success_ = false;
  if (isDirectoryOrMissing(uncompressedLogURL_)) {
    logger_->log(TLYFillPlaceholders(kTLYCompressNonexistentMessage, {uncompressedLogURL_.string()}));
    return;
  }
  struct stat st {};
  if (::lstat(compressedLogURL_.c_str(), &st) == 0) {
    success_ = S_ISREG(st.st_mode);
    return;
  }
  success_ = compress();
  if (!success_) {
    logger_->log(TLYFillPlaceholders(kTLYFailedToCompressMessage, {uncompressedLogURL_.string()}));
  }
}

bool TLYCompressLogOperation::compress() const {
  platform::UniqueFd in(::open(uncompressedLogURL_.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return false;
  std::string temp =
      (compressedLogURL_.parent_path() / ("." + compressedLogURL_.filename().string() + ".XXXXXX")).string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const int gzFd = ::dup(fd);
  platform::UniqueFd out(fd);
  // The temporary file is renamed into place only once whole and on disk,
  // so the log it replaces may then be deleted safely.
  const bool ok = gzFd >= 0 && gzipInto(in.get(), gzFd) && ::fchmod(out.get(), 0644) == 0 &&
                  ::fsync(out.get()) == 0 && ::rename(temp.c_str(), compressedLogURL_.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace vandrel::analytics
