#include "app/ui_helpers.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <utility>
#include <vector>

#include "app/progress_hud.h"
#include "connection/alert_helpers.h"
#include "platform/dispatch.h"

namespace vandrel::app {
namespace {

constexpr std::string_view kNoticeSeparator = "\n\n";
constexpr std::string_view kNoticeTitle = "Notice";
constexpr std::string_view kOkButton = "OK";

void openNow(const std::string& link) {
  const std::string_view text(link);
  if (text.starts_with(qv_Navigator::kAppScheme)) return;
  if (text.starts_with(qv_Navigator::kActionScheme)) return;
  // Strict: a blank or a stray "%" makes no URL, as the system's URL
  // parser sees it. A text without a scheme has no handler to go to.
  const QUrl url(QString::fromStdString(link), QUrl::StrictMode);
  if (!url.isValid() || url.scheme().isEmpty()) return;
  QDesktopServices::openUrl(url);
}

std::vector<std::string_view> splitAtSeparator(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (std::size_t at = text.find(kNoticeSeparator); at != std::string_view::npos;
       at = text.find(kNoticeSeparator, start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + kNoticeSeparator.size();
  }
  parts.push_back(text.substr(start));
  return parts;
}

}  // namespace

void qv_Navigator::open(std::string link) {
  platform::mainQueue().async([link = std::move(link)] { openNow(link); });
}

void runOnMainQueue(std::function<void()> work) { platform::mainQueue().async(std::move(work)); }

void dismissProgressHUD() {
  // Two hops: whatever the caller queued before (a show, typically) has run
  // by the time the overlay is looked at.
  platform::mainQueue().async([] { platform::mainQueue().async([] { dismissProgressHUDNow(); }); });
}

void dismissProgressHUDNow() {
  ProgressHUD& hud = ProgressHUD::shared();
  if (!hud.isHidden()) hud.dismiss(true);
}

NoticeText noticeText(std::string_view text) {
  const std::vector<std::string_view> parts = splitAtSeparator(text);
  if (parts.size() == 2) return {std::string(parts[0]), std::string(parts[1])};
  return {std::string(kNoticeTitle), std::string(text)};
}

void showNotice(std::string text, std::function<void()> completion) {
  platform::mainQueue().async([text = std::move(text), completion = std::move(completion)] {
    dismissProgressHUD();
    NoticeText notice = noticeText(text);
    connection::AlertHelpers::shared().showAlert(std::move(notice.title),
                                                 std::move(notice.message), std::string(kOkButton),
                                                 completion);
  });
}

}  // namespace vandrel::app
