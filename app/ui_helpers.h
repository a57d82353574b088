#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vandrel::app {

// Opens links given as text. Whatever thread calls it, the link is looked
// at and opened later on the main queue.
class qv_Navigator {
 public:
  // The application's own scheme and the action scheme.
  static constexpr std::string_view kAppScheme = "Vandrel://";
  static constexpr std::string_view kActionScheme = "action://";

  // Links that begin with "Vandrel://" or "action://" (plain, case-sensitive
  // prefixes) are ignored, and so is a text that makes no URL with a scheme
  // (a blank inside, say); any other goes to the desktop's handler for its
  // scheme (the browser for web links). Returns at once.
  static void open(std::string link);
};

// Queues `work` on the main queue; never runs it in place, also not when
// called on the main queue.
void runOnMainQueue(std::function<void()> work);

// Hides the shared progress overlay when it shows: two hops through the
// main queue, so what the caller queued before runs first. Any thread.
void dismissProgressHUD();
// The same, now; GUI thread only.
void dismissProgressHUDNow();

// The title and message showNotice makes of a text: split at every "\n\n";
// exactly two parts are the title and the message, anything else is the
// title "Notice" over the whole text.
struct NoticeText {
  std::string title;
  std::string message;

  bool operator==(const NoticeText&) const = default;
};
NoticeText noticeText(std::string_view text);

// On the main queue: hides the progress overlay, then shows an alert with
// noticeText(text) and one "OK" button, whose action is `completion`. Any
// thread; returns at once.
void showNotice(std::string text, std::function<void()> completion = {});

}  // namespace vandrel::app
