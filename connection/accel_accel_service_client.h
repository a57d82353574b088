#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/app_constants.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Defaults;
}

namespace vandrel::core {
class LineItem;
}

namespace vandrel::connection {

class RouteRegistrar;

// The daemon's system-proxy modes, with their wire numbers.
enum class Accel_SystemProxyMode : std::int32_t { global = 0, intelligent = 1 };

// One plaintext gRPC channel to the tunnelling daemon's service accel.Accel.
// Made lazily by AccelCalls and shared by every call until it is dropped;
// the channel and its stub are thread-safe, calls may overlap.
class Accel_AccelServiceClient {
 public:
  // Plaintext, no HTTP proxy, a connection of its own (never one shared
  // with an earlier client) and short reconnect back-off.
  explicit Accel_AccelServiceClient(std::string address);
  ~Accel_AccelServiceClient();
  Accel_AccelServiceClient(const Accel_AccelServiceClient&) = delete;
  Accel_AccelServiceClient& operator=(const Accel_AccelServiceClient&) = delete;

  const std::string& address() const;

  // The channel's transport, for the wrappers and the benchmarks
  // (connection/accel_accel_service_client_impl.h).
  struct Impl;
  Impl& impl() const { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// Where the wrappers write their lines; the application logger by default.
struct DaemonCallLog {
  std::function<void(std::int64_t level, std::string_view message)> logLine;
  std::function<void(std::string_view text)> checkUploadKeywords;

  static DaemonCallLog logUtil();
};

// The calls the application makes to the tunnelling daemon, and the state
// the connect and disconnect flows keep about it.
//
// Every wrapper blocks its thread until the daemon answered (any thread but
// the main one: it aborts there) and reduces the outcome to an optional
// text: none on success, else the daemon's error text or the failed call's
// status message ("Error" when it has none). Only the two tunnel stops
// (StopTun2socks, StopSS) have a deadline, so that a hung daemon cannot
// hold a disconnect forever; a stop that runs out of time is a failed call.
//
// Thread-safe: the client slot sits behind a lock (it is dropped from the
// helper's reply thread while other threads call); each call takes its own
// copy of the client, so dropping never cuts a call short.
class AccelCalls {
 public:
  static constexpr std::string_view kDaemonAddress = "127.0.0.1:50051";
  // Environment knob: another daemon address, for black-box runs.
  static constexpr std::string_view kDaemonAddressVariable = "VANDREL_DAEMON_ADDR";
  static constexpr std::chrono::milliseconds kStopDeadline{30'000};
  static constexpr std::string_view kLastExcludeArrayKey = "lastExcludeArrayKey";
  // What startSS answers, without calling the daemon, for a line that
  // cannot make a StartSS request (no server, method or password, or a
  // port outside the 32-bit range). The connect then fails with it.
  static constexpr std::string_view kIncompleteLineError =
      "The line's configuration is incomplete, please choose another line and retry.";

  struct Options {
    DaemonCallLog log = DaemonCallLog::logUtil();
    std::chrono::milliseconds stopDeadline = kStopDeadline;
  };

  // The one instance of the process (leaked): the address of
  // daemonAddress(), the standard defaults, the registrar set with
  // setSharedRouteRegistrar and the shared connection manager's mode.
  static AccelCalls& shared();
  // Where shared() hands the exclude routes; the helper client registers
  // itself at start-up. Must live for the rest of the process.
  static void setSharedRouteRegistrar(RouteRegistrar* registrar);
  // $VANDREL_DAEMON_ADDR when set and not empty, else "127.0.0.1:50051".
  static std::string daemonAddress();

  // `connectMode` tells startSS the current connect mode.
  AccelCalls(std::string address, platform::Defaults& defaults, RouteRegistrar& registrar,
             std::function<core::ConnectMode()> connectMode, Options options);
  AccelCalls(std::string address, platform::Defaults& defaults, RouteRegistrar& registrar,
             std::function<core::ConnectMode()> connectMode);
  ~AccelCalls();
  AccelCalls(const AccelCalls&) = delete;
  AccelCalls& operator=(const AccelCalls&) = delete;

  // ---- The shared client ------------------------------------------------
  // The stored client, made on first use after it was found empty.
  std::shared_ptr<Accel_AccelServiceClient> client();
  // Empties the slot: the next call opens a new channel and connection
  // (after the helper started the daemon afresh). Calls under way finish
  // on the old one.
  void dropClient();

  // ---- Wrappers -----------------------------------------------------------
  [[nodiscard]] std::optional<std::string> startTun2socks(const std::vector<std::string>& exclude);
  [[nodiscard]] std::optional<std::string> stopTun2socks();
  [[nodiscard]] std::optional<std::string> setSystemProxy(const std::vector<std::string>& domains,
                                                          Accel_SystemProxyMode mode);
  [[nodiscard]] std::optional<std::string> stopSystemProxy(Accel_SystemProxyMode mode);
  [[nodiscard]] std::optional<std::string> startHttpProxy();
  [[nodiscard]] std::optional<std::string> stopHttpProxy();
  // Reads the line's fields once, and the connect mode.
  [[nodiscard]] std::optional<std::string> startSS(const core::LineItem& line);
  [[nodiscard]] std::optional<std::string> stopSS();

  // Asks the daemon for its exclude routes; on Success stores them under
  // "lastExcludeArrayKey" (synchronised) and hands them to the registrar.
  // Writes no log line.
  [[nodiscard]] std::optional<std::string> saveExcludeRoutes();
  // The stored exclude routes; a list of one empty text when nothing (or
  // no array of texts) is stored.
  std::vector<std::string> lastExcludeArray() const;

  // A wrapper's log lines (defined with the wrappers).
  struct Texts;

  // ---- Mode of the last start ---------------------------------------------
  // `app` until the daemon manager records a start; the tunnel stop resets
  // it to `app`.
  core::ConnectMode lastStartedMode() const { return lastStartedMode_.load(); }
  void setLastStartedMode(core::ConnectMode mode) { lastStartedMode_.store(mode); }

 private:
  // One call of the method `name` of accel.Accel ("StartSS").
  template <typename Response, typename Request>
  std::optional<std::string> call(const Texts& texts, std::string_view name, const Request& request,
                                  bool withDeadline);
  std::optional<std::string> failed(const Texts& texts, std::string_view errorText,
                                    std::string message);

  const std::string address_;
  platform::Defaults& defaults_;
  RouteRegistrar& registrar_;
  const std::function<core::ConnectMode()> connectMode_;
  const DaemonCallLog log_;
  const std::chrono::milliseconds stopDeadline_;

  std::atomic<core::ConnectMode> lastStartedMode_{core::ConnectMode::app};

  platform::Mutex mutex_;
  std::shared_ptr<Accel_AccelServiceClient> client_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::connection
