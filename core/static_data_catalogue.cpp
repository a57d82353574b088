// The catalogue part of StaticData: restoring it, the start-up fetches and
// their replies, the static-data refresh and the terms flag.

#include <cmath>
#include <string>
#include <utility>

#include "core/model_cache.h"
#include "core/qv_network.h"
#include "core/result_data.h"
#include "core/result_model.h"
#include "core/static_data.h"
#include "platform/check.h"
#include "platform/clock.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace vandrel::core {

using platform::MutexLock;
using platform::Value;

namespace {

CallCodeItem builtInCallCode() {
  return CallCodeItem{.country_name = "中国", .country_code = "CN", .calling_code = "+86"};
}

}  // namespace

CallCodeItem chooseCallCode(const std::optional<AccountModel>& inputAccountInfo,
                            const std::optional<CallCodeModel>& codes) {
  const bool typed =
      inputAccountInfo && inputAccountInfo->callCode && !inputAccountInfo->callCode->empty();
  if (typed && codes && codes->list) {
    const std::string& wanted = *inputAccountInfo->callCode;
    // A substring test, as it always was: "86" is found in "+886" as well,
    // so the first such item wins.
    for (const CallCodeItem& item : *codes->list) {
      if (item.calling_code && item.calling_code->find(wanted) != std::string::npos) return item;
    }
  }
  if (codes && codes->default_option) return *codes->default_option;
  return builtInCallCode();
}

StaticData::Catalogue StaticData::restoreCatalogue(
    const std::optional<AccountModel>& inputAccountInfo) const {
  Catalogue restored;
  const std::int64_t now = nowSeconds();
  restored.lastGoodsUpdate = now;
  restored.lastStaticDataUpdate = now;
  restored.lastNotificationUpdate = now;
  restored.lastRulesUpdate = now;
  restored.lastLinksUpdate = now;
  restored.isAgreeTerms = defaults_.getBool(kStaticModelTermsKey).value_or(false);
  restored.staticDataInfo = loadModel<StaticDataModel>(kStaticModelCacheEntry);
  restored.urlSource = loadModel<UrlSourceT>(kUrlSourceCacheEntry);
  restored.cnList = loadModel<RuleModel>(kCnListCacheEntry);
  restored.blackCn = loadModel<RuleModel>(kBlackCnCacheEntry);
  restored.goodsModel = loadModel<GoodsModel>(kGoodsModelCacheEntry);
  restored.callCode = loadModel<CallCodeModel>(kCallingCodeCacheEntry);
  restored.currentCallCode = chooseCallCode(inputAccountInfo, restored.callCode);
  return restored;
}

std::int64_t StaticData::nowSeconds() const {
  return static_cast<std::int64_t>(std::trunc(clock_.secondsSince1970()));
}

qv_Network& StaticData::network() const {
  VANDREL_CHECK(static_cast<bool>(network_), "StaticData: no transport to fetch with");
  return network_();
}

void StaticData::start() {
  if (!network_) return;
  pendingWork_.fetch_add(1);
  platform::globalQueue().async([this] {
    startUpFetch();
    pendingWork_.fetch_sub(1);
  });
}

void StaticData::startUpFetch() {
  qv_Network& transport = network();
  // Each reply step is counted before the job that registers it ends, so
  // the count never reads zero while a reply is still to be applied.
  pendingWork_.fetch_add(1);
  transport.goods("boost_service", "yearly,monthly")
      .then(platform::mainQueue(), [this](const ResultData& result) {
        applyGoodsReply(result);
        pendingWork_.fetch_sub(1);
      });
  pendingWork_.fetch_add(1);
  transport.notifications().then(platform::mainQueue(), [this](const ResultData& result) {
    applyNotificationsReply(result);
    pendingWork_.fetch_sub(1);
  });
  refreshStaticData(-1);
}

bool StaticData::refreshStaticData(std::int64_t interval) {
  if (!network_) return false;
  if (interval > 0 && nowSeconds() - lastStaticDataUpdate() < interval) return false;
  // One count for the job and its reply step: it ends once the reply is
  // applied.
  pendingWork_.fetch_add(1);
  platform::globalQueue().async([this] {
    network()
        .request("/app/static-data", qv_Network::Method::POST, std::nullopt,
                 qv_Network::Encoding::url)
        .then(platform::mainQueue(), [this](const ResultData& result) {
          applyStaticDataReply(result);
          pendingWork_.fetch_sub(1);
        });
  });
  return true;
}

void StaticData::applyGoodsReply(const ResultData& result) {
  std::optional<GoodsModel> record = toModel<GoodsModel>(result);
  if (!record) return;
  {
    MutexLock lock(mutex_);
    catalogue_.lastGoodsUpdate = nowSeconds();
    catalogue_.goodsModel = record;
  }
  saveModel(*record, kGoodsModelCacheEntry);
  notifications_.post(std::string(kGoodsInfoUpdateNotification));
}

void StaticData::applyStaticDataReply(const ResultData& result) {
  std::optional<StaticDataModel> record = toModel<StaticDataModel>(result);
  if (!record) return;
  {
    MutexLock lock(mutex_);
    catalogue_.lastStaticDataUpdate = nowSeconds();
    catalogue_.staticDataInfo = record;
  }
  saveModel(*record, kStaticModelCacheEntry);
}

void StaticData::applyNotificationsReply(const ResultData& result) {
  if (!result.isSuccess) return;
  const auto list = result.jsonData.find("notifications");
  if (list == result.jsonData.end() || list->second.asArray() == nullptr) return;
  const Value::Array& notifications = *list->second.asArray();
  if (notifications.empty() || notifications.front().asDictionary() == nullptr) return;
  const Value::Dictionary& first = *notifications.front().asDictionary();
  {
    MutexLock lock(mutex_);
    catalogue_.lastNotificationUpdate = nowSeconds();
  }
  const Value* id = first.contains("id") ? &first.at("id") : nullptr;
  const Value* title = first.contains("title") ? &first.at("title") : nullptr;
  const Value* content = first.contains("content") ? &first.at("content") : nullptr;
  if (!id || !id->asInt() || !title || !title->asString() || !content || !content->asString()) {
    return;
  }
  // Only marked as read: the title and the content are not shown.
  (void)network().readNotification(std::to_string(*id->asInt()));
}

#define VANDREL_STATIC_DATA_FIELD(type, name) \
  type StaticData::name() const {             \
    MutexLock lock(mutex_);                   \
    return catalogue_.name;                   \
  }

VANDREL_STATIC_DATA_FIELD(std::optional<StaticDataModel>, staticDataInfo)
VANDREL_STATIC_DATA_FIELD(std::optional<UrlSourceT>, urlSource)
VANDREL_STATIC_DATA_FIELD(std::optional<RuleModel>, cnList)
VANDREL_STATIC_DATA_FIELD(std::optional<CallCodeModel>, callCode)
VANDREL_STATIC_DATA_FIELD(std::optional<CallCodeItem>, currentCallCode)
VANDREL_STATIC_DATA_FIELD(std::optional<RuleModel>, blackCn)
VANDREL_STATIC_DATA_FIELD(std::optional<GoodsModel>, goodsModel)
VANDREL_STATIC_DATA_FIELD(std::int64_t, lastGoodsUpdate)
VANDREL_STATIC_DATA_FIELD(std::int64_t, lastStaticDataUpdate)
VANDREL_STATIC_DATA_FIELD(std::int64_t, lastNotificationUpdate)
VANDREL_STATIC_DATA_FIELD(std::int64_t, lastRulesUpdate)
VANDREL_STATIC_DATA_FIELD(std::int64_t, lastLinksUpdate)
VANDREL_STATIC_DATA_FIELD(bool, isAgreeTerms)
#undef VANDREL_STATIC_DATA_FIELD

void StaticData::setIsAgreeTerms(bool value) {
  {
    MutexLock lock(mutex_);
    catalogue_.isAgreeTerms = value;
    ++termsVersion_;
  }
  storeTermsFlag();
}

void StaticData::storeTermsFlag() {
  for (;;) {
    bool value = false;
    std::uint64_t version = 0;
    {
      MutexLock lock(mutex_);
      value = catalogue_.isAgreeTerms;
      version = termsVersion_;
    }
    defaults_.set(kStaticModelTermsKey, value);
    defaults_.synchronize();
    MutexLock lock(mutex_);
    if (termsVersion_ == version) return;
  }
}

}  // namespace vandrel::core
