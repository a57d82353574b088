// The server end of the helper channel (platform/ipc.h).

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <map>
#include <thread>

#include "platform/ipc.h"
#include "platform/linux/ipc_socket.h"
#include "platform/sync.h"

namespace vandrel::platform::ipc {

using detail::ipcError;

namespace {

// After accept fails for lack of descriptors or memory, wait this long
// before the next try instead of spinning.
constexpr int kAcceptBackoffMs = 100;

std::string describe(const PeerCredentials& peer) {
  return "pid " + std::to_string(peer.pid) + " uid " + std::to_string(peer.uid);
}

// Binds so that the socket file comes into being with exactly `mode`. A
// chmod after bind would leave it open with the umask's permissions for a
// moment, and would apply to whatever sits at the path by then. The umask
// is process-wide, so it is set in a thread of its own that first stops
// sharing umask and working directory with the rest of the process: no
// other thread creates a file under it.
Result<void> bindWithMode(int fd, const sockaddr_un& address, mode_t mode,
                          const std::string& path) {
  int error = 0;
  const char* step = "";
  try {
    std::thread([&] {
      if (::unshare(CLONE_FS) != 0) {
        error = errno;
        step = "cannot set the permissions of";
        return;
      }
      ::umask(~mode & 0777);
      if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(sockaddr_un)) != 0) {
        error = errno;
        step = "cannot bind";
      }
    }).join();
  } catch (const std::system_error& failed) {
    return ipcError(failed.code().value(), "cannot bind \"" + path + "\"");
  }
  if (error != 0) return ipcError(error, std::string(step) + " \"" + path + "\"");
  return success();
}

}  // namespace

struct Server::State {
  OwnedFd listenFd;
  OwnedFd wakeRead;
  OwnedFd wakeWrite;
  Handlers handlers;
  Limits limits;
  std::thread acceptThread;  // touched only by start() and stop()

  mutable Mutex mutex;
  std::condition_variable idle;
  // Each served descriptor with its peer's uid.
  std::map<int, uid_t> active VANDREL_GUARDED_BY(mutex);
  bool stopping VANDREL_GUARDED_BY(mutex) = false;

  void log(const std::string& line) const {
    if (handlers.log) handlers.log(line);
  }

  static void acceptLoop(const std::shared_ptr<State>& state);
  static void serve(const std::shared_ptr<State>& state, OwnedFd fd, PeerCredentials peer);
  // Registers `fd` as served; false when stopping, full, or when the
  // peer's user has used up its share or only root's slots are left.
  bool admit(int fd, uid_t uid, std::string& refusal);
  void leave(int fd);
};

bool Server::State::admit(int fd, uid_t uid, std::string& refusal) {
  MutexLock lock(mutex);
  if (stopping) {
    refusal = "stopping";
    return false;
  }
  if (active.size() >= limits.maxConnections) {
    refusal = "already serving " + std::to_string(limits.maxConnections) + " connections";
    return false;
  }
  if (uid != 0) {
    std::size_t ofUser = 0, notRoot = 0;
    for (const auto& [served, servedUid] : active) {
      ofUser += servedUid == uid;
      notRoot += servedUid != 0;
    }
    if (ofUser >= limits.maxConnectionsPerUser) {
      refusal = "its user already holds " + std::to_string(ofUser) + " connections";
      return false;
    }
    const std::size_t open = limits.maxConnections - std::min(limits.maxConnections,
                                                              limits.connectionsKeptForRoot);
    if (notRoot >= open) {
      refusal = "the remaining connections are kept for root";
      return false;
    }
  }
  active.emplace(fd, uid);
  return true;
}

void Server::State::leave(int fd) {
  {
    MutexLock lock(mutex);
    active.erase(fd);
  }
  idle.notify_all();
}

void Server::State::serve(const std::shared_ptr<State>& state, OwnedFd fd, PeerCredentials peer) {
  // A reply the peer does not take in time ends the connection too.
  const auto sendTimeout = std::chrono::duration_cast<std::chrono::microseconds>(
      state->limits.frameTimeout);
  const timeval tv{static_cast<time_t>(sendTimeout.count() / 1000000),
                   static_cast<suseconds_t>(sendTimeout.count() % 1000000)};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  for (;;) {
    auto waited = detail::waitReadable(fd.get(), state->limits.idleTimeout);
    if (!waited.ok()) {
      state->log("dropped the connection of " + describe(peer) + ": " + waited.error().message);
      break;
    }
    if (!waited.value()) {
      state->log("closed the idle connection of " + describe(peer));
      break;
    }
    // The frame has started (or the peer has gone): it must arrive whole
    // in time.
    auto frame = detail::readFrame(fd.get(), false,
                                   std::chrono::steady_clock::now() + state->limits.frameTimeout);
    if (!frame.ok()) {
      state->log("dropped the connection of " + describe(peer) + ": " + frame.error().message);
      break;
    }
    if (!frame.value()) break;
    auto reply = state->handlers.handle(peer, std::move(frame.value()->payload));
    if (!reply) {
      state->log("closed the connection of " + describe(peer) + ": malformed request");
      break;
    }
    std::vector<int> fds;
    for (const auto& attached : reply->fds) fds.push_back(attached.get());
    // The reply's descriptors close when `reply` goes, sent or not.
    auto sent = detail::sendFrame(fd.get(), reply->payload, fds);
    if (!sent.ok()) {
      state->log("cannot reply to " + describe(peer) + ": " + sent.error().message);
      break;
    }
  }
  // Unregistered before the descriptor closes, so stop() never shuts down
  // a number that has been reused meanwhile.
  state->leave(fd.get());
}

void Server::State::acceptLoop(const std::shared_ptr<State>& state) {
  int backoffMs = -1;
  for (;;) {
    pollfd fds[2] = {{state->listenFd.get(), POLLIN, 0}, {state->wakeRead.get(), POLLIN, 0}};
    if (::poll(fds, 2, backoffMs) < 0 && errno != EINTR) {
      state->log(std::string("cannot wait for connections: ") + std::strerror(errno));
      return;
    }
    if (fds[1].revents) return;
    backoffMs = -1;
    if (!(fds[0].revents & POLLIN)) continue;
    // The listener is non-blocking: a connection that went away between
    // poll and accept leaves us here, not stuck in accept.
    OwnedFd fd(::accept4(state->listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        backoffMs = kAcceptBackoffMs;
      }
      continue;
    }
    auto peer = detail::peerCredentials(fd.get());
    if (!peer.ok()) {
      state->log("refused a connection: " + peer.error().message);
      continue;
    }
    if (!state->handlers.acceptPeer(peer.value())) {
      state->log("refused the connection of " + describe(peer.value()));
      continue;
    }
    std::string refusal;
    const int raw = fd.get();
    if (!state->admit(raw, peer.value().uid, refusal)) {
      state->log("closed the connection of " + describe(peer.value()) + ": " + refusal);
      continue;
    }
    try {
      std::thread(serve, state, std::move(fd), peer.value()).detach();
    } catch (const std::system_error& error) {
      state->leave(raw);
      state->log("cannot serve " + describe(peer.value()) + ": " + error.what());
    }
  }
}

Result<std::unique_ptr<Server>> Server::listenAt(const std::string& path, mode_t mode,
                                                 Handlers handlers, Limits limits) {
  if ((mode & ~mode_t{0777}) != 0) {
    char octal[16];
    std::snprintf(octal, sizeof(octal), "%o", static_cast<unsigned>(mode));
    return ipcError(EINVAL, std::string("a socket takes permission bits only, not ") + octal);
  }
  auto address = detail::unixAddress(path);
  if (!address.ok()) return address.error();
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return ipcError(EEXIST, "\"" + path + "\" is not a socket");
    if (::unlink(path.c_str()) != 0) return ipcError(errno, "cannot replace \"" + path + "\"");
  }
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return ipcError(errno, "cannot create a socket");
  auto bound = bindWithMode(fd.get(), address.value(), mode, path);
  if (!bound.ok()) return bound.error();
  if (::listen(fd.get(), SOMAXCONN) != 0)
    return ipcError(errno, "cannot listen on \"" + path + "\"");
  return adopt(fd.release(), std::move(handlers), limits);
}

Result<std::unique_ptr<Server>> Server::adopt(int listeningFd, Handlers handlers, Limits limits) {
  OwnedFd fd(listeningFd);
  int domain = 0, type = 0, listening = 0;
  socklen_t length = sizeof(int);
  const bool usable = ::getsockopt(fd.get(), SOL_SOCKET, SO_DOMAIN, &domain, &length) == 0 &&
                      ::getsockopt(fd.get(), SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
                      ::getsockopt(fd.get(), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0;
  if (!usable || domain != AF_UNIX || type != SOCK_STREAM || !listening) {
    return ipcError(ENOTSOCK, "descriptor " + std::to_string(listeningFd) +
                                  " is not a listening Unix stream socket");
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0 || flags < 0 ||
      ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return ipcError(errno, "cannot set up descriptor " + std::to_string(listeningFd));
  }
  int wake[2];
  if (::pipe2(wake, O_CLOEXEC) != 0) return ipcError(errno, "cannot create a pipe");
  auto state = std::make_shared<State>();
  state->listenFd = std::move(fd);
  state->wakeRead.reset(wake[0]);
  state->wakeWrite.reset(wake[1]);
  state->handlers = std::move(handlers);
  state->limits = limits;

  sockaddr_un bound{};
  socklen_t boundLength = sizeof(bound);
  std::string path;
  if (::getsockname(state->listenFd.get(), reinterpret_cast<sockaddr*>(&bound), &boundLength) ==
          0 &&
      boundLength > offsetof(sockaddr_un, sun_path) && bound.sun_path[0] != '\0') {
    path.assign(bound.sun_path, ::strnlen(bound.sun_path, sizeof(bound.sun_path)));
  }
  return std::unique_ptr<Server>(new Server(std::move(state), std::move(path)));
}

Server::Server(std::shared_ptr<State> state, std::string path)
    : state_(std::move(state)), path_(std::move(path)) {}

Server::~Server() { stop(); }

void Server::start() {
  VANDREL_CHECK(!state_->acceptThread.joinable(), "ipc::Server::start called twice");
  state_->acceptThread = std::thread([state = state_] { State::acceptLoop(state); });
}

void Server::stop() {
  if (state_->acceptThread.joinable()) {
    const char byte = 1;
    while (::write(state_->wakeWrite.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    state_->acceptThread.join();
  }
  MutexLock lock(state_->mutex);
  state_->stopping = true;
  // shutdown() never blocks; it wakes each connection's reader so that its
  // thread finishes the handler it is in and ends.
  for (const auto& [fd, uid] : state_->active) ::shutdown(fd, SHUT_RDWR);
  while (!state_->active.empty()) state_->idle.wait(lock.native());
}

std::size_t Server::connectionCount() const {
  MutexLock lock(state_->mutex);
  return state_->active.size();
}

}  // namespace vandrel::platform::ipc
