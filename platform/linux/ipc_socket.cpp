#include "platform/linux/ipc_socket.h"

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace vandrel::platform::ipc::detail {
namespace {

// Room for the most descriptors one frame may carry, plus slack so that a
// peer sending more is seen (MSG_CTRUNC) rather than silently cut.
constexpr std::size_t kControlSpace = CMSG_SPACE(sizeof(int) * (kMaxFdsPerFrame + 1));

// Takes the descriptors of one received control block into `fds`.
void collectFds(msghdr& msg, std::vector<OwnedFd>& fds) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    const unsigned char* data = CMSG_DATA(c);
    for (std::size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, data + i * sizeof(int), sizeof(int));
      fds.emplace_back(fd);
    }
  }
}

enum class ReadEnd { Complete, EofAtStart };

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Waits for `fd` to be readable until `deadline`; ETIMEDOUT once it passed.
Result<void> waitUntil(int fd, const Deadline& deadline) {
  if (!deadline) return success();
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        *deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return ipcError(ETIMEDOUT, "the peer did not send a whole frame in time");
    }
    pollfd p{fd, POLLIN, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60000)));
    if (n > 0) return success();
    if (n < 0 && errno != EINTR) return ipcError(errno, "cannot wait for the peer");
  }
}

// Reads exactly `size` bytes into `buffer`. EOF before the first byte is
// reported as EofAtStart when `eofIsClean`; anywhere else it is an error.
Result<ReadEnd> readExact(int fd, char* buffer, std::size_t size, bool acceptFds, bool eofIsClean,
                          std::vector<OwnedFd>& fds, const Deadline& deadline) {
  std::size_t done = 0;
  while (done < size) {
    auto ready = waitUntil(fd, deadline);
    if (!ready.ok()) return ready.error();
    iovec iov{buffer + done, size - done};
    alignas(cmsghdr) char control[kControlSpace];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (acceptFds) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
    }
    const ssize_t n = ::recvmsg(fd, &msg, acceptFds ? MSG_CMSG_CLOEXEC : 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ipcError(errno, "cannot read from the peer");
    if (acceptFds) collectFds(msg, fds);
    if (msg.msg_flags & MSG_CTRUNC) {
      return ipcError(EPROTO, "the peer sent descriptors that this end does not take");
    }
    if (fds.size() > kMaxFdsPerFrame) {
      return ipcError(EPROTO, "the peer sent more than " + std::to_string(kMaxFdsPerFrame) +
                                  " descriptors with one frame");
    }
    if (n == 0) {
      if (done == 0 && eofIsClean) return ReadEnd::EofAtStart;
      return ipcError(ECONNRESET, "the peer closed the connection in the middle of a frame");
    }
    done += static_cast<std::size_t>(n);
  }
  return ReadEnd::Complete;
}

}  // namespace

Error ipcError(int code, const std::string& what) {
  return Error{std::string(kErrorDomain), code,
               what + ": " + std::generic_category().message(code)};
}

Result<sockaddr_un> unixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(address.sun_path) ||
      path.find('\0') != std::string::npos) {
    return ipcError(ENAMETOOLONG, "unusable socket path \"" + path + "\"");
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

Result<void> sendFrame(int fd, std::string_view payload, const std::vector<int>& fds) {
  if (payload.size() > kMaxFrameSize) {
    return ipcError(EMSGSIZE, "a frame of " + std::to_string(payload.size()) + " bytes");
  }
  if (fds.size() > kMaxFdsPerFrame) return ipcError(EINVAL, "too many descriptors for one frame");
  const auto header = frameHeader(static_cast<std::uint32_t>(payload.size()));
  std::size_t sent = 0;
  const std::size_t total = header.size() + payload.size();
  bool fdsSent = fds.empty();
  while (sent < total) {
    iovec iov[2];
    int count = 0;
    if (sent < header.size()) {
      iov[count++] = {const_cast<char*>(header.data()) + sent, header.size() - sent};
    }
    const std::size_t payloadSent = sent > header.size() ? sent - header.size() : 0;
    if (payloadSent < payload.size()) {
      iov[count++] = {const_cast<char*>(payload.data()) + payloadSent,
                      payload.size() - payloadSent};
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = count;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFdsPerFrame)];
    if (!fdsSent) {
      msg.msg_control = control;
      msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return ipcError(errno, "cannot send to the peer");
    fdsSent = true;
    sent += static_cast<std::size_t>(n);
  }
  return success();
}

Result<std::optional<Message>> readFrame(int fd, bool acceptFds, Deadline deadline) {
  Message message;
  char header[kFrameHeaderSize];
  auto end = readExact(fd, header, sizeof(header), acceptFds, true, message.fds, deadline);
  if (!end.ok()) return end.error();
  if (end.value() == ReadEnd::EofAtStart) return std::optional<Message>();
  std::uint32_t size = 0;
  for (char byte : header) size = (size << 8) | static_cast<unsigned char>(byte);
  if (size > kMaxFrameSize) {
    return ipcError(EMSGSIZE, "the peer announced a frame of " + std::to_string(size) +
                                  " bytes (at most " + std::to_string(kMaxFrameSize) + ")");
  }
  message.payload.resize(size);
  end = readExact(fd, message.payload.data(), size, acceptFds, false, message.fds, deadline);
  if (!end.ok()) return end.error();
  return std::optional<Message>(std::move(message));
}

Result<bool> waitReadable(int fd, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto ready = waitUntil(fd, deadline);
  if (ready.ok()) return true;
  if (ready.error().code == ETIMEDOUT) return false;
  return ready.error();
}

Result<PeerCredentials> peerCredentials(int fd) {
  ucred cred{};
  socklen_t length = sizeof(cred);
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
    return ipcError(errno, "cannot read the peer's credentials");
  }
  if (length != sizeof(cred) || cred.pid <= 0) {
    return ipcError(EPROTO, "the peer's credentials are unknown");
  }
  return PeerCredentials{cred.pid, cred.uid, cred.gid};
}

}  // namespace vandrel::platform::ipc::detail
