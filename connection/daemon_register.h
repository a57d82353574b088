#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/helper_channel.h"
#include "connection/route_registrar.h"
#include "platform/dispatch.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace vandrel::platform {
class Bundle;
}

namespace vandrel::connection {

// [exit status, output]; output "None" when empty or not UTF-8.
struct CommandResult {
  std::int64_t status = 0;
  std::string output;

  bool operator==(const CommandResult&) const = default;
  // The printed form of the two-element array: "(\n    0,\n    \"out\"\n)".
  std::string description() const;
};

// The printed form of an array of strings, as the helper's route replies
// are handed on: "(\n    \"a b\",\n    c\n)", "(\n)" when empty.
std::string describeArray(const std::vector<std::string>& items);

// The application's side of the privileged helper: installation, the
// authorization reference, one method per helper command, and two things
// that run in the application itself (the daemon's path in the bundle and
// a shell runner).
//
// Threads: every method may be called from any thread. Command methods
// return at once; their callBack runs exactly once (never when it is
// empty), on the channel's reply queue, with no hop to the main queue. A
// callBack must not wait for another command's reply. `registerDaemon()`
// waits for an administrator and refuses the main thread;
// `runSystemCommand` blocks its caller until the command ends.
class DaemonRegister final : public RouteRegistrar {
 public:
  using StringCallBack = std::function<void(std::optional<std::string>)>;
  using ArrayCallBack = std::function<void(CommandResult)>;
  // (error, IPv4 socket, IPv6 socket): the error is set exactly when the
  // sockets are not.
  using PortCallBack = std::function<void(std::optional<HelperError>, platform::ipc::OwnedFd,
                                          platform::ipc::OwnedFd)>;

  struct Options {
    // Empty: $VANDREL_HELPER_SOCKET, else "/run/com.vandrel.mac.daemon.sock".
    std::string socketPath;
    uid_t helperUid = 0;  // the helper must run as root
    // Runs the installer as root; the installer's argv follows.
    std::vector<std::string> elevate = {"pkexec"};
    // Empty: the bundle's Contents/Library/LaunchServices/vandrel-helper-install.
    std::filesystem::path installerPath;
    const platform::Bundle* bundle = nullptr;   // Bundle::main() when null
    platform::ProcessRunner* runner = nullptr;  // the system runner when null
  };

  static constexpr std::string_view kDaemonResourceName = "Vandrel-server-daemon";
  // Authorization status values.
  static constexpr std::int32_t kStatusUnknown = 0;
  static constexpr std::int32_t kStatusInstalled = 1;
  static constexpr std::int32_t kStatusNeedsInstall = 2;

  // The process's instance, with the default options; also the shared
  // daemon client's route registrar from its first use on.
  static DaemonRegister& shared();

  explicit DaemonRegister(Options options);
  ~DaemonRegister() override;
  DaemonRegister(const DaemonRegister&) = delete;
  DaemonRegister& operator=(const DaemonRegister&) = delete;

  void setAuthorizationStatus(std::int32_t status) { authorizationStatus_.store(status); }
  std::int32_t authorizationStatus() const { return authorizationStatus_.load(); }

  // Installs the helper: the installer through `elevate` (pkexec), which
  // asks for an administrator's password. "success", or a text that says
  // why not; a refused or dismissed authorization gives a text containing
  // "CFErrorDomainLaunchd Code=" and pkexec's exit status.
  std::string registerDaemon();
  // The same off the calling thread; `callBack` runs on `queue`. The
  // instance must outlive the call (shared() always does).
  void registerDaemon(std::function<void(std::string)> callBack, platform::Queue& queue);

  // Makes the authorization reference: 32 random bytes, its external form.
  void createAuthorization();
  std::optional<std::vector<std::uint8_t>> authorizationExternalForm() const;
  // The rights table of the helper's commands.
  static std::string authorizationRightForCommand(std::string_view command);
  static void enumerateRightsUsingBlock(
      const std::function<void(std::string_view name, std::string_view defaultRule,
                               std::string_view description)>& block);

  // Runs `command` with /bin/bash -c in this process, with only the fixed
  // PATH; waits for it.
  CommandResult runSystemCommand(const std::string& command);
  // The bundle's "Vandrel-server-daemon" resource.
  std::optional<std::string> goServicePath() const;

  // Helper commands.
  void reloadAndClear(StringCallBack callBack);  // checkAndRunServer(goServicePath, true)
  void checkAndLoad(StringCallBack callBack);    // checkAndRunServer(goServicePath, false)
  // nil when the daemon serves, else the failure text.
  void checkAndRunServer(const std::string& path, bool force, StringCallBack callBack);
  // The printed form of the helper's lines. No callBack at all for an
  // empty list (the helper has nothing to say to it).
  void deleteRoutes(std::vector<std::string> routes, StringCallBack callBack);
  // nil once registered.
  void deleteRoutesWhenAppKilled(std::vector<std::string> routes, StringCallBack callBack);
  void deleteRoutesWhenAppKilled(std::vector<std::string> routes) override;
  // "1024" from a current helper; an error's description otherwise.
  void checkDaemonCallBack(StringCallBack callBack);
  void runCommand(const std::string& command, ArrayCallBack callBack);
  void debugInfoCallBack(StringCallBack callBack);
  void bindToLowNumberPortAuthorization(std::optional<std::vector<std::uint8_t>> authorization,
                                        PortCallBack callBack);

  std::size_t pendingCountForTesting() const { return channel_.pendingCount(); }
  const std::string& socketPath() const { return channel_.options().socketPath; }

 private:
  const platform::Bundle& bundle() const;

  Options options_;
  HelperChannel channel_;
  std::atomic<std::int32_t> authorizationStatus_{kStatusUnknown};
  mutable platform::Mutex mutex_;
  std::optional<std::vector<std::uint8_t>> externalForm_ VANDREL_GUARDED_BY(mutex_);
};

}  // namespace vandrel::connection
