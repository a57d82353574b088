#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/app_constants.h"
#include "core/line_item.h"
#include "core/region_records.h"
#include "core/result_data.h"
#include "platform/promise.h"

namespace vandrel::core {

// The connection status. The raw values are part of the system's vocabulary.
enum class qv_ConnectStatus : std::int8_t {
  qv_on = 0,
  qv_connecting = 1,
  qv_off = 2,
  qv_disconnecting = 3,
};

// Notification names that core posts on behalf of connection control (the
// default center, no object).
inline constexpr std::string_view kVPNStatusChangeNotification = "VPNStatusChangeNotification";
inline constexpr std::string_view kModeDidChangeNotification = "ModeDidChangeNotification";
inline constexpr std::string_view kLinesDidUpdateNotification = "LinesDidUpdateNotification";

// Everything the core needs of connection control, which lives in the layer
// above. connection/ implements it and registers one process-wide instance
// at start-up (setSharedConnectionPort); core objects take a
// ConnectionPort& in their constructor, so tests hand them a fake.
//
// Every method may be called from any thread.
class ConnectionPort {
 public:
  virtual ~ConnectionPort() = default;

  // ---- Connection manager -----------------------------------------------
  // The current status (qv_connectStatus).
  virtual qv_ConnectStatus connectStatus() const = 0;
  // Sets lastConnectStatus and qv_connectStatus to `status` in one store
  // (readers never see one changed without the other). Posts nothing.
  virtual void setBothConnectStatuses(qv_ConnectStatus status) = 0;
  virtual ConnectMode connectMode() const = 0;
  // "wifi", "wwan", "offline", or "unknow" before the first report.
  virtual std::string connectNetwork() const = 0;
  // Stops the daemon's tunnel and releases the current line at the service.
  // Always fulfilled; may settle before it returns. May block the calling
  // thread on the daemon: never call it on the main thread.
  virtual platform::Promise<ResultData> stopTunnels() = 0;
  // Ends a connect under way (status "connecting") as the user's cancel
  // does: the attempt stops at its next step, the tunnel is stopped and the
  // status ends off. Returns at once.
  virtual void cancelConnectAttempt() = 0;

  // ---- Lines manager ----------------------------------------------------
  virtual std::shared_ptr<LineItem> currentLine() const = 0;
  // Assigns the current line: stores it as the cache entry
  // "currentLineCache", and the automatic line turns isAutoSelect on.
  virtual void setCurrentLine(std::shared_ptr<LineItem> line) = 0;
  virtual RegionsItem currentRegion() const = 0;
  virtual bool isAutoSelect() const = 0;
  virtual std::int64_t reconnectCount() const = 0;
  // Unix time in whole seconds of the last fetch of the region list.
  virtual void setLastUpdateTime(std::int64_t seconds) = 0;
  // Makes `region` current, stores it as "currentRegionCache", and "Smart
  // Location" turns isAutoSelect on.
  virtual void selectRegion(RegionsItem region) = 0;
  // Fetches the region list in the background and settles `resolver` with
  // the fetch's result.
  virtual void requestLines(platform::Promise<ResultData> resolver) = 0;

  // ---- User interface helpers -------------------------------------------
  // Returns at once; on the main queue dismisses the progress overlay and
  // shows a modal alert (message text `title`, informative text `message`)
  // with `button1` and, when given, `button2`; the pressed button's action
  // runs, when there is one.
  virtual void showAlert(std::string title, std::string message, std::string button1,
                         std::function<void()> action1 = {},
                         std::optional<std::string> button2 = std::nullopt,
                         std::function<void()> action2 = {}) = 0;
  // Opens the session's payment page in the web browser.
  virtual void openUpgradePage() = 0;
  // Makes the automatic region current and posts "LinesDidUpdateNotification".
  virtual void switchToSmartLocation() = 0;

  // ---- Helper tool client -----------------------------------------------
  // The bundle's "Vandrel-server-daemon" resource, or none.
  virtual std::optional<std::string> goServicePath() const = 0;
  // Asks the helper tool for its debug information; `callback` runs once,
  // on some thread, with the reply or the error's description.
  virtual void debugInfoCallBack(std::function<void(std::optional<std::string>)> callback) = 0;
};

// The process-wide port that the shared core objects use. Set once at
// start-up, before the first shared() of a core object that needs it; the
// port must live for the rest of the process.
void setSharedConnectionPort(ConnectionPort* port);
// The registered port; aborts with a message when none was registered.
ConnectionPort& sharedConnectionPort();

}  // namespace vandrel::core
