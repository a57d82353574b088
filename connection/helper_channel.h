#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/ipc.h"

namespace vandrel::helper::wire {
class Request;
class Reply;
}  // namespace vandrel::helper::wire

namespace vandrel::connection {

// What the helper's callers print for a failed command: the error's domain,
// code, the localized description and the detail behind it.
struct HelperError {
  std::string domain;
  std::int64_t code = 0;
  std::string localizedDescription;
  std::string debugDetail;

  // Error Domain=<domain> Code=<code> "<localized>" UserInfo={NSDebugDescription=<detail>}
  std::string description() const;
  std::string debugDescription() const { return description(); }
};

// The text of every failure to reach the helper, as the connect pipeline
// matches it (a typographic apostrophe).
inline constexpr std::string_view kHelperCommunicationFailure =
    "Couldn\u2019t communicate with a helper application.";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
// The connection dropped while the command was under way.
inline constexpr int kConnectionInterrupted = 4097;
// No connection could be made (helper missing, refused, wrong owner).
inline constexpr int kConnectionInvalid = 4099;

// A command's outcome: the helper's reply (with the descriptors that came
// with it), or the error that kept it from coming.
struct HelperOutcome {
  std::optional<HelperError> error;
  std::shared_ptr<const helper::wire::Reply> reply;
  std::shared_ptr<std::vector<platform::ipc::OwnedFd>> fds;
};

// The client end of the helper's socket: one connection, made on the first
// command and again on the first command after it dropped. Every pending
// command fails once when the connection drops.
//
// Queues: connecting and sending run on the serial queue
// "com.vandrel.mac.daemon.connection", so send() returns at once from any
// thread; outcomes are delivered on the serial queue
// "com.vandrel.mac.daemon.replies", in the order they arrive. A `done`
// must not wait for the outcome of another command: that outcome would be
// delivered on the same queue, after it.
class HelperChannel {
 public:
  struct Options {
    std::string socketPath;
    uid_t helperUid = 0;  // the helper must run as this user
    // A connection with nothing pending that has been quiet this long is
    // closed before the next command instead of used: the helper closes
    // silent connections, and a command sent just as it does would fail.
    std::chrono::milliseconds reuseLimit =
        platform::ipc::ServerLimits::kIdleTimeout - std::chrono::minutes(1);
    const platform::Clock* clock = nullptr;  // the system clock when null
  };

  explicit HelperChannel(Options options);
  // Fails what is still pending and closes the connection.
  ~HelperChannel();
  HelperChannel(const HelperChannel&) = delete;
  HelperChannel& operator=(const HelperChannel&) = delete;

  using Done = std::function<void(HelperOutcome)>;
  // Sends `request` (its id is set here); `done` runs exactly once.
  void send(const helper::wire::Request& request, Done done);

  // Commands sent and not yet answered.
  std::size_t pendingCount() const;
  const Options& options() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace vandrel::connection
