#pragma once

#include <QRect>
#include <QRectF>
#include <QTimer>
#include <QWidget>

#include <chrono>

#include "platform/clock.h"

namespace vandrel::app {

// DotAnimationView: the busy indicator of the sign-in button. Three small
// white dots light up one after another (0.5 s each), then fade out
// together (0.5 s), in a 2-second loop that starts over each time the view
// is put into a parent and stops when it leaves it.
//
// The dots' opacity is a function of the time since the cycle started on
// the injected clock, so a test moves the clock instead of waiting; a Qt
// timer only asks for repaints while the cycle runs.
//
// GUI thread only.
class DotAnimationView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDotCount = 3;
  // Width and height of a dot.
  static constexpr double dotWidth = 8.0;
  // Half the gap between two dots.
  static constexpr double padding = 3.0;
  // One step of the cycle: one dot lighting up, or all of them fading out.
  static constexpr std::chrono::milliseconds kStepDuration{500};
  static constexpr std::chrono::milliseconds kCycleDuration = kStepDuration * (kDotCount + 1);

  // `frame` in the parent's coordinates; with a parent the cycle starts at
  // once. `clock` must outlive the view.
  explicit DotAnimationView(const QRect& frame, QWidget* parent = nullptr,
                            const platform::Clock& clock = platform::SystemClock::shared());
  ~DotAnimationView() override;

  // Whether the cycle runs (the view has a parent).
  bool isAnimating() const { return animating_; }
  // The dot that lights up now, or next: 0 while all of them fade out.
  int currentIndex() const;
  // Opacity of dot `index` (0 to 2) now, from 0.0 to 1.0.
  double dotAlpha(int index) const;
  // Where dot `index` is drawn, in the view's coordinates: the three dots
  // and their two 6-point gaps span 36 points centred in the view.
  QRectF dotRect(int index) const;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // Starts the cycle over with every dot dark.
  void fadeInCurrentDot();
  void stopAnimating();
  // Time into the running cycle, from zero to just under kCycleDuration.
  platform::Duration phase() const;

  const platform::Clock& clock_;
  platform::TimePoint cycleStart_{};
  bool animating_ = false;
  QTimer repaintTimer_;
};

}  // namespace vandrel::app
