#include "core/misc_info.h"

#include <cmath>
#include <utility>

#include "core/app_constants.h"
#include "core/connection_port.h"
#include "core/model_cache.h"
#include "core/qv_connect_log.h"
#include "core/qv_network.h"
#include "core/whole_integer.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "platform/check.h"
#include "platform/notification_center.h"

namespace vandrel::core {

using platform::MutexLock;

namespace {

// A stored text, or "" when it is missing or holds another type.
std::string storedText(const platform::Defaults& defaults, std::string_view key) {
  return defaults.getString(key).value_or("");
}

std::int64_t truncatedSeconds(const platform::Clock& clock) {
  return static_cast<std::int64_t>(std::trunc(clock.secondsSince1970()));
}

}  // namespace

MiscInfo::Links MiscInfo::Links::defaults() {
  const std::string& site = webSiteAddress();
  return Links{
      .signup = site + "/sign/signup?source=mac",
      .forget_password = site + "/sign/forget?source=mac",
      .payment = site + "/payment?source=mac",
      .verify_email = site + "/sign/signup?verifyEmail=source=mac",
      .account_center = site + "/account",
  };
}

MiscInfo& MiscInfo::shared() {
  // Leaked: the session outlives every thread that may still use it.
  static MiscInfo* const instance = [] {
    auto* info = new MiscInfo(sharedConnectionPort(), platform::Defaults::standard(),
                              platform::NotificationCenter::shared(),
                              platform::SystemClock::shared(), defaultFirstRefresh());
    // Resolved at first use: the transport's own shared() builds on this
    // session, so reaching it here would construct it from inside ours.
    info->attach(Services{
        .network = []() -> qv_Network& { return qv_Network::shared(); },
        .connectLog = []() -> qv_ConnectLog* { return &qv_ConnectLog::shared(); },
    });
    info->start();
    return info;
  }();
  return *instance;
}

MiscInfo::MiscInfo(ConnectionPort& port, platform::Defaults& defaults,
                   platform::NotificationCenter& notifications, const platform::Clock& clock,
                   RefreshHook firstRefresh)
    : port_(port),
      defaults_(defaults),
      notifications_(notifications),
      clock_(clock),
      firstRefresh_(std::move(firstRefresh)) {
  // Restored before anything else can see the object; the cache reads are
  // file I/O, so they happen outside the lock.
  State restored;
  restored.lastUpdateTime = truncatedSeconds(clock_);
  std::string cookie = storedText(defaults_, kMiscInfoLoginCookieCacheKey);
  restored.username = storedText(defaults_, kMiscInfoUsernameCacheKey);
  restored.password = storedText(defaults_, kMiscInfoPasswordCacheKey);
  restored.model = loadModel<MiscInfoModel>(kMiscInfoCacheEntry);
  restored.accountInfo = loadModel<AccountModel>(kAccountInfoCacheEntry);
  restored.inputAccountInfo = loadModel<AccountModel>(kInputAccountInfoCacheEntry);
  MutexLock lock(mutex_);
  state_ = std::move(restored);
  loginCookie_ = std::move(cookie);
}

void MiscInfo::start() {
  if (!firstRefresh_) return;
  inBackground([this] { firstRefresh_(*this); });
}

void MiscInfo::inBackground(std::function<void()> job) {
  pendingWork_.fetch_add(1);
  platform::globalQueue().async([this, job = std::move(job)]() mutable {
    job();
    job = nullptr;  // what it holds goes before the count says the work is done
    pendingWork_.fetch_sub(1);
  });
}

void MiscInfo::attach(Services services) {
  MutexLock lock(mutex_);
  services_ = std::move(services);
}

qv_Network& MiscInfo::network() const {
  std::function<qv_Network&()> provider;
  {
    MutexLock lock(mutex_);
    provider = services_.network;
  }
  VANDREL_CHECK(static_cast<bool>(provider),
                "MiscInfo: no transport attached; call attach() before the first flow");
  return provider();
}

qv_ConnectLog* MiscInfo::connectLog() const {
  std::function<qv_ConnectLog*()> provider;
  {
    MutexLock lock(mutex_);
    provider = services_.connectLog;
  }
  return provider ? provider() : nullptr;
}

std::int64_t MiscInfo::nowSeconds() const { return truncatedSeconds(clock_); }

MiscInfo::State MiscInfo::snapshot() const {
  MutexLock lock(mutex_);
  return state_;
}

void MiscInfo::update(const std::function<void(State&)>& mutate) {
  MutexLock lock(mutex_);
  mutate(state_);
}

std::string MiscInfo::loginCookie() const {
  MutexLock lock(mutex_);
  return loginCookie_;
}

void MiscInfo::setLoginCookie(std::string cookie) {
  {
    MutexLock lock(mutex_);
    loginCookie_ = std::move(cookie);
    ++cookieVersion_;
  }
  storeLoginCookie();
}

void MiscInfo::storeLoginCookie() {
  for (;;) {
    std::string value;
    std::uint64_t version = 0;
    {
      MutexLock lock(mutex_);
      value = loginCookie_;
      version = cookieVersion_;
    }
    defaults_.set(kMiscInfoLoginCookieCacheKey, std::move(value));
    defaults_.synchronize();
    MutexLock lock(mutex_);
    if (cookieVersion_ == version) return;
  }
}

bool MiscInfo::isLogin() const {
  const std::optional<MiscInfoModel> record = model();
  if (!record) return false;
  if (record->email && isEmail(*record->email)) return true;
  return record->phone && readsAsWholeInteger(*record->phone);
}

MiscInfo::Links MiscInfo::links() const {
  MutexLock lock(mutex_);
  return state_.links;
}

void MiscInfo::setLinks(Links links) {
  MutexLock lock(mutex_);
  state_.links = std::move(links);
}

#define VANDREL_MISC_INFO_LINK(name)                \
  std::optional<std::string> MiscInfo::name() const { \
    MutexLock lock(mutex_);                           \
    return state_.links.name;                         \
  }

VANDREL_MISC_INFO_LINK(signup)
VANDREL_MISC_INFO_LINK(forget_password)
VANDREL_MISC_INFO_LINK(payment)
VANDREL_MISC_INFO_LINK(verify_email)
VANDREL_MISC_INFO_LINK(account_center)
#undef VANDREL_MISC_INFO_LINK

#define VANDREL_MISC_INFO_FIELD(type, name, setter) \
  type MiscInfo::name() const {                     \
    MutexLock lock(mutex_);                         \
    return state_.name;                             \
  }                                                 \
  void MiscInfo::setter(type value) {               \
    MutexLock lock(mutex_);                         \
    state_.name = std::move(value);                 \
  }

VANDREL_MISC_INFO_FIELD(std::int64_t, lastUpdateTime, setLastUpdateTime)
VANDREL_MISC_INFO_FIELD(bool, isRegistered, setIsRegistered)
VANDREL_MISC_INFO_FIELD(bool, updateStaticData, setUpdateStaticData)
VANDREL_MISC_INFO_FIELD(bool, isLoading, setIsLoading)
VANDREL_MISC_INFO_FIELD(bool, shouldCheckBind, setShouldCheckBind)
VANDREL_MISC_INFO_FIELD(std::string, username, setUsername)
VANDREL_MISC_INFO_FIELD(std::string, password, setPassword)
VANDREL_MISC_INFO_FIELD(std::optional<AccountModel>, accountInfo, setAccountInfo)
VANDREL_MISC_INFO_FIELD(std::optional<AccountModel>, inputAccountInfo, setInputAccountInfo)
VANDREL_MISC_INFO_FIELD(bool, isChina, setIsChina)
VANDREL_MISC_INFO_FIELD(bool, isForbiddenArea, setIsForbiddenArea)
VANDREL_MISC_INFO_FIELD(bool, shouldRestore, setShouldRestore)
VANDREL_MISC_INFO_FIELD(bool, isJailbreak, setIsJailbreak)
VANDREL_MISC_INFO_FIELD(std::string, ipAddress, setIpAddress)
VANDREL_MISC_INFO_FIELD(std::string, countryCode, setCountryCode)
VANDREL_MISC_INFO_FIELD(std::optional<MiscInfoModel>, model, setModel)
VANDREL_MISC_INFO_FIELD(std::int64_t, lastRegisterTime, setLastRegisterTime)
#undef VANDREL_MISC_INFO_FIELD

}  // namespace vandrel::core
