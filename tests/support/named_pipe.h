#pragma once

// A named pipe where a reader expects a file: opening it for reading waits
// until some writer comes. These helpers let a test show that a call never
// waits on one, failing (not hanging) when it does.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <utility>

#include <gtest/gtest.h>

namespace vandrel::test_support {

// A named pipe at `path` (its folders made first).
inline ::testing::AssertionResult makeNamedPipe(const std::filesystem::path& path) {
  std::filesystem::create_directories(path.parent_path());
  if (::mkfifo(path.c_str(), 0600) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "mkfifo " << path << " failed";
}

// Runs `f` on a thread of its own and says whether it returned within 5 s.
// A call stuck opening or reading the pipe at `pipe` is then released (a
// writer opens and closes it), so the test fails instead of hanging. `f`
// hands out what it gets through its captures.
template <typename F>
::testing::AssertionResult returnsWithoutWaitingOn(const std::filesystem::path& pipe, F&& f) {
  using namespace std::chrono_literals;
  auto done = std::async(std::launch::async, std::forward<F>(f));
  const bool returned = done.wait_for(5s) == std::future_status::ready;
  for (int tries = 0; !returned && tries < 100 && done.wait_for(100ms) != std::future_status::ready;
       ++tries) {
    const int writer = ::open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
  }
  done.get();
  if (returned) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "blocked on the named pipe " << pipe;
}

}  // namespace vandrel::test_support
