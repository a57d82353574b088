#include "helper/helper_tool.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "helper/helper_log.h"
#include "helper/helper_text.h"
#include "helper/route_validation.h"
#include "proto/helper.pb.h"

namespace vandrel::helper {
namespace {

using platform::Error;
using platform::MutexLock;
using platform::Result;
using platform::ipc::Message;
using platform::ipc::OwnedFd;
using platform::ipc::PeerCredentials;

constexpr int kLowPort = 80;
// What the shell gives for a command it cannot run: the status of "exit 127".
constexpr int kNotRunStatus = 127 << 8;

std::string osStatusText(std::int64_t code) {
  return "The operation couldn\u2019t be completed. (OSStatus error " + std::to_string(code) + ".)";
}

Error posixError(int code, const std::string& what) {
  return Error{std::string(kPosixErrorDomain), code, what + ": " + std::strerror(code)};
}

// A TCP socket of `family` with SO_REUSEADDR, bound to the any-address on
// port 80 but not listening.
Result<OwnedFd> bindLowPort(int family) {
  OwnedFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return posixError(errno, "socket");
  const int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) {
    return posixError(errno, "SO_REUSEADDR");
  }
  int rc;
  if (family == AF_INET) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kLowPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } else {
    // IPv6 only: otherwise it would claim the IPv4 port as well, and the
    // two descriptors could not both listen.
    if (::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one)) != 0) {
      return posixError(errno, "IPV6_V6ONLY");
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(kLowPort);
    address.sin6_addr = in6addr_any;
    rc = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  }
  if (rc != 0) return posixError(errno, "bind to port 80");
  return fd;
}

std::vector<std::string> toStrings(const google::protobuf::RepeatedPtrField<std::string>& list) {
  return {list.begin(), list.end()};
}

void setError(wire::Reply& reply, const Error& error) {
  auto* out = reply.mutable_error();
  out->set_domain(toValidUtf8(error.domain));
  out->set_code(error.code);
  out->set_message(toValidUtf8(error.message));
}

}  // namespace

std::string runGoServerFailedText(std::string_view failure, std::string_view debugInfo) {
  return "run goServer failed:\n" + std::string(failure) + " \nDebug Info:\n" +
         std::string(debugInfo);
}

std::string deleteRouteLine(std::string_view route, int waitStatus) {
  return "delete " + std::string(route) + " res: " + std::to_string(waitStatus);
}

HelperTool::HelperTool(Options options)
    : config_(std::move(options.config)),
      socketPath_(std::move(options.socketPath)),
      runner_(options.runner ? *options.runner : platform::ProcessRunner::system()),
      routeTimeout_(options.routeTimeout),
      daemon_([&] {
        auto daemon = options.daemon;
        daemon.daemonPath = config_.daemonPath;
        daemon.port = config_.daemonPort;
        return daemon;
      }()),
      watchdog_([this] { cleanUpAfterApp(); }, options.watchdogInterval) {}

HelperTool::~HelperTool() = default;

bool HelperTool::acceptPeer(const PeerCredentials& peer) const { return config_.allows(peer.uid); }

CommandResult HelperTool::runCommand(const std::string& command) {
  sysLog("run command: " + command);
  auto out = runner_.runShell(command);
  CommandResult result;
  if (!out.ok()) {
    result = {WEXITSTATUS(kNotRunStatus), "None"};
  } else {
    const int status = out.value().waitStatus;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    result.output = outputOrNone(out.value().standardOutput);
  }
  sysLog("(\n    " + std::to_string(result.status) + ",\n    \"" + printable(result.output, 512) +
         "\"\n)");
  return result;
}

void HelperTool::setExecPath(const PeerCredentials& peer, std::string_view path) {
  if (path != config_.daemonPath) {
    sysLog("ignoring the daemon path \"" + printable(path) + "\" of pid " +
           std::to_string(peer.pid) + "; the configured daemon is " + config_.daemonPath);
  }
  // A peer that is gone already counts as an application that has ended.
  const auto app = AppIdentity::of(peer.pid);
  watchdog_.watch(app.value_or(AppIdentity{peer.pid, 0}));
}

std::optional<std::string> HelperTool::checkAndRunServer(const PeerCredentials& peer,
                                                         std::string_view path, bool force) {
  setExecPath(peer, path);
  std::optional<std::string> failure;
  std::string debug;
  control_.sync([&] {
    if (!force && !daemon_.isGoServerWorking()) return;
    failure = daemon_.runServer();
    if (failure) debug = daemon_.debugInfo();
  });
  if (!failure) return std::nullopt;
  return runGoServerFailedText(*failure, debug);
}

namespace {

Error tooManyRoutes(std::size_t count) {
  return Error{std::string(kHelperErrorDomain), E2BIG,
               "a route list of " + std::to_string(count) + " entries was refused; at most " +
                   std::to_string(kMaxRoutesPerRequest) + " are taken"};
}

}  // namespace

Result<std::vector<std::string>> HelperTool::deleteRoutes(const std::vector<std::string>& routes) {
  if (routes.size() > kMaxRoutesPerRequest) {
    const Error refused = tooManyRoutes(routes.size());
    sysLog("refused deleteRoutes: " + refused.message);
    return refused;
  }
  return runRouteDeletions(routes);
}

std::vector<std::string> HelperTool::runRouteDeletions(const std::vector<std::string>& routes) {
  std::vector<std::string> lines;
  for (const auto& entry : routes) {
    if (entry.empty()) continue;
    const auto spec = RouteSpec::parse(entry);
    if (!spec) {
      sysLog("refused route entry \"" + printable(entry) +
             "\": not an address with an optional prefix");
      continue;
    }
    platform::ProcessOptions runOptions;
    runOptions.timeout = routeTimeout_;
    auto out = runner_.run(spec->deleteArgv(), runOptions);
    const int rc = out.ok() ? out.value().waitStatus : kNotRunStatus;
    if (!out.ok()) sysLog("cannot run ip: " + out.error().message);
    lines.push_back(deleteRouteLine(spec->text, rc));
    sysLog(lines.back());
  }
  return lines;
}

Result<void> HelperTool::deleteRoutesWhenAppKilled(const std::vector<std::string>& routes) {
  if (routes.size() > kMaxRoutesPerRequest) {
    const Error refused = tooManyRoutes(routes.size());
    sysLog("refused deleteRoutesWhenAppKilled: " + refused.message);
    return refused;
  }
  std::vector<std::string> checked;
  for (const auto& entry : routes) {
    if (entry.empty()) continue;  // skipped at clean-up time anyway
    const auto spec = RouteSpec::parse(entry);
    if (!spec) {
      sysLog("refused deleteRoutesWhenAppKilled: route entry \"" + printable(entry) +
             "\" is not an address with an optional prefix");
      return Error{std::string(kHelperErrorDomain), EINVAL,
                   "route entry \"" + printable(entry) +
                       "\" is not an address with an optional prefix"};
    }
    checked.push_back(spec->text);
  }
  const std::size_t count = checked.size();
  {
    MutexLock lock(mutex_);
    routesWhenAppKilled_ = std::move(checked);
  }
  sysLog("routes to delete when the application is gone: " + std::to_string(count));
  return platform::success();
}

void HelperTool::cleanUpAfterApp() {
  control_.sync([&] {
    daemon_.runKillCMD();
    daemon_.runClearCMD();
  });
  std::vector<std::string> routes;
  {
    MutexLock lock(mutex_);
    routes = routesWhenAppKilled_;  // kept: the next clean-up deletes them again
  }
  runRouteDeletions(routes);
}

std::string HelperTool::debugInfo() {
  std::string text;
  control_.sync([&] { text = daemon_.debugInfo(); });
  return text;
}

Result<CommandResult> HelperTool::execCommand(const std::string& command) {
  if (!config_.execCommand) {
    sysLog("refused execCommand: disabled in the configuration");
    return Error{std::string(kHelperErrorDomain), EPERM,
                 "execCommand is disabled in the helper's configuration"};
  }
  // The shell would run only what comes before a NUL, while the log shows
  // the whole text: what runs as root must be what is logged.
  if (command.find('\0') != std::string::npos) {
    sysLog("refused execCommand \"" + printable(command) + "\": it holds a NUL byte");
    return Error{std::string(kHelperErrorDomain), EINVAL, "the command holds a NUL byte"};
  }
  return runCommand(command);
}

Result<std::pair<OwnedFd, OwnedFd>> HelperTool::bindToLowNumberPort(
    const std::optional<std::string>& authorization) {
  if (!authorization || authorization->size() != kAuthorizationExternalFormSize) {
    return Error{std::string(kOSStatusErrorDomain), kParamErr, osStatusText(kParamErr)};
  }
  // The caller was admitted at accept; the command's right decides the rest.
  const auto right = authorizationRightForCommand(kBindToLowNumberPortCommand);
  const auto& rights = authorizationRights();
  const bool allowed = right && std::any_of(rights.begin(), rights.end(), [&](const auto& row) {
                         return row.name == *right && row.defaultRule == kRuleAllow;
                       });
  if (!allowed) {
    constexpr int kErrAuthorizationDenied = -60005;
    return Error{std::string(kOSStatusErrorDomain), kErrAuthorizationDenied,
                 osStatusText(kErrAuthorizationDenied)};
  }
  auto v4 = bindLowPort(AF_INET);
  if (!v4.ok()) return v4.error();
  auto v6 = bindLowPort(AF_INET6);
  if (!v6.ok()) return v6.error();
  return std::make_pair(std::move(v4).value(), std::move(v6).value());
}

std::optional<Message> HelperTool::handleFrame(const PeerCredentials& peer, std::string payload) {
  wire::Request request;
  if (!request.ParseFromString(payload) || request.id() == 0) {
    sysLog("malformed request from pid " + std::to_string(peer.pid));
    return std::nullopt;
  }
  wire::Reply reply;
  reply.set_id(request.id());
  Message message;
  switch (request.command_case()) {
    case wire::Request::kConnectWithEndpoint:
      reply.mutable_text()->set_value(toValidUtf8(socketPath_));
      break;
    case wire::Request::kCheckAndRunServer: {
      const auto& command = request.check_and_run_server();
      const auto failure = checkAndRunServer(peer, command.path(), command.force());
      auto* text = reply.mutable_text();
      if (failure) text->set_value(toValidUtf8(*failure));
      break;
    }
    case wire::Request::kExecCommand: {
      auto result = execCommand(request.exec_command().command());
      if (!result.ok()) {
        setError(reply, result.error());
      } else {
        reply.mutable_command_result()->set_status(result.value().status);
        reply.mutable_command_result()->set_output(result.value().output);
      }
      break;
    }
    case wire::Request::kDeleteRoutes: {
      const auto routes = toStrings(request.delete_routes().routes());
      if (routes.empty()) {
        reply.mutable_no_reply();
        break;
      }
      auto deleted = deleteRoutes(routes);
      if (!deleted.ok()) {
        setError(reply, deleted.error());
        break;
      }
      auto* lines = reply.mutable_lines();
      for (auto& line : deleted.value()) lines->add_lines(std::move(line));
      break;
    }
    case wire::Request::kDeleteRoutesWhenAppKilled: {
      auto stored =
          deleteRoutesWhenAppKilled(toStrings(request.delete_routes_when_app_killed().routes()));
      if (!stored.ok()) {
        setError(reply, stored.error());
      } else {
        reply.mutable_nil();
      }
      break;
    }
    case wire::Request::kDebugInfo:
      reply.mutable_text()->set_value(debugInfo());
      break;
    case wire::Request::kCheckDaemon:
      reply.mutable_text()->set_value(std::string(kHelperVersion));
      break;
    case wire::Request::kBindToLowNumberPort: {
      const auto& command = request.bind_to_low_number_port();
      auto sockets = bindToLowNumberPort(command.has_authorization()
                                             ? std::optional<std::string>(command.authorization())
                                             : std::nullopt);
      if (!sockets.ok()) {
        setError(reply, sockets.error());
        break;
      }
      message.fds.push_back(std::move(sockets.value().first));
      message.fds.push_back(std::move(sockets.value().second));
      reply.mutable_sockets()->set_count(2);
      break;
    }
    case wire::Request::COMMAND_NOT_SET:
      setError(reply, Error{std::string(kHelperErrorDomain), ENOSYS, "unknown command"});
      break;
  }
  message.payload = reply.SerializeAsString();
  if (message.payload.size() > platform::ipc::kMaxFrameSize) {
    const std::string size = std::to_string(message.payload.size());
    reply.clear_result();
    message.fds.clear();
    setError(reply, Error{std::string(kHelperErrorDomain), EMSGSIZE,
                          "the reply of " + size + " bytes exceeds the channel's frame limit"});
    message.payload = reply.SerializeAsString();
  }
  return message;
}

}  // namespace vandrel::helper
