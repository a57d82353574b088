// The framed Unix-socket channel, both ends real, in one process.

#include "platform/ipc.h"
#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vandrel::platform::ipc {
namespace {

using test_support::TempDir;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// What a client connection received, with waits that time out.
class Received {
 public:
  Connection::Handlers handlers() {
    return {[this](Message m) {
              std::lock_guard lock(mutex_);
              messages_.push_back(std::move(m));
              cv_.notify_all();
            },
            [this](const Error& e) {
              std::lock_guard lock(mutex_);
              closes_.push_back(e);
              cv_.notify_all();
            }};
  }

  testing::AssertionResult waitForMessages(std::size_t n, std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, timeout, [&] { return messages_.size() >= n; })) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "got " << messages_.size() << " of " << n << " frames";
  }
  testing::AssertionResult waitForClose(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, timeout, [&] { return !closes_.empty(); })) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "the connection did not end";
  }
  std::vector<Message> takeMessages() {
    std::lock_guard lock(mutex_);
    return std::move(messages_);
  }
  std::vector<Error> closes() {
    std::lock_guard lock(mutex_);
    return closes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Message> messages_;
  std::vector<Error> closes_;
};

// A server that echoes every frame with "echo:" in front, unless a test
// replaces the handler.
class IpcTest : public testing::Test {
 protected:
  void startServer(Server::Handlers handlers = {}, Server::Limits limits = {},
                   mode_t mode = 0600) {
    if (!handlers.acceptPeer) handlers.acceptPeer = [](const PeerCredentials&) { return true; };
    if (!handlers.handle) {
      handlers.handle = [](const PeerCredentials&, std::string payload) {
        return std::optional<Message>(Message{"echo:" + payload, {}});
      };
    }
    auto server = Server::listenAt(socketPath_, mode, std::move(handlers), limits);
    ASSERT_TRUE(server.ok()) << server.error().message;
    server_ = std::move(server).value();
    server_->start();
  }

  std::unique_ptr<Connection> connect(Received& received) {
    auto connection = Connection::connect(socketPath_, received.handlers());
    EXPECT_TRUE(connection.ok()) << connection.error().message;
    return connection.ok() ? std::move(connection).value() : nullptr;
  }

  // A raw socket to the server, for frames the Connection would not send.
  int rawConnect() {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    return fd;
  }

  // Bytes until EOF or `timeout`; a time-out is reported as a failure.
  static testing::AssertionResult readsEofAfter(int fd, std::string& got,
                                                std::chrono::seconds timeout = 10s) {
    timeval tv{static_cast<time_t>(timeout.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof(buffer));
      if (n == 0) return testing::AssertionSuccess();
      if (n < 0 && errno == ECONNRESET) return testing::AssertionSuccess();
      if (n < 0) return testing::AssertionFailure() << "no EOF: " << std::strerror(errno);
      got.append(buffer, static_cast<std::size_t>(n));
    }
  }

  TempDir dir_;
  std::string socketPath_ = dir_.file("helper.sock");
  std::unique_ptr<Server> server_;
};

TEST_F(IpcTest, FramesOfEverySizeUpToTheLimitArriveWholeAndInOrder) {
  startServer({.acceptPeer = {},
               .handle =
                   [](const PeerCredentials&, std::string payload) {
                     return std::optional<Message>(Message{std::to_string(payload.size()), {}});
                   },
               .log = {}});
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  const std::vector<std::size_t> sizes = {0, 1, 3, 4, 5, 65536, 300000, kMaxFrameSize};
  for (std::size_t size : sizes) {
    std::string payload(size, 'x');
    for (std::size_t i = 0; i < size; i += 997) payload[i] = static_cast<char>(i);
    ASSERT_TRUE(connection->send(payload).ok());
  }
  ASSERT_TRUE(received.waitForMessages(sizes.size()));
  const auto messages = received.takeMessages();
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    EXPECT_EQ(std::to_string(sizes[i]), messages[i].payload);
  }
  EXPECT_FALSE(connection->send(std::string(kMaxFrameSize + 1, 'x')).ok());
}

TEST_F(IpcTest, EachSideSeesThePeersCredentials) {
  std::promise<PeerCredentials> seen;
  startServer({.acceptPeer =
                   [&](const PeerCredentials& peer) {
                     seen.set_value(peer);
                     return true;
                   },
               .handle = {},
               .log = {}});
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  auto future = seen.get_future();
  ASSERT_EQ(std::future_status::ready, future.wait_for(10s));
  EXPECT_EQ(::getpid(), future.get().pid);
  EXPECT_EQ(::getpid(), connection->peer().pid);
  EXPECT_EQ(::getuid(), connection->peer().uid);
}

TEST_F(IpcTest, RefusedPeerIsClosedWithoutAByte) {
  startServer(
      {.acceptPeer = [](const PeerCredentials&) { return false; }, .handle = {}, .log = {}});
  const int fd = rawConnect();
  // The server may have closed already: a failed send is fine, a SIGPIPE
  // would end the test binary.
  const auto header = frameHeader(2);
  (void)!::send(fd, header.data(), 4, MSG_NOSIGNAL);
  (void)!::send(fd, "hi", 2, MSG_NOSIGNAL);
  std::string got;
  EXPECT_TRUE(readsEofAfter(fd, got));
  EXPECT_EQ("", got);
  ::close(fd);
}

TEST_F(IpcTest, AnnouncedFrameOverTheLimitClosesTheConnection) {
  std::atomic<int> handled{0};
  startServer({.acceptPeer = {},
               .handle =
                   [&](const PeerCredentials&, std::string) {
                     ++handled;
                     return std::optional<Message>(Message{"never", {}});
                   },
               .log = {}});
  const int fd = rawConnect();
  const auto header = frameHeader(2 * 1024 * 1024);
  ASSERT_EQ(4, ::write(fd, header.data(), 4));
  const std::string some(64 * 1024, 'x');
  ::send(fd, some.data(), some.size(), MSG_NOSIGNAL);
  std::string got;
  EXPECT_TRUE(readsEofAfter(fd, got));
  EXPECT_EQ("", got);
  EXPECT_EQ(0, handled.load());
  ::close(fd);
}

TEST_F(IpcTest, ClientEndsTheConnectionOnAnOversizedFrameFromTheServer) {
  // A bare listening socket plays a broken server.
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  ASSERT_EQ(0, ::listen(listener, 4));
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  const auto header = frameHeader(kMaxFrameSize + 1);
  ASSERT_EQ(4, ::write(accepted, header.data(), 4));
  ASSERT_TRUE(received.waitForClose());
  EXPECT_EQ(EMSGSIZE, received.closes().at(0).code);
  EXPECT_TRUE(received.takeMessages().empty());
  ::close(accepted);
  ::close(listener);
}

TEST_F(IpcTest, DescriptorsTravelWithTheirFrameAndTheSenderClosesItsCopies) {
  int pipeFds[2];
  ASSERT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC));
  OwnedFd readEnd(pipeFds[0]);
  std::atomic<int> writeEnd{pipeFds[1]};
  startServer({.acceptPeer = {},
               .handle =
                   [&](const PeerCredentials&, std::string payload) {
                     Message reply{"fds:" + payload, {}};
                     if (payload == "with") reply.fds.emplace_back(writeEnd.exchange(-1));
                     return std::optional<Message>(std::move(reply));
                   },
               .log = {}});
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->send("before").ok());
  ASSERT_TRUE(connection->send("with").ok());
  ASSERT_TRUE(connection->send("after").ok());
  ASSERT_TRUE(received.waitForMessages(3));
  auto messages = received.takeMessages();
  EXPECT_TRUE(messages[0].fds.empty());
  EXPECT_TRUE(messages[2].fds.empty());
  ASSERT_EQ(1u, messages[1].fds.size());
  const int fd = messages[1].fds[0].get();
  EXPECT_EQ(FD_CLOEXEC, ::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  ASSERT_EQ(1, ::write(fd, "z", 1));
  messages[1].fds.clear();  // our copy was the last one: the pipe ends
  char buffer[8];
  EXPECT_EQ(1, ::read(readEnd.get(), buffer, sizeof(buffer)));
  EXPECT_EQ(0, ::read(readEnd.get(), buffer, sizeof(buffer)));
}

TEST_F(IpcTest, ServerRefusesDescriptorsFromClients) {
  std::atomic<int> handled{0};
  startServer({.acceptPeer = {},
               .handle =
                   [&](const PeerCredentials&, std::string) {
                     ++handled;
                     return std::optional<Message>(Message{"x", {}});
                   },
               .log = {}});
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->send("fd", {0}).ok());
  ASSERT_TRUE(received.waitForClose());
  EXPECT_EQ(0, handled.load());
}

TEST_F(IpcTest, EverySocketDescriptorIsCloseOnExec) {
  startServer();
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->send("x").ok());
  ASSERT_TRUE(received.waitForMessages(1));  // the server's accepted socket exists now
  int sockets = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = fs::read_symlink(entry.path(), error).string();
    if (error || target.rfind("socket:", 0) != 0) continue;
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0) continue;
    ++sockets;
    EXPECT_EQ(FD_CLOEXEC, flags & FD_CLOEXEC) << "descriptor " << fd << " " << target;
  }
  EXPECT_GE(sockets, 3);  // listener, accepted, client
}

// SIGPIPE keeps its default action here: a send without MSG_NOSIGNAL to a
// peer that is gone would end the test binary.
class IpcSigpipeTest : public IpcTest {
 protected:
  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &action, &previous_);
  }
  void TearDown() override { ::sigaction(SIGPIPE, &previous_, nullptr); }
  struct sigaction previous_ {};
};

TEST_F(IpcSigpipeTest, ClientSendToAVanishedServerIsAnError) {
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  ASSERT_EQ(0, ::listen(listener, 4));
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  ::close(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  ::close(listener);
  auto sent = connection->send("anyone?");
  ASSERT_FALSE(sent.ok());
  EXPECT_TRUE(sent.error().code == EPIPE || sent.error().code == ECONNRESET)
      << sent.error().message;
  EXPECT_TRUE(received.waitForClose());
}

TEST_F(IpcSigpipeTest, ServerReplyToAVanishedClientOnlyDropsTheConnection) {
  std::promise<void> clientGone;
  auto gone = clientGone.get_future().share();
  std::atomic<int> handled{0};
  std::vector<std::string> logs;
  std::mutex logMutex;
  startServer({.acceptPeer = {},
               .handle =
                   [&, gone](const PeerCredentials&, std::string) {
                     gone.wait_for(10s);
                     ++handled;
                     return std::optional<Message>(Message{std::string(1000, 'r'), {}});
                   },
               .log =
                   [&](std::string_view line) {
                     std::lock_guard lock(logMutex);
                     logs.emplace_back(line);
                   }});
  const int fd = rawConnect();
  const auto header = frameHeader(1);
  ASSERT_EQ(4, ::write(fd, header.data(), 4));
  ASSERT_EQ(1, ::write(fd, "q", 1));
  ::close(fd);
  clientGone.set_value();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  auto replyFailed = [&] {
    std::lock_guard lock(logMutex);
    for (const auto& line : logs) {
      if (line.find("cannot reply") != std::string::npos) return true;
    }
    return false;
  };
  while (!replyFailed() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_TRUE(replyFailed());
  // The server lives on: a new client is served.
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->send("again").ok());
  EXPECT_TRUE(received.waitForMessages(1));
  EXPECT_EQ(2, handled.load());
}

TEST_F(IpcTest, ConnectionsAreServedConcurrentlyAndEachInOrder) {
  std::promise<void> secondServed;
  auto served = secondServed.get_future().share();
  startServer({.acceptPeer = {},
               .handle =
                   [&, served](const PeerCredentials&, const std::string& payload) {
                     // The first connection's first request waits for the
                     // second connection: it would dead-lock if connections
                     // were served one after another.
                     if (payload == "a0") served.wait_for(10s);
                     if (payload == "b0") secondServed.set_value();
                     return std::optional<Message>(Message{payload, {}});
                   },
               .log = {}});
  Received first, second;
  auto a = connect(first);
  auto b = connect(second);
  ASSERT_TRUE(a && b);
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(a->send("a" + std::to_string(i)).ok());
  ASSERT_TRUE(b->send("b0").ok());
  ASSERT_TRUE(second.waitForMessages(1, 5s));
  ASSERT_TRUE(first.waitForMessages(50));
  const auto messages = first.takeMessages();
  for (int i = 0; i < 50; ++i) EXPECT_EQ("a" + std::to_string(i), messages[i].payload);
}

TEST_F(IpcTest, StopWaitsForTheRunningHandlerAndEndsEveryConnection) {
  std::atomic<bool> inHandler{false};
  std::atomic<bool> handlerDone{false};
  startServer({.acceptPeer = {},
               .handle =
                   [&](const PeerCredentials&, std::string) {
                     inHandler = true;
                     std::this_thread::sleep_for(200ms);
                     handlerDone = true;
                     return std::optional<Message>(Message{"late", {}});
                   },
               .log = {}});
  Received busy, quiet;
  auto a = connect(busy);
  auto b = connect(quiet);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->send("work").ok());
  // Both must be served: a connection still waiting to be accepted is not
  // one of the server's yet, and stop() leaves it to the listening socket.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((!inHandler || server_->connectionCount() < 2) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_TRUE(inHandler);
  ASSERT_EQ(2u, server_->connectionCount());
  server_->stop();
  EXPECT_TRUE(handlerDone);
  EXPECT_EQ(0u, server_->connectionCount());
  EXPECT_TRUE(busy.waitForClose());
  EXPECT_TRUE(quiet.waitForClose());
}

TEST_F(IpcTest, ListenReplacesAStaleSocketButNeverAnotherFile) {
  startServer();
  server_.reset();  // leaves the socket file behind, like a crashed helper
  ASSERT_TRUE(fs::is_socket(socketPath_));
  startServer();
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  EXPECT_EQ(socketPath_, server_->path());

  const std::string plain = dir_.file("plain");
  std::ofstream(plain) << "keep me";
  auto refused = Server::listenAt(plain, 0600, {});
  ASSERT_FALSE(refused.ok());
  std::ifstream in(plain);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ("keep me", text);
}

TEST_F(IpcTest, SocketGetsTheRequestedMode) {
  startServer();
  struct stat st {};
  ASSERT_EQ(0, ::stat(socketPath_.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
}

// The inotify events of `dir` that name `file`, read without waiting: the
// kernel queues them before the call that caused them returns.
std::vector<std::uint32_t> eventsFor(int inotifyFd, const std::string& file) {
  std::vector<std::uint32_t> masks;
  alignas(inotify_event) char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(inotifyFd, buffer, sizeof(buffer));
    if (n <= 0) return masks;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && file == event->name) masks.push_back(event->mask);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

TEST_F(IpcTest, SocketComesIntoBeingWithItsModeAndIsNeverChangedAfter) {
  // Were the mode set after bind, the file would exist for a while with the
  // umask's permissions, and the change shows as an attribute event.
  struct Case {
    mode_t umask;
    mode_t mode;
  };
  const Case cases[] = {{022, 0600}, {077, 0666}, {0, 0640}, {027, 0660}};
  OwnedFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(watch);
  ASSERT_GE(::inotify_add_watch(watch.get(), dir_.path().c_str(), IN_CREATE | IN_ATTRIB), 0);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(testing::Message() << "umask " << std::oct << c.umask << " mode " << c.mode);
    const std::string name = "mode" + std::to_string(i) + ".sock";
    const mode_t previous = ::umask(c.umask);
    auto server = Server::listenAt(dir_.file(name), c.mode, {});
    const mode_t after = ::umask(previous);
    ASSERT_TRUE(server.ok()) << server.error().message;
    EXPECT_EQ(c.umask, after);  // the process's umask is left alone
    EXPECT_EQ(eventsFor(watch.get(), name), std::vector<std::uint32_t>{IN_CREATE});
    struct stat st {};
    ASSERT_EQ(0, ::lstat(dir_.file(name).c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(c.mode, st.st_mode & 07777);
  }
  // A socket takes permission bits only; a chmod-free bind cannot give more.
  auto special = Server::listenAt(dir_.file("special.sock"), 04666, {});
  ASSERT_FALSE(special.ok());
  EXPECT_EQ(EINVAL, special.error().code);
}

TEST_F(IpcTest, AdoptTakesOnlyAListeningUnixStreamSocket) {
  const int datagram = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  EXPECT_FALSE(Server::adopt(datagram, {}).ok());  // closes it
  const int notListening = ::socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_FALSE(Server::adopt(notListening, {}).ok());

  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);  // no CLOEXEC, as inherited
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath_.c_str(), sizeof(address.sun_path) - 1);
  ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
  ASSERT_EQ(0, ::listen(listener, 4));
  auto adopted = Server::adopt(listener, {.acceptPeer = [](const PeerCredentials&) { return true; },
                                          .handle =
                                              [](const PeerCredentials&, std::string p) {
                                                return std::optional<Message>(Message{p, {}});
                                              },
                                          .log = {}});
  ASSERT_TRUE(adopted.ok()) << adopted.error().message;
  EXPECT_EQ(FD_CLOEXEC, ::fcntl(listener, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(socketPath_, adopted.value()->path());
  adopted.value()->start();
  Received received;
  auto connection = connect(received);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->send("adopted").ok());
  EXPECT_TRUE(received.waitForMessages(1));
}

TEST_F(IpcTest, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  std::promise<void> release;
  auto released = release.get_future().share();
  // Every connection is this test's user: its share is the whole server.
  Server::Limits limits;
  limits.maxConnectionsPerUser = Server::kMaxConnections;
  limits.connectionsKeptForRoot = 0;
  startServer({.acceptPeer = {},
               .handle =
                   [released](const PeerCredentials&, std::string p) {
                     released.wait_for(20s);
                     return std::optional<Message>(Message{p, {}});
                   },
               .log = {}},
              limits);
  std::vector<std::unique_ptr<Received>> receivers;
  std::vector<std::unique_ptr<Connection>> connections;
  for (std::size_t i = 0; i < Server::kMaxConnections; ++i) {
    receivers.push_back(std::make_unique<Received>());
    connections.push_back(connect(*receivers.back()));
    ASSERT_TRUE(connections.back());
    ASSERT_TRUE(connections.back()->send("hold").ok());
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (server_->connectionCount() < Server::kMaxConnections &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(Server::kMaxConnections, server_->connectionCount());
  Received extra;
  auto one = connect(extra);
  ASSERT_TRUE(one);
  EXPECT_TRUE(extra.waitForClose());
  release.set_value();
  for (auto& r : receivers) EXPECT_TRUE(r->waitForMessages(1));
}

// A connection holds a thread and a slot: one that sends nothing, or
// starts a frame and never finishes it, is closed after its time-out. Time
// spent in the handler does not count as silence.
TEST_F(IpcTest, SilentConnectionsAndCutFramesAreClosedInTime) {
  Server::Limits limits;
  limits.idleTimeout = 300ms;
  limits.frameTimeout = 300ms;
  startServer({.acceptPeer = {},
               .handle =
                   [&](const PeerCredentials&, std::string payload) {
                     if (payload == "slow") std::this_thread::sleep_for(3 * limits.idleTimeout);
                     return std::optional<Message>(Message{"echo:" + payload, {}});
                   },
               .log = {}},
              limits);
  const auto frame = [](const std::string& payload) {
    const auto header = frameHeader(static_cast<std::uint32_t>(payload.size()));
    return std::string(header.begin(), header.end()) + payload;
  };
  const struct {
    const char* name;
    std::string sent;
    std::string answer;
  } cases[] = {
      {"nothing sent", "", ""},
      {"a header cut short", std::string("\0\0", 2), ""},
      {"a frame cut short", frame("0123456789").substr(0, 7), ""},
      {"silent after a request", frame("hi"), frame("echo:hi")},
      {"silent after a request slower than the idle time-out", frame("slow"), frame("echo:slow")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int fd = rawConnect();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(static_cast<ssize_t>(c.sent.size()), ::send(fd, c.sent.data(), c.sent.size(), MSG_NOSIGNAL));
    std::string got;
    EXPECT_TRUE(readsEofAfter(fd, got));
    EXPECT_GE(std::chrono::steady_clock::now() - start, limits.idleTimeout);
    EXPECT_EQ(c.answer, got);
    ::close(fd);
  }
  EXPECT_EQ(0u, server_->connectionCount());
}

// Connects as `uid` (in a forked child), sends one frame on each of
// `count` connections and holds them until killed. The parent learns how
// many were answered.
class PeerOfUser {
 public:
  PeerOfUser(const std::string& socketPath, uid_t uid, int count) {
    int answers[2];
    EXPECT_EQ(0, ::pipe2(answers, O_CLOEXEC));
    const auto header = frameHeader(4);
    const std::string request = std::string(header.begin(), header.end()) + "ping";
    pid_ = ::fork();
    if (pid_ == 0) {
      // Raw system calls only: the server's threads do not exist here.
      if (uid != 0 && (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
                       ::syscall(SYS_setgid, uid) != 0 || ::syscall(SYS_setuid, uid) != 0)) {
        ::_exit(3);
      }
      char answered = 0;
      for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        for (std::size_t k = 0; k < socketPath.size() && k + 1 < sizeof(address.sun_path); ++k) {
          address.sun_path[k] = socketPath[k];
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) continue;
        const timeval tv{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        (void)!::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char byte = 0;
        if (::read(fd, &byte, 1) == 1) ++answered;
      }
      (void)!::write(answers[1], &answered, 1);
      for (;;) ::pause();
    }
    ::close(answers[1]);
    pollfd waitFor{answers[0], POLLIN, 0};
    char answered = -1;
    if (::poll(&waitFor, 1, 30000) == 1) (void)!::read(answers[0], &answered, 1);
    ::close(answers[0]);
    answered_ = answered;
  }
  ~PeerOfUser() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  PeerOfUser(const PeerOfUser&) = delete;
  PeerOfUser& operator=(const PeerOfUser&) = delete;

  // Connections answered; -1 when the child never said.
  int answered() const { return answered_; }

 private:
  pid_t pid_ = -1;
  int answered_ = -1;
};

// One user holding connections must lock out neither other users nor
// root: each user has a share, and some slots only root may take.
TEST_F(IpcTest, EachUserHasAShareAndSomeSlotsAreKeptForRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as other users";
  ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
  Server::Limits limits;
  limits.maxConnections = 6;
  limits.maxConnectionsPerUser = 2;
  limits.connectionsKeptForRoot = 2;
  startServer({}, limits, 0666);
  const struct {
    const char* name;
    uid_t uid;
    int connections;
    int answered;
  } steps[] = {
      {"a user beyond its share", 1001, 3, 2},
      {"another user up to the slots kept for root", 1002, 3, 2},
      {"a third user finds only root's slots", 1003, 1, 0},
      {"root takes its slots", 0, 2, 2},
      {"nothing is left", 0, 1, 0},
  };
  std::vector<std::unique_ptr<PeerOfUser>> peers;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    peers.push_back(std::make_unique<PeerOfUser>(socketPath_, step.uid, step.connections));
    EXPECT_EQ(step.answered, peers.back()->answered());
  }
  // Once a user leaves, its slots are free again.
  peers.erase(peers.begin());
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (server_->connectionCount() > 4 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(1, PeerOfUser(socketPath_, 1003, 1).answered());
}

}  // namespace
}  // namespace vandrel::platform::ipc
