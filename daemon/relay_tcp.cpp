#include "daemon/relay_tcp.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "daemon/relay_socks.h"
#include "platform/file_io.h"

namespace vandrel::daemon::relay {
namespace {

using platform::UniqueFd;
using namespace std::chrono_literals;

constexpr auto kSocksTimeout = 10s;
constexpr std::size_t kChunk = 256 * 1024;
// A pipe this large moves a bulk transfer in fewer, larger steps. Past the
// unprivileged user's allowance for pipe memory the kernel refuses it and
// the pipe keeps its default size: slower, still right.
constexpr int kPipeSize = 256 * 1024;

// One direction of a connection: from a socket into a pipe, from the pipe
// into the other socket.
struct Direction {
  int from = -1;
  int to = -1;
  UniqueFd pipeRead, pipeWrite;
  std::size_t buffered = 0;
  bool readOpen = true;
  bool finished = false;  // the far side was told (shutdown) that nothing more comes
};

bool makePipe(Direction& d) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  d.pipeRead.reset(fds[0]);
  d.pipeWrite.reset(fds[1]);
  (void)::fcntl(fds[1], F_SETPIPE_SZ, kPipeSize);  // a smaller pipe still works
  return true;
}

// Moves what it can; false on a broken connection.
bool pump(Direction& d, short fromEvents, short toEvents) {
  if (d.readOpen && (fromEvents & (POLLIN | POLLHUP | POLLERR))) {
    const ssize_t n = ::splice(d.from, nullptr, d.pipeWrite.get(), nullptr, kChunk,
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n > 0) {
      d.buffered += static_cast<std::size_t>(n);
    } else if (n == 0) {
      d.readOpen = false;
    } else if (errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  if (d.buffered > 0 && (toEvents & (POLLOUT | POLLERR))) {
    const ssize_t n = ::splice(d.pipeRead.get(), nullptr, d.to, nullptr, d.buffered,
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n > 0) {
      d.buffered -= static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
  }
  if (!d.readOpen && d.buffered == 0 && !d.finished) {
    ::shutdown(d.to, SHUT_WR);
    d.finished = true;
  }
  return true;
}

// Carries both directions until both have finished; false when either
// side broke off.
bool carryBothWays(int a, int b) {
  Direction there, back;
  there.from = a;
  there.to = b;
  back.from = b;
  back.to = a;
  if (!makePipe(there) || !makePipe(back)) return false;
  for (;;) {
    if (there.finished && back.finished) return true;
    pollfd fds[2] = {{a, 0, 0}, {b, 0, 0}};
    if (there.readOpen && there.buffered < kChunk) fds[0].events |= POLLIN;
    if (back.buffered > 0) fds[0].events |= POLLOUT;
    if (back.readOpen && back.buffered < kChunk) fds[1].events |= POLLIN;
    if (there.buffered > 0) fds[1].events |= POLLOUT;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if ((fds[0].revents & POLLERR) || (fds[1].revents & POLLERR)) return false;
    if (!pump(there, fds[0].revents, fds[1].revents) || !pump(back, fds[1].revents,
                                                              fds[0].revents)) {
      return false;
    }
  }
}

// Closes with a reset, so that the other end learns the connection broke.
void abortConnection(int fd) {
  const linger reset{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
}

void tune(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
}

}  // namespace

TcpRelay::TcpRelay(TcpFlows& flows, LoopbackEndpoint socks,
                   std::function<void(std::string_view)> log)
    : flows_(flows), socks_(socks), log_(std::move(log)) {}

void TcpRelay::serve(int listener, int family, const IpAddress& fakePeer) {
  std::thread([this, listener, family, fakePeer] {
    for (;;) {
      sockaddr_storage peer{};
      socklen_t length = sizeof(peer);
      UniqueFd client(::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                                SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!client) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE ||
            errno == ENOBUFS || errno == ENOMEM) {
          if (errno != EINTR && errno != ECONNABORTED) std::this_thread::sleep_for(100ms);
          continue;
        }
        log_(std::string("listener failed: ") + std::strerror(errno));
        std::_Exit(1);  // the daemon sees the relay end and reports it
      }
      IpAddress from;
      from.family = peer.ss_family;
      std::uint16_t port = 0;
      if (peer.ss_family == AF_INET) {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(&peer);
        std::memcpy(from.bytes.data(), &in4->sin_addr, 4);
        port = ntohs(in4->sin_port);
      } else {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
        std::memcpy(from.bytes.data(), &in6->sin6_addr, 16);
        port = ntohs(in6->sin6_port);
      }
      // Only the relay's own rewritten flows come from the fake peer.
      const auto ends = from == fakePeer ? flows_.claim(family, port) : std::nullopt;
      if (!ends || connections_.load() >= kMaxConnections) {
        abortConnection(client.get());
        continue;
      }
      ++connections_;
      const int fd = client.release();
      try {
        std::thread([this, fd, family, port, ends] { carry(fd, family, port, *ends); }).detach();
      } catch (const std::system_error&) {
        --connections_;
        abortConnection(fd);
        ::close(fd);
        flows_.closed(family, port, Clock::now());
      }
    }
  }).detach();
}

void TcpRelay::carry(int client, int family, std::uint16_t fakePort, FlowEnds ends) {
  UniqueFd app(client);
  tune(app.get());
  UniqueFd remote =
      socksConnect(socks_, ends.destination, ends.destinationPort, kSocksTimeout);
  if (!remote) {
    abortConnection(app.get());
  } else if (!carryBothWays(app.get(), remote.get())) {
    abortConnection(app.get());
    abortConnection(remote.get());
  }
  app.reset();
  remote.reset();
  flows_.closed(family, fakePort, Clock::now());
  --connections_;
}

}  // namespace vandrel::daemon::relay
