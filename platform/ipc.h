#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "platform/result.h"

namespace vandrel::platform::ipc {

// The framed channel between the application and its privileged helper: a
// Unix stream socket carrying frames of a 4-byte big-endian length (0 to
// kMaxFrameSize) and that many payload bytes. Descriptors travel as
// SCM_RIGHTS attached to the first bytes of the frame they belong to.
//
// Every descriptor made here is close-on-exec, and every send uses
// MSG_NOSIGNAL: a peer that went away is an error result, never a SIGPIPE.
// A frame that announces more than kMaxFrameSize closes the connection
// before anything is allocated for it.

inline constexpr std::uint32_t kMaxFrameSize = 1024 * 1024;
inline constexpr std::size_t kFrameHeaderSize = 4;
// At most this many descriptors travel with one frame.
inline constexpr std::size_t kMaxFdsPerFrame = 16;
// Error domain of the channel; codes are errno values.
inline constexpr std::string_view kErrorDomain = "vandrel.ipc";

// A descriptor with exactly one owner; closed when dropped.
using OwnedFd = platform::UniqueFd;

// Who is at the other end, as the kernel saw it at connect time.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
};

// One frame: its payload and the descriptors that came with it.
struct Message {
  std::string payload;
  std::vector<OwnedFd> fds;
};

// The header of a frame of `size` payload bytes.
std::array<char, kFrameHeaderSize> frameHeader(std::uint32_t size);

// The client end of a connection. A reader thread delivers every frame that
// arrives, then reports the end of the connection exactly once.
//
// Threads: `send` from one thread at a time (callers serialize; frames of
// concurrent senders could interleave); `close`, `peer` from any thread.
// The handlers run on the reader thread, never under a lock of ours; a
// handler must not wait for another frame of this connection (the reader
// would be waiting for itself).
class Connection {
 public:
  struct Handlers {
    std::function<void(Message)> onMessage;
    // The connection ended: EOF, a read error, an oversized or cut frame,
    // or close(). Called once, after the last onMessage.
    std::function<void(const Error&)> onClosed;
  };

  // Connects to the socket at `path` and starts the reader.
  static Result<std::unique_ptr<Connection>> connect(const std::string& path, Handlers handlers);

  // Shuts the socket down; the reader ends and reports onClosed. Joins the
  // reader unless called from it.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const PeerCredentials& peer() const { return peer_; }

  // Sends one frame (payload of at most kMaxFrameSize bytes) with `fds`
  // attached. An error when the peer is gone (EPIPE, ECONNRESET) or the
  // frame is too big; the connection itself stays as it is.
  Result<void> send(std::string_view payload, const std::vector<int>& fds = {});

  // Shuts the socket down (both directions); idempotent.
  void close();

 private:
  struct State;
  Connection(std::shared_ptr<State> state, PeerCredentials peer);
  std::shared_ptr<State> state_;
  PeerCredentials peer_;
};

// How many connections a Server serves and how long it waits on them. A
// peer that opens connections and sends nothing must lock out neither root
// nor other users: each user other than root has a share of its own, some
// slots are kept for root, a connection that stays silent past the idle
// time-out is closed, and so is one whose frame, once started, does not
// arrive whole in time (or whose reply is not taken in time).
struct ServerLimits {
  static constexpr std::size_t kMaxConnections = 64;
  static constexpr std::size_t kMaxConnectionsPerUser = 8;
  static constexpr std::size_t kConnectionsKeptForRoot = 8;
  static constexpr std::chrono::milliseconds kIdleTimeout{std::chrono::minutes(5)};
  static constexpr std::chrono::milliseconds kFrameTimeout{std::chrono::seconds(10)};

  // Connections beyond this many are closed at once.
  std::size_t maxConnections = kMaxConnections;
  // Connections one user other than root may hold at a time.
  std::size_t maxConnectionsPerUser = kMaxConnectionsPerUser;
  // Slots no user but root may take.
  std::size_t connectionsKeptForRoot = kConnectionsKeptForRoot;
  // A connection with no frame under way is closed after this long.
  std::chrono::milliseconds idleTimeout = kIdleTimeout;
  // A started frame must arrive whole, and a reply be taken, within this.
  std::chrono::milliseconds frameTimeout = kFrameTimeout;
};

// The server end: a listening socket, an accept thread and one thread per
// connection. Requests of one connection are handled in order, one at a
// time; connections are handled concurrently, within ServerLimits.
class Server {
 public:
  using Limits = ServerLimits;
  static constexpr std::size_t kMaxConnections = ServerLimits::kMaxConnections;

  struct Handlers {
    // Decides right after accept whether the peer is served; a refused
    // peer's connection is closed at once, without a byte sent. Called on
    // the accept thread.
    std::function<bool(const PeerCredentials&)> acceptPeer;
    // One call per frame, on the connection's thread. Returns the reply
    // frame (its descriptors are sent, then closed), or nothing to close
    // the connection (a malformed request).
    std::function<std::optional<Message>(const PeerCredentials&, std::string payload)> handle;
    // Lines about refused peers and dropped connections; may be empty.
    std::function<void(std::string_view)> log;
  };

  // Creates the socket at `path` (replacing a stale socket there, never
  // another kind of file) with permissions `mode` (0777 bits only), which
  // it has from the moment it exists; the process's umask stays as it was.
  static Result<std::unique_ptr<Server>> listenAt(const std::string& path, mode_t mode,
                                                  Handlers handlers, Limits limits = {});
  // Takes over a listening Unix stream socket made by someone else (the
  // service manager's descriptor 3).
  static Result<std::unique_ptr<Server>> adopt(int listeningFd, Handlers handlers,
                                               Limits limits = {});

  ~Server();  // stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts the accept thread.
  void start();
  // Stops accepting, shuts every connection down and waits until every
  // handler has returned. The socket file stays (the service manager owns
  // it in production).
  void stop();

  // The path the socket is bound to ("" when unknown).
  const std::string& path() const { return path_; }
  // Connections being served now.
  std::size_t connectionCount() const;

 private:
  struct State;
  Server(std::shared_ptr<State> state, std::string path);
  std::shared_ptr<State> state_;
  std::string path_;
};

}  // namespace vandrel::platform::ipc
