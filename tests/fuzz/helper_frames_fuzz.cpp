// The helper's channel as a client sees it: the input is the raw byte
// stream a client writes to the helper's socket. A helper with its real
// framing, request decoding and commands serves it; every request in a
// well-formed frame gets exactly one well-formed reply with its id, in
// order, and the first frame that is oversized, cut short or not a request
// ends the connection without a reply.
//
// Nothing here runs as root on the machine's behalf: processes the commands
// would run go to a runner that only records them, the daemon executable
// does not exist, and the target runs in a private network and mount
// namespace (scripts/netns-run), where port 80 and the daemon's port are its
// own and the system log is silenced.

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "helper/helper_config.h"
#include "helper/helper_protocol.h"
#include "helper/helper_tool.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "proto/helper.pb.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace helper = vandrel::helper;
namespace ipc = vandrel::platform::ipc;
namespace platform = vandrel::platform;
namespace wire = vandrel::helper::wire;

// Far below the socket's buffer, so the whole input is written before the
// replies are read without either side waiting for the other.
constexpr std::size_t kMaxInput = 64 * 1024;
constexpr auto kReplyTimeout = std::chrono::seconds(20);

// Runs nothing: route deletions and shell commands succeed with no output.
class RecordingRunner final : public platform::ProcessRunner {
 public:
  platform::Result<platform::ProcessOutput> run(const std::vector<std::string>& argv,
                                                const platform::ProcessOptions&) override {
    VANDREL_FUZZ_CHECK(!argv.empty(), "a command without argv");
    platform::ProcessOutput out;
    out.exitCode = 0;
    return out;
  }
};

struct Helper {
  RecordingRunner runner;
  std::unique_ptr<helper::HelperTool> tool;
  std::unique_ptr<ipc::Server> server;
  std::string socketPath;
};

Helper* theHelper = nullptr;

// The system log of this namespace goes nowhere: the fuzzer would write
// millions of entries into the machine's log.
void silenceSystemLog() {
  if (std::getenv("VANDREL_IN_NETNS") == nullptr) {
    vandrel::fuzz::fail("VANDREL_IN_NETNS", "run this target through scripts/netns-run",
                        __FILE__, __LINE__);
  }
  struct stat st {};
  if (::lstat("/dev/log", &st) == 0 &&
      ::mount("/dev/null", "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
    vandrel::fuzz::fail("mount /dev/null over /dev/log", std::strerror(errno), __FILE__, __LINE__);
  }
}

Helper* startHelper() {
  auto* h = new Helper;
  const auto root = vandrel::fuzz::scratchHome();
  h->socketPath = (root / "helper.sock").string();
  helper::HelperTool::Options options;
  options.config.daemonPath = (root / "no-daemon" / std::string(helper::kDaemonName)).string();
  options.config.allowedUids = {::getuid()};
  options.config.execCommand = true;
  options.socketPath = h->socketPath;
  options.runner = &h->runner;
  h->tool = std::make_unique<helper::HelperTool>(std::move(options));
  auto server = ipc::Server::listenAt(
      h->socketPath, 0600,
      {.acceptPeer = [h](const ipc::PeerCredentials& peer) { return h->tool->acceptPeer(peer); },
       .handle =
           [h](const ipc::PeerCredentials& peer, std::string payload) {
             return h->tool->handleFrame(peer, std::move(payload));
           },
       .log = {}});
  VANDREL_FUZZ_CHECK(server.ok(), server.ok() ? "" : server.error().message);
  h->server = std::move(server).value();
  h->server->start();
  return h;
}

// The ids the helper must answer, in order: one per request up to the
// first frame that ends the connection.
std::vector<std::uint64_t> expectedReplies(std::string_view stream) {
  std::vector<std::uint64_t> ids;
  while (stream.size() >= ipc::kFrameHeaderSize) {
    std::uint32_t size = 0;
    for (std::size_t i = 0; i < ipc::kFrameHeaderSize; ++i) {
      size = (size << 8) | static_cast<unsigned char>(stream[i]);
    }
    stream.remove_prefix(ipc::kFrameHeaderSize);
    if (size > ipc::kMaxFrameSize || size > stream.size()) break;
    wire::Request request;
    if (!request.ParseFromArray(stream.data(), static_cast<int>(size)) || request.id() == 0) break;
    ids.push_back(request.id());
    stream.remove_prefix(size);
  }
  return ids;
}

int connectToHelper(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  VANDREL_FUZZ_CHECK(fd >= 0, std::strerror(errno));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  VANDREL_FUZZ_CHECK(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0,
                     std::strerror(errno));
  return fd;
}

// Everything the helper sends until it closes the connection.
std::string readUntilClosed(int fd) {
  std::string received;
  const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
  char buffer[16384];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    VANDREL_FUZZ_CHECK(left.count() > 0, "the helper neither answered nor closed the connection "
                                         "within 20 seconds");
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    VANDREL_FUZZ_CHECK(ready >= 0, std::strerror(errno));
    if (ready == 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ECONNRESET) return received;
    VANDREL_FUZZ_CHECK(n >= 0, std::strerror(errno));
    if (n == 0) return received;
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vandrel::fuzz::scratchHome();
  silenceSystemLog();
  theHelper = startHelper();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view stream = vandrel::fuzz::asText(data, std::min(size, kMaxInput));
  const auto expected = expectedReplies(stream);

  const int fd = connectToHelper(theHelper->socketPath);
  std::size_t written = 0;
  while (written < stream.size()) {
    const ssize_t n = ::send(fd, stream.data() + written, stream.size() - written, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    // The helper closes the connection at the first bad frame; what follows
    // it may find the socket gone.
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) break;
    VANDREL_FUZZ_CHECK(n > 0, std::strerror(errno));
    written += static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
  const std::string received = readUntilClosed(fd);
  ::close(fd);

  std::string_view rest = received;
  std::size_t replies = 0;
  while (!rest.empty()) {
    VANDREL_FUZZ_CHECK(rest.size() >= ipc::kFrameHeaderSize, "a reply's header was cut short");
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < ipc::kFrameHeaderSize; ++i) {
      length = (length << 8) | static_cast<unsigned char>(rest[i]);
    }
    rest.remove_prefix(ipc::kFrameHeaderSize);
    VANDREL_FUZZ_CHECK(length <= ipc::kMaxFrameSize && length <= rest.size(),
                       "a reply frame of " + std::to_string(length) + " bytes");
    wire::Reply reply;
    VANDREL_FUZZ_CHECK(reply.ParseFromArray(rest.data(), static_cast<int>(length)),
                       "a reply that is not a Reply");
    VANDREL_FUZZ_CHECK(replies < expected.size(), "more replies than requests");
    VANDREL_FUZZ_CHECK(reply.id() == expected[replies],
                       "reply " + std::to_string(replies) + " has id " +
                           std::to_string(reply.id()) + ", its request " +
                           std::to_string(expected[replies]));
    VANDREL_FUZZ_CHECK(reply.result_case() != wire::Reply::RESULT_NOT_SET,
                       "a reply without a result");
    rest.remove_prefix(length);
    ++replies;
  }
  VANDREL_FUZZ_CHECK(replies == expected.size(),
                     std::to_string(expected.size()) + " requests, " + std::to_string(replies) +
                         " replies");
  return 0;
}
