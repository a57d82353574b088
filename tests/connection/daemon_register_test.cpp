// The helper client against the real helper executable (a child on a temp
// socket, inside the private namespace of scripts/netns-run), with a
// root-owned copy of the daemon stand-in.

#include "connection/daemon_register.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "tests/connection/callback_calls.h"
#include "tests/helper/helper_fixture.h"

namespace vandrel::connection {
namespace {

using namespace std::chrono_literals;
using testing_support::Calls;
using testing_support::TextCalls;
using testing_support::contains;
using namespace helper::testing_support;
using helper::HelperConfig;

constexpr std::string_view kCommunication = "Couldn\u2019t communicate with a helper application";

// A bundle with the daemon resource and the helper, for goServicePath and
// the installer.
fs::path makeBundle(const fs::path& dir) {
  const fs::path bundle = dir / "Vandrel.app";
  fs::create_directories(bundle / "Contents" / "Resources");
  fs::create_directories(bundle / "Contents" / "Library" / "LaunchServices");
  fs::copy_file(daemonExecutable(), bundle / "Contents" / "Resources" / "Vandrel-server-daemon");
  fs::copy_file(helperExecutable(),
                bundle / "Contents" / "Library" / "LaunchServices" / "com.vandrel.mac.daemon");
  std::ofstream(bundle / "Contents" / "Info.json")
      << R"({"CFBundleIdentifier": "com.vandrel.mac.offline"})";
  return bundle;
}

class DaemonRegisterTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!requireRootNamespace()) GTEST_SKIP() << "needs root inside scripts/netns-run";
    daemon_ = std::make_unique<DaemonCopy>(dir_ / "daemon", freeLoopbackPort());
    config_.daemonPath = daemon_->path().string();
    config_.daemonPort = daemon_->port();
    bundle_ = std::make_unique<platform::Bundle>(makeBundle(dir_.path()));
  }
  void TearDown() override {
    client_.reset();
    if (helper_) helper_->stop();
    if (daemon_) daemon_->killAll();
  }

  void startHelper() {
    helper_ = std::make_unique<HelperProcess>(dir_.path(), config_);
    ASSERT_TRUE(helper_->start());
  }
  DaemonRegister& client() {
    if (!client_) {
      DaemonRegister::Options options;
      options.socketPath = (dir_ / "helper.sock").string();
      options.bundle = bundle_.get();
      client_ = std::make_unique<DaemonRegister>(options);
    }
    return *client_;
  }
  std::optional<std::string> checkDaemon() {
    TextCalls calls;
    client().checkDaemonCallBack(calls.callBack());
    EXPECT_TRUE(calls.exactly(1));
    return calls.at(0);
  }

  TempDir dir_;
  HelperConfig config_;
  std::unique_ptr<DaemonCopy> daemon_;
  std::unique_ptr<platform::Bundle> bundle_;
  std::unique_ptr<HelperProcess> helper_;
  std::unique_ptr<DaemonRegister> client_;
};

TEST_F(DaemonRegisterTest, EveryCommandCallsBackOnceWithItsReply) {
  config_.execCommand = true;
  startHelper();
  EXPECT_EQ("1024", checkDaemon());

  TextCalls load;
  client().checkAndLoad(load.callBack());
  ASSERT_TRUE(load.exactly(1));
  EXPECT_EQ(std::nullopt, load.at(0));
  EXPECT_TRUE(daemon_->listening());

  ASSERT_EQ(0, run({"ip", "route", "add", "10.80.0.0/16", "dev", "lo"}));
  TextCalls routes;
  client().deleteRoutes({"10.80.0.0/16", "", "10.81.0.0/16"}, routes.callBack());
  ASSERT_TRUE(routes.exactly(1));
  EXPECT_EQ("(\n    \"delete 10.80.0.0/16 res: 0\",\n    \"delete 10.81.0.0/16 res: 512\"\n)",
            routes.at(0));

  TextCalls registered;
  client().deleteRoutesWhenAppKilled({"10.82.0.0/16"}, registered.callBack());
  ASSERT_TRUE(registered.exactly(1));
  EXPECT_EQ(std::nullopt, registered.at(0));

  TextCalls debug;
  client().debugInfoCallBack(debug.callBack());
  ASSERT_TRUE(debug.exactly(1));
  EXPECT_TRUE(contains(debug.at(0), "Debug Info: \n"));

  Calls<CommandResult> command;
  client().runCommand("printf x; exit 3", command.callBack());
  ASSERT_TRUE(command.exactly(1));
  EXPECT_EQ((CommandResult{3, "x"}), command.at(0));

  // A command without a callBack still runs, and later ones are answered.
  client().checkDaemonCallBack(nullptr);
  EXPECT_EQ("1024", checkDaemon());
  EXPECT_EQ(0u, client().pendingCountForTesting());
}

TEST_F(DaemonRegisterTest, RouteRegistrarRegistersWithTheHelper) {
  startHelper();
  RouteRegistrar& registrar = client();
  registrar.deleteRoutesWhenAppKilled({"10.83.0.0/16", "10.84.0.0/16"});
  EXPECT_TRUE(helper_->waitForLog("routes to delete when the application is gone: 2"));
}

TEST_F(DaemonRegisterTest, EmptyRouteListGetsNoCallbackAndLeavesNothingPending) {
  startHelper();
  TextCalls none;
  client().deleteRoutes({}, none.callBack());
  EXPECT_EQ("1024", checkDaemon());  // answered after the empty list's no-reply
  EXPECT_TRUE(none.exactly(0, 100ms));
  EXPECT_EQ(0u, client().pendingCountForTesting());
}

TEST_F(DaemonRegisterTest, PortCommandHandsBackTwoDescriptorsOrAnError) {
  startHelper();
  client().createAuthorization();
  const auto token = client().authorizationExternalForm();
  ASSERT_TRUE(token);
  ASSERT_EQ(32u, token->size());

  struct PortReply {
    std::optional<HelperError> error;
    int v4;
    int v6;
  };
  Calls<std::shared_ptr<PortReply>> granted;
  auto record = [](Calls<std::shared_ptr<PortReply>>& calls) {
    return [cb = calls.callBack()](std::optional<HelperError> error, platform::ipc::OwnedFd v4,
                                   platform::ipc::OwnedFd v6) {
      cb(std::make_shared<PortReply>(PortReply{std::move(error), v4.release(), v6.release()}));
    };
  };
  client().bindToLowNumberPortAuthorization(token, record(granted));
  ASSERT_TRUE(granted.exactly(1));
  EXPECT_FALSE(granted.at(0)->error);
  EXPECT_GE(granted.at(0)->v4, 0);
  EXPECT_GE(granted.at(0)->v6, 0);
  ::close(granted.at(0)->v4);
  ::close(granted.at(0)->v6);

  Calls<std::shared_ptr<PortReply>> refused;
  client().bindToLowNumberPortAuthorization(std::vector<std::uint8_t>(31), record(refused));
  ASSERT_TRUE(refused.exactly(1));
  ASSERT_TRUE(refused.at(0)->error);
  EXPECT_EQ("NSOSStatusErrorDomain", refused.at(0)->error->domain);
  EXPECT_EQ(-50, refused.at(0)->error->code);
  EXPECT_EQ(-1, refused.at(0)->v4);
}

TEST_F(DaemonRegisterTest, UnreachableHelperGivesEveryCallBackTheCommunicationText) {
  // No helper: nothing listens on the socket path.
  TextCalls load, routes, registered, version, debug;
  Calls<CommandResult> command;
  client().checkAndLoad(load.callBack());
  client().deleteRoutes({"10.0.0.0/8"}, routes.callBack());
  client().deleteRoutesWhenAppKilled({"10.0.0.0/8"}, registered.callBack());
  client().checkDaemonCallBack(version.callBack());
  client().debugInfoCallBack(debug.callBack());
  client().runCommand("true", command.callBack());
  for (auto* calls : {&load, &routes, &registered, &version, &debug}) {
    ASSERT_TRUE(calls->exactly(1));
    EXPECT_TRUE(contains(calls->at(0), kCommunication)) << calls->at(0).value_or("<nil>");
  }
  EXPECT_TRUE(contains(version.at(0), "Error Domain=NSCocoaErrorDomain Code=4099"));
  ASSERT_TRUE(command.exactly(1));
  EXPECT_EQ(-1, command.at(0).status);
  EXPECT_NE(std::string::npos, command.at(0).output.find(kCommunication));
}

TEST_F(DaemonRegisterTest, HelperKilledMidRequestFailsItOnceWhileItsDaemonRuns) {
  config_.execCommand = true;
  startHelper();
  TextCalls load;
  client().checkAndLoad(load.callBack());
  ASSERT_TRUE(load.exactly(1));
  ASSERT_EQ(1u, daemon_->running().size());

  Calls<CommandResult> command;
  client().runCommand("sleep 30", command.callBack());
  ASSERT_TRUE(helper_->waitForLog("run command: sleep 30"));
  helper_->kill(SIGKILL);
  // Only the end of the connection can end this wait: a daemon (or the
  // sleep) holding an inherited copy of it would keep it open.
  ASSERT_TRUE(command.exactly(1, 10s));
  EXPECT_EQ(-1, command.at(0).status);
  EXPECT_NE(std::string::npos, command.at(0).output.find(kCommunication));
  EXPECT_NE(std::string::npos, command.at(0).output.find("Code=4097"));
  EXPECT_EQ(1u, daemon_->running().size());
  EXPECT_EQ(0u, client().pendingCountForTesting());
}

// SIGPIPE keeps its default action: a send without MSG_NOSIGNAL to the
// dead helper would end this test binary.
TEST_F(DaemonRegisterTest, CommandSentBeforeTheClientNoticesTheDropFailsOnce) {
  struct sigaction fallback {
  }, previous{};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &fallback, &previous);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    startHelper();
    ASSERT_EQ("1024", checkDaemon());
    helper_->kill(SIGKILL);
    TextCalls version;
    client().checkDaemonCallBack(version.callBack());
    ASSERT_TRUE(version.exactly(1));
    EXPECT_TRUE(contains(version.at(0), kCommunication)) << version.at(0).value_or("<nil>");
  }
  ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST_F(DaemonRegisterTest, ReconnectsAfterTheHelperRestarts) {
  startHelper();
  ASSERT_EQ("1024", checkDaemon());
  helper_->stop();
  startHelper();
  // The first command may still meet the old connection; the next one
  // connects anew.
  auto first = checkDaemon();
  if (first != "1024") {
    EXPECT_TRUE(contains(first, kCommunication)) << first.value_or("<nil>");
    EXPECT_EQ("1024", checkDaemon());
  }
  EXPECT_EQ("1024", checkDaemon());
}

TEST_F(DaemonRegisterTest, HelperThatIsNotRootIsRefused) {
  const fs::path dir = dir_ / "impostor";
  fs::create_directories(dir);
  ::chown(dir.c_str(), 65534, 65534);
  const std::string socketPath = (dir / "helper.sock").string();
  int ready[2];
  ASSERT_EQ(0, ::pipe(ready));
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setgid, 65534) != 0 ||
        ::syscall(SYS_setuid, 65534) != 0) {
      ::_exit(3);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 4)) {
      ::_exit(4);
    }
    (void)::write(ready[1], "r", 1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(1, ::read(ready[0], &byte, 1));
  ::close(ready[0]);

  DaemonRegister::Options options;
  options.socketPath = socketPath;
  DaemonRegister impostorClient(options);
  TextCalls version;
  impostorClient.checkDaemonCallBack(version.callBack());
  ASSERT_TRUE(version.exactly(1));
  EXPECT_TRUE(contains(version.at(0), kCommunication));
  EXPECT_TRUE(contains(version.at(0), "the helper runs as uid 65534")) << *version.at(0);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST_F(DaemonRegisterTest, GoServicePathIsTheBundlesDaemonResource) {
  EXPECT_EQ((bundle_->resourcesPath() / "Vandrel-server-daemon").string(),
            client().goServicePath());
  platform::Bundle empty(dir_ / "Empty.app");
  DaemonRegister::Options options;
  options.bundle = &empty;
  EXPECT_EQ(std::nullopt, DaemonRegister(options).goServicePath());
}

class RegisterDaemonTest : public DaemonRegisterTest {
 protected:
  // A stand-in for pkexec: a script with `body`, given the installer's argv.
  std::string registerWith(const std::string& body) {
    const fs::path elevate = dir_ / "fake-pkexec";
    std::ofstream(elevate) << "#!/bin/sh\n" << body << "\n";
    ::chmod(elevate.c_str(), 0755);
    DaemonRegister::Options options;
    options.socketPath = (dir_ / "helper.sock").string();
    options.bundle = bundle_.get();
    options.elevate = {elevate.string()};
    options.installerPath = installerExecutable();
    DaemonRegister client(options);
    // Off the test thread, which may have become the main thread.
    return std::async(std::launch::async, [&] { return client.registerDaemon(); }).get();
  }
};

TEST_F(RegisterDaemonTest, RefusedOrDismissedAuthorizationGivesTheLaunchdText) {
  for (const int code : {126, 127}) {
    SCOPED_TRACE(code);
    const std::string text = registerWith("exit " + std::to_string(code));
    EXPECT_NE(std::string::npos, text.find("CFErrorDomainLaunchd Code=" + std::to_string(code)))
        << text;
  }
}

TEST_F(RegisterDaemonTest, FailingInstallerGivesItsReasonNotTheLaunchdText) {
  const std::string text = registerWith("echo 'disk full' >&2; exit 1");
  EXPECT_NE(std::string::npos, text.find("disk full")) << text;
  EXPECT_EQ(std::string::npos, text.find("CFErrorDomainLaunchd")) << text;
}

TEST_F(RegisterDaemonTest, SuccessfulInstallAnswersSuccessOffTheMainThread) {
  const fs::path stage = dir_ / "stage";
  const fs::path elevate = dir_ / "fake-pkexec";
  std::ofstream(elevate) << "#!/bin/sh\nexec \"$@\" --root " << stage.string() << "\n";
  ::chmod(elevate.c_str(), 0755);
  DaemonRegister::Options options;
  options.socketPath = (dir_ / "helper.sock").string();
  options.bundle = bundle_.get();
  options.elevate = {elevate.string()};
  options.installerPath = installerExecutable();
  DaemonRegister client(options);
  std::optional<std::string> answer;
  client.registerDaemon([&](std::string text) { answer = std::move(text); }, platform::mainQueue());
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return answer.has_value(); }, 30s));
  EXPECT_EQ("success", *answer);
  EXPECT_TRUE(fs::exists(stage / "usr/libexec/vandrel/com.vandrel.mac.daemon"));
  const auto config = readFile(stage / "etc/vandrel/helper.conf");
  EXPECT_NE(std::string::npos,
            config.find("daemon_path = /usr/libexec/vandrel/Vandrel-server-daemon"))
      << config;
}

TEST(DaemonRegisterLocalTest, RunSystemCommandReportsStatusAndWholeOutput) {
  DaemonRegister client(DaemonRegister::Options{});
  const std::string big(200 * 1024, 'v');
  struct Case {
    std::string command;
    CommandResult expected;
  };
  const std::vector<Case> cases = {
      {"head -c " + std::to_string(big.size()) + " /dev/zero | tr '\\0' v", {0, big}},
      {"true", {0, "None"}},
      {"exit 4", {4, "None"}},
      {"printf '\\377\\376'", {0, "None"}},
      {"echo \"$PATH\"", {0, "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(c.expected, client.runSystemCommand(c.command));
  }
}

TEST(DaemonRegisterLocalTest, RightsTableHasTheStartWebServiceRight) {
  EXPECT_EQ("com.vandrel.mac.startWebService", DaemonRegister::authorizationRightForCommand(
                                                   "bindToLowNumberPortAuthorization:withReply:"));
  EXPECT_EQ("", DaemonRegister::authorizationRightForCommand("checkDaemonCallback:"));
  std::vector<std::string> rows;
  DaemonRegister::enumerateRightsUsingBlock([&](std::string_view name, std::string_view rule,
                                                std::string_view description) {
    rows.push_back(std::string(name) + "|" + std::string(rule) + "|" + std::string(description));
  });
  EXPECT_EQ((std::vector<std::string>{
                "com.vandrel.mac.startWebService|allow|REVO is trying to start its web service."}),
            rows);
}

TEST(DaemonRegisterLocalTest, AuthorizationIsThirtyTwoFreshRandomBytes) {
  DaemonRegister first(DaemonRegister::Options{});
  DaemonRegister second(DaemonRegister::Options{});
  EXPECT_EQ(std::nullopt, first.authorizationExternalForm());
  first.createAuthorization();
  second.createAuthorization();
  ASSERT_TRUE(first.authorizationExternalForm() && second.authorizationExternalForm());
  EXPECT_EQ(32u, first.authorizationExternalForm()->size());
  EXPECT_NE(first.authorizationExternalForm(), second.authorizationExternalForm());
}

TEST(DaemonRegisterLocalTest, PrintedFormsFollowThePropertyListStyle) {
  EXPECT_EQ("(\n)", describeArray({}));
  EXPECT_EQ("(\n    \"delete 10.0.0.0/8 res: 0\",\n    plain/1.2:3\n)",
            describeArray({"delete 10.0.0.0/8 res: 0", "plain/1.2:3"}));
  EXPECT_EQ("(\n    \"\",\n    \"a\\\"b\\\\c\\nd\"\n)", describeArray({"", "a\"b\\c\nd"}));
  EXPECT_EQ("(\n    0,\n    None\n)", (CommandResult{0, "None"}).description());
  EXPECT_EQ("(\n    3,\n    \"x y\"\n)", (CommandResult{3, "x y"}).description());
}

}  // namespace
}  // namespace vandrel::connection
