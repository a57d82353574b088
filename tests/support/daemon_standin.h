#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/check.h"
#include "platform/result.h"

namespace testing {
class AssertionResult;
}

namespace vandrel::platform {
class Clock;
}

namespace vandrel::test_support {

// One call as the stand-in received it.
struct DaemonCall {
  std::string method;        // "StartSS"
  std::string requestType;   // "accel.SSConfig"
  std::string requestBytes;  // the request, encoded again (unknown fields kept)
  std::string requestText;   // one-line text form, for failure messages
  std::string peer;          // the caller's address, "ipv4:127.0.0.1:41234"

  // The request decoded as `Message` (a generated accel type, e.g.
  // accel::SSConfig); asking for the wrong type is a test bug and aborts.
  template <typename Message>
  Message request() const {
    Message message;
    VANDREL_CHECK(message.GetTypeName() == requestType, "DaemonCall::request: wrong message type");
    VANDREL_CHECK(message.ParseFromString(requestBytes), "DaemonCall::request: undecodable");
    return message;
  }
};

// What the stand-in runs. A start of a running item answers Success false
// with "<name> already running", a stop of an idle one "<name> not running".
enum class DaemonItem { Ss, HttpProxy, SystemProxy, Tun2socks, Gts, LspProxy };

// "ss", "http proxy", "system proxy", "tun2socks", "gts", "lsp proxy".
std::string_view daemonItemName(DaemonItem item);

// A scripted answer for calls of one method, in the order the fields are
// applied: wait `delay`, then hang until released, then answer with the
// gRPC status, or else with Success false and `failure`, or else normally.
// A scripted failure or status leaves the item's state unchanged.
struct DaemonReply {
  std::chrono::milliseconds delay{0};
  bool hang = false;
  std::optional<int> statusCode;  // a grpc::StatusCode value other than OK
  std::string statusMessage;
  std::optional<std::string> failure;

  static DaemonReply fail(std::string error);
  static DaemonReply status(int code, std::string message);
  static DaemonReply delayed(std::chrono::milliseconds delay);
  static DaemonReply hanging();
};

// The tunnelling daemon's gRPC service accel.Accel (all sixteen methods) on
// a loopback port, with daemon-like state, a log of every call and
// scriptable faults. start/stop/restart and the destructor come from one
// thread (the test's); everything else may be called from any thread.
class DaemonStandin {
 public:
  static constexpr int kEveryCall = -1;

  struct Options {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: a free port, kept for restart()
    // Tells the time of scripted delays; the system clock when null.
    platform::Clock* clock = nullptr;
    // Runs on the serving thread after each call was logged, before it is
    // answered (and before any scripted delay or hang). Calls overlap, so
    // it may run on several threads at once.
    std::function<void(const DaemonCall&)> onCall;
  };

  DaemonStandin();
  explicit DaemonStandin(Options options);
  ~DaemonStandin();
  DaemonStandin(const DaemonStandin&) = delete;
  DaemonStandin& operator=(const DaemonStandin&) = delete;

  // Starts serving. The first start binds the configured port (a free one
  // for 0); later starts bind the port of the first.
  [[nodiscard]] platform::Result<void> start();
  // Releases every hung or delayed call (they answer UNAVAILABLE), stops
  // serving and, like a daemon process that ended, forgets which items ran.
  // The call log and the scripts stay.
  void stop();
  // stop(), then start() on the same port.
  [[nodiscard]] platform::Result<void> restart();
  bool serving() const;
  int port() const;
  std::string address() const;  // "127.0.0.1:<port>"

  // Scripts: the first script of a method that still has calls left
  // answers the next call of that method; `times` kEveryCall never runs out.
  // A method name outside the sixteen aborts (it would be a test typo).
  void script(std::string_view method, DaemonReply reply, int times = kEveryCall);
  void failWith(std::string_view method, std::string error, int times = kEveryCall);
  void failWithStatus(std::string_view method, int code, std::string message,
                      int times = kEveryCall);
  void clearScripts(std::string_view method);
  void clearAllScripts();

  // Lets every call now hanging go on (with the rest of its script).
  void releaseHangs();
  // Calls of `method` hanging right now.
  int hangingCount(std::string_view method) const;
  testing::AssertionResult waitForHanging(std::string_view method, int count,
                                          std::chrono::milliseconds timeout) const;

  void setRunning(DaemonItem item, bool running);
  bool isRunning(DaemonItem item) const;
  // What GetExcludeRoute answers (with Success true).
  void setExcludeRoutes(std::vector<std::string> routes);

  std::vector<DaemonCall> calls() const;
  std::vector<DaemonCall> calls(std::string_view method) const;
  std::vector<std::string> methods() const;  // method names in call order
  void clearCalls();
  testing::AssertionResult waitForCalls(std::string_view method, std::size_t count,
                                        std::chrono::milliseconds timeout) const;

  // The sixteen method names in the service's order.
  static const std::vector<std::string_view>& methodNames();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vandrel::test_support
