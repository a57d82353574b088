#include "platform/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace vandrel::platform {
namespace {

namespace fs = std::filesystem;

TEST(FileIoTest, OpenRegularFileTakesOnlyRegularFilesAndNeverWaitsOnAFifo) {
  test_support::TempDir dir;
  const fs::path file = dir.path() / "file";
  std::ofstream(file) << "four";
  const fs::path fifo = dir.path() / "fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const fs::path link = dir.path() / "link";
  fs::create_symlink(file, link);

  struct Case {
    const char* name;
    fs::path path;
    int error;  // 0: opened
  };
  const Case cases[] = {
      {"regular file", file, 0},
      {"link to a regular file", link, 0},
      {"FIFO (a blocking open would wait for a writer)", fifo, EINVAL},
      {"directory", dir.path(), EINVAL},
      {"missing", dir.path() / "missing", ENOENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    struct stat status {};
    errno = 0;
    const UniqueFd fd = openRegularFile(c.path.c_str(), O_RDONLY, &status);
    EXPECT_EQ(c.error == 0, fd.valid());
    if (c.error != 0) {
      EXPECT_EQ(c.error, errno);
      continue;
    }
    EXPECT_EQ(4, status.st_size);
    EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
  }
}

}  // namespace
}  // namespace vandrel::platform
