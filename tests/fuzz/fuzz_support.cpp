#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/dispatch.h"
#include "platform/file_io.h"

namespace vandrel::fuzz {
namespace {

std::filesystem::path* scratchRoot = nullptr;

void removeScratchHome() {
  std::error_code ignored;
  if (scratchRoot != nullptr) std::filesystem::remove_all(*scratchRoot, ignored);
}

std::filesystem::path makeScratchHome() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vandrel-fuzz-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("fuzz: mkdtemp");
    std::abort();
  }
  const std::filesystem::path root(pattern);
  scratchRoot = new std::filesystem::path(root);
  std::atexit(removeScratchHome);
  const std::pair<const char*, const char*> folders[] = {
      {"HOME", "home"},           {"XDG_CACHE_HOME", "cache"},   {"XDG_CONFIG_HOME", "config"},
      {"XDG_DATA_HOME", "data"},  {"XDG_STATE_HOME", "state"},   {"TMPDIR", "tmp"}};
  for (const auto& [variable, folder] : folders) {
    std::error_code error;
    std::filesystem::create_directories(root / folder, error);
    if (error) fail("create_directories", error.message(), __FILE__, __LINE__);
    ::setenv(variable, (root / folder).c_str(), 1);
  }
  return root;
}

}  // namespace

void fail(std::string_view check, std::string_view detail, const char* file, int line) {
  std::fprintf(stderr, "\nfuzz finding at %s:%d: %.*s\n  %.*s\n", file, line,
               static_cast<int>(check.size()), check.data(), static_cast<int>(detail.size()),
               detail.data());
  std::fflush(stderr);
  std::abort();
}

const std::filesystem::path& scratchHome() {
  static const std::filesystem::path root = makeScratchHome();
  return root;
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 || !platform::writeAll(fd, bytes)) {
    fail("writeFile", path.string(), __FILE__, __LINE__);
  }
  ::close(fd);
}

void silenceStandardOutput() {
  std::fflush(stdout);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
}

void drainMainQueue() {
  platform::MainQueue::shared().runPending();
  // The logger appends every line to its file: keep it from growing over a
  // run of millions of inputs.
  const auto log = scratchHome() / "cache" / "dataCache" / "vandrel.log";
  if (::truncate(log.c_str(), 0) != 0 && errno != ENOENT) {
    fail("truncate", log.string(), __FILE__, __LINE__);
  }
}

}  // namespace vandrel::fuzz
