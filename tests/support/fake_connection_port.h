#pragma once

// A ConnectionPort for core tests: plain fields to set the answers, and a
// record of what the core asked for. Thread-safe; fresh per test.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/connection_port.h"
#include "platform/dispatch.h"
#include "platform/sync.h"

namespace vandrel::test_support {

class FakeConnectionPort final : public core::ConnectionPort {
 public:
  struct Alert {
    std::string title;
    std::string message;
    std::string button1;
    std::function<void()> action1;
    std::optional<std::string> button2;
    std::function<void()> action2;
  };

  // ---- Answers ------------------------------------------------------------
  void setConnectStatus(core::qv_ConnectStatus status) {
    platform::MutexLock lock(mutex_);
    current_ = status;
  }
  void setConnectMode(core::ConnectMode mode) {
    platform::MutexLock lock(mutex_);
    mode_ = mode;
  }
  void setConnectNetwork(std::string network) {
    platform::MutexLock lock(mutex_);
    network_ = std::move(network);
  }
  // What the next stopTunnels() returns; default: already resolved success.
  void setStopResult(platform::Promise<core::ResultData> result) {
    platform::MutexLock lock(mutex_);
    stopResult_ = std::move(result);
  }
  void setCurrentRegionValue(core::RegionsItem region) {
    platform::MutexLock lock(mutex_);
    region_ = std::move(region);
  }
  void setAutoSelect(bool value) {
    platform::MutexLock lock(mutex_);
    autoSelect_ = value;
  }
  void setReconnectCountValue(std::int64_t value) {
    platform::MutexLock lock(mutex_);
    reconnectCount_ = value;
  }
  void setGoServicePathValue(std::optional<std::string> path) {
    platform::MutexLock lock(mutex_);
    goServicePath_ = std::move(path);
  }
  void setDebugInfoReply(std::optional<std::string> reply) {
    platform::MutexLock lock(mutex_);
    debugInfoReply_ = std::move(reply);
  }

  // ---- Records --------------------------------------------------------------
  core::qv_ConnectStatus lastConnectStatus() const {
    platform::MutexLock lock(mutex_);
    return last_;
  }
  int cancelConnectAttemptCalls() const {
    platform::MutexLock lock(mutex_);
    return cancelConnectAttemptCalls_;
  }
  int stopTunnelsCalls() const {
    platform::MutexLock lock(mutex_);
    return stopTunnelsCalls_;
  }
  // Calls of stopTunnels made on the main thread (the real one may block).
  int stopTunnelsCallsOnMainThread() const {
    platform::MutexLock lock(mutex_);
    return stopTunnelsOnMainThread_;
  }
  std::vector<std::shared_ptr<core::LineItem>> assignedLines() const {
    platform::MutexLock lock(mutex_);
    return assignedLines_;
  }
  std::vector<core::RegionsItem> selectedRegions() const {
    platform::MutexLock lock(mutex_);
    return selectedRegions_;
  }
  std::vector<std::int64_t> lastUpdateTimes() const {
    platform::MutexLock lock(mutex_);
    return lastUpdateTimes_;
  }
  std::vector<platform::Promise<core::ResultData>> lineRequests() const {
    platform::MutexLock lock(mutex_);
    return lineRequests_;
  }
  std::vector<Alert> alerts() const {
    platform::MutexLock lock(mutex_);
    return alerts_;
  }
  int upgradePageOpens() const {
    platform::MutexLock lock(mutex_);
    return upgradePageOpens_;
  }
  int smartLocationSwitches() const {
    platform::MutexLock lock(mutex_);
    return smartLocationSwitches_;
  }

  // ---- ConnectionPort -------------------------------------------------------
  core::qv_ConnectStatus connectStatus() const override {
    platform::MutexLock lock(mutex_);
    return current_;
  }
  void setBothConnectStatuses(core::qv_ConnectStatus status) override {
    platform::MutexLock lock(mutex_);
    last_ = status;
    current_ = status;
  }
  core::ConnectMode connectMode() const override {
    platform::MutexLock lock(mutex_);
    return mode_;
  }
  std::string connectNetwork() const override {
    platform::MutexLock lock(mutex_);
    return network_;
  }
  platform::Promise<core::ResultData> stopTunnels() override {
    const bool onMainThread = platform::isMainThread();
    platform::MutexLock lock(mutex_);
    ++stopTunnelsCalls_;
    if (onMainThread) ++stopTunnelsOnMainThread_;
    return stopResult_;
  }
  void cancelConnectAttempt() override {
    platform::MutexLock lock(mutex_);
    ++cancelConnectAttemptCalls_;
  }
  std::shared_ptr<core::LineItem> currentLine() const override {
    platform::MutexLock lock(mutex_);
    return line_;
  }
  void setCurrentLine(std::shared_ptr<core::LineItem> line) override {
    platform::MutexLock lock(mutex_);
    assignedLines_.push_back(line);
    if (line && line->isAutomatic()) autoSelect_ = true;
    line_ = std::move(line);
  }
  core::RegionsItem currentRegion() const override {
    platform::MutexLock lock(mutex_);
    return region_;
  }
  bool isAutoSelect() const override {
    platform::MutexLock lock(mutex_);
    return autoSelect_;
  }
  std::int64_t reconnectCount() const override {
    platform::MutexLock lock(mutex_);
    return reconnectCount_;
  }
  void setLastUpdateTime(std::int64_t seconds) override {
    platform::MutexLock lock(mutex_);
    lastUpdateTimes_.push_back(seconds);
  }
  void selectRegion(core::RegionsItem region) override {
    platform::MutexLock lock(mutex_);
    if (region.name == "Smart Location") autoSelect_ = true;
    selectedRegions_.push_back(region);
    region_ = std::move(region);
  }
  void requestLines(platform::Promise<core::ResultData> resolver) override {
    platform::MutexLock lock(mutex_);
    lineRequests_.push_back(std::move(resolver));
  }
  void showAlert(std::string title, std::string message, std::string button1,
                 std::function<void()> action1, std::optional<std::string> button2,
                 std::function<void()> action2) override {
    platform::MutexLock lock(mutex_);
    alerts_.push_back(Alert{std::move(title), std::move(message), std::move(button1),
                            std::move(action1), std::move(button2), std::move(action2)});
  }
  void openUpgradePage() override {
    platform::MutexLock lock(mutex_);
    ++upgradePageOpens_;
  }
  void switchToSmartLocation() override {
    platform::MutexLock lock(mutex_);
    ++smartLocationSwitches_;
  }
  std::optional<std::string> goServicePath() const override {
    platform::MutexLock lock(mutex_);
    return goServicePath_;
  }
  void debugInfoCallBack(std::function<void(std::optional<std::string>)> callback) override {
    std::optional<std::string> reply;
    {
      platform::MutexLock lock(mutex_);
      reply = debugInfoReply_;
    }
    callback(std::move(reply));
  }

 private:
  mutable platform::Mutex mutex_;
  core::qv_ConnectStatus last_ VANDREL_GUARDED_BY(mutex_) = core::qv_ConnectStatus::qv_off;
  core::qv_ConnectStatus current_ VANDREL_GUARDED_BY(mutex_) = core::qv_ConnectStatus::qv_off;
  core::ConnectMode mode_ VANDREL_GUARDED_BY(mutex_) = core::ConnectMode::app;
  std::string network_ VANDREL_GUARDED_BY(mutex_) = "unknow";
  platform::Promise<core::ResultData> stopResult_ VANDREL_GUARDED_BY(mutex_) =
      platform::Promise<core::ResultData>::resolved(core::ResultData::success());
  int stopTunnelsCalls_ VANDREL_GUARDED_BY(mutex_) = 0;
  int cancelConnectAttemptCalls_ VANDREL_GUARDED_BY(mutex_) = 0;
  int stopTunnelsOnMainThread_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::shared_ptr<core::LineItem> line_ VANDREL_GUARDED_BY(mutex_) =
      core::LineItem::automaticLine();
  std::vector<std::shared_ptr<core::LineItem>> assignedLines_ VANDREL_GUARDED_BY(mutex_);
  core::RegionsItem region_ VANDREL_GUARDED_BY(mutex_);
  std::vector<core::RegionsItem> selectedRegions_ VANDREL_GUARDED_BY(mutex_);
  bool autoSelect_ VANDREL_GUARDED_BY(mutex_) = true;
  std::int64_t reconnectCount_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::vector<std::int64_t> lastUpdateTimes_ VANDREL_GUARDED_BY(mutex_);
  std::vector<platform::Promise<core::ResultData>> lineRequests_ VANDREL_GUARDED_BY(mutex_);
  std::vector<Alert> alerts_ VANDREL_GUARDED_BY(mutex_);
  int upgradePageOpens_ VANDREL_GUARDED_BY(mutex_) = 0;
  int smartLocationSwitches_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::optional<std::string> goServicePath_ VANDREL_GUARDED_BY(mutex_);
  std::optional<std::string> debugInfoReply_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::test_support
