#include "connection/qv_line_model.h"

#include <cmath>
#include <limits>
#include <utility>

#include "connection/dictionary_reading.h"
#include "connection/qv_connection_manager.h"
#include "core/app_constants.h"
#include "core/log_util.h"
#include "ping/qv_ping_mannager.h"
#include "platform/check.h"
#include "platform/defaults.h"

namespace vandrel::connection {

using platform::MutexLock;
using platform::Value;

namespace {

using dictionary_reading::integerAt;
using dictionary_reading::textAt;

std::optional<Value> numberAt(const Value::Dictionary& dictionary, std::string_view key) {
  const auto it = dictionary.find(std::string(key));
  if (it == dictionary.end() || !it->second.asNumber()) return std::nullopt;
  return it->second;
}

// Truncation to an integer, as the dictionaries carry figures.
std::int64_t truncated(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (value <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

}  // namespace

// ---- PingMannagerAdapter ---------------------------------------------------

PingMannagerAdapter::PingMannagerAdapter(std::shared_ptr<ping::qv_PingMannager> manager)
    : manager_(std::move(manager)) {
  VANDREL_CHECK(manager_ != nullptr, "PingMannagerAdapter needs a manager");
}

bool PingMannagerAdapter::isInMemoryWarningPause() { return manager_->isInMemoryWarningPause(); }
std::shared_ptr<ping::qv_Ping> PingMannagerAdapter::makePing() {
  return std::make_shared<ping::qv_Ping>();
}
void PingMannagerAdapter::add(const std::shared_ptr<ping::qv_Ping>& ping) { manager_->qv_add(ping); }
void PingMannagerAdapter::setupAll(std::function<void()> completion) {
  manager_->setupAll(std::move(completion));
}
void PingMannagerAdapter::setTimeout(double seconds) { manager_->setQv_timeout(seconds); }
void PingMannagerAdapter::setPingPeriod(double seconds) { manager_->setQv_pingPeriod(seconds); }
void PingMannagerAdapter::startPinging() { manager_->startPinging(); }
void PingMannagerAdapter::stopPinging() { manager_->stopPinging(); }
bool PingMannagerAdapter::isPinging() const { return manager_->qv_isPinging(); }

// ---- qv_LineModel ----------------------------------------------------------

qv_LineModel::qv_LineModel(std::shared_ptr<LinePingEnvironment> environment)
    : environment_(std::move(environment)) {
  VANDREL_CHECK(environment_ != nullptr, "qv_LineModel needs its environment");
}

qv_LineModel::~qv_LineModel() {
  std::shared_ptr<ping::qv_Ping> ping;
  std::shared_ptr<platform::Group> cycleGroup;
  {
    MutexLock lock(mutex_);
    ping = std::move(ping_);
    cycleGroup = std::move(cycleGroup_);
  }
  if (ping == nullptr) return;
  environment_->linePingGroup.leave();
  if (cycleGroup) cycleGroup->leave();
}

std::shared_ptr<qv_LineModel> qv_LineModel::init(const Value::Dictionary& regionLine,
                                                 std::shared_ptr<LinePingEnvironment> environment) {
  const std::string* name = textAt(regionLine, "name");
  const std::string* location = textAt(regionLine, "location");
  const std::optional<std::int64_t> id = integerAt(regionLine, "id");
  const std::string* ipaddr = textAt(regionLine, "ipaddr");
  if (ipaddr == nullptr) ipaddr = textAt(regionLine, "iPAddr");
  if (name == nullptr || location == nullptr || !id || ipaddr == nullptr) return nullptr;

  auto line = std::make_shared<qv_LineModel>(std::move(environment));
  MutexLock lock(line->mutex_);
  Fields& f = line->fields_;
  f.qv_name = *name;
  f.qv_load = numberAt(regionLine, "load");
  f.qv_location = *location;
  const std::string* mode = textAt(regionLine, "mode");
  f.qv_mode = mode ? *mode : "";
  f.qv_id = *id;
  f.qv_detectPort = integerAt(regionLine, "detectPort").value_or(-1);
  f.qv_ipaddr = *ipaddr;
  const auto isPrivate = regionLine.find("private");
  f.qv_isPrivate = isPrivate != regionLine.end() && isPrivate->second.asBool().value_or(false);
  return line;
}

Value::Dictionary qv_LineModel::toDictionary() const {
  const Fields f = fields();
  const double pingTime = qv_pingTime();
  Value::Dictionary dictionary{
      {"ipaddr", f.qv_ipaddr},
      {"private", f.qv_isPrivate},
      {"location", f.qv_location},
      {"id", f.qv_id},
      {"name", f.qv_name},
      {"mode", f.qv_mode},
      {"protocol", f.qv_proto},
      {"detectPort", f.qv_detectPort},
      {"pingTime", truncated(pingTime)},
      {"packetLoss", truncated(f.qv_packetLoss)},
  };
  if (f.qv_load) dictionary.emplace("load", *f.qv_load);
  return dictionary;
}

qv_LineModel::Fields qv_LineModel::fields() const {
  MutexLock lock(mutex_);
  return fields_;
}

void qv_LineModel::update(const std::function<void(Fields&)>& mutate) {
  MutexLock lock(mutex_);
  mutate(fields_);
}

std::shared_ptr<ping::qv_Ping> qv_LineModel::qv_ping() const {
  MutexLock lock(mutex_);
  return ping_;
}

double qv_LineModel::qv_pingTime() const { return storedPingTime(); }

double qv_LineModel::storedPingTime() const {
  std::int64_t id;
  {
    MutexLock lock(mutex_);
    id = fields_.qv_id;
  }
  const auto stored = environment_->defaults.getDictionary(kLineModelPingTimeDicKey);
  if (!stored) return kUnmeasured;
  const auto it = stored->find(std::to_string(id));
  if (it == stored->end()) return kUnmeasured;
  return it->second.asNumber().value_or(kUnmeasured);
}

void qv_LineModel::setQv_pingTime(double ms) {
  std::int64_t id;
  {
    MutexLock lock(mutex_);
    id = fields_.qv_id;
  }
  LinePingEnvironment& env = *environment_;
  env.setPingQueue.sync([&env, id, ms] {
    Value::Dictionary stored =
        env.defaults.getDictionary(kLineModelPingTimeDicKey).value_or(Value::Dictionary{});
    stored[std::to_string(id)] = ms;
    env.defaults.set(kLineModelPingTimeDicKey, std::move(stored));
  });
}

std::shared_ptr<ping::qv_Ping> qv_LineModel::prepareCycle(
    LinePingManager& manager, const std::shared_ptr<platform::Group>& cycleGroup) {
  std::string address;
  {
    MutexLock lock(mutex_);
    if (ping_) return ping_;
    address = fields_.qv_ipaddr;
  }
  if (!core::isIP(address)) return nullptr;
  std::shared_ptr<ping::qv_Ping> ping = manager.makePing();
  ping->setQv_delegate(weak_from_this());
  ping->setQv_host(address);
  environment_->linePingGroup.enter();
  cycleGroup->enter();
  MutexLock lock(mutex_);
  ping_ = ping;
  cycleGroup_ = cycleGroup;
  fields_.qv_newPingTime = 0;
  fields_.qv_pingCount = 0;
  fields_.qv_packetLossCount = 0;
  return ping;
}

void qv_LineModel::finishIfSetupFailed() {
  std::shared_ptr<ping::qv_Ping> ping = qv_ping();
  if (ping && !ping->qv_isPinging()) stopPingAction();
}

// ---- delegate ----------------------------------------------------------------

void qv_LineModel::qv_stop(ping::qv_Ping&) { stopPingAction(); }

void qv_LineModel::qv_didFailWithError(ping::qv_Ping&, const platform::Error&) {
  stopPingAction();
}

void qv_LineModel::qv_didTimeoutWith(ping::qv_Ping&, const ping::qv_PingResult& result) {
  countResult(result);
}

void qv_LineModel::qv_didReceiveReplyWith(ping::qv_Ping&, const ping::qv_PingResult& result) {
  countResult(result);
}

void qv_LineModel::qv_didReceiveUnexpectedReplyWith(ping::qv_Ping&,
                                                    const ping::qv_PingResult& result) {
  countResult(result);
}

void qv_LineModel::countResult(const ping::qv_PingResult& result) {
  const core::qv_ConnectStatus status = environment_->connection.qv_connectStatus();
  if (status != core::qv_ConnectStatus::qv_off &&
      status != core::qv_ConnectStatus::qv_disconnecting) {
    // No pings are measured while a tunnel is up or coming up.
    if (auto ping = qv_ping()) ping->stop();
    return;
  }
  if (result.qv_pingStatus() != ping::qv_PingStatus::qv_success) {
    MutexLock lock(mutex_);
    ++fields_.qv_packetLossCount;
    return;
  }
  const std::int64_t ms = truncated(result.qv_time() * 1000.0);
  std::string name;
  {
    MutexLock lock(mutex_);
    fields_.qv_newPingTime += static_cast<double>(ms);
    ++fields_.qv_pingCount;
    name = fields_.qv_name;
  }
  core::LogUtil::debug("----- name: " + name + ", ping: " + std::to_string(ms) + " ms");
}

void qv_LineModel::stopPingAction() {
  std::shared_ptr<ping::qv_Ping> ping;
  std::shared_ptr<platform::Group> cycleGroup;
  std::string name;
  {
    MutexLock lock(mutex_);
    ping = std::move(ping_);
    ping_ = nullptr;
    cycleGroup = std::move(cycleGroup_);
    cycleGroup_ = nullptr;
    name = fields_.qv_name;
  }
  if (!ping) {
    // A second stop for the same cycle: nothing to record, no group to leave.
    core::LogUtil::reportError(name + " stopPingAction is nil");
    return;
  }
  ping->stop();
  ping->setQv_delegate({});

  const double stored = storedPingTime();
  double result;
  {
    MutexLock lock(mutex_);
    Fields& f = fields_;
    if (f.qv_pingCount == 0) {
      // A stored 0 counts as none.
      result = stored == 0 ? kUnmeasured : stored;
    } else {
      result = f.qv_newPingTime / static_cast<double>(f.qv_pingCount);
      f.qv_packetLoss = static_cast<double>(f.qv_packetLossCount) /
                        static_cast<double>(f.qv_pingCount + f.qv_packetLossCount);
    }
    f.qv_newPingTime = result;
  }
  setQv_pingTime(result);
  environment_->linePingGroup.leave();
  if (cycleGroup) cycleGroup->leave();
}

// ---- qv_RegionLinesModel ---------------------------------------------------

std::optional<qv_RegionLinesModel> qv_RegionLinesModel::init(
    const Value::Dictionary& dictionary, const std::shared_ptr<LinePingEnvironment>& environment) {
  const std::string* icon = textAt(dictionary, "icon");
  if (icon == nullptr) icon = textAt(dictionary, "iconUrl");
  const std::string* name = textAt(dictionary, "name");
  if (name == nullptr) name = textAt(dictionary, "region");
  const std::string* code = textAt(dictionary, "code");
  if (icon == nullptr || name == nullptr || code == nullptr) return std::nullopt;

  qv_RegionLinesModel region{*code, *icon, *name, {}};
  const auto lines = dictionary.find("lines");
  if (lines == dictionary.end() || lines->second.asArray() == nullptr) return region;
  for (const Value& element : *lines->second.asArray()) {
    const Value::Dictionary* lineDictionary = element.asDictionary();
    if (lineDictionary == nullptr) continue;
    if (auto line = qv_LineModel::init(*lineDictionary, environment)) {
      region.qv_lines.push_back(std::move(line));
    }
  }
  return region;
}

Value::Dictionary qv_RegionLinesModel::toDictionary() const {
  Value::Array lines;
  lines.reserve(qv_lines.size());
  for (const auto& line : qv_lines) lines.emplace_back(line->toDictionary());
  return Value::Dictionary{
      {"code", qv_code}, {"icon", qv_icon}, {"name", qv_name}, {"lines", std::move(lines)}};
}

// ---- qv_RegionModels -------------------------------------------------------

qv_RegionModels& qv_RegionModels::shared() {
  // Leaked: cycles and late ping callbacks may run until the process ends.
  static qv_RegionModels* const instance = new qv_RegionModels(
      std::make_shared<PingMannagerAdapter>(ping::qv_PingMannager::qv_shared()),
      qv_ConnectionManager::shared(), platform::Defaults::standard(),
      platform::Scheduler::system());
  return *instance;
}

qv_RegionModels::qv_RegionModels(std::shared_ptr<LinePingManager> manager,
                                 const qv_ConnectionManager& connection,
                                 platform::Defaults& defaults, platform::Scheduler& scheduler)
    : manager_(std::move(manager)),
      environment_(std::make_shared<LinePingEnvironment>(defaults, connection)),
      scheduler_(scheduler) {
  VANDREL_CHECK(manager_ != nullptr, "qv_RegionModels needs a ping manager");
}

void qv_RegionModels::setFinishPing(FinishPing finish) {
  MutexLock lock(mutex_);
  finish_ = std::move(finish);
}

std::vector<qv_RegionLinesModel> qv_RegionModels::qv_models() const {
  MutexLock lock(mutex_);
  return models_;
}

void qv_RegionModels::setQv_models(std::vector<qv_RegionLinesModel> models) {
  MutexLock lock(mutex_);
  models_ = std::move(models);
}

std::vector<qv_RegionLinesModel> qv_RegionModels::qv_vdr_models() const {
  MutexLock lock(mutex_);
  return vdrModels_;
}

void qv_RegionModels::setQv_vdr_models(std::vector<qv_RegionLinesModel> models) {
  std::vector<qv_RegionLinesModel> old;
  {
    MutexLock lock(mutex_);
    old = std::exchange(vdrModels_, std::move(models));
  }
  // Lines dropped here may leave the ping group: outside the lock.
  old.clear();
}

std::vector<qv_RegionLinesModel> qv_RegionModels::regionsFrom(
    const std::vector<Value::Dictionary>& dictionaries) const {
  std::vector<qv_RegionLinesModel> regions;
  for (const auto& dictionary : dictionaries) {
    if (auto region = qv_RegionLinesModel::init(dictionary, environment_)) {
      regions.push_back(std::move(*region));
    }
  }
  return regions;
}

void qv_RegionModels::pingAllLines() {
  std::vector<qv_RegionLinesModel> models = qv_models();
  std::vector<qv_RegionLinesModel> vdrModels = qv_vdr_models();
  if (manager_->isInMemoryWarningPause() && models.empty() && vdrModels.empty()) return;

  // A list of one region is not pinged.
  const std::vector<qv_RegionLinesModel>* chosen = nullptr;
  if (models.size() >= 2) {
    chosen = &models;
  } else if (vdrModels.size() >= 2) {
    chosen = &vdrModels;
  }
  const std::uint64_t cycle = ++cycle_;
  auto cycleGroup = std::make_shared<platform::Group>();
  std::vector<std::shared_ptr<qv_LineModel>> started;
  if (chosen != nullptr) {
    for (const auto& region : *chosen) {
      for (const auto& line : region.qv_lines) {
        if (auto ping = line->prepareCycle(*manager_, cycleGroup)) {
          manager_->add(ping);
          started.push_back(line);
        }
      }
    }
  }
  manager_->setupAll([this, cycle, started = std::move(started), cycleGroup] {
    onSetupDone(cycle, started, cycleGroup);
  });
}

void qv_RegionModels::onSetupDone(std::uint64_t cycle,
                                  const std::vector<std::shared_ptr<qv_LineModel>>& lines,
                                  const std::shared_ptr<platform::Group>& cycleGroup) {
  // A pinger whose set-up failed has left the run without a stop: its line
  // would otherwise hold the process-wide group for ever.
  for (const auto& line : lines) line->finishIfSetupFailed();
  manager_->setTimeout(kCyclePingTimeout);
  manager_->setPingPeriod(kCyclePingPeriod);
  manager_->startPinging();
  scheduler_.schedule(kCycleStopDelay, platform::globalQueue(),
                      [this, cycle, cycleGroup] { stopAndHandOver(cycle, cycleGroup); });
}

void qv_RegionModels::stopAndHandOver(std::uint64_t cycle,
                                      const std::shared_ptr<platform::Group>& cycleGroup) {
  // A newer cycle has started: stopping now would cut it short, and it
  // hands its own figures over.
  if (cycle != cycle_.load()) return;
  if (manager_->isPinging()) manager_->stopPinging();
  // The stops reach the lines asynchronously; handing over before their
  // bookkeeping would apply the previous cycle's figures. Bounded: a stop
  // that never comes delays the hand-over, never blocks it.
  if (!cycleGroup->wait(kStopBookkeepingWait)) {
    core::LogUtil::debug("[ping] stop bookkeeping still pending, handing over");
  }
  FinishPing finish;
  {
    MutexLock lock(mutex_);
    finish = finish_;
  }
  if (finish) finish();
}

}  // namespace vandrel::connection
