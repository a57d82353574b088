#pragma once

// Fakes of the connect road's outer parts, for its scenario tests and its
// benchmark: the helper (replies late, wrong or never), the user in front
// of the alerts, and a road over objects the caller made.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "connection/accel_accel_service_client.h"
#include "connection/alert_helpers.h"
#include "connection/connect_road.h"
#include "connection/daemon_manager.h"
#include "connection/helper_client.h"
#include "connection/lines_manager.h"
#include "core/misc_info.h"
#include "core/qv_connect_log.h"
#include "core/qv_network.h"
#include "core/static_data.h"
#include "helper/helper_text.h"
#include "platform/dispatch.h"
#include "platform/process.h"
#include "tests/connection/fake_line_ping_manager.h"

namespace vandrel::connection::testing_support {

using core::ResultData;

// The helper as the road sees it, played by the test. Each command answers
// with its scripted reply (nil by default, "1024" for the version), on a
// serial queue of its own as the real client does; a command can be held
// (answered on release) or never answered at all.
class FakeHelper final : public HelperClient {
 public:
  FakeHelper() { script("checkDaemon", std::string("1024")); }
  ~FakeHelper() override {
    replies_.sync([] {});
  }

  // ---- Script -------------------------------------------------------------
  // Commands: "checkDaemon", "checkAndLoad", "reloadAndClear",
  // "deleteRoutes", "debugInfo".
  void script(const std::string& command, std::optional<std::string> reply) {
    std::lock_guard lock(mutex_);
    replies_of_[command] = std::move(reply);
  }
  void hold(const std::string& command) {
    std::lock_guard lock(mutex_);
    held_.insert({command, {}});
  }
  void neverAnswer(const std::string& command) {
    std::lock_guard lock(mutex_);
    silent_.push_back(command);
  }
  // Answers the held calls of `command` with its script, and stops holding.
  void release(const std::string& command) {
    std::vector<StringCallBack> callBacks;
    std::optional<std::string> reply;
    {
      std::lock_guard lock(mutex_);
      auto it = held_.find(command);
      if (it == held_.end()) return;
      callBacks = std::move(it->second);
      held_.erase(it);
      reply = replies_of_[command];
    }
    for (auto& callBack : callBacks) deliver(std::move(callBack), reply);
  }
  void setRegisterReply(std::string reply) {
    std::lock_guard lock(mutex_);
    registerReply_ = std::move(reply);
  }
  void setCommandResult(CommandResult result) {
    std::lock_guard lock(mutex_);
    commandResult_ = std::move(result);
  }
  void setGoServicePath(std::optional<std::string> path) {
    std::lock_guard lock(mutex_);
    goServicePath_ = std::move(path);
  }

  // ---- Records --------------------------------------------------------------
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int count(const std::string& command) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(calls_.begin(), calls_.end(), command));
  }
  std::vector<std::vector<std::string>> registeredRoutes() const {
    std::lock_guard lock(mutex_);
    return registered_;
  }
  std::vector<std::vector<std::string>> deletedRoutes() const {
    std::lock_guard lock(mutex_);
    return deleted_;
  }
  std::vector<std::string> commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
  }
  // Waits until every reply delivered so far has run.
  void flush() {
    replies_.sync([] {});
  }
  // Waits (polling, `timeout`) until `command` was called `n` times; for
  // commands that are not sent from the main queue.
  ::testing::AssertionResult waitForCalls(const std::string& command, int n,
                                          std::chrono::milliseconds timeout = 10s) const {
    return eventually([&] { return count(command) >= n; }, timeout, command.c_str());
  }

  // ---- HelperClient -----------------------------------------------------------
  std::int32_t authorizationStatus() const override { return status_.load(); }
  void setAuthorizationStatus(std::int32_t status) override { status_.store(status); }
  void registerDaemon(std::function<void(std::string)> callBack, platform::Queue& queue) override {
    std::string reply;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back("registerDaemon");
      reply = registerReply_;
    }
    queue.async([callBack = std::move(callBack), reply] { callBack(reply); });
  }
  void checkDaemonCallBack(StringCallBack callBack) override {
    command("checkDaemon", std::move(callBack));
  }
  void checkAndLoad(StringCallBack callBack) override {
    command("checkAndLoad", std::move(callBack));
  }
  void reloadAndClear(StringCallBack callBack) override {
    command("reloadAndClear", std::move(callBack));
  }
  void deleteRoutes(std::vector<std::string> routes, StringCallBack callBack) override {
    {
      std::lock_guard lock(mutex_);
      deleted_.push_back(routes);
    }
    command("deleteRoutes", std::move(callBack));
  }
  void debugInfoCallBack(StringCallBack callBack) override {
    command("debugInfo", std::move(callBack));
  }
  void deleteRoutesWhenAppKilled(std::vector<std::string> routes) override {
    std::lock_guard lock(mutex_);
    calls_.push_back("deleteRoutesWhenAppKilled");
    registered_.push_back(std::move(routes));
  }
  CommandResult runSystemCommand(const std::string& command) override {
    std::lock_guard lock(mutex_);
    commands_.push_back(command);
    return commandResult_;
  }
  std::optional<std::string> goServicePath() const override {
    std::lock_guard lock(mutex_);
    return goServicePath_;
  }

 private:
  void command(const std::string& name, StringCallBack callBack) {
    std::optional<std::string> reply;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(name);
      if (std::find(silent_.begin(), silent_.end(), name) != silent_.end()) return;
      if (auto it = held_.find(name); it != held_.end()) {
        it->second.push_back(std::move(callBack));
        return;
      }
      reply = replies_of_[name];
    }
    deliver(std::move(callBack), reply);
  }
  void deliver(StringCallBack callBack, std::optional<std::string> reply) {
    if (!callBack) return;
    replies_.async([callBack = std::move(callBack), reply] { callBack(reply); });
  }

  mutable std::mutex mutex_;
  std::atomic<std::int32_t> status_{DaemonRegister::kStatusUnknown};
  std::map<std::string, std::optional<std::string>> replies_of_;
  std::map<std::string, std::vector<StringCallBack>> held_;
  std::vector<std::string> silent_;
  std::string registerReply_ = "success";
  CommandResult commandResult_{0, "None"};
  std::optional<std::string> goServicePath_ = std::string("/opt/Vandrel App/Vandrel-server-daemon");
  std::vector<std::string> calls_;
  std::vector<std::vector<std::string>> registered_;
  std::vector<std::vector<std::string>> deleted_;
  std::vector<std::string> commands_;
  platform::SerialQueue replies_{"fake helper replies"};
};

// The alerts as the user would see them; each ends with the response
// scripted for its title (none scripted: closed without a choice).
class RecordingPresenter final : public AlertPresenter {
 public:
  // Runs on the main thread before each answer: a user reads first.
  void setBeforeAnswer(std::function<void()> read) {
    std::lock_guard lock(mutex_);
    read_ = std::move(read);
  }
  void answer(const std::string& title, std::int64_t response) {
    std::lock_guard lock(mutex_);
    responses_[title] = response;
  }
  std::vector<AlertContent> alerts() const {
    std::lock_guard lock(mutex_);
    return alerts_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    alerts_.clear();
  }
  std::size_t count(const std::string& title) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        alerts_.begin(), alerts_.end(), [&](const AlertContent& a) { return a.title == title; }));
  }
  std::vector<std::string> titles() const {
    std::vector<std::string> titles;
    for (const auto& alert : alerts()) titles.push_back(alert.title);
    return titles;
  }
  void dismissProgressHUD() override {}
  std::int64_t runModal(const AlertContent& alert) override {
    std::function<void()> read;
    {
      std::lock_guard lock(mutex_);
      alerts_.push_back(alert);
      read = read_;
    }
    if (read) read();
    std::lock_guard lock(mutex_);
    auto it = responses_.find(alert.title);
    return it == responses_.end() ? 0 : it->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::int64_t> responses_;
  std::function<void()> read_;
  std::vector<AlertContent> alerts_;
};

// The road over the test's own objects.
class TestRoad final : public ConnectRoad {
 public:
  struct Parts {
    core::MiscInfo* session;
    core::StaticData* staticData;
    core::qv_Network* network;
    LinesManager* lines;
    DaemonManager* daemonManager;
    AccelCalls* accel;
    HelperClient* helper;
    core::qv_ConnectLog* connectLog;
    AlertHelpers* alerts;
  };
  explicit TestRoad(Parts parts) : p_(parts) {}

  bool isForbiddenArea() override { return p_.session->isForbiddenArea(); }
  std::optional<core::MiscInfoModel> accountModel() override { return p_.session->model(); }
  platform::Promise<ResultData> signInAgain() override {
    return p_.session->login(std::nullopt, std::nullopt, core::LoginAuthType::username, "", "");
  }
  platform::Promise<ResultData> refreshAccount() override { return p_.session->updateMiscInfo(-1); }
  void dropConnectLog() override { ++drops_; }
  bool isAgreeTerms() override { return p_.staticData->isAgreeTerms(); }
  void setIsAgreeTerms(bool agreed) override { p_.staticData->setIsAgreeTerms(agreed); }
  void disconnectLine(const std::shared_ptr<core::LineItem>& line) override {
    (void)p_.network->disconnectLine(line);
  }
  void openLink(const std::string& url) override {
    std::lock_guard lock(mutex_);
    links_.push_back(url);
  }
  AlertHelpers& alerts() override { return *p_.alerts; }
  LinesManager& lines() override { return *p_.lines; }
  DaemonManager& daemonManager() override { return *p_.daemonManager; }
  AccelCalls& accel() override { return *p_.accel; }
  HelperClient& helper() override { return *p_.helper; }
  core::qv_ConnectLog& connectLog() override { return *p_.connectLog; }

  int drops() const { return drops_.load(); }
  std::vector<std::string> links() const {
    std::lock_guard lock(mutex_);
    return links_;
  }

 private:
  Parts p_;
  std::atomic<int> drops_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> links_;
};

// bash -c `command` with the fixed PATH, as the helper client runs it.
inline CommandResult runShellCommand(const std::string& command) {
  auto out = platform::ProcessRunner::system().runShell(command);
  if (!out.ok()) return CommandResult{-1, "None"};
  return CommandResult{out.value().exitCode, helper::outputOrNone(out.value().standardOutput)};
}

inline const char* const kSessionPath = "/api/2/line/connect/0";

// A session on catalogue line 11 (Tokyo 1) with an SS configuration.
inline std::string sessionReply(const std::string& config =
                                    R"({"SSConf":{"server":"203.0.113.7","port":8388,)"
                                    R"("password":"pw","method":"chacha20"}})") {
  return R"({"status":"ok","code":0,"lineID":11,"boostSession":"bs-1","config":)" + config + "}";
}

}  // namespace vandrel::connection::testing_support
