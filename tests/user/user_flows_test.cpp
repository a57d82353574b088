// The built application in a user's hands: the executable from the bundle,
// started as its own process (again and again, with what it saved), on a
// desktop of the suite's own (virtual screen, window manager, tray, private
// session bus and home), against the HTTPS service stand-in with its demo
// account; for connecting, the helper and the daemon stand-in in this
// private network namespace. Widgets are found and pressed the way a
// user's assistive tools do it, over the accessibility bus; the pointer
// and keys only where that bus cannot reach (the tray, a window's close,
// the rows of the region table). Every step leaves a screenshot; they are
// kept, with the programs' logs, when a test fails.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/defaults.h"
#include "tests/helper/helper_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/user/accessibility.h"
#include "tests/user/demo_service.h"
#include "tests/user/desktop.h"

namespace vandrel::user_testing {
namespace {

using helper::testing_support::DaemonCopy;
using helper::testing_support::HelperProcess;

constexpr auto kShort = 15s;
constexpr const char* kAppClass = "Vandrel";
constexpr const char* kBundleIdentifier = "com.vandrel.mac.offline";

// Every element of a tree, one line each, for a failure's record.
void dumpTree(const Element& element, std::ostream& out, int depth = 0) {
  if (depth > 40) return;
  out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << "[" << element.roleName()
      << "] \"" << element.name() << "\"";
  if (!element.description().empty()) out << " (" << element.description() << ")";
  if (element.showing()) out << " showing";
  if (element.checked()) out << " checked";
  out << "\n";
  for (const Element& child : element.children()) dumpTree(child, out, depth + 1);
}

class UserFlowsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    session_ = new test_support::TempDir("vandrel-desktop");
    std::string failure;
    desktop_ = Desktop::start(session_->path(), &failure).release();
    if (desktop_ == nullptr) {
      desktopFailure_ = new std::string(failure);
      return;
    }
    // This process talks to the desktop's accessibility bus.
    ::setenv("DISPLAY", desktop_->display().c_str(), 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", desktop_->busAddress().c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (session_->path() / "runtime").c_str(), 1);
  }

  static void TearDownTestSuite() {
    delete desktop_;
    desktop_ = nullptr;
    delete session_;
    session_ = nullptr;
  }

  void SetUp() override {
    if (desktop_ == nullptr) {
      FAIL() << "no desktop: " << (desktopFailure_ != nullptr ? *desktopFailure_ : "");
    }
    ASSERT_TRUE(Accessibility::connect());
    dir_ = std::make_unique<test_support::TempDir>("vandrel-user");
    fs::create_directories(home() / "config");
    fs::create_directories(home() / "cache");
    fs::create_directories(home() / "data");
    fs::create_directories(shots());
    service_.writeBundle(bundle());
    // A pointer left over the tray by an earlier test holds back the
    // embedding of the next icon there.
    ASSERT_TRUE(desktop_->movePointer(0, 0));
  }

  void TearDown() override {
    const bool failed = HasFailure();
    if (failed && app_ && app_->running()) {
      step("failure");
      std::ofstream tree(dir_->path() / "accessibility-tree.txt");
      dumpTree(Accessibility::application(app_->pid()), tree);
    }
    if (failed) {
      std::ofstream(dir_->path() / "focus.txt") << desktop_->focusReport();
      desktop_->copyLogs(dir_->path() / "desktop");
    }
    quitEverything();
    helper_.reset();
    daemon_.reset();
    keepArtifacts(failed);
    dir_.reset();
  }

  // ---- Paths and environment -------------------------------------------------------

  fs::path home() const { return dir_->path() / "home"; }
  fs::path bundle() const { return dir_->path() / "Vandrel.app"; }
  fs::path shots() const { return dir_->path() / "screenshots"; }
  fs::path defaultsFile() const {
    return home() / "config" / "vandrel" / (std::string(kBundleIdentifier) + ".json");
  }

  std::vector<std::string> environment() const {
    std::vector<std::string> env = desktop_->sessionEnvironment();
    env.push_back("HOME=" + home().string());
    env.push_back("XDG_CONFIG_HOME=" + (home() / "config").string());
    env.push_back("XDG_CACHE_HOME=" + (home() / "cache").string());
    env.push_back("XDG_DATA_HOME=" + (home() / "data").string());
    env.push_back("QT_QPA_PLATFORM=xcb");
    env.push_back("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1");
    env.push_back("VANDREL_BUNDLE=" + bundle().string());
    env.push_back("VANDREL_API_HOSTS=" + service_.hostAndPort());
    if (helper_) env.push_back("VANDREL_HELPER_SOCKET=" + helper_->socketPath().string());
    if (daemon_) env.push_back("VANDREL_DAEMON_ADDR=127.0.0.1:" + std::to_string(daemon_->port()));
    return env;
  }

  // The first start's tour is over: the windows open straight away.
  void seenTheTour() {
    platform::Defaults defaults(defaultsFile());
    defaults.set("staticHadShowFeatureKey", true);
    defaults.synchronize();
  }

  // ---- The application -------------------------------------------------------------

  // Starts the executable from the bundle and waits until its main window
  // is on the accessibility bus.
  void startApp() {
    ++starts_;
    app_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{VANDREL_APP_EXECUTABLE}, environment(),
        dir_->path() / ("app-" + std::to_string(starts_) + ".log"));
    ASSERT_TRUE(waitForApplication(app_->pid()));
  }

  ::testing::AssertionResult waitForApplication(pid_t pid) {
    Element frame;
    return Accessibility::waitFor(
        [&] {
          application_ = Accessibility::application(pid);
          return Accessibility::find(application_, {Role::Frame, "Vandrel"});
        },
        frame, 30s, "the application's main window on the accessibility bus");
  }

  // The application started by someone else (the launcher): its window on
  // the bus.
  Element launchedApplication() {
    Accessibility::pump();
    for (const Element& app : Accessibility::applications()) {
      if (app.name() != kAppClass) continue;
      if (Accessibility::find(app, {Role::Button, "Connect"})) return app;
    }
    return {};
  }

  // Runs the executable again while one runs: it hands over and ends.
  void startSecondCopy() {
    ++starts_;
    ChildProcess second({VANDREL_APP_EXECUTABLE}, environment(),
                        dir_->path() / ("app-" + std::to_string(starts_) + ".log"));
    const std::optional<int> status = second.waitExit(kShort);
    ASSERT_TRUE(status.has_value()) << "the second start did not end";
    EXPECT_EQ(*status, 0);
  }

  // Ends the application the way a user does, then by its PID if it hung.
  void quitEverything() {
    if (app_ && app_->running()) {
      if (Element quit =
              Accessibility::find(application_, {Role::MenuItem, "Quit Vandrel", false})) {
        quit.activate();
      }
      app_->waitExit(5s);
    }
    app_.reset();
    // Started by the launcher, not by this test: its PID comes from the bus.
    if (launched_ > 0 && ::kill(launched_, 0) == 0) {
      if (Element quit =
              Accessibility::find(application_, {Role::MenuItem, "Quit Vandrel", false})) {
        quit.activate();
      }
      if (!waitUntil([&] { return ::kill(launched_, 0) != 0; }, 5s,
                     "the started application to end")) {
        ::kill(launched_, SIGKILL);
      }
    }
  }

  Element waitFor(const Query& query, const std::string& what,
                  std::chrono::milliseconds timeout = kShort) {
    Element found;
    EXPECT_TRUE(Accessibility::waitFor([&] { return Accessibility::find(application_, query); },
                                       found, timeout, what));
    return found;
  }

  ::testing::AssertionResult gone(const Query& query, const std::string& what,
                                  std::chrono::milliseconds timeout = kShort) {
    return waitUntil([&] { return !Accessibility::find(application_, query); }, timeout, what,
                     [] { Accessibility::pump(); });
  }

  // Quits through the application menu. The application may end before it
  // answers the press: its end is what counts.
  void quitFromTheMenu() {
    Element quit = waitFor({Role::MenuItem, "Quit Vandrel", false}, "Vandrel > Quit Vandrel");
    ASSERT_TRUE(quit);
    quit.activate();
  }

  void press(const Query& query, const std::string& what) {
    Element element = waitFor(query, what);
    ASSERT_TRUE(element) << what;
    ASSERT_TRUE(element.activate()) << "pressing " << what;
  }

  // A press of the left button on the element's middle, for widgets that
  // answer the pointer only.
  void clickOn(const Element& element) {
    const auto box = element.extents();
    EXPECT_TRUE(desktop_->click(box[0] + box[2] / 2, box[1] + box[3] / 2));
  }

  // Clicks the row named `name`. The list rebuilds its rows whenever the
  // lines change (the region fetch, the end of each ping cycle), and a row
  // found a moment ago may be gone, its place taken by a new one, with no
  // extents to aim at: the row is looked up again until one is on screen.
  void clickRow(const std::string& name) {
    Element onScreen;
    ASSERT_TRUE(Accessibility::waitFor(
        [&] {
          Element candidate = row(name);
          if (!candidate) return Element();
          const auto box = candidate.extents();
          return box[2] > 0 && box[3] > 0 ? candidate : Element();
        },
        onScreen, kShort, "the " + name + " row on screen"));
    clickOn(onScreen);
  }

  std::string labelText(const std::string& description) {
    for (const Element& label : Accessibility::findAll(application_, {Role::Label, std::nullopt})) {
      if (label.description() == description) return label.name();
    }
    return {};
  }

  // ---- Steps of several flows -------------------------------------------------------

  // A window of the application by its title: windows are the
  // application's own children on the bus, whatever role their widget
  // takes.
  Element findWindow(const std::string& title) {
    for (const Element& window : application_.children()) {
      if (window.name() == title && window.showing()) return window;
    }
    return {};
  }
  Element findSignInWindow() { return findWindow("Sign In"); }
  Element signInWindow() {
    Element window;
    EXPECT_TRUE(Accessibility::waitFor([&] { return findSignInWindow(); }, window, kShort,
                                       "the sign-in window"));
    return window;
  }
  ::testing::AssertionResult signInWindowGone() {
    return waitUntil([&] { return !findSignInWindow(); }, kShort, "the sign-in window to close",
                     [] { Accessibility::pump(); });
  }

  // Types into the sign-in window and presses its button.
  void submitSignIn(const std::string& email, const std::string& password) {
    Element window = signInWindow();
    ASSERT_TRUE(window);
    Element emailField = Accessibility::find(window, {Role::Text, "Email"});
    Element passwordField = Accessibility::find(window, {Role::PasswordText, "Password"});
    ASSERT_TRUE(emailField) << "the e-mail field";
    ASSERT_TRUE(passwordField) << "the password field";
    ASSERT_TRUE(emailField.setText(email));
    ASSERT_TRUE(passwordField.setText(password));
    Element button = Accessibility::find(window, {Role::Button, "Sign In"});
    ASSERT_TRUE(button) << "the sign-in window's button";
    ASSERT_TRUE(button.activate());
  }

  // Signs in with the demo account from the main window.
  void signIn() {
    press({Role::Button, "Sign In"}, "the visitor's Sign In");
    submitSignIn(std::string(kDemoEmail), std::string(kDemoPassword));
    ASSERT_TRUE(signInWindowGone());
    waitFor({Role::Label, std::string(kDemoEmail)}, "the account's name in the window");
  }

  // The region rows, once every one shows its ping.
  void waitForRegionsWithPings() {
    ASSERT_TRUE(waitUntil(
        [&] {
          for (const std::string& region : kDemoRegions) {
            if (!std::regex_match(pingText(region), std::regex("[0-9]+ ms"))) return false;
          }
          return true;
        },
        30s, "every region row with its ping time", [] { Accessibility::pump(); }));
  }

  // The row on screen: the list rebuilds its rows whenever the lines
  // change, and the rows it let go may linger in the tree for a moment.
  Element row(const std::string& region) {
    for (const Element& candidate : Accessibility::findAll(application_, {Role::Filler, region})) {
      if (candidate.showing()) return candidate;
    }
    return {};
  }

  std::string pingText(const std::string& region) {
    Element cell = row(region);
    for (const Element& label : Accessibility::findAll(cell, {Role::Label, std::nullopt})) {
      const std::string text = label.name();
      if (text.size() > 3 && text.compare(text.size() - 3, 3, " ms") == 0) return text;
    }
    return {};
  }

  std::string currentRegion() { return labelText("Current region"); }

  // Answers an alert showing `text` with its button `button`.
  void answerAlert(const std::string& text, const std::string& button) {
    Element alert;
    ASSERT_TRUE(Accessibility::waitFor(
        [&] {
          for (const Element& candidate :
               Accessibility::findAll(application_, {Role::Alert, std::nullopt})) {
            if (Accessibility::find(candidate, {Role::Label, text})) return candidate;
          }
          return Element();
        },
        alert, kShort, "an alert saying \"" + text + "\""));
    step("alert");
    Element pressed = Accessibility::find(alert, {Role::Button, button});
    ASSERT_TRUE(pressed) << "the alert's button " << button;
    ASSERT_TRUE(pressed.activate());
  }

  // ---- The tray -------------------------------------------------------------------

  // Opens the tray icon's menu with the pointer. A popup menu is no part of
  // the application's tree: its items are reached through the focus, which
  // the Down key gives to its first item.
  void openTrayMenu() {
    std::optional<Desktop::Window> icon;
    const pid_t pid = launched_ > 0 ? launched_ : app_->pid();
    ASSERT_TRUE(waitUntil([&] { return (icon = desktop_->trayIcon(kAppClass, pid)).has_value(); },
                          kShort, "the application's icon in the tray"));
    FocusWatch focus;
    const auto box = desktop_->geometry(*icon);
    ASSERT_TRUE(desktop_->click(box[0] + box[2] / 2, box[1] + box[3] / 2, 3));
    Element item;
    ASSERT_TRUE(waitUntil(
        [&] {
          return desktop_->key("Down") &&
                 focus.waitForFocus(pid, Role::MenuItem, item, 500ms, "a menu item");
        },
        kShort, "the tray menu's first item to take the focus"));
    trayMenu_ = item.parent();
    ASSERT_TRUE(trayMenu_);
    step("tray-menu");
  }

  // The tray menu's items, top to bottom, with their check marks.
  std::vector<std::string> trayMenuItems() {
    std::vector<std::string> items;
    for (const Element& item : trayMenu_.children()) {
      if (item.name().empty()) continue;  // the separator
      items.push_back(item.name() + (item.checked() ? " [x]" : ""));
    }
    return items;
  }

  void pressTrayMenuItem(const std::string& name) {
    for (const Element& item : trayMenu_.children()) {
      // The pointer: the menu is a popup of the tray, whose items take no
      // action over the bus.
      if (item.name() == name) {
        clickOn(item);
        return;
      }
    }
    FAIL() << "no tray menu item " << name;
  }

  void closeTrayMenu() {
    EXPECT_TRUE(desktop_->key("Escape"));
    // Off the tray: a pointer resting on it holds back icons docking there.
    EXPECT_TRUE(desktop_->movePointer(0, 0));
  }

  // ---- Windows -------------------------------------------------------------------

  std::optional<Desktop::Window> mainWindow() const {
    for (Desktop::Window window : desktop_->windows(kAppClass, "Vandrel")) {
      if (desktop_->geometry(window)[2] >= 300) return window;
    }
    return std::nullopt;
  }

  ::testing::AssertionResult mainWindowMapped(bool mapped) {
    return waitUntil(
        [&] {
          const auto window = mainWindow();
          return window && desktop_->isMapped(*window) == mapped;
        },
        kShort, mapped ? "the main window to be mapped" : "the main window to be unmapped");
  }

  long titleBarHeight() const {
    const auto window = mainWindow();
    return window ? desktop_->frameExtents(*window)[2] : -1;
  }

  // ---- Record --------------------------------------------------------------------

  void step(const std::string& name) {
    ++steps_;
    char number[16];
    std::snprintf(number, sizeof number, "%02d-", steps_);
    desktop_->screenshot(shots() / (number + name + ".png"));
  }

  // A failed test's screenshots and logs stay where the build is; a passed
  // test leaves nothing (and takes away what an earlier failure left).
  void keepArtifacts(bool failed) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const char* binary = std::getenv("VANDREL_BINARY_DIR");
    const fs::path kept =
        fs::path(binary != nullptr ? binary : fs::temp_directory_path().string()) / "tests" /
        "user" / "artifacts" / name;
    std::error_code error;
    fs::remove_all(kept, error);
    if (!failed) return;
    fs::create_directories(kept, error);
    fs::copy(dir_->path(), kept, fs::copy_options::recursive | fs::copy_options::skip_symlinks,
             error);
    fs::remove_all(kept / "Vandrel.app", error);
    std::printf("kept the screenshots and logs in %s\n", kept.c_str());
  }

  static inline test_support::TempDir* session_ = nullptr;
  static inline Desktop* desktop_ = nullptr;
  static inline std::string* desktopFailure_ = nullptr;

  DemoService service_;
  std::unique_ptr<test_support::TempDir> dir_;
  std::unique_ptr<ChildProcess> app_;
  Element application_;
  Element trayMenu_;
  std::unique_ptr<DaemonCopy> daemon_;
  std::unique_ptr<HelperProcess> helper_;
  int starts_ = 0;
  int steps_ = 0;
  pid_t launched_ = -1;
};

// ---- First start --------------------------------------------------------------------

TEST_F(UserFlowsTest, FirstStartShowsTheTourWithoutTitleBarButtonsThenTheWindow) {
  startApp();
  waitFor({Role::Button, "Get Started"}, "the tour's Get Started");
  step("tour");
  // Close, minimise and zoom go with the title bar while the tour shows.
  EXPECT_TRUE(waitUntil([&] { return titleBarHeight() == 0; }, kShort,
                        "the main window without its title bar"));

  press({Role::Button, "Get Started"}, "Get Started");
  EXPECT_TRUE(gone({Role::Button, "Get Started"}, "the tour to go"));
  EXPECT_TRUE(waitUntil([&] { return titleBarHeight() > 0; }, kShort,
                        "the title bar with its buttons back"));
  waitFor({Role::Button, "Connect"}, "the connect button");
  waitFor({Role::Button, "Sign In"}, "the visitor's Sign In");
  step("window");
}

// ---- The account ------------------------------------------------------------------------

TEST_F(UserFlowsTest, SignInWithAWrongPasswordThenTheRightOne) {
  seenTheTour();
  startApp();
  service_.refuseSignIn();
  press({Role::Button, "Sign In"}, "the visitor's Sign In");
  submitSignIn(std::string(kDemoEmail), "not-the-password");
  answerAlert(std::string(kRefusedMessage), "OK");
  EXPECT_TRUE(signInWindow()) << "the window stays for another try";

  service_.acceptSignIn();
  submitSignIn(std::string(kDemoEmail), std::string(kDemoPassword));
  ASSERT_TRUE(signInWindowGone());
  waitFor({Role::Label, std::string(kDemoEmail)}, "the account's name in the window");
  step("signed-in");

  const auto logins = service_.standin().requestsTo("/api/1/login");
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(logins[0].param("password"), std::optional<std::string>("not-the-password"));
  EXPECT_EQ(logins[1].param("password"), std::optional<std::string>(kDemoPassword));
}

// ---- The regions ----------------------------------------------------------------------

TEST_F(UserFlowsTest, TheRegionListShowsEveryRegionWithItsPing) {
  seenTheTour();
  startApp();
  // The visitor's list first: a list fetched again while its ping cycle
  // still runs gets no times of its own (the rows keep "-- ms").
  waitForRegionsWithPings();
  signIn();
  waitForRegionsWithPings();
  step("regions");
  EXPECT_TRUE(row("Smart Location")) << "the automatic choice heads the list";
  for (const std::string& region : kDemoRegions) {
    EXPECT_TRUE(row(region)) << region;
  }
}

// Rows answer the pointer only. Building them loads their flags, which
// once aborted the application on every click.
TEST_F(UserFlowsTest, ClickingACountryRowThenTheAutomaticRowChoosesEach) {
  seenTheTour();
  startApp();
  signIn();
  clickRow("Japan");
  EXPECT_TRUE(waitUntil([&] { return currentRegion() == "Japan"; }, kShort,
                        "Japan as the current region", [] { Accessibility::pump(); }));
  step("japan");
  clickRow("Smart Location");
  EXPECT_TRUE(waitUntil([&] { return currentRegion() == "Smart Location"; }, kShort,
                        "the automatic choice as the current region",
                        [] { Accessibility::pump(); }));
  step("automatic");
  EXPECT_TRUE(app_->running()) << "the application ended on a click";
}

// ---- Settings ----------------------------------------------------------------------------

TEST_F(UserFlowsTest, SettingsShowEveryTextAndBackLeadsOut) {
  seenTheTour();
  startApp();
  press({Role::Button, "Settings"}, "the settings button");
  waitFor({Role::Button, "Back"}, "the settings panel");
  step("settings");
  std::set<std::string> shown;
  for (const Role role : {Role::Label, Role::Button, Role::CheckBox}) {
    for (const Element& element : Accessibility::findAll(application_, {role, std::nullopt})) {
      if (!element.name().empty()) shown.insert(element.name());
    }
  }
  for (const char* text :
       {"Back", "Vandrel", "Vandrel v1.0.0(1)", " Auto connect after Vandrel launch",
        " Auto launch Vandrel after power on", "Check for updates", "Check", "Reset Network",
        "Wipe Cache", "Help Center", "Terms of Service", "Privacy Policy"}) {
    EXPECT_TRUE(shown.count(text)) << "\"" << text << "\" does not show";
  }
  press({Role::Button, "Back"}, "Back");
  EXPECT_TRUE(gone({Role::Button, "Back"}, "the settings panel to go"));
  waitFor({Role::Button, "Connect"}, "the main window again");
  step("back");
}

TEST_F(UserFlowsTest, TheSwitchesAreStoredAndLaunchAtLogInWritesTheAutostartEntry) {
  seenTheTour();
  startApp();
  press({Role::Button, "Settings"}, "the settings button");
  const fs::path entry = home() / "config" / "autostart" / "com.vandrel.mac.launcherApp.desktop";
  auto stored = [&](const char* key) { return platform::Defaults(defaultsFile()).getBool(key); };

  press({Role::CheckBox, " Auto connect after Vandrel launch"}, "auto connect");
  EXPECT_TRUE(waitUntil([&] { return stored("isAutoConnect") == true; }, kShort,
                        "isAutoConnect stored as true"));
  press({Role::CheckBox, " Auto launch Vandrel after power on"}, "auto launch");
  EXPECT_TRUE(waitUntil([&] { return fs::exists(entry); }, kShort, "the autostart entry"));
  EXPECT_EQ(stored("isAutoLaunch"), true);
  step("both-on");
  EXPECT_TRUE(
      waitFor({Role::CheckBox, " Auto launch Vandrel after power on"}, "auto launch").checked());

  press({Role::CheckBox, " Auto launch Vandrel after power on"}, "auto launch");
  EXPECT_TRUE(waitUntil([&] { return !fs::exists(entry); }, kShort, "the autostart entry to go"));
  press({Role::CheckBox, " Auto connect after Vandrel launch"}, "auto connect");
  EXPECT_TRUE(waitUntil([&] { return stored("isAutoConnect") == false; }, kShort,
                        "isAutoConnect stored as false"));
  EXPECT_EQ(stored("isAutoLaunch"), false);
  step("both-off");
}

// ---- The log window ----------------------------------------------------------------------

TEST_F(UserFlowsTest, TheLogWindowOpensFromTheWindowMenuAndCloses) {
  seenTheTour();
  startApp();
  press({Role::MenuItem, "Log", false}, "Window > Log");
  Element log;
  ASSERT_TRUE(
      Accessibility::waitFor([&] { return findWindow("Log"); }, log, kShort, "the log window"));
  step("log");
  // Its rows are one line each.
  for (const Element& item : Accessibility::findAll(log, {Role::ListItem, std::nullopt})) {
    EXPECT_LE(item.extents()[3], 30) << "a row \"" << item.name() << "\" of one line";
  }
  const auto windows = desktop_->windows(kAppClass, "Log");
  ASSERT_EQ(windows.size(), 1u);
  ASSERT_TRUE(desktop_->keyToWindow(windows.front(), "alt+F4"));
  EXPECT_TRUE(waitUntil([&] { return !findWindow("Log"); }, kShort, "the log window to close",
                        [] { Accessibility::pump(); }));
  step("closed");
  EXPECT_TRUE(app_->running());
}

// ---- The tray and the window's life ------------------------------------------------------------

TEST_F(UserFlowsTest, TheTrayMenuShowsTheStatusAndTheCloseChoice) {
  seenTheTour();
  startApp();
  openTrayMenu();
  EXPECT_EQ(trayMenuItems(),
            (std::vector<std::string>{"Vandrel: Connect", "Current Location: None", "Start connect",
                                      "Keep in Menu Bar", "Open Window", "Quit"}));
  // Checked, the window's close keeps the application in the tray.
  pressTrayMenuItem("Keep in Menu Bar");
  EXPECT_TRUE(waitUntil(
      [&] {
        return platform::Defaults(defaultsFile()).getInt("shouldTerminateAfterLastWindowClosed") ==
               2;
      },
      kShort, "closeOption 2 stored"));
  openTrayMenu();
  EXPECT_EQ(trayMenuItems(),
            (std::vector<std::string>{"Vandrel: Connect", "Current Location: None", "Start connect",
                                      "Keep in Menu Bar [x]", "Open Window", "Quit"}));
  closeTrayMenu();
}

TEST_F(UserFlowsTest, ClosedToTheTrayTheWindowComesBackWhenTheApplicationStartsAgain) {
  seenTheTour();
  startApp();
  ASSERT_TRUE(mainWindowMapped(true));
  ASSERT_TRUE(desktop_->keyToWindow(*mainWindow(), "alt+F4"));
  answerAlert("Keep running in the background", "Keep running");
  ASSERT_TRUE(mainWindowMapped(false));
  step("hidden");
  startSecondCopy();
  EXPECT_TRUE(mainWindowMapped(true));
  step("back");
  EXPECT_TRUE(app_->running());
}

TEST_F(UserFlowsTest, QuitFromTheTrayEndsTheApplication) {
  seenTheTour();
  startApp();
  openTrayMenu();
  pressTrayMenuItem("Quit");
  const std::optional<int> status = app_->waitExit(kShort);
  ASSERT_TRUE(status.has_value()) << "the application still runs";
  EXPECT_EQ(*status, 0);
}

TEST_F(UserFlowsTest, StartedAgainTheWindowShowsTheSavedAccountAndRegions) {
  seenTheTour();
  startApp();
  waitForRegionsWithPings();
  signIn();
  waitForRegionsWithPings();
  quitFromTheMenu();
  ASSERT_TRUE(app_->waitExit(kShort).has_value()) << "the application still runs";

  // Only what was saved can show now.
  service_.withholdRegions();
  startApp();
  waitFor({Role::Label, std::string(kDemoEmail)}, "the saved account's name");
  for (const std::string& region : kDemoRegions) {
    waitFor({Role::Filler, region}, "the saved region " + region);
  }
  step("restarted");
  clickRow("USA");
  EXPECT_TRUE(waitUntil([&] { return currentRegion() == "USA"; }, kShort,
                        "USA as the current region", [] { Accessibility::pump(); }));
  EXPECT_TRUE(app_->running());
}

// ---- Connecting ----------------------------------------------------------------------------

// The helper (as root, on a socket of this test) starts the daemon stand-in
// from a temporary copy; the application reaches both through its run-time
// settings and finds the helper installed.
TEST_F(UserFlowsTest, ConnectAndDisconnectShowInTheWindowAndTheTray) {
  if (!helper::testing_support::requireRootNamespace()) {
    GTEST_SKIP() << "connecting needs root inside scripts/netns-run";
  }
  fs::create_directories(dir_->path() / "helper");
  daemon_ = std::make_unique<DaemonCopy>(dir_->path() / "daemon",
                                         helper::testing_support::freeLoopbackPort());
  helper::HelperConfig config;
  config.daemonPath = daemon_->path().string();
  config.daemonPort = daemon_->port();
  helper_ = std::make_unique<HelperProcess>(dir_->path() / "helper", config);
  ASSERT_TRUE(helper_->start());
  seenTheTour();
  {
    platform::Defaults defaults(defaultsFile());
    defaults.set("qv_daemonVersionKey", std::int64_t{8});
    defaults.synchronize();
  }
  startApp();
  signIn();

  press({Role::Button, "Connect"}, "the connect button");
  answerAlert("Terms Of Service", "Accept");
  waitFor({Role::Button, "Connected"}, "the window's Connected", 30s);
  step("connected");
  EXPECT_TRUE(daemon_->waitForCount("StartSS", 1));
  openTrayMenu();
  const auto connected = trayMenuItems();
  ASSERT_GE(connected.size(), 3u);
  EXPECT_EQ(connected[0], "Vandrel: Connected");
  EXPECT_EQ(connected[2], "Disconnect");
  closeTrayMenu();

  press({Role::Button, "Connected"}, "the connect button");
  waitFor({Role::Button, "Connect"}, "the window's Connect", 30s);
  step("disconnected");
  EXPECT_TRUE(daemon_->waitForCount("StopSS", 1));
  openTrayMenu();
  const auto off = trayMenuItems();
  ASSERT_GE(off.size(), 3u);
  EXPECT_EQ(off[0], "Vandrel: Connect");
  EXPECT_EQ(off[2], "Start connect");
  closeTrayMenu();
}

// ---- The launcher ----------------------------------------------------------------------------

TEST_F(UserFlowsTest, TheLauncherStartsTheApplicationOnlyWhenItDoesNotRun) {
  seenTheTour();
  // Not running: the launcher starts it, and the application sends it away.
  ChildProcess launcher({VANDREL_LAUNCHER_EXECUTABLE}, environment(),
                        dir_->path() / "launcher-1.log");
  Element frame;
  ASSERT_TRUE(Accessibility::waitFor([&] { return launchedApplication(); }, frame, 30s,
                                     "the application the launcher started"));
  application_ = frame;
  launched_ = frame.processId();
  waitFor({Role::Button, "Connect"}, "the started application's window");
  step("launched");
  const std::optional<int> ended = launcher.waitExit(kShort);
  EXPECT_TRUE(ended.has_value()) << "the application did not send the launcher away";

  // Running: the launcher ends at once and starts nothing (a launcher that
  // starts the application waits for it to send it away).
  ChildProcess again({VANDREL_LAUNCHER_EXECUTABLE}, environment(), dir_->path() / "launcher-2.log");
  const std::optional<int> status = again.waitExit(kShort);
  ASSERT_TRUE(status.has_value()) << "the launcher did not end beside a running application";
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(Accessibility::application(launched_).processId(), launched_);

  quitFromTheMenu();
  EXPECT_TRUE(waitUntil([&] { return ::kill(launched_, 0) != 0; }, kShort,
                        "the started application to end"));
}

}  // namespace
}  // namespace vandrel::user_testing
