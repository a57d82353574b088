#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

// What the application and its privileged helper share: names, the version
// answer, the channel's socket and the authorization rights table.
namespace vandrel::helper {

// The service's name: the helper's label and the socket's name.
inline constexpr std::string_view kServiceName = "com.vandrel.mac.daemon";
inline constexpr std::string_view kDefaultSocketPath = "/run/com.vandrel.mac.daemon.sock";
inline constexpr std::string_view kDefaultConfigPath = "/etc/vandrel/helper.conf";
// The helper's version answer; the application accepts no other.
inline constexpr std::string_view kHelperVersion = "1024";

// The tunnelling daemon's executable name and its gRPC port.
inline constexpr std::string_view kDaemonName = "Vandrel-server-daemon";
inline constexpr int kDefaultDaemonPort = 50051;
// The word the debug text's process section looks for.
inline constexpr std::string_view kAppSearchKeyword = "Vandrel";

// Command selector names, as the rights table keys them.
inline constexpr std::string_view kBindToLowNumberPortCommand =
    "bindToLowNumberPortAuthorization:withReply:";

// An authorization's external form is exactly this many bytes.
inline constexpr std::size_t kAuthorizationExternalFormSize = 32;
inline constexpr std::string_view kOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr std::string_view kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr int kParamErr = -50;
// The helper's own refusals (a disabled command, an unknown one).
inline constexpr std::string_view kHelperErrorDomain = "com.vandrel.mac.daemon";

// One row of the rights table.
struct AuthorizationRight {
  std::string_view command;      // the selector name of the command it guards
  std::string_view name;         // "authRightName"
  std::string_view defaultRule;  // "authRightDefault"
  std::string_view description;  // "authRightDescription"
};

inline constexpr std::string_view kStartWebServiceRight = "com.vandrel.mac.startWebService";
inline constexpr std::string_view kRuleAllow = "allow";

// The rights table, built once, in row order.
const std::vector<AuthorizationRight>& authorizationRights();

// The right that guards `command`; nothing for a command without one.
std::optional<std::string_view> authorizationRightForCommand(std::string_view command);

}  // namespace vandrel::helper
