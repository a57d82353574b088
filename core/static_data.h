#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/account_records.h"
#include "core/api_hosts.h"
#include "core/catalogue_records.h"
#include "core/goods_records.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Clock;
class Defaults;
class NotificationCenter;
}  // namespace vandrel::platform

namespace vandrel::core {

class qv_Network;
struct ResultData;

// Posted (default center, no object) on the main queue after a goods reply
// has replaced `goodsModel`.
inline constexpr std::string_view kGoodsInfoUpdateNotification = "GoodsInfoUpdateNotification";

// Where the catalogue keeps itself between runs: the terms flag in the
// standard defaults, the records in the encrypted cache. Nothing in the
// system writes the last four entries; they load where they already exist.
inline constexpr std::string_view kStaticModelTermsKey = "staticModelTermsKey";
inline constexpr std::string_view kStaticModelCacheEntry = "staticModelCacheKey";
inline constexpr std::string_view kGoodsModelCacheEntry = "GoodsModelCache";
inline constexpr std::string_view kUrlSourceCacheEntry = "UrlSourceCache";
inline constexpr std::string_view kCnListCacheEntry = "RuleManagercnList";
inline constexpr std::string_view kBlackCnCacheEntry = "RuleManagerblackCn";
inline constexpr std::string_view kCallingCodeCacheEntry = "CallingCode";

// Read on every call of currentHost; the host choice does not depend on it
// (a hidden switch of the log window, kept for what may come to use it).
inline constexpr std::string_view kSwitchVMKey = "qv_switchVMKey";

// What the catalogue needs beyond the host choice.
struct StaticDataCatalogueSetup {
  // nullptr: the system clock.
  const platform::Clock* clock = nullptr;
  // nullptr: the default center.
  platform::NotificationCenter* notifications = nullptr;
  // The account as typed at sign-in: its calling code picks
  // currentCallCode at construction.
  std::optional<AccountModel> inputAccountInfo;
  // The transport of the fetches, asked for when the first fetch runs
  // (the transport itself is built over this object). None: start() and
  // refreshStaticData fetch nothing.
  std::function<qv_Network&()> network;
};

// The static catalogue: what the service publishes for every user (the
// static data, the plans on sale, and the links, rule sets and calling
// codes where the cache holds them), the user's terms flag, and the choice
// of the service API host (the list `apiHosts`, the host in use and the
// fail-over that moves to the next host at every fifth counted failure).
//
// Construction restores the catalogue from the defaults and the cache and
// picks the calling code; start() fetches goods, notifications and the
// static data once, in the background. Their replies are applied on the
// main queue.
//
// Thread-safe: the request builder asks for the current host on its
// caller's thread, the transport reports failures from global queues, the
// replies land on the main queue and the user interface reads the fields.
// One lock guards every field, the host choice's and the catalogue's alike;
// it is never held while calling out (reporting, defaults, cache, posting,
// logging), so it never nests with another lock (MiscInfo's included).
class StaticData {
 public:
  using CatalogueSetup = StaticDataCatalogueSetup;

  // Reports a failed host to the service (a "bad_url_log" record). Called
  // without any lock held; it may send a request through the transport,
  // which asks for the current host again.
  using BadUrlReporter = std::function<void(const std::string& host, const std::string& message)>;

  // The one catalogue of the process (leaked), made on first use with
  // apiHosts(), the standard defaults, the remote log's reportBadURL (reached
  // at the first report) and the shared session's typed account, then
  // started. Its fetches reach the shared transport when they run.
  static StaticData& shared();
  // The shared catalogue once shared() has made it, else nullptr; never
  // makes it (for callers that must not, such as the logger's keyword check).
  static StaticData* sharedIfCreated();

  // `hosts` must not be empty.
  StaticData(std::vector<ApiHost> hosts, platform::Defaults& defaults, BadUrlReporter reportBadURL,
             CatalogueSetup setup = {});
  StaticData(const StaticData&) = delete;
  StaticData& operator=(const StaticData&) = delete;

  // Fetches goods, notifications and the static data (always due), from the
  // global queue; returns at once. Once per run. The object must outlive
  // the fetches and their replies (shared() never dies).
  void start();

  // Fetches the static data from the global queue unless the last decoded
  // one is younger than `interval` seconds (equal counts as due; <= 0
  // always fetches). Returns whether it fetches.
  bool refreshStaticData(std::int64_t interval);

  // Fetches this object started that have not finished: from start() or
  // refreshStaticData() until their replies have been applied on the main
  // queue. An instance other than the shared one must outlive them.
  int pendingWorkCount() const { return pendingWork_.load(); }

  // ---- Catalogue fields (copies, taken under the lock) ----------------------
  std::optional<StaticDataModel> staticDataInfo() const;
  std::optional<UrlSourceT> urlSource() const;
  std::optional<RuleModel> cnList() const;
  std::optional<CallCodeModel> callCode() const;
  std::optional<CallCodeItem> currentCallCode() const;
  std::optional<RuleModel> blackCn() const;
  std::optional<GoodsModel> goodsModel() const;
  // Whole seconds since 1970: the creation time until a reply replaces it.
  std::int64_t lastGoodsUpdate() const;
  std::int64_t lastStaticDataUpdate() const;
  std::int64_t lastNotificationUpdate() const;
  std::int64_t lastRulesUpdate() const;
  std::int64_t lastLinksUpdate() const;

  bool isAgreeTerms() const;
  // Stores the flag under "staticModelTermsKey", synchronised, at once.
  void setIsAgreeTerms(bool value);

  // The hosts in order, fixed at construction.
  const std::vector<ApiHost>& apiHosts() const { return hosts_; }

  // The host name in use (no port).
  std::string currentHost();
  // The host in use with its port: where requests go.
  ApiHost currentApiHost();

  // One failed API exchange: reports the host in use (read before
  // counting) with `message`, then counts it; every fifth count moves to
  // the next host, after the last comes the first.
  void recordRequestError(const std::string& message);
  // Counts a failure without reporting it: for a failed report itself,
  // which must not report again.
  void countRequestError();

  std::int64_t errorTimes() const;
  std::int64_t currentHostIndex() const;

 private:
  static constexpr std::int64_t kErrorsPerSwitch = 5;

  struct Catalogue {
    std::int64_t lastGoodsUpdate = 0;
    std::int64_t lastStaticDataUpdate = 0;
    std::int64_t lastNotificationUpdate = 0;
    std::int64_t lastRulesUpdate = 0;
    std::int64_t lastLinksUpdate = 0;
    std::optional<StaticDataModel> staticDataInfo;
    std::optional<UrlSourceT> urlSource;
    std::optional<RuleModel> cnList;
    std::optional<CallCodeModel> callCode;
    std::optional<CallCodeItem> currentCallCode;
    std::optional<RuleModel> blackCn;
    std::optional<GoodsModel> goodsModel;
    bool isAgreeTerms = false;
  };

  // Restores the catalogue (file I/O: before the lock).
  Catalogue restoreCatalogue(const std::optional<AccountModel>& inputAccountInfo) const;
  std::int64_t nowSeconds() const;
  qv_Network& network() const;
  // On the global queue.
  void startUpFetch();
  // Reply steps, on the main queue.
  void applyGoodsReply(const ResultData& result);
  void applyNotificationsReply(const ResultData& result);
  void applyStaticDataReply(const ResultData& result);
  // Writes the latest terms flag until no newer assignment raced with it.
  void storeTermsFlag();

  const std::vector<ApiHost> hosts_;
  platform::Defaults& defaults_;
  const BadUrlReporter reportBadURL_;
  const platform::Clock& clock_;
  platform::NotificationCenter& notifications_;
  const std::function<qv_Network&()> network_;

  mutable platform::Mutex mutex_;
  std::int64_t errorTimes_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::int64_t currentHostIndex_ VANDREL_GUARDED_BY(mutex_) = 0;
  Catalogue catalogue_ VANDREL_GUARDED_BY(mutex_);
  std::uint64_t termsVersion_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::atomic<int> pendingWork_{0};
};

// The calling code for the user: the first item of `codes`' list whose
// calling code contains the typed account's calling code (so "+886" is
// taken for "86" when it comes first), else `codes`' default option, else
// 中国 / CN / +86.
CallCodeItem chooseCallCode(const std::optional<AccountModel>& inputAccountInfo,
                            const std::optional<CallCodeModel>& codes);

}  // namespace vandrel::core
