#pragma once

// How the application and its login-item launcher meet on the session bus.
// Both include this header; it holds names only (no Qt), so either side can
// use it with any D-Bus binding.
//
// Running: while it runs, the application owns the bus name kMainAppBusName
// and the launcher owns kLauncherBusName; "is it running?" is "does the
// session bus know that name?".
//
// The kill notification "Vandrel-Kill-Me" is the broadcast signal
// kKillMeMember of kSignalInterface on kSignalPath, with one string
// argument: the notification's object, the sender's bundle identifier. D-Bus
// member names cannot hold "-", hence the member's spelling. At launch, when
// kLauncherBusName is on the bus, the application emits it once with its own
// bundle identifier; a launcher ends on kMainAppBundleIdentifier and ignores
// any other object.
//
// Reopen: a second start of the application finds kMainAppBusName taken,
// calls kReopenMethod (no arguments, no reply value) of kMainAppInterface on
// kMainAppObjectPath of the owner, which brings its windows back as a
// reopened application does, and ends.

#include <string_view>

namespace vandrel::app::launcher_protocol {

// Bundle identifiers.
inline constexpr std::string_view kMainAppBundleIdentifier = "com.vandrel.mac.offline";
inline constexpr std::string_view kLauncherBundleIdentifier = "com.vandrel.mac.launcherApp";

// Session-bus names: the bundle identifiers themselves.
inline constexpr std::string_view kMainAppBusName = kMainAppBundleIdentifier;
inline constexpr std::string_view kLauncherBusName = kLauncherBundleIdentifier;

// The kill notification and the signal that carries it: (s object).
inline constexpr std::string_view kKillMeNotificationName = "Vandrel-Kill-Me";
inline constexpr std::string_view kSignalPath = "/com/vandrel/mac/DistributedNotifications";
inline constexpr std::string_view kSignalInterface = "com.vandrel.mac.DistributedNotifications";
inline constexpr std::string_view kKillMeMember = "Vandrel_Kill_Me";

// The running application's object.
inline constexpr std::string_view kMainAppObjectPath = "/com/vandrel/mac/offline";
inline constexpr std::string_view kMainAppInterface = "com.vandrel.mac.Application";
inline constexpr std::string_view kReopenMethod = "Reopen";

}  // namespace vandrel::app::launcher_protocol
