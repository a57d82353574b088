// The client end of the helper channel (platform/ipc.h).

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "platform/ipc.h"
#include "platform/linux/ipc_socket.h"

namespace vandrel::platform::ipc {

using detail::ipcError;

struct Connection::State {
  OwnedFd fd;
  Handlers handlers;
  std::atomic<bool> closedHere{false};
  std::atomic<bool> sending{false};
  std::thread reader;  // started and joined or detached by the Connection

  void shutdownSocket() { ::shutdown(fd.get(), SHUT_RDWR); }

  // Delivers frames until the connection ends, then reports the end once.
  static void readLoop(const std::shared_ptr<State>& state) {
    Error end;
    for (;;) {
      auto frame = detail::readFrame(state->fd.get(), true);
      if (!frame.ok()) {
        end = frame.error();
        break;
      }
      if (!frame.value()) {
        end = ipcError(ECONNRESET, "the peer closed the connection");
        break;
      }
      state->handlers.onMessage(std::move(*frame.value()));
    }
    if (state->closedHere.load()) end = ipcError(ECANCELED, "the connection was closed");
    // Whatever ended the reading, nothing more goes out either.
    state->shutdownSocket();
    state->handlers.onClosed(end);
  }
};

Result<std::unique_ptr<Connection>> Connection::connect(const std::string& path,
                                                        Handlers handlers) {
  auto address = detail::unixAddress(path);
  if (!address.ok()) return address.error();
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return ipcError(errno, "cannot create a socket");
  int rc;
  do {
    rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address.value()),
                   sizeof(sockaddr_un));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return ipcError(errno, "cannot connect to \"" + path + "\"");
  auto peer = detail::peerCredentials(fd.get());
  if (!peer.ok()) return peer.error();

  auto state = std::make_shared<State>();
  state->fd = std::move(fd);
  state->handlers = std::move(handlers);
  try {
    state->reader = std::thread([state] { State::readLoop(state); });
  } catch (const std::system_error& error) {
    return ipcError(error.code().value(), "cannot start the connection's reader");
  }
  return std::unique_ptr<Connection>(new Connection(std::move(state), peer.value()));
}

Connection::Connection(std::shared_ptr<State> state, PeerCredentials peer)
    : state_(std::move(state)), peer_(peer) {}

Connection::~Connection() {
  close();
  if (state_->reader.get_id() == std::this_thread::get_id()) {
    state_->reader.detach();
  } else if (state_->reader.joinable()) {
    state_->reader.join();
  }
}

Result<void> Connection::send(std::string_view payload, const std::vector<int>& fds) {
  const bool busy = state_->sending.exchange(true);
  VANDREL_CHECK(!busy, "ipc::Connection::send from two threads at once");
  auto sent = detail::sendFrame(state_->fd.get(), payload, fds);
  state_->sending.store(false);
  return sent;
}

void Connection::close() {
  if (!state_->closedHere.exchange(true)) state_->shutdownSocket();
}

}  // namespace vandrel::platform::ipc
