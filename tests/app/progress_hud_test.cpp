// The progress overlay and its spinner: showing, dismissing with and
// without the fade, self-dismissal on a manual clock, clicks, the box
// layout of the documented cases, and the spinner's fins, steps and
// start/stop.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/progress_hud.h"
#include "app/spinner_layer.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "tests/app/app_test_support.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;

// Fades that the test steps by hand.
class ManualAnimator final : public HudAnimator {
 public:
  struct Fade {
    double from;
    double to;
    std::chrono::milliseconds duration;
    std::function<void(double)> apply;
    std::function<void()> finished;
  };
  void animate(QObject*, double from, double to, std::chrono::milliseconds duration,
               std::function<void(double)> apply, std::function<void()> finished) override {
    fades.push_back({from, to, duration, std::move(apply), std::move(finished)});
  }
  void finish(std::size_t index) {
    Fade& fade = fades.at(index);
    fade.apply(fade.to);
    fade.finished();
  }
  std::vector<Fade> fades;
};

constexpr const char* kWill = "ProgressHUD.willDisappear";
constexpr const char* kDid = "ProgressHUD.didDisappear";
constexpr const char* kMouseDown = "ProgressHUD.didReceiveMouseDownEvent";

class ProgressHUDTest : public ::testing::Test {
 protected:

  void SetUp() override {
    platform::mainQueue().runPending();
    for (const char* name : {kWill, kDid, kMouseDown}) {
      notifications_.addObserver(name, hud_.get(), std::nullopt,
                                 [this](const platform::Notification& n) { posted_.push_back(n.name); });
    }
    hud_->setCompletionHandler([this] { ++completions_; });
  }

  void TearDown() override {
    hud_.reset();
    platform::mainQueue().runPending();
  }

  bool showing() const {
    return !hud_->isHidden() && hud_->alphaValue() > 0 && hud_->windowController()->isVisible();
  }
  bool hiddenAndEmptied() const {
    return hud_->isHidden() && hud_->alphaValue() == 0 &&
           !hud_->windowController()->isVisible() && hud_->status().isEmpty() &&
           hud_->indicator() == nullptr;
  }

  ::testing::AssertionResult advance(std::chrono::milliseconds by) {
    return test_support::advanceAndDeliver(clock_, scheduler_, by);
  }

  // Sends a press to the overlay; whether it stopped there.
  bool press() {
    QMouseEvent event(QEvent::MouseButtonPress, QPointF(5, 5), hud_->mapToGlobal(QPointF(5, 5)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(hud_.get(), &event);
    return event.isAccepted();
  }

  using Names = std::vector<std::string>;

  platform::ManualClock clock_;
  platform::Scheduler scheduler_{clock_};
  platform::NotificationCenter notifications_;
  ManualAnimator animator_;
  std::unique_ptr<ProgressHUD> hud_ = [this] {
    return std::make_unique<ProgressHUD>(
        QRect(), ProgressHUD::Environment{.notifications = &notifications_,
                                          .mainQueue = &platform::mainQueue(),
                                          .scheduler = &scheduler_,
                                          .animator = &animator_,
                                          .clock = &clock_});
  }();
  Names posted_;
  int completions_ = 0;
};

TEST_F(ProgressHUDTest, StartsHiddenWithTheDocumentedFields) {
  EXPECT_TRUE(hud_->isHidden());
  EXPECT_EQ(hud_->alphaValue(), 0);
  EXPECT_FALSE(hud_->windowController()->isVisible());
  EXPECT_EQ(hud_->mode().kind(), ProgressHUDMode::Case::indeterminate);
  EXPECT_EQ(hud_->position(), ProgressHUDPosition::bottom);
  EXPECT_EQ(hud_->maskType().kind(), ProgressHUDMaskType::Case::none);
  EXPECT_EQ(hud_->style().kind(), ProgressHUDStyle::Case::light);
  EXPECT_DOUBLE_EQ(hud_->minimumDismissTimeInterval(), 2.0);
  EXPECT_DOUBLE_EQ(hud_->maximumDismissTimeInterval(), 5.0);
  EXPECT_FALSE(hud_->dismissible());
  EXPECT_TRUE(hud_->useAnimation());
}

TEST_F(ProgressHUDTest, ProgressShowsASpinnerAndAPlainDismissTakesEverythingDownAtOnce) {
  hud_->showProgress(QStringLiteral("<b>Connecting</b>"));
  ASSERT_TRUE(showing());
  EXPECT_EQ(hud_->statusLabel()->text(), QStringLiteral("<b>Connecting</b>"));
  EXPECT_EQ(hud_->statusLabel()->textFormat(), Qt::PlainText);
  ASSERT_NE(hud_->indicator(), nullptr);
  const std::shared_ptr<ProgressIndicatorLayer> spinner = hud_->progressIndicator();
  ASSERT_TRUE(spinner);
  EXPECT_TRUE(spinner->isRunning());

  hud_->dismiss(false);
  // Both notifications before the call returns, in order.
  EXPECT_EQ(posted_, (Names{kWill, kDid}));
  EXPECT_TRUE(hiddenAndEmptied());
  EXPECT_FALSE(spinner->isRunning());
  EXPECT_FALSE(spinner->hasTimer());
  EXPECT_EQ(spinner->finLayers().size(), static_cast<std::size_t>(spinner->numFins()));
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(animator_.fades.empty());

  // Dismissing a hidden overlay repeats every step: the caller checks first.
  hud_->dismiss(false);
  EXPECT_EQ(posted_, (Names{kWill, kDid, kWill, kDid}));
  EXPECT_EQ(completions_, 2);
}

TEST_F(ProgressHUDTest, AnAnimatedDismissFadesForAFifthOfASecondBeforeItHides) {
  hud_->showProgress(0.4, QStringLiteral("Downloading"));
  EXPECT_DOUBLE_EQ(hud_->progress(), 0.4);
  hud_->dismiss(true);
  EXPECT_EQ(posted_, Names{kWill});
  EXPECT_FALSE(hud_->isHidden());
  EXPECT_TRUE(hud_->isFading());
  ASSERT_EQ(animator_.fades.size(), 1u);
  EXPECT_EQ(animator_.fades[0].from, 1.0);
  EXPECT_EQ(animator_.fades[0].to, 0.0);
  EXPECT_EQ(animator_.fades[0].duration, 200ms);
  animator_.fades[0].apply(0.5);
  EXPECT_DOUBLE_EQ(hud_->alphaValue(), 0.5);

  animator_.finish(0);
  EXPECT_EQ(posted_, (Names{kWill, kDid}));
  EXPECT_TRUE(hiddenAndEmptied());
  EXPECT_EQ(completions_, 1);
}

TEST_F(ProgressHUDTest, AShowDuringAFadeIsNotHiddenWhenTheOldFadeEnds) {
  hud_->showProgress();
  hud_->dismiss(true);
  hud_->showText(QStringLiteral("Again"));
  ASSERT_TRUE(showing());
  animator_.finish(0);
  EXPECT_TRUE(showing());
  EXPECT_EQ(hud_->status(), QStringLiteral("Again"));
}

TEST_F(ProgressHUDTest, ResultsDismissThemselvesAfterTheirDisplayTime) {
  struct Case {
    const char* name;
    std::function<void(ProgressHUD&, const QString&)> show;
    int characters;
    std::chrono::milliseconds shown;
  };
  const Case cases[] = {
      {"success, short", [](ProgressHUD& h, const QString& s) { h.showSuccess(s); }, 5, 2000ms},
      {"error, 50 characters", [](ProgressHUD& h, const QString& s) { h.showError(s); }, 50,
       3500ms},
      {"info, very long", [](ProgressHUD& h, const QString& s) { h.showInfo(s); }, 300, 5000ms},
      {"text", [](ProgressHUD& h, const QString& s) { h.showText(s); }, 25, 2000ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    posted_.clear();
    animator_.fades.clear();
    const QString status(c.characters, QLatin1Char('x'));
    c.show(*hud_, status);
    ASSERT_TRUE(showing());
    ASSERT_TRUE(advance(c.shown - 1ms));
    EXPECT_TRUE(showing());
    EXPECT_TRUE(posted_.empty());
    ASSERT_TRUE(advance(1ms));
    EXPECT_EQ(posted_, Names{kWill});
    ASSERT_EQ(animator_.fades.size(), 1u);  // animated
    animator_.finish(0);
    EXPECT_TRUE(hiddenAndEmptied());
  }
}

TEST_F(ProgressHUDTest, DismissingOrShowingAgainDropsAPendingSelfDismissal) {
  hud_->showInfo(QStringLiteral("Saved"));
  hud_->dismiss(false);
  hud_->showProgress(QStringLiteral("Working"));
  ASSERT_TRUE(advance(6s));
  EXPECT_TRUE(showing());

  hud_->showSuccess(QStringLiteral("Done"));
  ASSERT_TRUE(advance(1s));
  hud_->showProgress(QStringLiteral("Next job"));
  ASSERT_TRUE(advance(6s));
  EXPECT_TRUE(showing());
  EXPECT_EQ(hud_->status(), QStringLiteral("Next job"));
}

TEST_F(ProgressHUDTest, HideDelayedAnimatesUnlessToldFalse) {
  hud_->showProgress();
  hud_->hideDelayed(false);
  EXPECT_TRUE(hiddenAndEmptied());
  EXPECT_TRUE(animator_.fades.empty());
  EXPECT_FALSE(hud_->useAnimation());

  for (std::optional<bool> flag : {std::optional<bool>(), std::optional<bool>(true)}) {
    animator_.fades.clear();
    hud_->showProgress();
    hud_->scheduleHide(1s, flag);
    ASSERT_TRUE(advance(1s));
    ASSERT_EQ(animator_.fades.size(), 1u);
    animator_.finish(0);
    EXPECT_TRUE(hiddenAndEmptied());
  }
}

TEST_F(ProgressHUDTest, AClickIsAnnouncedPassesOnOnlyWithoutMaskAndDismissesWhenAllowed) {
  hud_->showText(QStringLiteral("Hello"));
  EXPECT_FALSE(press());  // mask none: handed on
  EXPECT_EQ(posted_, Names{kMouseDown});
  platform::mainQueue().runPending();
  EXPECT_TRUE(showing());

  hud_->setMaskType(ProgressHUDMaskType::clear());
  EXPECT_TRUE(press());  // any mask swallows it
  hud_->setMaskType(ProgressHUDMaskType::black());
  EXPECT_TRUE(press());
  EXPECT_EQ(hud_->maskType().fillColor(), QColor::fromRgbF(0, 0, 0, 0.6f));

  // Dismissible: queued, and animated as the last dismissal was (not).
  hud_->dismiss(false);
  hud_->showText(QStringLiteral("Tap to close"));
  hud_->setDismissible(true);
  posted_.clear();
  press();
  EXPECT_TRUE(showing());
  platform::mainQueue().runPending();
  EXPECT_EQ(posted_, (Names{kMouseDown, kWill, kDid}));
  EXPECT_TRUE(hiddenAndEmptied());
}

TEST_F(ProgressHUDTest, AnIconWithoutTextGetsABoxOfIconAndMarginsOnly) {
  hud_->showSuccess(QString());
  const HudLayout layout = hud_->layoutContent();
  EXPECT_EQ(layout.size, QSizeF(36, 100));
  EXPECT_EQ(hud_->boxSize(), QSizeF(36, 100));
  EXPECT_EQ(hud_->geometry(), hud_->windowController()->rect());
}

TEST_F(ProgressHUDTest, EveryModePaintsItsBoxAndOnlyABlackMaskDarkensTheArea) {
  const ProgressHUDMode modes[] = {ProgressHUDMode::indeterminate(), ProgressHUDMode::determinate(),
                                   ProgressHUDMode::info(),          ProgressHUDMode::success(),
                                   ProgressHUDMode::error(),         ProgressHUDMode::text()};
  hud_->setStyle(ProgressHUDStyle::dark());
  hud_->setPosition(ProgressHUDPosition::center);
  for (const ProgressHUDMode& mode : modes) {
    SCOPED_TRACE(static_cast<int>(mode.kind()));
    hud_->showStatus(mode, QStringLiteral("Status"));
    for (bool black : {false, true}) {
      hud_->setMaskType(black ? ProgressHUDMaskType::black() : ProgressHUDMaskType::none());
      const QImage image = hud_->windowController()->grab().toImage();
      ASSERT_FALSE(image.isNull());
      const QColor corner = image.pixelColor(2, 2);
      EXPECT_NEAR(corner.alphaF(), black ? 0.6 : 0.0, 0.02);
      // The box at the centre: the dark style's black at 0.9.
      const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
      EXPECT_GT(centre.alphaF(), 0.85);
    }
  }
}

TEST(ProgressHUDLayoutTest, TheBoxFollowsTheDocumentedSizes) {
  const QSizeF screen(1440, 900);
  struct Case {
    const char* name;
    QSizeF area;
    ProgressHUDMode::Case mode;
    QSizeF text;
    QSizeF size;
  };
  const Case cases[] = {
      {"info, no text", screen, ProgressHUDMode::Case::info, {0, 0}, {36, 100}},
      {"text only", screen, ProgressHUDMode::Case::text, {100, 20}, {146, 56}},
      {"ring and text", screen, ProgressHUDMode::Case::determinate, {100, 20}, {146, 124}},
      {"no superview", {}, ProgressHUDMode::Case::text, {100, 20}, {36, 56}},
      {"very wide text", screen, ProgressHUDMode::Case::text, {5000, 20}, {1440 - 36, 56}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HudLayoutInput in;
    in.area = c.area;
    in.mode = c.mode;
    in.textSize = c.text;
    const HudLayout out = layoutHud(in);
    EXPECT_EQ(out.size, c.size);
  }

  HudLayoutInput ring;
  ring.area = screen;
  ring.mode = ProgressHUDMode::Case::determinate;
  ring.textSize = {100, 20};
  const HudLayout out = layoutHud(ring);
  EXPECT_EQ(out.textFrame.width(), 110);
  EXPECT_EQ(out.textFrame.y(), out.base - 4);
  EXPECT_EQ(out.box.y() + out.box.height() - out.iconCentre.y(), 54);
}

TEST(ProgressHUDLayoutTest, PositionPutsTheBoxAFifthOfTheHeightAboveOrBelowTheCentre) {
  HudLayoutInput in;
  in.area = QSizeF(1000, 1000);
  in.mode = ProgressHUDMode::Case::text;
  in.textSize = {100, 20};
  const std::pair<ProgressHUDPosition, double> cases[] = {
      {ProgressHUDPosition::top, 200}, {ProgressHUDPosition::center, 0},
      {ProgressHUDPosition::bottom, -200}};
  for (const auto& [position, above] : cases) {
    SCOPED_TRACE(static_cast<int>(position));
    in.position = position;
    const HudLayout out = layoutHud(in);
    // y grows upwards here.
    EXPECT_EQ(out.box.center().y() - 500, above);
    EXPECT_EQ(out.box.center().x(), 500);
  }
}

// ---- Spinner ----------------------------------------------------------------------

TEST(ProgressIndicatorLayerTest, FinsFollowTheShorterSideAndSitOnTheCentre) {
  platform::ManualClock clock;
  ProgressIndicatorLayer square(Qt::white, clock);
  square.setBounds(QRectF(0, 0, 60, 60));
  ProgressIndicatorLayer wide(Qt::white, clock);
  wide.setBounds(QRectF(0, 0, 100, 60));
  for (const auto* layer : {&square, &wide}) {
    ASSERT_EQ(layer->finLayers().size(), static_cast<std::size_t>(layer->numFins()));
    for (const ProgressIndicatorLayer::Fin& fin : layer->finLayers()) {
      EXPECT_NEAR(fin.bounds.width(), 5.7, 1e-9);
      EXPECT_NEAR(fin.bounds.height(), 18, 1e-9);
      EXPECT_NEAR(fin.cornerRadius, 2.85, 1e-9);
      EXPECT_NEAR(ProgressIndicatorLayer::innerReach(fin), 11.34, 1e-9);
      EXPECT_NEAR(ProgressIndicatorLayer::outerReach(fin), 29.34, 1e-9);
      EXPECT_EQ(fin.position, layer->bounds().center() - layer->bounds().topLeft());
    }
  }
}

TEST(ProgressIndicatorLayerTest, EachStepLightsTheNextFinAndLetsItFade) {
  platform::ManualClock clock;
  ProgressIndicatorLayer layer(Qt::white, clock, 3, 0.2);
  int redraws = 0;
  layer.setRedrawHandler([&] { ++redraws; });
  std::vector<std::int64_t> lit;
  for (int i = 0; i < 4; ++i) {
    layer.advancePosition();
    lit.push_back(layer.fposition());
  }
  EXPECT_EQ(lit, (std::vector<std::int64_t>{0, 1, 2, 0}));
  EXPECT_EQ(redraws, 4);

  EXPECT_DOUBLE_EQ(layer.presentationOpacity(0), 1.0);
  clock.advance(ProgressIndicatorLayer::kFadeDuration / 2);
  EXPECT_NEAR(layer.presentationOpacity(0), 0.6, 1e-6);
  clock.advance(ProgressIndicatorLayer::kFadeDuration);
  EXPECT_NEAR(layer.presentationOpacity(0), 0.2, 1e-6);
}

TEST(ProgressIndicatorLayerTest, StartSpinsOnItsTimerAndStopHaltsItKeepingTheFins) {
  ProgressIndicatorLayer layer(Qt::white);
  layer.setBounds(QRectF(0, 0, 60, 60));
  int redraws = 0;
  layer.setRedrawHandler([&] { ++redraws; });
  layer.startAnimation();
  EXPECT_TRUE(layer.isRunning());
  EXPECT_TRUE(layer.hasTimer());
  const std::int64_t start = layer.fposition();
  ASSERT_TRUE(QTest::qWaitFor([&] { return layer.fposition() != start; }, 5000));

  layer.stopAnimation();
  EXPECT_FALSE(layer.isRunning());
  EXPECT_FALSE(layer.hasTimer());
  const std::int64_t stopped = layer.fposition();
  const int redrawsAtStop = redraws;
  QTest::qWait(static_cast<int>(3 * ProgressIndicatorLayer::kStepInterval.count()));
  EXPECT_EQ(layer.fposition(), stopped);
  EXPECT_EQ(redraws, redrawsAtStop);
  EXPECT_EQ(layer.finLayers().size(), static_cast<std::size_t>(layer.numFins()));
  EXPECT_NEAR(layer.finLayers()[0].bounds.height(), 18, 1e-9);

  // Stopping again only asks for a redraw.
  layer.stopAnimation();
  EXPECT_EQ(redraws, redrawsAtStop + 1);
  EXPECT_FALSE(layer.isRunning());
}

}  // namespace
}  // namespace vandrel::app
