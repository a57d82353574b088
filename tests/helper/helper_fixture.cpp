#include "tests/helper/helper_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace vandrel::helper::testing_support {

fs::path helperExecutable() { return VANDREL_HELPER_EXECUTABLE; }
fs::path daemonExecutable() { return VANDREL_DAEMON_EXECUTABLE; }
fs::path installerExecutable() { return VANDREL_INSTALLER_EXECUTABLE; }

bool requireRootNamespace() {
  const char* flag = std::getenv("VANDREL_IN_NETNS");
  return ::geteuid() == 0 && flag != nullptr && std::string(flag) == "1";
}

TempDir::TempDir() : test_support::TempDir("vandrel-helper") {
  ::chmod(path().c_str(), 0755);
}

int freeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

int run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> readLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

testing::AssertionResult eventually(const std::function<bool()>& condition,
                                    std::chrono::milliseconds timeout, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return testing::AssertionFailure()
             << "timed out after " << timeout.count() << " ms waiting for " << what;
    }
    std::this_thread::sleep_for(5ms);
  }
  return testing::AssertionSuccess();
}

std::vector<pid_t> processesRunning(const fs::path& path) {
  std::vector<pid_t> pids;
  struct stat target {};
  if (::stat(path.c_str(), &target) != 0) return pids;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat exe {};
    if (::stat((entry.path() / "exe").c_str(), &exe) != 0) continue;
    if (exe.st_dev == target.st_dev && exe.st_ino == target.st_ino &&
        processAlive(std::stoi(name))) {
      pids.push_back(std::stoi(name));
    }
  }
  return pids;
}

bool processAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

DaemonCopy::DaemonCopy(const fs::path& dir, int port)
    : path_(dir / "Vandrel-server-daemon"), port_(port) {
  fs::create_directories(dir);
  fs::copy_file(daemonExecutable(), path_, fs::copy_options::overwrite_existing);
  ::chown(path_.c_str(), 0, 0);
  ::chmod(path_.c_str(), 0755);
  writePortFile(std::to_string(port));
}

DaemonCopy::~DaemonCopy() { killAll(); }

void DaemonCopy::writePortFile(const std::string& text) const {
  std::ofstream(path_.parent_path() / "Vandrel-server-daemon.port") << text << "\n";
}

std::vector<std::string> DaemonCopy::log() const {
  return readLines(path_.parent_path() / "Vandrel-server-daemon.log");
}

std::size_t DaemonCopy::count(const std::string& line) const {
  const auto lines = log();
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

testing::AssertionResult DaemonCopy::waitForCount(const std::string& line, std::size_t n,
                                                  std::chrono::milliseconds timeout) const {
  return eventually([&] { return count(line) >= n; }, timeout,
                    std::to_string(n) + " \"" + line + "\" lines in the daemon's log");
}

bool DaemonCopy::listening() const {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return connected && !running().empty();
}

void DaemonCopy::killAll() const {
  for (const pid_t pid : running()) ::kill(pid, SIGKILL);
  eventually([&] { return running().empty(); }, 5s, "the daemon copies to end");
}

HelperProcess::HelperProcess(const fs::path& dir, HelperConfig config)
    : socket_(dir / "helper.sock"),
      config_(dir / "helper.conf"),
      log_(dir / "helper.log"),
      out_(dir / "helper.out") {
  std::ofstream(config_) << config.format();
  ::chown(config_.c_str(), 0, 0);
  ::chmod(config_.c_str(), 0644);
}

HelperProcess::~HelperProcess() { stop(); }

testing::AssertionResult HelperProcess::start() {
  const std::string program = helperExecutable().string();
  const std::vector<std::string> argv = {program, "--socket", socket_.string(), "--config",
                                         config_.string()};
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int err = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    // A clean start, as the service manager gives it: only what the
    // helper opens itself is open beyond the standard streams.
    ::close_range(3, ~0U, 0);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  pid_ = pid;
  return eventually(
      [&] {
        auto connection =
            platform::ipc::Connection::connect(socket_.string(), {[](auto) {}, [](auto&) {}});
        return connection.ok();
      },
      10s, "the helper's socket");
}

void HelperProcess::kill(int signal) {
  if (pid_ <= 0) return;
  ::kill(pid_, signal);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

void HelperProcess::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(SIGKILL);
      return;
    }
    std::this_thread::sleep_for(5ms);
  }
  pid_ = -1;
}

std::size_t HelperProcess::logCount(const std::string& text) const {
  std::size_t n = 0;
  for (const auto& line : readLines(log_)) {
    if (line.find(text) != std::string::npos) ++n;
  }
  return n;
}

testing::AssertionResult HelperProcess::waitForLog(const std::string& text, std::size_t n,
                                                   std::chrono::milliseconds timeout) const {
  auto result = eventually([&] { return logCount(text) >= n; }, timeout,
                           std::to_string(n) + " helper log lines with \"" + text + "\"");
  if (!result) result << "\nhelper log:\n" << log();
  return result;
}

std::unique_ptr<WireClient> WireClient::connect(const fs::path& socket) {
  std::unique_ptr<WireClient> client(new WireClient);
  WireClient* self = client.get();
  auto connection = platform::ipc::Connection::connect(
      socket.string(), {[self](platform::ipc::Message message) {
                          std::lock_guard lock(self->mutex_);
                          self->messages_.push_back(std::move(message));
                          self->cv_.notify_all();
                        },
                        [self](const platform::Error&) {
                          std::lock_guard lock(self->mutex_);
                          self->closed_ = true;
                          self->cv_.notify_all();
                        }});
  if (!connection.ok()) {
    ADD_FAILURE() << connection.error().message;
    return nullptr;
  }
  client->connection_ = std::move(connection).value();
  return client;
}

WireClient::~WireClient() { connection_.reset(); }

std::optional<WireReply> WireClient::call(wire::Request request,
                                          std::chrono::milliseconds timeout) {
  const std::uint64_t id = nextId_++;
  request.set_id(id);
  if (!connection_->send(request.SerializeAsString()).ok()) return std::nullopt;
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [&] { return !messages_.empty() || closed_; })) {
    ADD_FAILURE() << "no reply within " << timeout.count() << " ms";
    return std::nullopt;
  }
  if (messages_.empty()) return std::nullopt;
  auto message = std::move(messages_.front());
  messages_.pop_front();
  WireReply reply;
  EXPECT_TRUE(reply.reply.ParseFromString(message.payload));
  EXPECT_EQ(id, reply.reply.id());
  reply.fds = std::move(message.fds);
  return reply;
}

bool WireClient::sendFrame(const std::string& payload) { return connection_->send(payload).ok(); }

testing::AssertionResult WireClient::closesWithoutReply(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!cv_.wait_for(lock, timeout, [&] { return closed_ || !messages_.empty(); })) {
    return testing::AssertionFailure() << "the connection stayed open";
  }
  if (!messages_.empty()) return testing::AssertionFailure() << "a reply came";
  return testing::AssertionSuccess();
}

platform::ipc::OwnedFd rawConnect(const fs::path& socket) {
  platform::ipc::OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ADD_FAILURE() << "cannot connect to " << socket << ": " << std::strerror(errno);
    fd.reset();
  }
  return fd;
}

testing::AssertionResult readsEofWithoutReply(int fd, std::chrono::seconds timeout) {
  timeval tv{static_cast<time_t>(timeout.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  std::size_t received = 0;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      received += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != ECONNRESET) {
      return testing::AssertionFailure() << "no end of file: " << std::strerror(errno);
    }
    if (received) return testing::AssertionFailure() << received << " bytes came before the end";
    return testing::AssertionSuccess();
  }
}

wire::Request checkDaemonRequest() {
  wire::Request request;
  request.mutable_check_daemon();
  return request;
}

wire::Request checkAndRunServerRequest(const std::string& path, bool force) {
  wire::Request request;
  request.mutable_check_and_run_server()->set_path(path);
  request.mutable_check_and_run_server()->set_force(force);
  return request;
}

wire::Request deleteRoutesRequest(const std::vector<std::string>& routes) {
  wire::Request request;
  auto* command = request.mutable_delete_routes();
  for (const auto& route : routes) command->add_routes(route);
  return request;
}

wire::Request deleteRoutesWhenAppKilledRequest(const std::vector<std::string>& routes) {
  wire::Request request;
  auto* command = request.mutable_delete_routes_when_app_killed();
  for (const auto& route : routes) command->add_routes(route);
  return request;
}

wire::Request execCommandRequest(const std::string& command) {
  wire::Request request;
  request.mutable_exec_command()->set_command(command);
  return request;
}

wire::Request debugInfoRequest() {
  wire::Request request;
  request.mutable_debug_info();
  return request;
}

wire::Request bindRequest(std::optional<std::string> authorization) {
  wire::Request request;
  auto* command = request.mutable_bind_to_low_number_port();
  if (authorization) command->set_authorization(*authorization);
  return request;
}

std::string frameOf(wire::Request request, std::uint64_t id) {
  request.set_id(id);
  const std::string payload = request.SerializeAsString();
  const auto header = platform::ipc::frameHeader(static_cast<std::uint32_t>(payload.size()));
  return std::string(header.data(), header.size()) + payload;
}

}  // namespace vandrel::helper::testing_support
