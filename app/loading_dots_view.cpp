#include "app/loading_dots_view.h"

#include <QColor>
#include <QEvent>
#include <QPainter>

#include <algorithm>

namespace vandrel::app {

namespace {

// About 30 repaints a second: smooth enough for a 0.5-second fade.
constexpr int kRepaintIntervalMs = 33;

}  // namespace

DotAnimationView::DotAnimationView(const QRect& frame, QWidget* parent,
                                   const platform::Clock& clock)
    : QWidget(parent), clock_(clock) {
  setGeometry(frame);
  // The dots sit over the button's face; clicks belong to the button.
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_TranslucentBackground);
  repaintTimer_.setInterval(kRepaintIntervalMs);
  connect(&repaintTimer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
  // A parent given here sends no parent-change event.
  if (parent != nullptr) fadeInCurrentDot();
}

DotAnimationView::~DotAnimationView() = default;

bool DotAnimationView::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::ParentChange) {
    // One cycle at a time, and none without a parent to show it in.
    if (parentWidget() != nullptr) {
      fadeInCurrentDot();
    } else {
      stopAnimating();
    }
  }
  return handled;
}

void DotAnimationView::fadeInCurrentDot() {
  cycleStart_ = clock_.now();
  animating_ = true;
  repaintTimer_.start();
  update();
}

void DotAnimationView::stopAnimating() {
  animating_ = false;
  repaintTimer_.stop();
}

platform::Duration DotAnimationView::phase() const {
  const platform::Duration elapsed =
      std::max(platform::Duration::zero(), clock_.now() - cycleStart_);
  return elapsed % std::chrono::duration_cast<platform::Duration>(kCycleDuration);
}

int DotAnimationView::currentIndex() const {
  if (!animating_) return 0;
  const auto step = static_cast<int>(phase() / kStepDuration);
  return step < kDotCount ? step : 0;
}

double DotAnimationView::dotAlpha(int index) const {
  if (!animating_ || index < 0 || index >= kDotCount) return 0.0;
  const platform::Duration t = phase();
  const auto step = static_cast<int>(t / kStepDuration);
  const double fraction = std::chrono::duration<double>(t - step * kStepDuration) /
                          std::chrono::duration<double>(kStepDuration);
  if (step >= kDotCount) return 1.0 - fraction;  // all of them fade out together
  if (index < step) return 1.0;
  if (index == step) return fraction;
  return 0.0;
}

QRectF DotAnimationView::dotRect(int index) const {
  const double span = kDotCount * (dotWidth + 2 * padding);
  const double x = width() * 0.5 - span / 2 + padding + index * (dotWidth + 2 * padding);
  const double y = height() * 0.5 - dotWidth / 2;
  return QRectF(x, y, dotWidth, dotWidth);
}

void DotAnimationView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  for (int i = 0; i < kDotCount; ++i) {
    const double alpha = dotAlpha(i);
    if (alpha <= 0.0) continue;
    QColor white(Qt::white);
    white.setAlphaF(static_cast<float>(alpha));
    painter.setBrush(white);
    painter.drawRoundedRect(dotRect(i), dotWidth / 2, dotWidth / 2);
  }
}

}  // namespace vandrel::app
