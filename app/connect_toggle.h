#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "platform/sync.h"

namespace vandrel::core {
class MiscInfo;
}
namespace vandrel::platform {
class Queue;
}
namespace vandrel::connection {
class qv_ConnectionManager;
}

namespace vandrel::app {

// The main window's connect toggle: the one road from a click (or a
// "WidgetConnectDidClickNotification") to the connection manager. Each
// flow names a new attempt and then, on a background queue, connects from
// off, cancels a connecting or connected tunnel, and ignores a disconnect
// under way (the status is read again there).
//
// A flow keeps the connect id its own click made. Clicks come faster than
// the background queue runs them, so a flow whose id is no longer current
// does nothing: the newer flow decides, and the older flow's pipeline, if
// it started, is superseded by the newer id and returns nothing.
//
// Callable from any thread. Flows hold the toggle (it is shared), so it
// outlives them; the manager and the session must outlive every flow
// (pendingFlowCount() reaches 0).
class ConnectToggle : public std::enable_shared_from_this<ConnectToggle> {
 public:
  // `onSecondFailure` runs on the background queue after every second
  // counted failure (2, 4, 6, ...), before the result is handled.
  ConnectToggle(connection::qv_ConnectionManager& connection, core::MiscInfo& session,
                platform::Queue& background, std::function<void()> onSecondFailure);
  ConnectToggle(const ConnectToggle&) = delete;
  ConnectToggle& operator=(const ConnectToggle&) = delete;

  // Logs the click, makes a new connect id current and queues
  // toggleConnection on the background queue.
  void startConnectFlow();

  // Failed connects (other than the silent "ok" failures) since the last
  // reset.
  int connectFailedCount() const { return connectFailedCount_.load(); }
  void resetConnectFailedCount() { connectFailedCount_.store(0); }

  // Flows queued or running.
  int pendingFlowCount() const { return pendingFlows_.load(); }

 private:
  enum class Step { Nothing, Cancel, Connect };

  void toggleConnection(const std::string& connectId);
  // Whether the flow of `connectId` is still the newest, and what it does;
  // from off the status becomes "connecting" in the same step.
  Step decide(const std::string& connectId);
  void connectFromOff(const std::string& connectId);

  connection::qv_ConnectionManager& connection_;
  core::MiscInfo& session_;
  platform::Queue& background_;
  const std::function<void()> onSecondFailure_;
  std::atomic<int> connectFailedCount_{0};
  std::atomic<int> pendingFlows_{0};
  // Makes each flow's decision (still newest? status? off -> connecting)
  // one step, so two flows never both start from off and a superseded
  // flow never acts on the newer flow's status. Held while reading the
  // manager (whose own lock it takes inside this one, never the reverse);
  // no posting, waiting or logging under it.
  platform::Mutex decisionMutex_;
};

}  // namespace vandrel::app
