#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/api_hosts.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Defaults;
}

namespace vandrel::core {

// Read on every call of currentHost; the host choice does not depend on it
// (a hidden switch of the log window, kept for what may come to use it).
inline constexpr std::string_view kSwitchVMKey = "qv_switchVMKey";

// The static catalogue. This part holds the choice of the service API host:
// the list `apiHosts`, the host in use and the fail-over that moves to the
// next host at every fifth counted failure.
//
// Thread-safe: the request builder asks for the current host on its
// caller's thread, the transport reports failures from global queues. One
// lock guards every field; it is never held while calling out (reporting,
// defaults, logging), so it never nests with another lock (MiscInfo's
// included).
class StaticData {
 public:
  // Reports a failed host to the service (a "bad_url_log" record). Called
  // without any lock held; it may send a request through the transport,
  // which asks for the current host again.
  using BadUrlReporter = std::function<void(const std::string& host, const std::string& message)>;

  // The one catalogue of the process (leaked), made on first use with
  // apiHosts(), the standard defaults and the remote log's reportBadURL.
  static StaticData& shared();

  // `hosts` must not be empty.
  StaticData(std::vector<ApiHost> hosts, platform::Defaults& defaults, BadUrlReporter reportBadURL);
  StaticData(const StaticData&) = delete;
  StaticData& operator=(const StaticData&) = delete;

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

  const std::vector<ApiHost> hosts_;
  platform::Defaults& defaults_;
  const BadUrlReporter reportBadURL_;

  mutable platform::Mutex mutex_;
  std::int64_t errorTimes_ VANDREL_GUARDED_BY(mutex_) = 0;
  std::int64_t currentHostIndex_ VANDREL_GUARDED_BY(mutex_) = 0;
};

}  // namespace vandrel::core
