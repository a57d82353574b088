#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/account_records.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Defaults;
class NotificationCenter;
}  // namespace vandrel::platform

namespace vandrel::core {

class ConnectionPort;

// Posted (default center, no object, no user info) whenever the user record
// `model` has been replaced.
inline constexpr std::string_view kMiscInfoDidUpdateNotification =
    "MiscInfoDidUpdateNotification";

// Where the session keeps itself between runs.
inline constexpr std::string_view kMiscInfoLoginCookieCacheKey = "MiscInfoLoginCookieCache";
inline constexpr std::string_view kMiscInfoUsernameCacheKey = "MiscInfoUsernameCache";
inline constexpr std::string_view kMiscInfoPasswordCacheKey = "MiscInfoPasswordCache";
inline constexpr std::string_view kMiscInfoCacheEntry = "MiscInfoCache";
inline constexpr std::string_view kAccountInfoCacheEntry = "accountInfoKey";
inline constexpr std::string_view kInputAccountInfoCacheEntry = "inputAccountInfoKey";

// The account session: the service's session cookie, the signed-in account,
// the user record the service returns for it, the client's public address
// and country, and the five web links the user interface opens.
//
// Constructible with its dependencies (tests build fresh ones); the
// application uses shared(). Construction restores the cookie and the
// fallback credentials from the defaults and the three records from the
// encrypted cache; start() then schedules the first refresh on the global
// queue through the refresh hook (never synchronously: no constructor of a
// shared object reaches another shared object's constructor).
//
// Thread-safe: the main queue, global queues and the response processor
// read and write it. One lock guards every field; it is never held while
// posting or doing I/O. Whole-value reads and writes go through the
// accessors; a read-modify-write of several fields goes through update().
class MiscInfo {
 public:
  // Absolute addresses on the service's web site.
  struct Links {
    std::optional<std::string> signup;
    std::optional<std::string> forget_password;
    std::optional<std::string> payment;
    std::optional<std::string> verify_email;
    std::optional<std::string> account_center;

    // The web site (a build setting) + "/sign/signup?source=mac",
    // "/sign/forget?source=mac", "/payment?source=mac",
    // "/sign/signup?verifyEmail=source=mac" and "/account".
    static Links defaults();
    bool operator==(const Links&) const = default;
  };

  // Every field but the cookie (whose every assignment is stored at once:
  // setLoginCookie), with the initial values of a new session.
  struct State {
    Links links = Links::defaults();
    // Unix time in whole seconds of the last successful user-record refresh.
    std::int64_t lastUpdateTime = 0;
    bool isRegistered = false;
    bool updateStaticData = true;
    bool isLoading = false;
    bool shouldCheckBind = false;
    // Fallback credentials for a sign-in without an explicit account.
    std::string username;
    std::string password;
    // The credentials of the last successful sign-in.
    std::optional<AccountModel> accountInfo;
    // The account as entered for sign-in.
    std::optional<AccountModel> inputAccountInfo;
    bool isChina = false;
    // While true every API request is refused.
    bool isForbiddenArea = false;
    bool shouldRestore = true;
    bool isJailbreak = false;
    std::string ipAddress = "unknow";
    std::string countryCode = "unknow";
    std::optional<MiscInfoModel> model;
    std::int64_t lastRegisterTime = 0;
  };

  // Runs the session's refresh; installed by the account flows.
  using RefreshHook = std::function<void(MiscInfo&)>;

  // The one session of the process (leaked), made on first use with the
  // shared connection port, the standard defaults, the default notification
  // center, the system clock and the default refresh hook.
  static MiscInfo& shared();
  // The hook shared() schedules as the first refresh.
  static RefreshHook defaultFirstRefresh();

  MiscInfo(ConnectionPort& port, platform::Defaults& defaults,
           platform::NotificationCenter& notifications, const platform::Clock& clock,
           RefreshHook firstRefresh = {});
  MiscInfo(const MiscInfo&) = delete;
  MiscInfo& operator=(const MiscInfo&) = delete;

  // Schedules the first refresh (when there is a hook) on the global queue.
  // The object must outlive it; shared() never dies.
  void start();

  ConnectionPort& connectionPort() const { return port_; }
  platform::Defaults& defaults() const { return defaults_; }
  platform::NotificationCenter& notificationCenter() const { return notifications_; }
  const platform::Clock& clock() const { return clock_; }
  // The clock's seconds since 1970, truncated towards zero.
  std::int64_t nowSeconds() const;

  // A copy of every field but the cookie, taken under the lock.
  State snapshot() const;
  // Runs `mutate` on the fields under the lock. It must only touch the
  // fields: no locks, posts, callbacks or I/O.
  void update(const std::function<void(State&)>& mutate);

  std::string loginCookie() const;
  // Stores the cookie and writes it under "MiscInfoLoginCookieCache" in the
  // defaults, synchronised (also when it did not change).
  void setLoginCookie(std::string cookie);

  // Whether the stored user record names a usable account: its `email` is
  // an e-mail address, or else its `phone` reads as a whole decimal
  // integer. False without a record.
  bool isLogin() const;

  // Constant: fixed at construction, never written.
  bool isUpdate() const { return false; }

  Links links() const;
  void setLinks(Links links);
  std::optional<std::string> signup() const;
  std::optional<std::string> forget_password() const;
  std::optional<std::string> payment() const;
  std::optional<std::string> verify_email() const;
  std::optional<std::string> account_center() const;

  std::int64_t lastUpdateTime() const;
  void setLastUpdateTime(std::int64_t value);
  bool isRegistered() const;
  void setIsRegistered(bool value);
  bool updateStaticData() const;
  void setUpdateStaticData(bool value);
  bool isLoading() const;
  void setIsLoading(bool value);
  bool shouldCheckBind() const;
  void setShouldCheckBind(bool value);
  std::string username() const;
  void setUsername(std::string value);
  std::string password() const;
  void setPassword(std::string value);
  std::optional<AccountModel> accountInfo() const;
  void setAccountInfo(std::optional<AccountModel> value);
  std::optional<AccountModel> inputAccountInfo() const;
  void setInputAccountInfo(std::optional<AccountModel> value);
  bool isChina() const;
  void setIsChina(bool value);
  bool isForbiddenArea() const;
  void setIsForbiddenArea(bool value);
  bool shouldRestore() const;
  void setShouldRestore(bool value);
  bool isJailbreak() const;
  void setIsJailbreak(bool value);
  std::string ipAddress() const;
  void setIpAddress(std::string value);
  std::string countryCode() const;
  void setCountryCode(std::string value);
  std::optional<MiscInfoModel> model() const;
  void setModel(std::optional<MiscInfoModel> value);
  std::int64_t lastRegisterTime() const;
  void setLastRegisterTime(std::int64_t value);

 private:
  // Writes the latest cookie to the defaults until no newer assignment
  // raced with the write, so the stored text ends as the last one assigned.
  void storeLoginCookie();

  ConnectionPort& port_;
  platform::Defaults& defaults_;
  platform::NotificationCenter& notifications_;
  const platform::Clock& clock_;
  const RefreshHook firstRefresh_;

  mutable platform::Mutex mutex_;
  State state_ VANDREL_GUARDED_BY(mutex_);
  std::string loginCookie_ VANDREL_GUARDED_BY(mutex_);
  std::uint64_t cookieVersion_ VANDREL_GUARDED_BY(mutex_) = 0;
};

}  // namespace vandrel::core
