#pragma once

#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QWidget>

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/dispatch.h"

class QPropertyAnimation;

namespace vandrel::platform {
class Defaults;
}  // namespace vandrel::platform

namespace vandrel::app {

// Set to true in the standard defaults when the tour is first put up (not
// when it is confirmed): a tour quit without confirming is not shown again.
inline constexpr std::string_view kStaticHadShowFeatureKey = "staticHadShowFeatureKey";

// FeatureView: the first-run tour. Four full-size pictures ("fearture-1" to
// "fearture-4", the resources are spelled so) in a horizontally paged view
// that advances by itself every 3 seconds, with previous, next and confirm
// buttons. A click on previous or next pauses the advance; it resumes when
// 3 seconds have passed after the page's 0.3-second scroll, unless it runs
// already. Confirming gives the window its title-bar buttons back and
// removes the tour.
//
// The advance and the resume run on `scheduler`'s clock (tests pass a
// manual one); the scroll itself is a Qt animation. GUI thread only.
class FeatureView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kPageCount = 4;
  static constexpr std::chrono::milliseconds kAdvanceInterval{3000};
  static constexpr std::chrono::milliseconds kScrollDuration{300};

  // `scheduler` must outlive the view.
  explicit FeatureView(QWidget* parent = nullptr,
                       platform::Scheduler& scheduler = platform::Scheduler::system());
  ~FeatureView() override;

  // On the first run (kStaticHadShowFeatureKey absent or false in
  // `defaults`): hides the title-bar buttons of `mainView`'s window, lays a
  // new tour over the whole of `mainView`, sets the flag and returns the
  // tour. Otherwise returns nullptr and changes nothing.
  static FeatureView* showIfFirstRun(
      QWidget* mainView, platform::Defaults& defaults,
      platform::Scheduler& scheduler = platform::Scheduler::system());

  // The page shown or being scrolled to, 0 to 3.
  int currentIndex() const { return currentIndex_; }
  // Whether the auto-advance timer runs.
  bool isTimerRunning() const { return timer_ != nullptr; }
  // Where the pages scroll to for the current page: the index times the
  // view's width truncated to whole points.
  int scrollTarget() const;

  QScrollArea* scrollView() const { return scrollView_; }
  QPushButton* previousButton() const { return previousButton_; }
  QPushButton* nextButton() const { return nextButton_; }
  QPushButton* confirmButton() const { return confirmButton_; }

  // (Re)starts the auto-advance timer.
  void startTimer();
  void stopTimer();
  void nextPage();
  void previousPage();
  // Scrolls to the current page; 3 seconds after the scroll the timer
  // starts again unless it runs.
  void scrollToCurrentPage();
  // Gives the window its title-bar buttons back, stops the timer and
  // removes the tour.
  void closeTour();

 public slots:
  void onPreButtonClick();
  void onNextButtonClick();
  void onConfirmClick();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void buildPages();
  void layoutPages();
  void advance();
  void hideTitleBarButtons();

  platform::Scheduler& scheduler_;
  int currentIndex_ = 0;
  // Once confirmed, nothing starts the timer again.
  bool closed_ = false;
  std::unique_ptr<platform::TimerSource> timer_;
  QScrollArea* scrollView_ = nullptr;
  QWidget* pages_ = nullptr;
  QPushButton* previousButton_ = nullptr;
  QPushButton* nextButton_ = nullptr;
  QPushButton* confirmButton_ = nullptr;
  QPropertyAnimation* scrollAnimation_ = nullptr;
  // The window whose title-bar buttons the tour hid, with its flags before.
  QPointer<QWidget> titleBarWindow_;
  std::optional<Qt::WindowFlags> savedWindowFlags_;
};

}  // namespace vandrel::app
