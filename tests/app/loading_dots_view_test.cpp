// The loading dots: their 2-second cycle on a manual clock, where they sit,
// what is painted, and when the cycle runs.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <array>
#include <chrono>

#include "app/loading_dots_view.h"
#include "platform/clock.h"

namespace vandrel::app {
namespace {

using namespace std::chrono_literals;

class DotAnimationViewTest : public ::testing::Test {
 protected:

  void SetUp() override { button_.resize(200, 40); }

  std::array<double, 3> alphas(const DotAnimationView& view) {
    return {view.dotAlpha(0), view.dotAlpha(1), view.dotAlpha(2)};
  }

  platform::ManualClock clock_;
  QWidget button_;
};

TEST_F(DotAnimationViewTest, DotsLightUpInTurnThenFadeOutTogetherEveryTwoSeconds) {
  DotAnimationView view(QRect(0, 0, 200, 40), &button_, clock_);
  ASSERT_TRUE(view.isAnimating());
  struct Step {
    std::chrono::milliseconds at;  // since the view went into the button
    std::array<double, 3> alpha;
    int currentIndex;
  };
  const Step steps[] = {
      {0ms, {0.0, 0.0, 0.0}, 0},    {250ms, {0.5, 0.0, 0.0}, 0},  {500ms, {1.0, 0.0, 0.0}, 1},
      {750ms, {1.0, 0.5, 0.0}, 1},  {1000ms, {1.0, 1.0, 0.0}, 2}, {1250ms, {1.0, 1.0, 0.5}, 2},
      {1500ms, {1.0, 1.0, 1.0}, 0}, {1750ms, {0.5, 0.5, 0.5}, 0}, {2000ms, {0.0, 0.0, 0.0}, 0},
      {2500ms, {1.0, 0.0, 0.0}, 1}, {5500ms, {1.0, 1.0, 1.0}, 0}, {6000ms, {0.0, 0.0, 0.0}, 0},
  };
  std::chrono::milliseconds now = 0ms;
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::Message() << step.at.count() << " ms");
    clock_.advance(step.at - now);
    now = step.at;
    const auto seen = alphas(view);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(seen[i], step.alpha[i], 1e-9) << "dot " << i;
    EXPECT_EQ(view.currentIndex(), step.currentIndex);
  }
}

TEST_F(DotAnimationViewTest, ThreeDotsOfEightPointsSitCentredInTheView) {
  struct Case {
    int width, height;
    std::array<double, 3> x;
    double y;
  };
  const Case cases[] = {
      {100, 40, {32.0, 46.0, 60.0}, 16.0},
      {200, 30, {82.0, 96.0, 110.0}, 11.0},
      {37, 8, {0.5, 14.5, 28.5}, 0.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
    DotAnimationView view(QRect(0, 0, c.width, c.height), nullptr, clock_);
    for (int i = 0; i < 3; ++i) {
      const QRectF dot = view.dotRect(i);
      EXPECT_DOUBLE_EQ(dot.x(), c.x[i]) << "dot " << i;
      EXPECT_DOUBLE_EQ(dot.y(), c.y) << "dot " << i;
      EXPECT_DOUBLE_EQ(dot.width(), 8.0);
      EXPECT_DOUBLE_EQ(dot.height(), 8.0);
    }
  }
}

TEST_F(DotAnimationViewTest, PaintsLitDotsWhiteAndDarkDotsNotAtAll) {
  DotAnimationView view(QRect(0, 0, 100, 40), &button_, clock_);
  clock_.advance(1000ms);  // dots 0 and 1 lit, dot 2 about to light up
  QImage image(view.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  view.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);

  const auto centre = [&](int i) { return view.dotRect(i).center().toPoint(); };
  for (int i : {0, 1}) {
    const QColor lit = image.pixelColor(centre(i));
    EXPECT_EQ(lit.alpha(), 255) << "dot " << i;
    EXPECT_EQ(lit.red(), 255);
    EXPECT_EQ(lit.green(), 255);
    EXPECT_EQ(lit.blue(), 255);
  }
  EXPECT_EQ(image.pixelColor(centre(2)).alpha(), 0);
  // Between the dots nothing is drawn.
  EXPECT_EQ(image.pixelColor(QPoint(static_cast<int>(view.dotRect(0).right()) + 3, 20)).alpha(), 0);
}

TEST_F(DotAnimationViewTest, OneCycleRunsWhileInAParentAndStartsOverInTheNextOne) {
  DotAnimationView view(QRect(0, 0, 100, 40), nullptr, clock_);
  EXPECT_FALSE(view.isAnimating());
  clock_.advance(1200ms);
  EXPECT_EQ(alphas(view), (std::array<double, 3>{0.0, 0.0, 0.0}));

  view.setParent(&button_);
  EXPECT_TRUE(view.isAnimating());
  EXPECT_EQ(alphas(view), (std::array<double, 3>{0.0, 0.0, 0.0})) << "the cycle starts dark";
  clock_.advance(1200ms);
  EXPECT_EQ(view.currentIndex(), 2);

  view.setParent(nullptr);
  EXPECT_FALSE(view.isAnimating());
  EXPECT_EQ(view.currentIndex(), 0);

  // Put back mid-way: a fresh cycle, not the old one going on, nor two.
  QWidget otherButton;
  view.setParent(&otherButton);
  EXPECT_EQ(alphas(view), (std::array<double, 3>{0.0, 0.0, 0.0}));
  clock_.advance(500ms);
  EXPECT_EQ(alphas(view), (std::array<double, 3>{1.0, 0.0, 0.0}));
  EXPECT_EQ(view.currentIndex(), 1);
  view.setParent(nullptr);
}

}  // namespace
}  // namespace vandrel::app
