#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/line_item.h"
#include "core/region_records.h"
#include "core/result_data.h"
#include "platform/dispatch.h"
#include "platform/promise.h"
#include "platform/sync.h"
#include "platform/value.h"

namespace vandrel::core {
class MiscInfo;
class RemoteLog;
class qv_Network;
}  // namespace vandrel::core
namespace vandrel::platform {
class Clock;
class Defaults;
class NotificationCenter;
}  // namespace vandrel::platform

namespace vandrel::connection {

class AliveChecker;
class qv_ConnectionManager;
class qv_RegionModels;

// Encrypted-cache entries.
inline constexpr std::string_view kLinesModelCacheEntry = "LinesModelCache";
inline constexpr std::string_view kCurrentRegionCacheEntry = "currentRegionCache";
inline constexpr std::string_view kCurrentLineCacheEntry = "currentLineCache";
// Standard-defaults keys: "isAutoSelect" holds the text "true" or "false".
inline constexpr std::string_view kIsAutoSelectKey = "isAutoSelect";
inline constexpr std::string_view kIsAutoConnectKey = "isAutoConnect";
// Asks the main window to run its connect toggle.
inline constexpr std::string_view kWidgetConnectDidClickNotification =
    "WidgetConnectDidClickNotification";
inline constexpr std::string_view kAliveSendQueueLabel = "aliveSendQueue";
inline constexpr std::string_view kRegionListPath = "/api/2/line/region";

inline constexpr std::string_view kSmartLocationName = "Smart Location";
inline constexpr std::string_view kSmartLocationIcon = "icon_autoselect";
// The name a session line gets when the catalogue does not hold it and the
// service names none. Kept as it is, though it differs from the automatic
// line's "自动选择路线": stored lines and the log carry this text.
inline constexpr std::string_view kSessionLineDefaultName = "自动选择线路";
inline constexpr std::string_view kDefaultMethod = "aes-128-cfb";
inline constexpr std::int64_t kDefaultMtu = 1380;

// Session-request failures.
inline constexpr std::string_view kSessionWhileConnected = "Could not get Session now.";
inline constexpr std::string_view kSessionNotSignedIn = "Please Login your account before connect.";
inline constexpr std::string_view kSessionNoConfig = "server not available at the moment";

// The default region: "Smart Location", icon "icon_autoselect", one fresh
// automatic line, no `region` and no `iconUrl`.
core::RegionsItem defaultRegion();

// The service's catalogue of regions and lines, the user's current region
// and line, and whether the line is chosen automatically; the refresh chain
// (fetch, ping cycle, hand-over, apply, restore, liveness probes,
// auto-connect) and the session request.
//
// Thread-safe: the main queue, global queues, the ping cycle and the probe
// callbacks use it. `model`, `currentLine`, `currentRegion`, `jsonData` and
// `isAutoSelect` sit behind one lock, which is never held while storing,
// posting, logging or calling out. Cache and defaults writes of a field go
// through one serial section each, which stores the field's value of that
// moment, so the last write is of the last assignment.
//
// Lifetime: the shared instance lives for the process; another instance
// must outlive the work it started: destroy it once pendingWorkCount() is 0
// (and its ping model's cycles are over).
class LinesManager {
 public:
  // The process's instance (leaked), made on first use over the shared
  // transport, remote log, session, connection manager, ping model and
  // liveness probe, the standard defaults, the default notification center
  // and the system clock; started.
  static LinesManager& shared();

  // Creation: the cached catalogue, region and line (else none, the default
  // region and a fresh automatic line) and the stored "isAutoSelect".
  // Writes nothing.
  LinesManager(core::qv_Network& network, core::RemoteLog& remoteLog, core::MiscInfo& session,
               qv_ConnectionManager& connection, qv_RegionModels& pingModel,
               AliveChecker& aliveChecker, platform::Defaults& defaults,
               platform::NotificationCenter& notifications, const platform::Clock& clock);
  LinesManager(const LinesManager&) = delete;
  LinesManager& operator=(const LinesManager&) = delete;

  // Hands the ping model its hand-over (finishPing) and starts the first
  // catalogue fetch on a global queue.
  void start();

  // ---- Fields -------------------------------------------------------------
  // Unix time, whole seconds, of the start of the last catalogue fetch.
  std::int64_t lastUpdateTime() const { return lastUpdateTime_.load(); }
  void setLastUpdateTime(std::int64_t seconds) { lastUpdateTime_.store(seconds); }
  // The data object of the last successful region-list reply.
  platform::Value::Dictionary jsonData() const;
  std::optional<core::RegionsModel> model() const;
  // The line the next connection uses; never null.
  std::shared_ptr<core::LineItem> currentLine() const;
  // Stores the line as "currentLineCache"; the automatic line turns
  // isAutoSelect on. A null line is taken as a fresh automatic line.
  void setCurrentLine(std::shared_ptr<core::LineItem> line);
  core::RegionsItem currentRegion() const;
  bool isAutoSelect() const;
  // Stores "true" or "false" under "isAutoSelect" and synchronises.
  void setIsAutoSelect(bool value);
  bool shouldHandlePing() const { return shouldHandlePing_.load(); }
  // The retry count of the connection log; nothing here changes it.
  std::int64_t reconnectCount() const { return reconnectCount_.load(); }

  // The catalogue's region list: `regions`, else `regionLines`, else none.
  std::vector<core::RegionsItem> regionList() const;

  // ---- Operations ---------------------------------------------------------
  // Makes `region` current and stores it as "currentRegionCache"; "Smart
  // Location" turns isAutoSelect on, any other region leaves it.
  void selectRegion(core::RegionsItem region);
  // Fetches the catalogue on a global queue and settles `resolver` with the
  // fetch's result, successful or not.
  void requestLines(platform::Promise<core::ResultData> resolver);
  // A fetch when `maxAge` < 1, or when the connection is off and more than
  // `maxAge` whole seconds have passed since the last one; else an
  // already fulfilled success.
  platform::Promise<core::ResultData> loadLinesIfNeeded(std::int64_t maxAge);
  // Starts a ping cycle over the region dictionaries of `data` ("regions",
  // else "regionLines"); not while connected.
  void pingAllLines(const platform::Value::Dictionary& data);
  // Applies the ping model's figures, once per cycle.
  void finishPing();
  // Takes region dictionaries as the new catalogue, then restores the
  // choice, starts the liveness probes and auto-connects.
  void applyRegionList(const platform::Value::Array& regions);

  // The session on `line` (or on the service's choice) and the tunnel
  // configuration written into the line that becomes current. Blocks the
  // calling thread for the request: never on the main queue. The returned
  // promise is settled. When `stillWanted` is given and says no once the
  // reply is in (its connect attempt has ended meanwhile), nothing is
  // written and the result is the "timeout" failure.
  platform::Promise<core::ResultData> requestSession(const std::shared_ptr<core::LineItem>& line,
                                                     std::function<bool()> stillWanted = {});
  // A session request's result with the line that holds the session: the
  // line the tunnel starts with and the disconnect later releases, whatever
  // becomes current meanwhile. Null when no session was obtained.
  struct Session {
    core::ResultData result;
    std::shared_ptr<core::LineItem> line;
  };
  // requestSession, with the line the session was written into.
  Session obtainSession(const std::shared_ptr<core::LineItem>& line,
                        std::function<bool()> stillWanted = {});

  // Where liveness probes are started ("aliveSendQueue").
  platform::SerialQueue& aliveSendQueue() { return aliveSendQueue_; }
  // Work started on other queues that has not finished: fetches, the cycle
  // starts after them, line reports, probe starts.
  int pendingWorkCount() const { return pendingWork_.load(); }

 private:
  void fetchLines(platform::Promise<core::ResultData> resolver);
  void takeFetchedLines(const core::ResultData& result);
  void storeModel();
  void storeCurrentLine();
  void storeCurrentRegion();
  void storeIsAutoSelect();
  void reportLines(const std::vector<core::RegionsItem>& regions);
  void restoreChoice(const std::vector<core::RegionsItem>& regions);
  void startLivenessProbes(const std::vector<core::RegionsItem>& regions);
  void autoConnect();
  core::ResultData sessionFailure(std::string_view message);
  Session askForSession(const std::shared_ptr<core::LineItem>& line,
                        const std::function<bool()>& stillWanted);
  std::shared_ptr<core::LineItem> catalogueLine(std::int64_t id) const;
  static std::vector<core::RegionsItem> regionListOf(const std::optional<core::RegionsModel>& model);
  // Runs `job` on `queue`, counted in pendingWork_ until it returns.
  void runCounted(platform::Queue& queue, platform::Job job);

  core::qv_Network& network_;
  core::RemoteLog& remoteLog_;
  core::MiscInfo& session_;
  qv_ConnectionManager& connection_;
  qv_RegionModels& pingModel_;
  AliveChecker& aliveChecker_;
  platform::Defaults& defaults_;
  platform::NotificationCenter& notifications_;
  const platform::Clock& clock_;

  platform::SerialQueue aliveSendQueue_{std::string(kAliveSendQueueLabel)};
  // One section per stored field: the stores of one field never overlap.
  platform::SerialQueue modelStore_{"LinesModelCache"};
  platform::SerialQueue lineStore_{"currentLineCache"};
  platform::SerialQueue regionStore_{"currentRegionCache"};
  platform::SerialQueue autoSelectStore_{"isAutoSelect"};

  std::atomic<std::int64_t> lastUpdateTime_;
  std::atomic<bool> shouldHandlePing_{false};
  // Counts the cycles started here: the group's notification of a cycle
  // that a newer one replaced hands nothing over.
  std::atomic<std::uint64_t> pingCycle_{0};
  std::atomic<std::int64_t> reconnectCount_{0};
  std::atomic<int> pendingWork_{0};
  // The ping group outlives a cycle and may empty at any later time (when
  // the lines of a dropped cycle go); its notification checks this first.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

  mutable platform::Mutex mutex_;
  platform::Value::Dictionary jsonData_ VANDREL_GUARDED_BY(mutex_);
  std::optional<core::RegionsModel> model_ VANDREL_GUARDED_BY(mutex_);
  std::shared_ptr<core::LineItem> currentLine_ VANDREL_GUARDED_BY(mutex_);
  core::RegionsItem currentRegion_ VANDREL_GUARDED_BY(mutex_);
  bool isAutoSelect_ VANDREL_GUARDED_BY(mutex_) = true;
};

}  // namespace vandrel::connection
