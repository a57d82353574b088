#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "tests/support/temp_dir.h"

namespace vandrel::core::testing_support {

using test_support::ScopedEnv;
using test_support::TempDir;

namespace fs = std::filesystem;

inline void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A named pipe at `path` (its folders made first).
inline ::testing::AssertionResult makeFifo(const fs::path& path) {
  fs::create_directories(path.parent_path());
  if (::mkfifo(path.c_str(), 0600) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "mkfifo " << path << " failed";
}

// Runs `f` on a thread of its own and says whether it returned within 5 s.
// A call stuck opening or reading the FIFO at `fifo` is then released (a
// writer opens and closes it), so the test fails instead of hanging.
template <typename F>
::testing::AssertionResult returnsWithoutWaitingOn(const fs::path& fifo, F&& f) {
  using namespace std::chrono_literals;
  auto done = std::async(std::launch::async, std::forward<F>(f));
  if (done.wait_for(5s) == std::future_status::ready) {
    done.get();
    return ::testing::AssertionSuccess();
  }
  for (int tries = 0; tries < 100 && done.wait_for(100ms) != std::future_status::ready; ++tries) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
  }
  return ::testing::AssertionFailure() << "blocked on the named pipe " << fifo;
}

}  // namespace vandrel::core::testing_support
