#include "connection/lines_manager.h"

#include <cmath>
#include <cstdio>
#include <thread>
#include <utility>

#include "connection/alive_checker.h"
#include "connection/qv_connection_manager.h"
#include "connection/qv_line_model.h"
#include "core/connection_port.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/model_cache.h"
#include "core/qv_network.h"
#include "core/remote_log.h"
#include "core/result_model.h"
#include "platform/clock.h"
#include "platform/defaults.h"
#include "platform/notification_center.h"

namespace vandrel::connection {

using core::LineItem;
using core::LogUtil;
using core::RegionsItem;
using core::RegionsModel;
using core::ResultData;
using platform::MutexLock;
using platform::Promise;
using platform::Value;

namespace {

std::int64_t nowSeconds(const platform::Clock& clock) {
  return static_cast<std::int64_t>(std::trunc(clock.secondsSince1970()));
}

// The value under `key` when it is a list whose every element is a
// dictionary.
std::optional<std::vector<Value::Dictionary>> dictionaryList(const Value::Dictionary& data,
                                                             std::string_view key) {
  const auto it = data.find(std::string(key));
  if (it == data.end() || it->second.asArray() == nullptr) return std::nullopt;
  std::vector<Value::Dictionary> list;
  for (const Value& element : *it->second.asArray()) {
    const Value::Dictionary* dictionary = element.asDictionary();
    if (dictionary == nullptr) return std::nullopt;
    list.push_back(*dictionary);
  }
  return list;
}

// A line of the system log (standard error here), not of the application's.
void systemLog(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

}  // namespace

RegionsItem defaultRegion() {
  RegionsItem region;
  region.icon = std::string(kSmartLocationIcon);
  region.name = std::string(kSmartLocationName);
  region.lines = std::vector<std::shared_ptr<LineItem>>{LineItem::automaticLine()};
  return region;
}

LinesManager& LinesManager::shared() {
  // Leaked: fetches, cycles and probes may run until the process ends.
  static LinesManager* const instance = [] {
    auto* manager = new LinesManager(
        core::qv_Network::shared(), core::RemoteLog::shared(), core::MiscInfo::shared(),
        qv_ConnectionManager::shared(), qv_RegionModels::shared(), AliveChecker::shared(),
        platform::Defaults::standard(), platform::NotificationCenter::shared(),
        platform::SystemClock::shared());
    manager->start();
    return manager;
  }();
  return *instance;
}

LinesManager::LinesManager(core::qv_Network& network, core::RemoteLog& remoteLog,
                           core::MiscInfo& session, qv_ConnectionManager& connection,
                           qv_RegionModels& pingModel, AliveChecker& aliveChecker,
                           platform::Defaults& defaults, platform::NotificationCenter& notifications,
                           const platform::Clock& clock)
    : network_(network),
      remoteLog_(remoteLog),
      session_(session),
      connection_(connection),
      pingModel_(pingModel),
      aliveChecker_(aliveChecker),
      defaults_(defaults),
      notifications_(notifications),
      clock_(clock),
      lastUpdateTime_(nowSeconds(clock)) {
  auto model = core::loadModel<RegionsModel>(kLinesModelCacheEntry);
  auto region = core::loadModel<RegionsItem>(kCurrentRegionCacheEntry);
  auto line = core::loadModel<LineItem>(kCurrentLineCacheEntry);
  // A missing value, or one that is not text, counts as "true".
  const std::optional<std::string> autoSelect = defaults.getString(kIsAutoSelectKey);
  MutexLock lock(mutex_);
  model_ = std::move(model);
  currentRegion_ = region ? std::move(*region) : defaultRegion();
  currentLine_ = line ? std::move(line) : LineItem::automaticLine();
  isAutoSelect_ = !autoSelect || *autoSelect == "true";
}

void LinesManager::start() {
  pingModel_.setFinishPing([this] { finishPing(); });
  runCounted(platform::globalQueue(), [this] {
    setLastUpdateTime(nowSeconds(clock_));
    requestLines(Promise<ResultData>());
  });
}

// ---- fields ----------------------------------------------------------------

Value::Dictionary LinesManager::jsonData() const {
  MutexLock lock(mutex_);
  return jsonData_;
}

std::optional<RegionsModel> LinesManager::model() const {
  MutexLock lock(mutex_);
  return model_;
}

std::shared_ptr<LineItem> LinesManager::currentLine() const {
  MutexLock lock(mutex_);
  return currentLine_;
}

void LinesManager::setCurrentLine(std::shared_ptr<LineItem> line) {
  if (!line) line = LineItem::automaticLine();
  const bool automatic = line->isAutomatic();
  {
    MutexLock lock(mutex_);
    currentLine_ = std::move(line);
  }
  storeCurrentLine();
  if (automatic) setIsAutoSelect(true);
}

RegionsItem LinesManager::currentRegion() const {
  MutexLock lock(mutex_);
  return currentRegion_;
}

bool LinesManager::isAutoSelect() const {
  MutexLock lock(mutex_);
  return isAutoSelect_;
}

void LinesManager::setIsAutoSelect(bool value) {
  {
    MutexLock lock(mutex_);
    isAutoSelect_ = value;
  }
  storeIsAutoSelect();
}

std::vector<RegionsItem> LinesManager::regionListOf(const std::optional<RegionsModel>& model) {
  if (!model) return {};
  if (model->regions) return *model->regions;
  if (model->regionLines) return *model->regionLines;
  return {};
}

std::vector<RegionsItem> LinesManager::regionList() const { return regionListOf(model()); }

// Each store writes the field's value at the time it runs, inside a section
// of its own: whatever the interleaving, the last section stores the last
// assignment.
void LinesManager::storeModel() {
  modelStore_.sync([this] { core::saveModel(model(), kLinesModelCacheEntry); });
}

void LinesManager::storeCurrentLine() {
  lineStore_.sync([this] { core::saveModel(currentLine(), kCurrentLineCacheEntry); });
}

void LinesManager::storeCurrentRegion() {
  regionStore_.sync([this] { core::saveModel(currentRegion(), kCurrentRegionCacheEntry); });
}

void LinesManager::storeIsAutoSelect() {
  autoSelectStore_.sync([this] {
    defaults_.set(kIsAutoSelectKey, isAutoSelect() ? "true" : "false");
    defaults_.synchronize();
  });
}

// ---- choice and fetch ------------------------------------------------------

void LinesManager::selectRegion(RegionsItem region) {
  const bool smartLocation = region.name == kSmartLocationName;
  {
    MutexLock lock(mutex_);
    currentRegion_ = std::move(region);
  }
  storeCurrentRegion();
  // Clearing it for another region is the caller's business.
  if (smartLocation) setIsAutoSelect(true);
}

void LinesManager::runCounted(platform::Queue& queue, platform::Job job) {
  ++pendingWork_;
  queue.async([this, job = std::move(job)] {
    job();
    --pendingWork_;
  });
}

void LinesManager::requestLines(Promise<ResultData> resolver) {
  // Counted until the reply is handled, which happens on another job.
  ++pendingWork_;
  platform::globalQueue().async([this, resolver] { fetchLines(resolver); });
}

void LinesManager::fetchLines(Promise<ResultData> resolver) {
  network_
      .request(kRegionListPath, core::qv_Network::Method::GET, std::nullopt,
               core::qv_Network::Encoding::url)
      .then(platform::globalQueue(), [this, resolver](const ResultData& result) {
        // An unsuccessful fetch changes nothing.
        if (result.isSuccess) takeFetchedLines(result);
        resolver.resolve(result);
        --pendingWork_;
      });
}

void LinesManager::takeFetchedLines(const ResultData& result) {
  std::optional<RegionsModel> model = core::toModel<RegionsModel>(result);
  {
    MutexLock lock(mutex_);
    jsonData_ = result.jsonData;
    model_ = std::move(model);
  }
  storeModel();
  notifications_.post(std::string(core::kLinesDidUpdateNotification));
  // The cycle reads jsonData when it runs: a newer fetch may have replaced it.
  runCounted(platform::globalQueue(), [this] { pingAllLines(jsonData()); });
}

Promise<ResultData> LinesManager::loadLinesIfNeeded(std::int64_t maxAge) {
  bool refresh = maxAge < 1;
  if (!refresh && connection_.qv_connectStatus() == core::qv_ConnectStatus::qv_off) {
    const std::int64_t elapsed = nowSeconds(clock_) - lastUpdateTime();
    refresh = elapsed >= 0 && elapsed > maxAge;
  }
  if (!refresh) return Promise<ResultData>::resolved(ResultData::success());
  setLastUpdateTime(nowSeconds(clock_));
  Promise<ResultData> promise;
  requestLines(promise);
  return promise;
}

// ---- ping cycle and hand-over --------------------------------------------

void LinesManager::pingAllLines(const Value::Dictionary& data) {
  if (connection_.qv_connectStatus() == core::qv_ConnectStatus::qv_on) {
    LogUtil::debug("connected can't ping");
    return;
  }
  LogUtil::debug("Ping Start");
  // Before the old lines go: their leaving may empty the group at once.
  const std::uint64_t cycle = ++pingCycle_;
  shouldHandlePing_.store(true);
  std::optional<std::vector<Value::Dictionary>> regions = dictionaryList(data, "regions");
  if (!regions) regions = dictionaryList(data, "regionLines");
  pingModel_.setQv_vdr_models(pingModel_.regionsFrom(regions.value_or(std::vector<Value::Dictionary>{})));
  pingModel_.manager().stopPinging();
  pingModel_.pingAllLines();
  // The group is the process's: dropping the previous cycle's lines above
  // may have emptied it and woken that cycle's notification, which must not
  // hand this cycle's unmeasured lines over.
  pingModel_.linePingGroup().notify(platform::mainQueue(),
                                    [this, alive = std::weak_ptr<int>(lifetime_), cycle] {
                                      if (alive.lock() && cycle == pingCycle_.load()) finishPing();
                                    });
}

void LinesManager::finishPing() {
  // The ping cycle calls this from its own job: counted from before the
  // cycle is marked handled, so whoever sees it handled also sees the work.
  ++pendingWork_;
  struct Uncount {
    std::atomic<int>& count;
    ~Uncount() { --count; }
  } uncount{pendingWork_};
  // Test and clear in one step: of the two calls of a cycle, one goes on.
  if (!shouldHandlePing_.exchange(false)) return;
  Value::Array regions;
  for (const auto& region : pingModel_.qv_vdr_models()) regions.emplace_back(region.toDictionary());
  LogUtil::debug("Ping Done.");
  applyRegionList(regions);
}

void LinesManager::applyRegionList(const Value::Array& regions) {
  const Value document =
      Value::Dictionary{{"code", 0}, {"status", "ok"}, {"regions", regions}};
  auto decoded = RegionsModel::fromJsonText(document.toJson());
  if (!decoded.ok()) {
    systemLog("AAAAAAAAAA");
    return;
  }
  const std::vector<RegionsItem> list = regionListOf(decoded.value());
  {
    MutexLock lock(mutex_);
    model_ = std::move(decoded).value();
  }
  storeModel();
  notifications_.post(std::string(core::kLinesDidUpdateNotification));
  runCounted(platform::globalQueue(), [this, list] { reportLines(list); });
  restoreChoice(list);
  startLivenessProbes(list);
  autoConnect();
}

void LinesManager::reportLines(const std::vector<RegionsItem>& regions) {
  for (const auto& region : regions) {
    // A region without a name is reported.
    if (region.name == kSmartLocationName) continue;
    for (const auto& line : region.lines.value_or(std::vector<std::shared_ptr<LineItem>>{})) {
      remoteLog_.reportClientLog(*line, std::nullopt);
      std::this_thread::yield();
    }
  }
}

void LinesManager::restoreChoice(const std::vector<RegionsItem>& regions) {
  const RegionsItem held = currentRegion();
  const std::string heldIdentifier = held.identifier(clock_);
  const RegionsItem* found = nullptr;
  for (const auto& region : regions) {
    if (region.identifier(clock_) == heldIdentifier) {
      found = &region;
      break;
    }
  }
  if (found == nullptr) {
    LogUtil::debug("cache region miss, select default region");
    selectRegion(defaultRegion());
    setCurrentLine(LineItem::automaticLine());
    return;
  }
  const std::optional<std::int64_t> currentId = currentLine()->id();
  for (const auto& line : found->lines.value_or(std::vector<std::shared_ptr<LineItem>>{})) {
    if (line->id() == currentId) return;
  }
  LogUtil::debug("cache server miss, select first");
  // The first line of the region held, not of the matching new one; a held
  // region without lines has no first line: the automatic line stands in.
  const bool hasLine = held.lines && !held.lines->empty() && held.lines->front();
  setCurrentLine(hasLine ? held.lines->front() : LineItem::automaticLine());
}

void LinesManager::startLivenessProbes(const std::vector<RegionsItem>& regions) {
  for (const auto& region : regions) {
    for (const auto& line : region.lines.value_or(std::vector<std::shared_ptr<LineItem>>{})) {
      const LineItem::Fields fields = line->fields();
      const std::optional<std::string> address = fields.ipaddr ? fields.ipaddr : fields.iPAddr;
      if (!address || !fields.detectPort) continue;
      runCounted(aliveSendQueue_, [this, line, address = *address, port = *fields.detectPort] {
        aliveChecker_.checkAlive(address, port, [line, address](bool alive) {
          // A false answer changes nothing; nothing here clears isAlive.
          if (!alive) return;
          line->setIsAlive(true);
          systemLog(address + " ----- isAlive");
        });
      });
    }
  }
}

void LinesManager::autoConnect() {
  if (defaults_.getBool(kIsAutoConnectKey) != true) return;
  // The notification toggles the connection: from any status but off it
  // would cancel a connect under way or take the tunnel down.
  if (connection_.qv_connectStatus() != core::qv_ConnectStatus::qv_off) return;
  notifications_.post(std::string(kWidgetConnectDidClickNotification));
}

}  // namespace vandrel::connection
