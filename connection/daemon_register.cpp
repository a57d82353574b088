#include "connection/daemon_register.h"

#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "connection/accel_accel_service_client.h"
#include "helper/helper_protocol.h"
#include "helper/helper_text.h"
#include "platform/bundle.h"
#include "proto/helper.pb.h"

namespace vandrel::connection {
namespace {

namespace wire = helper::wire;
using platform::MutexLock;
using platform::ipc::OwnedFd;

constexpr std::string_view kInstallerName = "vandrel-helper-install";
constexpr std::string_view kLaunchdDomain = "CFErrorDomainLaunchd";
constexpr std::string_view kInstallDomain = "com.vandrel.mac.daemon.install";
// pkexec's exit statuses for an authorization that was refused or
// dismissed (126) and for one it could not obtain (127).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;
// Waiting for an administrator to type a password can take a while.
constexpr auto kInstallTimeout = std::chrono::minutes(15);

// Old-style property-list quoting: bare when every character is plain.
std::string describeString(const std::string& text) {
  const bool bare = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_$/:.-", c) != nullptr;
  });
  if (bare) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string defaultSocketPath() {
  if (const char* path = std::getenv("VANDREL_HELPER_SOCKET"); path && *path) return path;
  return std::string(helper::kDefaultSocketPath);
}

// A helper's error reply as the caller sees it.
HelperError errorOf(const wire::ErrorReply& error) {
  return HelperError{error.domain(), error.code(), error.message(), ""};
}

HelperError unexpected(const wire::Reply& reply) {
  return HelperError{std::string(helper::kHelperErrorDomain), EPROTO,
                     "The helper answered with an unexpected reply.",
                     "reply case " + std::to_string(reply.result_case())};
}

// The error of an outcome that carries no usable reply of `expected` kind.
std::optional<HelperError> failureOf(const HelperOutcome& outcome,
                                     wire::Reply::ResultCase expected) {
  if (outcome.error) return outcome.error;
  if (outcome.reply->has_error()) return errorOf(outcome.reply->error());
  if (outcome.reply->result_case() != expected) return unexpected(*outcome.reply);
  return std::nullopt;
}

std::string installFailure(std::string_view domain, int code, const std::string& text) {
  return "Error Domain=" + std::string(domain) + " Code=" + std::to_string(code) + " \"" + text +
         "\"";
}

}  // namespace

std::string CommandResult::description() const {
  return "(\n    " + std::to_string(status) + ",\n    " + describeString(output) + "\n)";
}

std::string describeArray(const std::vector<std::string>& items) {
  std::string out = "(";
  for (std::size_t i = 0; i < items.size(); ++i) {
    out += (i ? ",\n    " : "\n    ") + describeString(items[i]);
  }
  return out + "\n)";
}

DaemonRegister& DaemonRegister::shared() {
  static auto* instance = [] {
    auto* made = new DaemonRegister(Options{});
    // The daemon client registers its exclude routes through us.
    AccelCalls::setSharedRouteRegistrar(made);
    return made;
  }();
  return *instance;
}

DaemonRegister::DaemonRegister(Options options)
    : options_(std::move(options)),
      channel_({options_.socketPath.empty() ? defaultSocketPath() : options_.socketPath,
                options_.helperUid}) {}

DaemonRegister::~DaemonRegister() = default;

const platform::Bundle& DaemonRegister::bundle() const {
  return options_.bundle ? *options_.bundle : platform::Bundle::main();
}

std::string DaemonRegister::registerDaemon() {
  VANDREL_CHECK(!platform::isMainThread(), "DaemonRegister::registerDaemon on the main thread");
  const auto installer = options_.installerPath.empty()
                             ? bundle().launchServicesPath() / std::string(kInstallerName)
                             : options_.installerPath;
  std::vector<std::string> argv = options_.elevate;
  argv.insert(argv.end(), {installer.string(), "--bundle", bundle().bundlePath().string(), "--uid",
                           std::to_string(::getuid())});
  platform::ProcessOptions processOptions;
  processOptions.timeout = kInstallTimeout;
  auto& runner = options_.runner ? *options_.runner : platform::ProcessRunner::system();
  auto out = runner.run(argv, processOptions);
  if (!out.ok()) return installFailure(kInstallDomain, out.error().code, out.error().message);
  const int code = out.value().exitCode;
  if (code == 0) return "success";
  if (code == kPkexecDismissed || code == kPkexecNotAuthorized) {
    return installFailure(kLaunchdDomain, code,
                          "The helper tool was not installed: the authorization was refused or "
                          "dismissed.");
  }
  std::string reason = out.value().standardError;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
  if (reason.empty()) reason = "the installer failed";
  return installFailure(kInstallDomain, code, helper::toValidUtf8(reason));
}

void DaemonRegister::registerDaemon(std::function<void(std::string)> callBack,
                                    platform::Queue& queue) {
  auto post = queue.poster();
  platform::globalQueue().async([this, post, callBack = std::move(callBack)] {
    auto result = registerDaemon();
    post([callBack, result = std::move(result)] { callBack(result); });
  });
}

void DaemonRegister::createAuthorization() {
  std::vector<std::uint8_t> bytes(helper::kAuthorizationExternalFormSize);
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n < 0 && errno == EINTR) continue;
    // Without randomness there is no reference; the port command then
    // fails with the helper's parameter error, as for a missing one.
    if (n < 0) return;
    filled += static_cast<std::size_t>(n);
  }
  MutexLock lock(mutex_);
  externalForm_ = std::move(bytes);
}

std::optional<std::vector<std::uint8_t>> DaemonRegister::authorizationExternalForm() const {
  MutexLock lock(mutex_);
  return externalForm_;
}

std::string DaemonRegister::authorizationRightForCommand(std::string_view command) {
  return std::string(helper::authorizationRightForCommand(command).value_or(""));
}

void DaemonRegister::enumerateRightsUsingBlock(
    const std::function<void(std::string_view, std::string_view, std::string_view)>& block) {
  for (const auto& right : helper::authorizationRights()) {
    block(right.name, right.defaultRule, right.description);
  }
}

CommandResult DaemonRegister::runSystemCommand(const std::string& command) {
  auto& runner = options_.runner ? *options_.runner : platform::ProcessRunner::system();
  auto out = runner.runShell(command);
  if (!out.ok()) return CommandResult{-1, "None"};
  const int status = out.value().waitStatus;
  return CommandResult{WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status),
                       helper::outputOrNone(out.value().standardOutput)};
}

std::optional<std::string> DaemonRegister::goServicePath() const {
  const auto path = bundle().pathForResource(kDaemonResourceName);
  if (!path) return std::nullopt;
  return path->string();
}

void DaemonRegister::reloadAndClear(StringCallBack callBack) {
  checkAndRunServer(goServicePath().value_or(""), true, std::move(callBack));
}

void DaemonRegister::checkAndLoad(StringCallBack callBack) {
  checkAndRunServer(goServicePath().value_or(""), false, std::move(callBack));
}

void DaemonRegister::checkAndRunServer(const std::string& path, bool force,
                                       StringCallBack callBack) {
  wire::Request request;
  request.mutable_check_and_run_server()->set_path(path);
  request.mutable_check_and_run_server()->set_force(force);
  channel_.send(request, [callBack = std::move(callBack)](HelperOutcome outcome) {
    if (!callBack) return;
    if (auto failure = failureOf(outcome, wire::Reply::kText)) {
      return callBack(failure->localizedDescription);
    }
    const auto& text = outcome.reply->text();
    callBack(text.has_value() ? std::optional<std::string>(text.value()) : std::nullopt);
  });
}

void DaemonRegister::deleteRoutes(std::vector<std::string> routes, StringCallBack callBack) {
  wire::Request request;
  auto* command = request.mutable_delete_routes();
  for (auto& route : routes) command->add_routes(std::move(route));
  channel_.send(request, [callBack = std::move(callBack)](HelperOutcome outcome) {
    if (!callBack) return;
    if (!outcome.error && outcome.reply->has_no_reply()) return;
    if (auto failure = failureOf(outcome, wire::Reply::kLines)) {
      return callBack(failure->localizedDescription);
    }
    const auto& lines = outcome.reply->lines().lines();
    callBack(describeArray({lines.begin(), lines.end()}));
  });
}

void DaemonRegister::deleteRoutesWhenAppKilled(std::vector<std::string> routes,
                                               StringCallBack callBack) {
  wire::Request request;
  auto* command = request.mutable_delete_routes_when_app_killed();
  for (auto& route : routes) command->add_routes(std::move(route));
  channel_.send(request, [callBack = std::move(callBack)](HelperOutcome outcome) {
    if (!callBack) return;
    if (auto failure = failureOf(outcome, wire::Reply::kNil)) {
      return callBack(failure->localizedDescription);
    }
    callBack(std::nullopt);
  });
}

void DaemonRegister::deleteRoutesWhenAppKilled(std::vector<std::string> routes) {
  deleteRoutesWhenAppKilled(std::move(routes), nullptr);
}

void DaemonRegister::checkDaemonCallBack(StringCallBack callBack) {
  wire::Request request;
  request.mutable_check_daemon();
  channel_.send(request, [callBack = std::move(callBack)](HelperOutcome outcome) {
    if (!callBack) return;
    if (auto failure = failureOf(outcome, wire::Reply::kText))
      return callBack(failure->description());
    const auto& text = outcome.reply->text();
    callBack(text.has_value() ? std::optional<std::string>(text.value()) : std::nullopt);
  });
}

void DaemonRegister::runCommand(const std::string& command, ArrayCallBack callBack) {
  wire::Request request;
  request.mutable_exec_command()->set_command(command);
  channel_.send(request, [callBack = std::move(callBack)](HelperOutcome outcome) {
    if (!callBack) return;
    if (auto failure = failureOf(outcome, wire::Reply::kCommandResult)) {
      return callBack(CommandResult{-1, failure->debugDescription()});
    }
    const auto& result = outcome.reply->command_result();
    callBack(CommandResult{result.status(), result.output()});
  });
}

void DaemonRegister::debugInfoCallBack(StringCallBack callBack) {
  wire::Request request;
  request.mutable_debug_info();
  channel_.send(request, [callBack = std::move(callBack)](HelperOutcome outcome) {
    if (!callBack) return;
    if (auto failure = failureOf(outcome, wire::Reply::kText)) {
      return callBack(failure->debugDescription());
    }
    const auto& text = outcome.reply->text();
    callBack(text.has_value() ? std::optional<std::string>(text.value()) : std::nullopt);
  });
}

void DaemonRegister::bindToLowNumberPortAuthorization(
    std::optional<std::vector<std::uint8_t>> authorization, PortCallBack callBack) {
  wire::Request request;
  auto* command = request.mutable_bind_to_low_number_port();
  if (authorization) command->set_authorization(authorization->data(), authorization->size());
  channel_.send(request, [callBack = std::move(callBack)](HelperOutcome outcome) {
    if (!callBack) return;
    auto failure = failureOf(outcome, wire::Reply::kSockets);
    if (!failure && (outcome.reply->sockets().count() != 2 || outcome.fds->size() != 2)) {
      failure = unexpected(*outcome.reply);
    }
    if (failure) return callBack(std::move(failure), OwnedFd(), OwnedFd());
    callBack(std::nullopt, std::move((*outcome.fds)[0]), std::move((*outcome.fds)[1]));
  });
}

}  // namespace vandrel::connection
