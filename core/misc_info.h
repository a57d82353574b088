#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/account_records.h"
#include "core/result_data.h"
#include "platform/clock.h"
#include "platform/promise.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Defaults;
class NotificationCenter;
}  // namespace vandrel::platform

namespace vandrel::core {

class ConnectionPort;
class qv_ConnectLog;
class qv_Network;

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

// The error of every flow that needs a signed-in session and has none.
inline constexpr std::string_view kPleaseLoginMessage = "Please Login your account before connect.";

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
//
// The account flows (refresh, sign-in, sign-out, clearing) reach the
// transport and the connection log through attach(): both are resolved at
// first use, because the transport itself is built over the session. Their
// reply steps run on the main queue (the application's event loop, or a test
// pumping it); nothing in them waits on the main thread. Continuations hold
// the object: it must outlive its flows (shared() never dies).
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

  // What the flows use beyond the constructor's collaborators, each asked
  // for when a flow first needs it.
  struct Services {
    // The service API transport. Required by every flow that sends.
    std::function<qv_Network&()> network;
    // The connection log the sign-in reply marks "login" on; none: no mark.
    std::function<qv_ConnectLog*()> connectLog;
  };

  // The one session of the process (leaked), made on first use with the
  // shared connection port, the standard defaults, the default notification
  // center, the system clock and the default refresh hook, and attached to
  // the shared transport and connection log. It constructs no other shared
  // object: those are reached when a flow first runs (on a global queue or
  // at reply time), so their own shared() may build on this one.
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

  // Installs the services of the flows; call before the first flow.
  void attach(Services services);

  // Jobs this object started on the global queue that have not finished
  // (the first refresh, a sign-out's last steps, a tunnel stop's start):
  // an instance other than the shared one must outlive them.
  int pendingWorkCount() const { return pendingWork_.load(); }

  // ---- Account flows -------------------------------------------------------

  // Refreshes the address, the web links and the user record from the
  // service. Unless `interval` <= 0, a refresh younger than `interval`
  // seconds resolves at once with "ok" and sends nothing. Without a cookie:
  // code -1 and kPleaseLoginMessage, nothing sent. Else GET "/ip",
  // "/app/links" and "/user/misc-info" in this order (the caller's thread
  // builds them); the returned promise settles, with the user-information
  // reply unchanged, after that reply's step has run on the main queue. A
  // decoded record replaces `model`, is cached, posts
  // "MiscInfoDidUpdateNotification" and, for an expired account while
  // connected, stops the tunnels (on the global queue) and shows "Upgrade
  // Required". Never rejects.
  platform::Promise<ResultData> updateMiscInfo(std::int64_t interval);

  // Signs in. Without `account` the stored account's, else `username`;
  // without `password` likewise. Makes the automatic line current first.
  // Empty credentials: code -1 and kPleaseLoginMessage, nothing sent. The
  // reply step runs on the main queue and the promise settles after it with
  // the reply unchanged. A refusal by the service forgets the stored
  // credentials and the cookie; a local, transport or cancellation failure
  // keeps them.
  platform::Promise<ResultData> login(std::optional<std::string> account,
                                      std::optional<std::string> password, LoginAuthType authType,
                                      std::string callCode, std::string smsCode);

  // Keeps `account` and `password` as the credentials of the last sign-in
  // (both non-empty; otherwise none) and empties the fallback credentials;
  // stores them as "accountInfoKey".
  void saveAccount(const std::string& account, const std::string& password,
                   const std::string& callCode, LoginAuthType authType);

  // Signs out (main queue). While connected, the tunnels are stopped on the
  // global queue first; the rest then runs on the main queue: record gone,
  // links, region, line and account reset, every request of the API session
  // cancelled, then "/logout" sent with the cookie (`notifyServer`), which
  // is dropped once it has settled.
  void logout(bool notifyServer);

  // Ends the session (the service ended it): record, cookie and account
  // gone. With `stopConnection` while connected, the tunnels are stopped on
  // the global queue and markDisconnected follows on the main queue.
  void clearUserInfo(bool stopConnection);

  // After a finished stop: on success, both statuses off (one store) and
  // "VPNStatusChangeNotification".
  void markDisconnected(const ResultData& result);

  // Where "Upgrade" leads: `payment`, or the default payment page when the
  // links reply left it out.
  std::string paymentPageAddress() const;

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
  struct Credentials {
    std::string account;
    std::string password;
    std::string callCode;
    LoginAuthType authType = LoginAuthType::username;
  };

  qv_Network& network() const;
  qv_ConnectLog* connectLog() const;

  // Reply steps, on the main queue.
  void applyAddressReply(const ResultData& result);
  void applyLinksReply(const ResultData& result);
  void applyUserInfoReply(const ResultData& result);
  void breakExpiredConnection();
  void markStoppedAfterExpiry(const ResultData& result);
  ResultData handleLoginReply(const ResultData& result, const Credentials& credentials);

  // Sign-out after the stop (main queue) and its last steps.
  void finishLogout(bool notifyServer);
  void cancelAllRequests(bool notifyServer);
  void sendLogout(bool notifyServer);
  void dropLoginCookie();
  // The user record gone, stored as gone, and announced.
  void forgetModel();
  // Starts stopTunnels on the global queue: it may block on the daemon.
  // `onStopped` runs on the main queue with the stop's result.
  void stopTunnelsInBackground(std::function<void(const ResultData&)> onStopped);

  // Runs `job` on the global queue, counted in pendingWorkCount().
  void inBackground(std::function<void()> job);

  // Writes the latest cookie to the defaults until no newer assignment
  // raced with the write, so the stored text ends as the last one assigned.
  void storeLoginCookie();

  ConnectionPort& port_;
  platform::Defaults& defaults_;
  platform::NotificationCenter& notifications_;
  const platform::Clock& clock_;
  const RefreshHook firstRefresh_;

  mutable platform::Mutex mutex_;
  Services services_ VANDREL_GUARDED_BY(mutex_);
  State state_ VANDREL_GUARDED_BY(mutex_);
  std::string loginCookie_ VANDREL_GUARDED_BY(mutex_);
  std::uint64_t cookieVersion_ VANDREL_GUARDED_BY(mutex_) = 0;
  // Counts the times the user record was forgotten (sign-out, a refused
  // session). A refresh applies its account replies only while the count
  // is the one it started under.
  std::atomic<std::uint64_t> signOuts_{0};
  std::atomic<int> pendingWork_{0};
};

}  // namespace vandrel::core
