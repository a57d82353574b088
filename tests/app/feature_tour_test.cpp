// The feature tour: shown once per defaults file, its pages, the 3-second
// advance with its pause and resume on a manual clock, and confirming.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "app/feature_tour.h"
#include "app/images.h"
#include "platform/clock.h"
#include "platform/defaults.h"
#include "platform/dispatch.h"
#include "tests/app/app_test_support.h"
#include "tests/support/temp_dir.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 480;
constexpr int kHeight = 360;

class FeatureTourTest : public ::testing::Test {
 protected:

  void SetUp() override {
    platform::mainQueue().runPending();
    window_.resize(kWidth, kHeight);
    mainView_ = new QWidget(&window_);
    mainView_->setGeometry(0, 0, kWidth, kHeight);
    originalFlags_ = window_.windowFlags();
  }

  void TearDown() override {
    delete tour_.data();
    platform::mainQueue().runPending();
  }

  std::filesystem::path defaultsPath() const { return dir_.path() / "standard.json"; }

  // Puts the tour up in a shown window at the clock's present moment.
  void showTour() {
    tour_ = FeatureView::showIfFirstRun(mainView_, defaults_, scheduler_);
    ASSERT_NE(tour_, nullptr);
    window_.show();
    ASSERT_TRUE(tour_->isVisible());
  }

  ::testing::AssertionResult advance(std::chrono::milliseconds by) {
    return test_support::advanceAndDeliver(clock_, scheduler_, by);
  }

  // The buttons go with the whole title bar: a window manager may draw
  // every button whatever the hints say of each, but none draws them on a
  // window that asks for no title bar.
  bool titleBarButtonsHidden() const {
    const Qt::WindowFlags flags = window_.windowFlags();
    return flags.testFlag(Qt::CustomizeWindowHint) && !flags.testFlag(Qt::WindowTitleHint) &&
           !flags.testFlag(Qt::WindowCloseButtonHint) &&
           !flags.testFlag(Qt::WindowMinimizeButtonHint) &&
           !flags.testFlag(Qt::WindowMaximizeButtonHint);
  }

  test_support::TempDir dir_{"vandrel-tour"};
  platform::Defaults defaults_{defaultsPath()};
  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  QWidget window_;
  QWidget* mainView_ = nullptr;
  Qt::WindowFlags originalFlags_;
  QPointer<FeatureView> tour_;
};

TEST_F(FeatureTourTest, ShownOnceOverTheWholeMainViewWithTheFlagSetAtOnce) {
  showTour();
  EXPECT_EQ(tour_->parentWidget(), mainView_);
  EXPECT_EQ(tour_->geometry(), mainView_->rect());
  EXPECT_TRUE(titleBarButtonsHidden());
  EXPECT_TRUE(window_.isVisible());
  // Stored before anyone confirms: a relaunch reads it from the file.
  EXPECT_EQ(platform::Defaults(defaultsPath()).getBool(kStaticHadShowFeatureKey), true);

  tour_->hide();  // quit without confirming
  platform::Defaults relaunched(defaultsPath());
  QWidget otherView;
  EXPECT_EQ(FeatureView::showIfFirstRun(&otherView, relaunched, scheduler_), nullptr);
  EXPECT_TRUE(otherView.findChildren<FeatureView*>().isEmpty());
}

TEST_F(FeatureTourTest, FourPagesShowTheFourPicturesSideBySide) {
  showTour();
  const auto pages =
      tour_->scrollView()->widget()->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_EQ(pages.size(), 4);
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pages[i]->geometry(), QRect(kWidth * i, 0, kWidth, kHeight));
    const QPixmap expected = appImage("fearture-" + std::to_string(i + 1));
    EXPECT_EQ(pages[i]->pixmap().toImage(), expected.toImage());
  }
}

TEST_F(FeatureTourTest, AdvancesEveryThreeSecondsAndWrapsToTheFirstPage) {
  showTour();
  ASSERT_TRUE(tour_->isTimerRunning());
  ASSERT_TRUE(advance(2999ms));
  EXPECT_EQ(tour_->currentIndex(), 0);
  const int expected[] = {1, 2, 3, 0, 1};
  ASSERT_TRUE(advance(1ms));
  for (int index : expected) {
    EXPECT_EQ(tour_->currentIndex(), index);
    EXPECT_EQ(tour_->scrollTarget(), index * kWidth);
    ASSERT_TRUE(advance(3000ms));
  }
  // The pages really scroll there (a short Qt animation).
  const int target = tour_->scrollTarget();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return tour_->scrollView()->horizontalScrollBar()->value() == target; }, 5000));
}

TEST_F(FeatureTourTest, PreviousAndNextWrapAroundTheFourPages) {
  showTour();
  QTest::mouseClick(tour_->previousButton(), Qt::LeftButton);
  EXPECT_EQ(tour_->currentIndex(), 3);
  EXPECT_EQ(tour_->scrollTarget(), 3 * kWidth);
  QTest::mouseClick(tour_->nextButton(), Qt::LeftButton);
  EXPECT_EQ(tour_->currentIndex(), 0);
  QTest::mouseClick(tour_->nextButton(), Qt::LeftButton);
  EXPECT_EQ(tour_->currentIndex(), 1);
  QTest::mouseClick(tour_->previousButton(), Qt::LeftButton);
  EXPECT_EQ(tour_->currentIndex(), 0);
}

TEST_F(FeatureTourTest, AClickPausesTheAdvanceUntilThreeSecondsAfterItsScroll) {
  showTour();
  // Next at 0 s, 1 s and 2 s.
  QTest::mouseClick(tour_->nextButton(), Qt::LeftButton);
  EXPECT_FALSE(tour_->isTimerRunning());
  ASSERT_TRUE(advance(1000ms));
  QTest::mouseClick(tour_->nextButton(), Qt::LeftButton);
  ASSERT_TRUE(advance(1000ms));
  QTest::mouseClick(tour_->nextButton(), Qt::LeftButton);
  EXPECT_EQ(tour_->currentIndex(), 3);

  ASSERT_TRUE(advance(1299ms));  // 3.299 s
  EXPECT_FALSE(tour_->isTimerRunning());
  EXPECT_EQ(tour_->currentIndex(), 3);
  ASSERT_TRUE(advance(1ms));  // 3.3 s: the first click's check starts the timer
  EXPECT_TRUE(tour_->isTimerRunning());

  // The later checks (4.3 s, 5.3 s) find it running and leave it alone.
  ASSERT_TRUE(advance(2999ms));  // 6.299 s
  EXPECT_EQ(tour_->currentIndex(), 3);
  ASSERT_TRUE(advance(1ms));  // 6.3 s: the first advance
  EXPECT_EQ(tour_->currentIndex(), 0);
  ASSERT_TRUE(advance(3000ms));
  EXPECT_EQ(tour_->currentIndex(), 1);
}

TEST_F(FeatureTourTest, ConfirmGivesTheButtonsBackStopsTheTimerAndRemovesTheTour) {
  showTour();
  QTest::mouseClick(tour_->nextButton(), Qt::LeftButton);  // a resume check is pending
  ASSERT_TRUE(advance(1000ms));
  QTest::mouseClick(tour_->confirmButton(), Qt::LeftButton);

  EXPECT_EQ(window_.windowFlags(), originalFlags_);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(tour_->isVisible());
  EXPECT_EQ(tour_->parentWidget(), nullptr);
  EXPECT_TRUE(mainView_->findChildren<FeatureView*>().isEmpty());

  // Neither the pending check nor a tick brings it back to life.
  const int index = tour_->currentIndex();
  ASSERT_TRUE(advance(10000ms));
  ASSERT_FALSE(tour_.isNull());
  EXPECT_FALSE(tour_->isTimerRunning());
  EXPECT_EQ(tour_->currentIndex(), index);

  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(tour_.isNull());
}

TEST_F(FeatureTourTest, ConfirmGivesBackOnlyTheTitleBarButtonsLeavingLaterFlags) {
  showTour();
  window_.setWindowFlag(Qt::WindowStaysOnTopHint);  // set by someone else meanwhile
  window_.show();
  QTest::mouseClick(tour_->confirmButton(), Qt::LeftButton);
  EXPECT_EQ(window_.windowFlags(), originalFlags_ | Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(window_.isVisible());
}

}  // namespace
}  // namespace vandrel::app
