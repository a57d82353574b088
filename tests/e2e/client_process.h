#pragma once

// The application side of the end-to-end tests as a child process
// (vandrel-e2e-client): commands to its standard input, its lines collected
// from its standard output.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vandrel::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The application program as a child: commands to its standard input, its
// lines collected from its standard output.
class ClientProcess {
 public:
  // As `user` (uid, gid) when given, as a desktop user runs the application.
  ClientProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                const fs::path& errors,
                std::optional<std::pair<uid_t, gid_t>> user = std::nullopt) {
    int in[2], out[2];
    EXPECT_EQ(0, ::pipe2(in, O_CLOEXEC));
    EXPECT_EQ(0, ::pipe2(out, O_CLOEXEC));
    std::vector<char*> args, env;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (const auto& entry : environment) env.push_back(const_cast<char*>(entry.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::dup2(err, 2);
      if (user && (::setgroups(0, nullptr) != 0 ||
                   ::setresgid(user->second, user->second, user->second) != 0 ||
                   ::setresuid(user->first, user->first, user->first) != 0)) {
        ::_exit(126);
      }
      ::execve(args[0], args.data(), env.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { read(fd); });
  }
  ~ClientProcess() {
    kill();
    if (stdin_ >= 0) ::close(stdin_);
    if (reader_.joinable()) reader_.join();
  }

  void send(const std::string& command) {
    const std::string line = command + "\n";
    EXPECT_EQ(static_cast<ssize_t>(line.size()), ::write(stdin_, line.data(), line.size()));
  }

  // Waits for the next line equal to `line` after the ones already taken.
  testing::AssertionResult expect(const std::string& line, std::chrono::seconds timeout = 60s) {
    std::unique_lock lock(mutex_);
    bool found = false;
    cv_.wait_for(lock, timeout, [&] {
      while (!found && next_ < lines_.size()) found = lines_[next_++] == line;
      return found || ended_;
    });
    if (found) return testing::AssertionSuccess();
    auto failure = testing::AssertionFailure() << "no line \"" << line << "\"; the client said:";
    for (const auto& said : lines_) {
      if (!said.empty() && !std::isdigit(static_cast<unsigned char>(said[0]))) {
        failure << "\n  " << said;
      }
    }
    return failure;
  }

  // The client's own lines so far (not its log lines, which start with a date).
  std::vector<std::string> said() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> own;
    for (const auto& line : lines_) {
      if (!line.empty() && !std::isdigit(static_cast<unsigned char>(line[0]))) own.push_back(line);
    }
    return own;
  }

  // Closes the program's standard input and waits for its end, which must
  // be a normal exit with `status`: a crash on the way out is a failure.
  // Every line it wrote is in said() once this returns.
  testing::AssertionResult exitsWith(int status, std::chrono::seconds timeout = 30s) {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    if (pid_ <= 0) return testing::AssertionFailure() << "the client was not running";
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    pollfd ended{pidfd, POLLIN, 0};
    const int ready = pidfd < 0 ? -1 : ::poll(&ended, 1, static_cast<int>(timeout.count() * 1000));
    if (pidfd >= 0) ::close(pidfd);
    if (ready != 1) {
      kill();
      return testing::AssertionFailure()
             << "the client did not end within " << timeout.count() << " s";
    }
    int raw = 0;
    ::waitpid(pid_, &raw, 0);
    pid_ = -1;
    // Its last lines may still be in the pipe: the end of its output, not
    // the end of the process, says every line has been collected.
    {
      std::unique_lock lock(mutex_);
      if (!cv_.wait_for(lock, timeout, [&] { return ended_; })) {
        return testing::AssertionFailure()
               << "the client ended, but its standard output stayed open for " << timeout.count()
               << " s";
      }
    }
    if (WIFEXITED(raw) && WEXITSTATUS(raw) == status) return testing::AssertionSuccess();
    auto failure = testing::AssertionFailure() << "the client ";
    if (WIFSIGNALED(raw)) return failure << "was ended by signal " << WTERMSIG(raw);
    return failure << "exited with status " << WEXITSTATUS(raw) << ", not " << status;
  }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  void read(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        cv_.notify_all();
      }
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    ended_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  std::size_t next_ = 0;
  bool ended_ = false;
};

}  // namespace vandrel::e2e
