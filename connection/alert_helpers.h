#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/region_records.h"

namespace vandrel::platform {
class NotificationCenter;
class Queue;
}  // namespace vandrel::platform

namespace vandrel::connection {

// The responses of a modal alert: the first button, the second button.
// Anything else (Esc, the window closed) runs no action.
inline constexpr std::int64_t kAlertFirstButtonReturn = 1000;
inline constexpr std::int64_t kAlertSecondButtonReturn = 1001;

// What one modal alert shows: `title` as its message text, `message` as its
// informative text, the first button and, when given, the second.
struct AlertContent {
  std::string title;
  std::string message;
  std::string button1;
  std::optional<std::string> button2;

  bool operator==(const AlertContent&) const = default;
};

// Shows alerts for the helpers below; the application shell provides the
// real one, tests a recording one. Called on the main queue only.
class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  // Hides the progress overlay when it shows.
  virtual void dismissProgressHUD() = 0;
  // Runs the alert modally and returns how it ended.
  virtual std::int64_t runModal(const AlertContent& alert) = 0;
};

// Opens a web address in the user's browser.
using LinkOpener = std::function<void(const std::string& url)>;

// Installs the presenter and the link opener that the shared helpers use;
// the shell calls this at start-up (both must live for the process). Until
// then an alert is written to standard error and runs no action, and a link
// is only logged.
void setSharedAlertPresenter(AlertPresenter* presenter);
void setSharedLinkOpener(LinkOpener opener);
// Opens `url` with the installed opener (the system's browser in the
// application); without one it is only logged.
void openSharedLink(const std::string& url);

// The modal-alert facility of the whole application and the two button
// actions of the expiry notices. Callable from any thread; the alert and
// its actions always run on the main queue.
class AlertHelpers {
 public:
  // What the helpers reach beyond the presenter, looked up at each call.
  struct Hooks {
    // The session's payment link (none: the default one).
    std::function<std::optional<std::string>()> paymentLink;
    // The lines manager's selectRegion.
    std::function<void(core::RegionsItem)> selectRegion;
    LinkOpener openLink;
  };

  // Over the installed presenter and link opener, the shared session and
  // the shared lines manager, the default notification center and the main
  // queue.
  static AlertHelpers& shared();

  AlertHelpers(AlertPresenter& presenter, platform::NotificationCenter& notifications,
               Hooks hooks, platform::Queue& mainQueue);
  AlertHelpers(const AlertHelpers&) = delete;
  AlertHelpers& operator=(const AlertHelpers&) = delete;

  // Returns at once; on the main queue hides the progress overlay, runs the
  // alert, then the action of the button that ended it (when there is one).
  // Without a second title there is no second button, and its action never
  // runs.
  void showAlert(std::string title, std::string message, std::string button1,
                 std::function<void()> action1 = {},
                 std::optional<std::string> button2 = std::nullopt,
                 std::function<void()> action2 = {});

  // Opens the session's payment link in the browser.
  void openUpgradePage();
  // Makes the automatic region current and posts "LinesDidUpdateNotification".
  // The tunnel is not touched.
  void switchToSmartLocation();

 private:
  AlertPresenter& presenter_;
  platform::NotificationCenter& notifications_;
  const Hooks hooks_;
  platform::Queue& mainQueue_;
};

}  // namespace vandrel::connection
