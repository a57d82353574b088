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

#include "ping/qv_ping.h"
#include "platform/dispatch.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::ping {
class qv_PingMannager;
}
namespace vandrel::platform {
class Defaults;
}

namespace vandrel::connection {

class qv_ConnectionManager;

// Standard-defaults key of the stored ping times: decimal line id -> ms.
inline constexpr std::string_view kLineModelPingTimeDicKey = "lineModelPingTimeDic";
inline constexpr std::string_view kSetPingQueueLabel = "setPingQueue";
// The ping time and loss ratio of a line never measured.
inline constexpr double kUnmeasured = 999.0;
// The cycle's settings, given to the manager once its pingers are set up.
inline constexpr double kCyclePingTimeout = 1.0;
inline constexpr double kCyclePingPeriod = 0.2;
// How long after the start the cycle stops and hands its figures over.
inline constexpr std::chrono::milliseconds kCycleStopDelay{1400};
// How long the hand-over waits for the stopped lines' bookkeeping.
inline constexpr std::chrono::milliseconds kStopBookkeepingWait{1000};

// What a ping cycle asks of the ping library's manager. The application
// uses PingMannagerAdapter over the process's qv_PingMannager; tests hand
// in a fake.
class LinePingManager {
 public:
  virtual ~LinePingManager() = default;

  virtual bool isInMemoryWarningPause() = 0;
  // A new pinger (plain initialiser).
  virtual std::shared_ptr<ping::qv_Ping> makePing() = 0;
  virtual void add(const std::shared_ptr<ping::qv_Ping>& ping) = 0;
  // Sets up every added pinger, then runs `completion` once, on the
  // manager's queue. A pinger that came up is pinging; one that failed is
  // not and has left the run.
  virtual void setupAll(std::function<void()> completion) = 0;
  virtual void setTimeout(double seconds) = 0;
  virtual void setPingPeriod(double seconds) = 0;
  virtual void startPinging() = 0;
  // Asynchronously: stops every pinger of the run; each tells its delegate.
  virtual void stopPinging() = 0;
  virtual bool isPinging() const = 0;
};

class PingMannagerAdapter final : public LinePingManager {
 public:
  explicit PingMannagerAdapter(std::shared_ptr<ping::qv_PingMannager> manager);

  bool isInMemoryWarningPause() override;
  std::shared_ptr<ping::qv_Ping> makePing() override;
  void add(const std::shared_ptr<ping::qv_Ping>& ping) override;
  void setupAll(std::function<void()> completion) override;
  void setTimeout(double seconds) override;
  void setPingPeriod(double seconds) override;
  void startPinging() override;
  void stopPinging() override;
  bool isPinging() const override;

 private:
  const std::shared_ptr<ping::qv_PingMannager> manager_;
};

// What every line of one ping model shares: the store of ping times, the
// connection status that gates counting, and the process-wide line ping
// group. Held by shared_ptr so a line in a late callback keeps it alive.
struct LinePingEnvironment {
  LinePingEnvironment(platform::Defaults& defaults, const qv_ConnectionManager& connection)
      : defaults(defaults), connection(connection) {}
  LinePingEnvironment(const LinePingEnvironment&) = delete;
  LinePingEnvironment& operator=(const LinePingEnvironment&) = delete;

  platform::Defaults& defaults;
  const qv_ConnectionManager& connection;
  // Stored ping times are written only here, so concurrent stops of many
  // lines lose no entry.
  platform::SerialQueue setPingQueue{std::string(kSetPingQueueLabel)};
  // Each line that starts a ping enters once; each line that finishes its
  // bookkeeping (or goes away before that) leaves once.
  platform::Group linePingGroup;
};

// One server line with its ping figures. It is the delegate of its own
// pinger, which holds it weakly: always owned by a shared_ptr.
//
// Thread-safe: the cycle prepares it on the caller's thread, the ping
// library's queue delivers its results and stops, the lines manager reads
// its dictionary. One lock guards every field; it is never held while
// calling the pinger, the defaults or the logger.
class qv_LineModel final : public ping::qv_PingDelegate,
                           public std::enable_shared_from_this<qv_LineModel> {
 public:
  // Every field but the pinger, with the values of a new object.
  struct Fields {
    std::string qv_boostSession;
    std::string qv_server;
    std::int64_t qv_port = -1;
    std::int64_t qv_serverPort = -1;
    std::string qv_method;
    std::string qv_password;
    std::int64_t qv_timeout = 0;
    std::string qv_alias;
    std::string qv_icon;
    std::string qv_headerKey;
    std::string qv_userToken;
    std::string qv_subnet;
    std::string qv_dns;
    std::int64_t qv_mtu = 0;
    std::int64_t qv_encrypt = 0;
    std::int64_t qv_detectPort = -1;
    std::string qv_name;
    std::int64_t qv_id = -1;
    // An integer or a floating-point number, as the dictionary carried it.
    std::optional<platform::Value> qv_load;
    std::string qv_mode;
    std::string qv_location;
    std::string qv_proto;
    bool qv_isPrivate = false;
    std::string qv_ipaddr;
    // During a cycle the sum of the reply times (ms); after it the result.
    double qv_newPingTime = kUnmeasured;
    bool qv_isLineError = false;
    std::int64_t qv_linkCount = 0;
    std::int64_t qv_pingCount = 0;
    std::int64_t qv_packetLossCount = 0;
    // Loss ratio of the last cycle that had at least one reply.
    double qv_packetLoss = kUnmeasured;
  };

  // A line from one element of a region's "lines": none when "name",
  // "location", "id" or the address ("ipaddr", else "iPAddr") is missing or
  // of another type.
  static std::shared_ptr<qv_LineModel> init(const platform::Value::Dictionary& regionLine,
                                            std::shared_ptr<LinePingEnvironment> environment);

  explicit qv_LineModel(std::shared_ptr<LinePingEnvironment> environment);
  // A line dropped in the middle of a cycle leaves the group it entered.
  ~qv_LineModel() override;
  qv_LineModel(const qv_LineModel&) = delete;
  qv_LineModel& operator=(const qv_LineModel&) = delete;

  // "ipaddr", "private", "location", "id", "name", "mode", "protocol",
  // "load" (when present), "detectPort", "pingTime" and "packetLoss" (both
  // truncated to integers).
  platform::Value::Dictionary toDictionary() const;

  Fields fields() const;
  // Runs `mutate` under the lock: fields only, no calls out.
  void update(const std::function<void(Fields&)>& mutate);

  // The stored ping time of this line's id, kUnmeasured when none.
  double qv_pingTime() const;
  // Stores `ms` for this line's id (on "setPingQueue", waited for).
  void setQv_pingTime(double ms);

  std::shared_ptr<ping::qv_Ping> qv_ping() const;

  // One cycle's preparation: a line without a pinger whose address is four
  // dot-separated digit groups gets one (delegate: this line; host: the
  // address), enters the process-wide group and `cycleGroup`, and resets
  // its counters. Returns the pinger to hand to the manager (also one left
  // from an earlier cycle), or null.
  std::shared_ptr<ping::qv_Ping> prepareCycle(LinePingManager& manager,
                                              const std::shared_ptr<platform::Group>& cycleGroup);
  // After the set-up pass: a pinger that did not come up never reports a
  // stop, so the line finishes its bookkeeping now.
  void finishIfSetupFailed();

  // qv_PingDelegate.
  void qv_stop(ping::qv_Ping& ping) override;
  void qv_didFailWithError(ping::qv_Ping& ping, const platform::Error& error) override;
  void qv_didTimeoutWith(ping::qv_Ping& ping, const ping::qv_PingResult& result) override;
  void qv_didReceiveReplyWith(ping::qv_Ping& ping, const ping::qv_PingResult& result) override;
  void qv_didReceiveUnexpectedReplyWith(ping::qv_Ping& ping,
                                        const ping::qv_PingResult& result) override;

 private:
  void countResult(const ping::qv_PingResult& result);
  void stopPingAction();
  double storedPingTime() const;

  const std::shared_ptr<LinePingEnvironment> environment_;

  mutable platform::Mutex mutex_;
  Fields fields_ VANDREL_GUARDED_BY(mutex_);
  // Present exactly while the line is in the process-wide group.
  std::shared_ptr<ping::qv_Ping> ping_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<platform::Group> cycleGroup_ VANDREL_GUARDED_BY(mutex_);
};

// One region with its lines. A plain value: copies share the lines.
struct qv_RegionLinesModel {
  std::string qv_code;
  std::string qv_icon;
  std::string qv_name;
  std::vector<std::shared_ptr<qv_LineModel>> qv_lines;

  // None when "code", the icon ("icon", else "iconUrl") or the name
  // ("name", else "region") is missing or not text. "lines" that is not a
  // list gives no lines; an element that is not a valid line is skipped.
  static std::optional<qv_RegionLinesModel> init(
      const platform::Value::Dictionary& dictionary,
      const std::shared_ptr<LinePingEnvironment>& environment);

  // "code", "icon", "name" and "lines" (the lines' dictionaries in order).
  platform::Value::Dictionary toDictionary() const;
};

// The regions whose lines a ping cycle measures, and the cycle itself.
//
// Thread-safe: the lists are whole values behind a lock. A cycle is
// started from a global queue; its set-up completion runs on the ping
// manager's queue, its stop-and-hand-over task on a global queue.
class qv_RegionModels {
 public:
  // The hand-over at the end of a cycle (the lines manager's finishPing).
  using FinishPing = std::function<void()>;

  // The process's instance (leaked): the process's ping manager, the
  // shared connection manager, the standard defaults, the system scheduler.
  static qv_RegionModels& shared();

  qv_RegionModels(std::shared_ptr<LinePingManager> manager, const qv_ConnectionManager& connection,
                  platform::Defaults& defaults, platform::Scheduler& scheduler);
  qv_RegionModels(const qv_RegionModels&) = delete;
  qv_RegionModels& operator=(const qv_RegionModels&) = delete;

  // Set once, before the first cycle.
  void setFinishPing(FinishPing finish);

  LinePingManager& manager() const { return *manager_; }
  const std::shared_ptr<LinePingEnvironment>& environment() const { return environment_; }
  platform::Group& linePingGroup() const { return environment_->linePingGroup; }

  // Stays empty in this build.
  std::vector<qv_RegionLinesModel> qv_models() const;
  void setQv_models(std::vector<qv_RegionLinesModel> models);
  // The lines manager's regions.
  std::vector<qv_RegionLinesModel> qv_vdr_models() const;
  void setQv_vdr_models(std::vector<qv_RegionLinesModel> models);

  // One region per valid dictionary, in order (invalid ones are skipped).
  std::vector<qv_RegionLinesModel> regionsFrom(const std::vector<platform::Value::Dictionary>&) const;

  // One ping cycle over the chosen list: pingers for the lines, set-up,
  // start, and 1.4 s later stop and hand-over. A newer cycle supersedes an
  // older one's stop and hand-over.
  void pingAllLines();

 private:
  void onSetupDone(std::uint64_t cycle, const std::vector<std::shared_ptr<qv_LineModel>>& lines,
                   const std::shared_ptr<platform::Group>& cycleGroup);
  void stopAndHandOver(std::uint64_t cycle, const std::shared_ptr<platform::Group>& cycleGroup);

  const std::shared_ptr<LinePingManager> manager_;
  const std::shared_ptr<LinePingEnvironment> environment_;
  platform::Scheduler& scheduler_;
  std::atomic<std::uint64_t> cycle_{0};

  mutable platform::Mutex mutex_;
  std::vector<qv_RegionLinesModel> models_ VANDREL_GUARDED_BY(mutex_);
  std::vector<qv_RegionLinesModel> vdrModels_ VANDREL_GUARDED_BY(mutex_);
  FinishPing finish_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::connection
