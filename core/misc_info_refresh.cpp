// The account refresh: the client's public address, the web links and the
// user record, and the stop of a connection whose account has expired.

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <string>
#include <utility>

#include "core/connection_port.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/model_cache.h"
#include "core/qv_network.h"
#include "core/result_model.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace vandrel::core {

using platform::Promise;
using platform::Value;

namespace {

constexpr std::string_view kUnknownAddress = "0.0.0.0";
constexpr std::string_view kUpgradeTitle = "Upgrade Required";
constexpr std::string_view kUpgradeMessage =
    "Your account has expired please renew or change to Smart Location";

// The text under `key`, when it is text.
std::optional<std::string> textAt(const Value::Dictionary& object, const std::string& key) {
  const auto it = object.find(key);
  if (it == object.end() || it->second.asString() == nullptr) return std::nullopt;
  return *it->second.asString();
}

// Full Unicode upper-casing, independent of the user's language.
std::string upperCased(const std::string& text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  unicode.toUpper(icu::Locale::getRoot());
  std::string upper;
  unicode.toUTF8String(upper);
  return upper;
}

}  // namespace

Promise<ResultData> MiscInfo::updateMiscInfo(std::int64_t interval) {
  // A clock standing before the last refresh also counts as too early.
  if (interval > 0 && nowSeconds() - lastUpdateTime() < interval) {
    return Promise<ResultData>::resolved(ResultData::success());
  }
  if (loginCookie().empty()) {
    LogUtil::reportError(kPleaseLoginMessage);
    return Promise<ResultData>::resolved(ResultData::failure(std::string(kPleaseLoginMessage)));
  }
  qv_Network& transport = network();
  constexpr auto kGet = qv_Network::Method::GET;
  constexpr auto kUrl = qv_Network::Encoding::url;
  transport.request("/ip", kGet, std::nullopt, kUrl)
      .then(platform::mainQueue(), [this](const ResultData& result) { applyAddressReply(result); });
  // A reply that was already on its way when the user signed out must not
  // bring the account back: the sign-out cancels only what is still in
  // flight.
  const std::uint64_t signOuts = signOuts_.load();
  transport.request("/app/links", kGet, std::nullopt, kUrl)
      .then(platform::mainQueue(), [this, signOuts](const ResultData& result) {
        if (signOuts_.load() == signOuts) applyLinksReply(result);
      });
  return transport.request("/user/misc-info", kGet, std::nullopt, kUrl)
      .then(platform::mainQueue(), [this, signOuts](const ResultData& result) {
        if (signOuts_.load() == signOuts) applyUserInfoReply(result);
        return result;
      });
}

void MiscInfo::applyAddressReply(const ResultData& result) {
  if (!result.isSuccess) return;
  const std::string address = textAt(result.jsonData, "ip").value_or(std::string(kUnknownAddress));
  std::optional<std::string> country;
  if (auto location = textAt(result.jsonData, "location")) country = upperCased(*location);
  update([&](State& state) {
    state.ipAddress = address;
    if (country) {
      state.countryCode = *country;
      state.isChina = *country == "CN";
    }
  });
}

void MiscInfo::applyLinksReply(const ResultData& result) {
  if (!result.isSuccess) return;
  const auto it = result.jsonData.find("links");
  if (it == result.jsonData.end()) return;
  const Value::Dictionary* links = it->second.asDictionary();
  if (links == nullptr) return;
  for (const auto& [key, value] : *links) {
    if (value.asString() == nullptr) return;
  }
  // A key the reply lacks leaves that link absent (see paymentPageAddress).
  setLinks(Links{
      .signup = textAt(*links, "signup"),
      .forget_password = textAt(*links, "forget_password"),
      .payment = textAt(*links, "payment"),
      .verify_email = textAt(*links, "verify_email"),
      .account_center = textAt(*links, "account_center"),
  });
}

void MiscInfo::applyUserInfoReply(const ResultData& result) {
  std::optional<MiscInfoModel> record = toModel<MiscInfoModel>(result);
  if (!record) return;
  setModel(record);
  saveModel(*record, kMiscInfoCacheEntry);
  notifications_.post(std::string(kMiscInfoDidUpdateNotification));
  setLastUpdateTime(nowSeconds());
  if (record->expired && port_.connectStatus() == qv_ConnectStatus::qv_on) {
    breakExpiredConnection();
  }
}

void MiscInfo::breakExpiredConnection() {
  LogUtil::debug("check expired and break connected");
  stopTunnelsInBackground([this](const ResultData& stopped) { markStoppedAfterExpiry(stopped); });
  ConnectionPort& port = port_;
  port_.showAlert(
      std::string(kUpgradeTitle), std::string(kUpgradeMessage), "Upgrade",
      [&port] { port.openUpgradePage(); }, "Not Now", [&port] { port.switchToSmartLocation(); });
}

void MiscInfo::markStoppedAfterExpiry(const ResultData& result) {
  // The tunnel is down: the status must say so, unless a new connect has
  // moved it on meanwhile.
  if (!result.isSuccess || port_.connectStatus() != qv_ConnectStatus::qv_on) return;
  port_.setBothConnectStatuses(qv_ConnectStatus::qv_off);
  notifications_.post(std::string(kVPNStatusChangeNotification));
}

void MiscInfo::stopTunnelsInBackground(std::function<void(const ResultData&)> onStopped) {
  inBackground([this, onStopped = std::move(onStopped)] {
    port_.stopTunnels().then(platform::mainQueue(), onStopped);
  });
}

std::string MiscInfo::paymentPageAddress() const {
  if (auto link = payment()) return *link;
  return *Links::defaults().payment;
}

}  // namespace vandrel::core
