#pragma once

#include <cstdint>

#include "connection/alert_helpers.h"
#include "crash/kit/flt_crash_reporting_controller.h"

namespace vandrel::app {

// The application's alerts: a modal message box with the title as its text,
// the message as its informative text (both plain text, never rich text:
// they may come from the service) and one or two buttons. The first button
// is the default one (Return) and answers kAlertFirstButtonReturn (1000),
// the second kAlertSecondButtonReturn (1001). Escape or closing the window
// answers kAlertOtherReturn, whatever the buttons are called, so it never
// runs a button's action.
//
// GUI thread only; runModal spins a nested event loop until the alert ends.
class QtAlertPresenter final : public connection::AlertPresenter {
 public:
  static constexpr std::int64_t kAlertOtherReturn = 0;

  // Hides the progress overlay at once when it shows: the alert's own job
  // holds the main queue while the alert is up, so a queued hide would wait
  // for the alert to close.
  void dismissProgressHUD() override;
  std::int64_t runModal(const connection::AlertContent& alert) override;
};

// The crash kit's question whether to send a report, as a modal message
// box: the title as its text, the message as its informative text, and the
// buttons send, always send (only when titled) and cancel, in this order,
// answering 1000, 1001 and 1002 by their place. Escape or closing the box
// answers cancel: nothing is sent without the user's word.
//
// GUI thread only (the kit asks from the main queue).
long presentCrashReportPrompt(const crash::FLTPermissionAlert& alert);
// Makes it the crash kit's way of asking; once, at start.
void registerCrashReportPrompt();

}  // namespace vandrel::app
