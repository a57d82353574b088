// scripts/run as a newcomer meets it, headless: no deployment, so it sets
// up the demo's sandbox and starts the application in it, on this test's
// own desktop (virtual screen, window manager, tray), in each connect mode
// in turn (--mode). The test signs in with the account the script prints,
// sees the regions with their own ping times, connects, fetches the demo
// page through the line the way the mode carries it (the desktop's proxy
// for the web modes, the plain route for the others), disconnects and
// quits, the way a user does, over the accessibility bus of the demo's
// session; then nothing of the demo may be left: no namespace, process or
// temporary file. Inside scripts/netns-run (its namespaces' names stay in
// this test's mount namespace). The screenshots of the signed-in and
// connected window are kept per mode for the README (scripts/screenshots).

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/helper/helper_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/user/accessibility.h"
#include "tests/user/desktop.h"

namespace vandrel::user_testing {
namespace {

constexpr auto kShort = 20s;

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The first submatch of `pattern` in `text`, empty when none.
std::string search(const std::string& text, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? match[1].str() : std::string();
}

std::string commandOutput(const std::vector<std::string>& argv, const fs::path& log) {
  std::error_code ignored;
  fs::remove(log, ignored);
  runToEnd(argv, {"PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"}, log, 30s);
  return readText(log);
}

// Processes running one of `executables` (by path), besides this test.
std::vector<std::string> processesOf(const std::set<fs::path>& executables) {
  std::vector<std::string> found;
  DIR* proc = ::opendir("/proc");
  while (dirent* entry = proc ? ::readdir(proc) : nullptr) {
    std::error_code error;
    const fs::path exe = fs::read_symlink(fs::path("/proc") / entry->d_name / "exe", error);
    if (!error && executables.count(exe)) found.push_back(std::string(entry->d_name) + " " + exe.string());
  }
  if (proc) ::closedir(proc);
  return found;
}

// A connect mode as scripts/run names it, and how the page travels in it:
// the desktop's proxy mode the daemon sets, and whether the page goes
// through that proxy or along the plain route (the tunnel's).
struct ModeCase {
  std::string name;
  std::string proxyMode;
  bool throughProxy;
};

std::ostream& operator<<(std::ostream& out, const ModeCase& mode) { return out << mode.name; }

class DemoRunTest : public ::testing::TestWithParam<ModeCase> {
 protected:
  void SetUp() override {
    if (!helper::testing_support::requireRootNamespace()) {
      GTEST_SKIP() << "the demo needs root inside scripts/netns-run";
    }
    // The accessibility library joins the first demo's bus for good.
    static bool demoRan = false;
    ASSERT_FALSE(std::exchange(demoRan, true))
        << "one mode per process: choose it with --gtest_filter=*/MODE (as CTest does)";
    session_ = std::make_unique<test_support::TempDir>("vandrel-demo-desktop");
    std::string failure;
    desktop_ = Desktop::start(session_->path(), &failure);
    ASSERT_TRUE(desktop_) << "no desktop: " << failure;
    temp_ = std::make_unique<test_support::TempDir>("vandrel-demo-tmp");
    ::chmod(temp_->path().c_str(), 0755);
    shots_ = fs::path(std::getenv("VANDREL_BINARY_DIR")) / "tests" / "demo" / "screenshots" /
             GetParam().name;
    fs::remove_all(shots_);
    fs::create_directories(shots_);
  }

  void TearDown() override {
    if (HasFailure() && run_) {
      desktop_->screenshot(shots_ / "failure.png");
      std::printf("scripts/run said:\n%s\n", readText(log()).c_str());
      if (!demoDir_.empty()) {
        for (const char* file : {"app.log", "helper.log", "world/world.log"}) {
          std::printf("---- %s\n%s\n", file, readText(demoDir_ / file).c_str());
        }
      }
    }
    run_.reset();
    desktop_.reset();
  }

  fs::path log() const { return session_->path() / "run.log"; }

  // scripts/run as a newcomer types it, with the build this test belongs to.
  void startRun() {
    const std::string source = std::getenv("VANDREL_SOURCE_DIR");
    std::vector<std::string> env = {
        "PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
        "HOME=" + session_->path().string(),
        "DISPLAY=" + desktop_->display(),
        "TMPDIR=" + temp_->path().string(),
        "VANDREL_BUILD_DIR=" + std::string(std::getenv("VANDREL_BINARY_DIR")),
        "QT_QPA_PLATFORM=xcb",
        "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1",
        "LANG=C.UTF-8",
    };
    run_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{source + "/scripts/run", "--mode", GetParam().name}, env, log());
  }

  // What the script printed, once it has printed `pattern`.
  std::string waitForOutput(const std::string& pattern, std::chrono::milliseconds timeout) {
    std::string text;
    EXPECT_TRUE(waitUntil(
        [&] {
          text = readText(log());
          return !search(text, pattern).empty() || !run_->running();
        },
        timeout, "scripts/run to print " + pattern));
    return search(text, pattern);
  }

  Element waitFor(const Query& query, const std::string& what,
                  std::chrono::milliseconds timeout = kShort) {
    Element found;
    EXPECT_TRUE(Accessibility::waitFor([&] { return Accessibility::find(app_, query); }, found,
                                       timeout, what));
    return found;
  }

  void press(const Query& query, const std::string& what) {
    Element element = waitFor(query, what);
    ASSERT_TRUE(element) << what;
    ASSERT_TRUE(element.activate()) << "pressing " << what;
  }

  Element window(const std::string& title) {
    for (const Element& child : app_.children()) {
      if (child.name() == title && child.showing()) return child;
    }
    return {};
  }

  std::string pingText(const std::string& region) {
    Element row = Accessibility::find(app_, {Role::Filler, region});
    for (const Element& label : Accessibility::findAll(row, {Role::Label, std::nullopt})) {
      const std::string text = label.name();
      if (std::regex_match(text, std::regex("[0-9]+ ms"))) return text;
    }
    return {};
  }

  void answerAlert(const std::string& text, const std::string& button) {
    Element alert;
    ASSERT_TRUE(Accessibility::waitFor(
        [&] {
          for (const Element& candidate : Accessibility::findAll(app_, {Role::Alert, std::nullopt})) {
            if (Accessibility::find(candidate, {Role::Label, text})) return candidate;
          }
          return Element();
        },
        alert, kShort, "an alert saying \"" + text + "\""));
    Element pressed = Accessibility::find(alert, {Role::Button, button});
    ASSERT_TRUE(pressed) << "the alert's button " << button;
    ASSERT_TRUE(pressed.activate());
  }

  // The demo page as the demo's user fetches it, and how it went: the
  // desktop's proxy mode and "directly" or "through" its proxy.
  struct Fetched {
    std::string text;  // what scripts/sandbox page said, the page included
    std::string proxyMode;
    std::string route;
  };

  Fetched fetchPage() {
    Fetched fetched;
    fetched.text = commandOutput(
        {std::string(std::getenv("VANDREL_SOURCE_DIR")) + "/scripts/sandbox", "page"},
        session_->path() / "page.out");
    fetched.proxyMode = search(fetched.text, R"(proxy mode is '(\w+)')");
    fetched.route = search(fetched.text, R"(fetching \S+ (directly|through))");
    return fetched;
  }

  std::unique_ptr<test_support::TempDir> session_;
  std::unique_ptr<test_support::TempDir> temp_;
  std::unique_ptr<Desktop> desktop_;
  std::unique_ptr<ChildProcess> run_;
  fs::path shots_;
  fs::path demoDir_;
  Element app_;
};

TEST_P(DemoRunTest, TheNewcomerSignsInConnectsThroughALineAndQuittingLeavesNothing) {
  const ModeCase& mode = GetParam();
  startRun();
  const std::string account = waitForOutput(R"(Sign in as +(\S+))", 120s);
  const std::string password = waitForOutput(R"(password +(\S+))", 5s);
  demoDir_ = waitForOutput(R"(files in (\S+))", 5s);
  ASSERT_FALSE(account.empty()) << readText(log());
  ASSERT_FALSE(password.empty());
  ASSERT_EQ(demoDir_.parent_path(), temp_->path());
  EXPECT_EQ(waitForOutput(R"(starts in the (\S+) mode)", 5s), mode.name);

  // The application's accessibility bus is found through the demo's own
  // session bus (a socket by path, reachable from here).
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (demoDir_ / "runtime" / "bus").string()).c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (demoDir_ / "runtime").c_str(), 1);
  ::setenv("DISPLAY", desktop_->display().c_str(), 1);
  ASSERT_TRUE(waitUntil([&] { return fs::exists(demoDir_ / "runtime" / "bus"); }, kShort,
                        "the demo's session bus"));
  // Asked of that bus by name: left to itself, the accessibility library
  // takes the bus announced on the screen first, and the test desktop's
  // own session announces one there whenever its tray starts its bridge.
  const std::string a11yReply = commandOutput(
      {"/usr/bin/gdbus", "call", "--address", "unix:path=" + (demoDir_ / "runtime" / "bus").string(),
       "--dest", "org.a11y.Bus", "--object-path", "/org/a11y/bus", "--method",
       "org.a11y.Bus.GetAddress"},
      session_->path() / "a11y-bus.out");
  const std::string a11yBus = search(a11yReply, R"(\('([^']+)',\))");
  ASSERT_FALSE(a11yBus.empty()) << "the demo's accessibility bus: " << a11yReply;
  ::setenv("AT_SPI_BUS_ADDRESS", a11yBus.c_str(), 1);
  ASSERT_TRUE(Accessibility::connect());
  ASSERT_TRUE(Accessibility::waitFor(
      [&] {
        for (const Element& candidate : Accessibility::applications()) {
          if (candidate.name() == "Vandrel") return candidate;
        }
        return Element();
      },
      app_, 60s, "the application on the demo's accessibility bus"));

  // A newcomer's first start: the tour, then the window.
  press({Role::Button, "Get Started"}, "the tour's Get Started");
  press({Role::Button, "Sign In"}, "the visitor's Sign In");
  Element signIn;
  ASSERT_TRUE(Accessibility::waitFor([&] { return window("Sign In"); }, signIn, kShort,
                                     "the sign-in window"));
  Element email = Accessibility::find(signIn, {Role::Text, "Email"});
  Element secret = Accessibility::find(signIn, {Role::PasswordText, "Password"});
  ASSERT_TRUE(email && secret);
  ASSERT_TRUE(email.setText(account));
  ASSERT_TRUE(secret.setText(password));
  ASSERT_TRUE(Accessibility::find(signIn, {Role::Button, "Sign In"}).activate());
  waitFor({Role::Label, account}, "the account's name in the window");

  // Each region shows a ping time of its own.
  std::vector<std::string> pings;
  ASSERT_TRUE(waitUntil(
      [&] {
        pings.clear();
        for (const char* region : {"Japan", "Germany", "USA"}) pings.push_back(pingText(region));
        return std::set<std::string>(pings.begin(), pings.end()).size() == 3 &&
               std::find(pings.begin(), pings.end(), "") == pings.end();
      },
      45s, "three regions with three different ping times", [] { Accessibility::pump(); }))
      << pings[0] << " / " << pings[1] << " / " << pings[2];
  desktop_->screenshot(shots_ / "signed-in.png");

  // Connected, the page sees the line, not the client: through the
  // desktop's proxy in the web modes, along the plain route in the others.
  const Fetched before = fetchPage();
  EXPECT_NE(before.text.find("not through a line"), std::string::npos) << before.text;
  press({Role::Button, "Connect"}, "the connect button");
  answerAlert("Terms Of Service", "Accept");
  waitFor({Role::Button, "Connected"}, "the window's Connected", 60s);
  desktop_->screenshot(shots_ / "connected.png");
  const Fetched connected = fetchPage();
  EXPECT_EQ(connected.proxyMode, mode.proxyMode) << connected.text;
  EXPECT_EQ(connected.route, mode.throughProxy ? "through" : "directly") << connected.text;
  EXPECT_NE(connected.text.find("through the line"), std::string::npos) << connected.text;
  EXPECT_EQ(connected.text.find("not through"), std::string::npos) << connected.text;
  EXPECT_FALSE(search(connected.text, R"(from (203\.0\.113\.\d+))").empty()) << connected.text;

  press({Role::Button, "Connected"}, "the connect button");
  waitFor({Role::Button, "Connect"}, "the window's Connect", 60s);
  const Fetched after = fetchPage();
  EXPECT_NE(after.text.find("not through a line"), std::string::npos) << after.text;

  // The application may end before it answers the press: its end is what
  // counts.
  Element quit = waitFor({Role::MenuItem, "Quit Vandrel", false}, "Vandrel > Quit Vandrel");
  ASSERT_TRUE(quit);
  quit.activate();
  const std::optional<int> status = run_->waitExit(60s);
  ASSERT_TRUE(status.has_value()) << "scripts/run still runs after the quit";
  EXPECT_EQ(*status, 0) << readText(log());

  // Nothing left: namespaces, files, processes.
  EXPECT_EQ(commandOutput({"ip", "netns", "list"}, session_->path() / "netns.out"), "");
  EXPECT_TRUE(fs::is_empty(temp_->path())) << "a file of the demo is left in " << temp_->path();
  const std::string build = std::getenv("VANDREL_BINARY_DIR");
  EXPECT_EQ(processesOf({build + "/Vandrel.app/Contents/MacOS/Vandrel",
                         build + "/tools/demo-world/vandrel-demo-world", "/usr/bin/ss-server",
                         "/usr/bin/ss-local", "/usr/sbin/privoxy"}),
            std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(EachMode, DemoRunTest,
                         ::testing::Values(ModeCase{"smartWeb", "auto", true},
                                           ModeCase{"web", "manual", true},
                                           ModeCase{"app", "none", false},
                                           ModeCase{"ssw", "none", false}),
                         [](const ::testing::TestParamInfo<ModeCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vandrel::user_testing
