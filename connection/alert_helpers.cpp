#include "connection/alert_helpers.h"

#include <atomic>
#include <cstdio>
#include <utility>

#include "connection/lines_manager.h"
#include "core/connection_port.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/sync.h"

namespace vandrel::connection {
namespace {

std::atomic<AlertPresenter*> gPresenter{nullptr};

struct OpenerSlot {
  platform::Mutex mutex;
  LinkOpener opener VANDREL_GUARDED_BY(mutex);
};

OpenerSlot& openerSlot() {
  static auto* const slot = new OpenerSlot;
  return *slot;
}

// Forwards to the installed presenter. Without one (before the shell is
// up, or in a program without a user interface) the alert goes to standard
// error and ends with no button.
class SharedPresenter final : public AlertPresenter {
 public:
  void dismissProgressHUD() override {
    if (AlertPresenter* presenter = gPresenter.load()) presenter->dismissProgressHUD();
  }
  std::int64_t runModal(const AlertContent& alert) override {
    if (AlertPresenter* presenter = gPresenter.load()) return presenter->runModal(alert);
    std::fprintf(stderr, "alert (no presenter): %s: %s\n", alert.title.c_str(),
                 alert.message.c_str());
    return 0;
  }
};

}  // namespace

void openSharedLink(const std::string& url) {
  LinkOpener opener;
  {
    OpenerSlot& slot = openerSlot();
    platform::MutexLock lock(slot.mutex);
    opener = slot.opener;
  }
  if (opener) {
    opener(url);
  } else {
    core::LogUtil::debug("[alert] no link opener for " + url);
  }
}

void setSharedAlertPresenter(AlertPresenter* presenter) { gPresenter.store(presenter); }

void setSharedLinkOpener(LinkOpener opener) {
  OpenerSlot& slot = openerSlot();
  platform::MutexLock lock(slot.mutex);
  slot.opener = std::move(opener);
}

AlertHelpers& AlertHelpers::shared() {
  // Leaked, as are the objects it reaches: alerts may be queued until exit.
  static AlertHelpers* const instance = [] {
    static auto* const presenter = new SharedPresenter;
    Hooks hooks{
        .paymentLink = [] { return core::MiscInfo::shared().payment(); },
        .selectRegion = [](core::RegionsItem region) {
          LinesManager::shared().selectRegion(std::move(region));
        },
        .openLink = openSharedLink,
    };
    return new AlertHelpers(*presenter, platform::NotificationCenter::shared(), std::move(hooks),
                            platform::mainQueue());
  }();
  return *instance;
}

AlertHelpers::AlertHelpers(AlertPresenter& presenter, platform::NotificationCenter& notifications,
                           Hooks hooks, platform::Queue& mainQueue)
    : presenter_(presenter),
      notifications_(notifications),
      hooks_(std::move(hooks)),
      mainQueue_(mainQueue) {}

void AlertHelpers::showAlert(std::string title, std::string message, std::string button1,
                             std::function<void()> action1, std::optional<std::string> button2,
                             std::function<void()> action2) {
  AlertContent alert{std::move(title), std::move(message), std::move(button1), std::move(button2)};
  // Always queued, also from the main queue itself: the caller returns
  // before the modal run starts.
  mainQueue_.async([this, alert = std::move(alert), action1 = std::move(action1),
                    action2 = std::move(action2)] {
    presenter_.dismissProgressHUD();
    const std::int64_t response = presenter_.runModal(alert);
    if (response == kAlertFirstButtonReturn) {
      if (action1) action1();
    } else if (response == kAlertSecondButtonReturn) {
      // No second button, no second action, whatever the presenter says.
      if (alert.button2 && action2) action2();
    }
  });
}

void AlertHelpers::openUpgradePage() {
  std::optional<std::string> link = hooks_.paymentLink ? hooks_.paymentLink() : std::nullopt;
  // The session always holds a link; should it ever not, the default one.
  if (!link) link = core::MiscInfo::Links::defaults().payment;
  if (link && hooks_.openLink) hooks_.openLink(*link);
}

void AlertHelpers::switchToSmartLocation() {
  if (hooks_.selectRegion) hooks_.selectRegion(defaultRegion());
  notifications_.post(std::string(core::kLinesDidUpdateNotification));
}

}  // namespace vandrel::connection
