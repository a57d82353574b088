// The application side of the end-to-end test, as a program of its own: the
// shared objects of the client, reaching the service, the daemon and the
// helper only through the run-time knobs (VANDREL_BUNDLE, VANDREL_API_HOSTS,
// VANDREL_DAEMON_ADDR, VANDREL_HELPER_SOCKET and the XDG variables), so it
// can be pointed at any service and daemon that speak the protocols.
//
// Usage: vandrel-e2e-client --account ACCOUNT --password PASSWORD
//                           [--mode smartWeb|web|app|ssw]
//
// It signs in, fetches the lines, prints "ready", then reads commands from
// standard input, one per line: "connect", "disconnect", "quit". Its own
// lines on standard output (the client's log lines go there too, each
// starting with a date):
//   signed in | sign-in failed: MESSAGE
//   lines: REGION COUNT
//   ready
//   status: connecting | on | disconnecting | off      (each change)
//   alert: TITLE: MESSAGE                              (answered with its first button)
//   ignored: COMMAND                                   (not in a state to do it)
// Exit status 0 after "quit", 1 when the sign-in or the line fetch fails,
// 2 on bad arguments.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "connection/alert_helpers.h"
#include "connection/connection_port_impl.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/app_constants.h"
#include "core/misc_info.h"
#include "platform/dispatch.h"
#include "platform/file_io.h"
#include "platform/notification_center.h"
#include "platform/promise.h"

namespace {

using namespace std::chrono_literals;
using vandrel::connection::qv_ConnectionManager;
using vandrel::core::ConnectMode;
using vandrel::core::qv_ConnectStatus;
using vandrel::core::ResultData;
namespace platform = vandrel::platform;

void say(const std::string& line) { platform::writeAll(STDOUT_FILENO, line + "\n"); }

std::string_view statusWord(qv_ConnectStatus status) {
  switch (status) {
    case qv_ConnectStatus::qv_on:
      return "on";
    case qv_ConnectStatus::qv_connecting:
      return "connecting";
    case qv_ConnectStatus::qv_off:
      return "off";
    case qv_ConnectStatus::qv_disconnecting:
      return "disconnecting";
  }
  return "?";
}

std::optional<ConnectMode> modeNamed(std::string_view name) {
  static constexpr std::pair<std::string_view, ConnectMode> kNames[] = {
      {"smartWeb", ConnectMode::smartWeb},
      {"web", ConnectMode::web},
      {"app", ConnectMode::app},
      {"ssw", ConnectMode::ssw}};
  for (const auto& [known, mode] : kNames) {
    if (known == name) return mode;
  }
  return std::nullopt;
}

// Connect flows under way (the toggle's work on the global queue).
std::atomic<int> gFlows{0};

// Every alert is printed and answered with its first button, as a user who
// agrees to everything would: after reading it, that is once the flow that
// showed it has ended (at most a few seconds), never within microseconds.
class PrintingPresenter final : public vandrel::connection::AlertPresenter {
 public:
  void dismissProgressHUD() override {}
  std::int64_t runModal(const vandrel::connection::AlertContent& alert) override {
    say("alert: " + alert.title + ": " + alert.message);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (gFlows.load() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    return vandrel::connection::kAlertFirstButtonReturn;
  }
};

void toggleConnection(qv_ConnectionManager& manager) {
  const std::string connectId = manager.currentConnectId();
  switch (manager.qv_connectStatus()) {
    case qv_ConnectStatus::qv_on:
    case qv_ConnectStatus::qv_connecting:
      manager.handleConnectResult(manager.cancelConnection(), 2);
      return;
    case qv_ConnectStatus::qv_disconnecting:
      return;
    case qv_ConnectStatus::qv_off:
      break;
  }
  manager.setConnectStatus(qv_ConnectStatus::qv_connecting);
  manager.postVPNStatusChange();
  if (const auto result = manager.runConnectPipeline(connectId)) {
    manager.handleConnectResult(*result, 0);
  }
}

// The main window's connect toggle: a fresh connect id per click, the
// pipeline or the cancel on a global queue, then the result handler.
void startConnectFlow() {
  qv_ConnectionManager& manager = qv_ConnectionManager::shared();
  manager.setCurrentConnectId(vandrel::connection::newConnectId());
  ++gFlows;
  platform::globalQueue().async([&manager] {
    toggleConnection(manager);
    --gFlows;
  });
}

// Pumps the main queue until `promise` settles; none after `timeout`.
std::optional<ResultData> await(const platform::Promise<ResultData>& promise,
                                platform::Duration timeout = 60s) {
  if (!platform::mainQueue().runUntil([&] { return promise.isSettled(); }, timeout)) {
    return std::nullopt;
  }
  return promise.wait(0s);
}

struct Arguments {
  std::string account;
  std::string password;
  ConnectMode mode = ConnectMode::app;
};

std::optional<Arguments> parse(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--account") {
      args.account = value;
    } else if (flag == "--password") {
      args.password = value;
    } else if (flag == "--mode") {
      const auto mode = modeNamed(value);
      if (!mode) return std::nullopt;
      args.mode = *mode;
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0 || args.account.empty() || args.password.empty()) return std::nullopt;
  return args;
}

bool signIn(const Arguments& args) {
  auto& session = vandrel::core::MiscInfo::shared();
  // As the sign-in window does: the account as typed, whatever it looks like.
  const auto result = await(
      session.login(args.account, args.password, vandrel::core::LoginAuthType::username, "", ""));
  if (!result || !result->isSuccess) {
    say("sign-in failed: " + (result ? result->message : std::string("no answer")));
    return false;
  }
  // The sign-in asks for the user record afterwards; the connect needs it.
  if (!platform::mainQueue().runUntil([&] { return session.model().has_value(); }, 60s)) {
    say("sign-in failed: no user record");
    return false;
  }
  say("signed in");
  return true;
}

bool fetchLines() {
  auto& lines = vandrel::connection::LinesManager::shared();
  platform::Promise<ResultData> fetched;
  lines.requestLines(fetched);
  const auto result = await(fetched);
  if (!result || !result->isSuccess) {
    say("lines failed: " + (result ? result->message : std::string("no answer")));
    return false;
  }
  say("lines: " + std::to_string(lines.regionList().size()));
  return true;
}

void handle(const std::string& command, std::atomic<bool>& quit) {
  const qv_ConnectStatus status = qv_ConnectionManager::shared().qv_connectStatus();
  if (command == "quit") {
    quit = true;
  } else if (command == "connect" && status == qv_ConnectStatus::qv_off) {
    startConnectFlow();
  } else if (command == "disconnect" && status == qv_ConnectStatus::qv_on) {
    startConnectFlow();
  } else {
    say("ignored: " + command);
  }
}

// Every way out once the shared objects exist. Their threads (the HTTP
// engine, global-queue jobs still loading certificates or writing the log)
// keep running, so the process must not run the exit-time clean-up of
// OpenSSL and the static objects under them: it leaves at once, as the
// application does, after handing on what it printed.
[[noreturn]] void leave(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  const auto args = parse(argc, argv);
  if (!args) {
    std::fprintf(stderr,
                 "usage: vandrel-e2e-client --account ACCOUNT --password PASSWORD "
                 "[--mode smartWeb|web|app|ssw]\n");
    return 2;
  }
  // What the application delegate does first: connection control answers
  // the core, alerts have a presenter.
  vandrel::connection::ConnectionPortImpl::installShared();
  static PrintingPresenter presenter;
  vandrel::connection::setSharedAlertPresenter(&presenter);

  auto& notifications = platform::NotificationCenter::shared();
  notifications.addObserver(std::string(vandrel::core::kVPNStatusChangeNotification), nullptr,
                            std::nullopt, [](const platform::Notification&) {
                              const auto status = qv_ConnectionManager::shared().qv_connectStatus();
                              say("status: " + std::string(statusWord(status)));
                            });
  notifications.addObserver(std::string(vandrel::connection::kWidgetConnectDidClickNotification),
                            nullptr, std::nullopt,
                            [](const platform::Notification&) { startConnectFlow(); });
  qv_ConnectionManager::shared().setConnectMode(args->mode);

  if (!signIn(*args) || !fetchLines()) leave(1);
  say("ready");

  std::atomic<bool> quit{false};
  // Commands are read off the main thread and run on the main queue.
  std::thread reader([&quit] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      platform::mainQueue().async([line, &quit] { handle(line, quit); });
    }
    platform::mainQueue().async([&quit] { quit = true; });
  });
  reader.detach();
  while (!platform::mainQueue().runUntil([&] { return quit.load(); }, 1h)) {
  }
  leave(0);
}
