#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ipc.h"

// Socket plumbing shared by the two ends of the channel. Internal to
// platform/linux.
namespace vandrel::platform::ipc::detail {

Error ipcError(int code, const std::string& what);

// The address of the socket file `path`; an error when it does not fit.
Result<sockaddr_un> unixAddress(const std::string& path);

// Sends header and payload, with `fds` attached to the first bytes, and
// continues after partial sends until the frame is out.
Result<void> sendFrame(int fd, std::string_view payload, const std::vector<int>& fds);

// Reads exactly one frame and nothing of the next, so descriptors that come
// with a frame's first bytes always land with that frame. Nothing (no
// error) at a clean end of file before a frame starts. Descriptors are
// taken only when `acceptFds`; otherwise a frame that carries some is an
// error (the kernel has closed them already). With `deadline`, a frame
// still incomplete at that moment is an error (ETIMEDOUT).
Result<std::optional<Message>> readFrame(
    int fd, bool acceptFds,
    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

// Waits until `fd` has something to read (or has ended) for at most
// `timeout`; false when the time ran out first.
Result<bool> waitReadable(int fd, std::chrono::milliseconds timeout);

Result<PeerCredentials> peerCredentials(int fd);

}  // namespace vandrel::platform::ipc::detail
