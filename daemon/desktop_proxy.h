#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/requests.h"
#include "platform/process.h"
#include "platform/result.h"

// The desktop proxy setting of one user (GNOME and the desktops that read
// its settings: org.gnome.system.proxy), changed with gsettings running as
// that user on that user's session bus. What was there before is read
// first, so that it can be put back exactly.
namespace vandrel::daemon {

// Where session buses live: /run/user/UID/bus.
inline constexpr std::string_view kUserRuntimeRoot = "/run/user";

struct DesktopUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;
  std::string runtimeDirectory;  // kUserRuntimeRoot/UID
};

// The account of `uid` with a session bus of its own; an error that says
// which is missing otherwise.
platform::Result<DesktopUser> desktopUser(uid_t uid);

// One setting as gsettings prints and reads it (GVariant text).
struct ProxyValue {
  std::string schema;
  std::string key;
  std::string value;
  bool operator==(const ProxyValue&) const = default;
};

// The settings as they were before the daemon changed them, and whose they are.
struct SavedProxy {
  uid_t uid = 0;
  std::vector<ProxyValue> values;

  // "uid N" then one "SCHEMA KEY VALUE" line per setting.
  std::string format() const;
  // Only the settings the daemon changes, each once, values on one line.
  static std::optional<SavedProxy> parse(std::string_view text);
};

class DesktopProxy {
 public:
  explicit DesktopProxy(platform::ProcessRunner& runner = platform::ProcessRunner::system());

  // Every setting the daemon may change, as it is now.
  platform::Result<SavedProxy> read(const DesktopUser& user);
  // Global: manual HTTP and HTTPS proxy at the proxy endpoint (the FTP and
  // SOCKS entries emptied, so nothing bypasses it). Intelligent: automatic,
  // from the script at http://127.0.0.1:PAC/proxy.pac.
  platform::Result<void> apply(const DesktopUser& user, const SystemProxySettings& settings);
  // Writes back every saved value; goes on after a failed one and reports
  // the first failure.
  platform::Result<void> restore(const DesktopUser& user, const SavedProxy& saved);

 private:
  platform::Result<std::string> gsettings(const DesktopUser& user,
                                          const std::vector<std::string>& arguments);
  platform::ProcessRunner& runner_;
};

}  // namespace vandrel::daemon
