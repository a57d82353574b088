#include "app/spinner_layer.h"

#include <QPainter>
#include <QTimer>

#include <algorithm>

#include "platform/check.h"

namespace vandrel::app {

ProgressIndicatorLayer::ProgressIndicatorLayer(QColor color, const platform::Clock& clock,
                                               std::int64_t numFins, double fadeDownOpacity)
    : color_(color), fadeDownOpacity_(fadeDownOpacity), numFins_(numFins), clock_(clock) {
  // A step needs a fin to light; the count and the list never disagree.
  VANDREL_CHECK(numFins >= 1, "a spinner needs at least one fin");
  finLayers_.resize(static_cast<std::size_t>(numFins));
  const double turn = 360.0 / static_cast<double>(numFins);
  for (std::size_t i = 0; i < finLayers_.size(); ++i) {
    finLayers_[i].rotation = turn * static_cast<double>(i);
    finLayers_[i].opacity = static_cast<float>(fadeDownOpacity);
  }
  // Start on the last fin, so the first step lights fin 0.
  fposition_ = numFins - 1;
}

ProgressIndicatorLayer::~ProgressIndicatorLayer() {
  stopAnimation();
  redraw_ = nullptr;
  finLayers_.clear();
  numFins_ = 0;
}

void ProgressIndicatorLayer::setBounds(const QRectF& bounds) {
  bounds_ = bounds;
  // Geometry is plain data here, so nothing animates when it changes, also
  // while the spinner runs.
  const double m = std::min(bounds.width(), bounds.height());
  const double finWidth = 0.095 * m;
  const double finHeight = 0.3 * m;
  const double anchorY = m > 0 ? -0.9 * (m - 0.3 * m) / m : 0.0;
  for (Fin& fin : finLayers_) {
    fin.bounds = QRectF(0, 0, finWidth, finHeight);
    fin.anchorPoint = QPointF(0.5, anchorY);
    fin.position = QPointF(bounds.width() / 2, bounds.height() / 2);
    fin.cornerRadius = finWidth / 2;
  }
  setNeedsDisplay();
}

void ProgressIndicatorLayer::advancePosition() {
  if (finLayers_.empty()) return;
  ++fposition_;
  if (fposition_ >= numFins_) fposition_ = 0;
  Fin& fin = finLayers_[static_cast<std::size_t>(fposition_)];
  // Lit at full opacity at once, then fading back to the model value.
  fin.litAt = clock_.now();
  fin.opacity = static_cast<float>(fadeDownOpacity_);
  setNeedsDisplay();
}

void ProgressIndicatorLayer::startAnimation() {
  if (isRunning_) return;
  isRunning_ = true;
  animationTimer_ = std::make_unique<QTimer>();
  animationTimer_->setInterval(kStepInterval);
  QObject::connect(animationTimer_.get(), &QTimer::timeout, [this] { advancePosition(); });
  animationTimer_->start();
}

void ProgressIndicatorLayer::stopAnimation() {
  isRunning_ = false;
  if (animationTimer_) {
    animationTimer_->stop();
    animationTimer_.reset();
  }
  setNeedsDisplay();
}

void ProgressIndicatorLayer::setColor(QColor color) {
  color_ = color;
  setNeedsDisplay();
}

double ProgressIndicatorLayer::presentationOpacity(std::size_t index) const {
  if (index >= finLayers_.size()) return 0;
  const Fin& fin = finLayers_[index];
  if (!fin.litAt) return fin.opacity;
  const auto elapsed = clock_.now() - *fin.litAt;
  if (elapsed >= kFadeDuration) return fin.opacity;
  const double t = std::chrono::duration<double>(elapsed) / kFadeDuration;
  return 1.0 + (fin.opacity - 1.0) * std::clamp(t, 0.0, 1.0);
}

double ProgressIndicatorLayer::innerReach(const Fin& fin) {
  return -fin.anchorPoint.y() * fin.bounds.height();
}

double ProgressIndicatorLayer::outerReach(const Fin& fin) {
  return (1.0 - fin.anchorPoint.y()) * fin.bounds.height();
}

void ProgressIndicatorLayer::paint(QPainter& painter) const {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  for (std::size_t i = 0; i < finLayers_.size(); ++i) {
    const Fin& fin = finLayers_[i];
    if (fin.bounds.isEmpty()) continue;
    painter.save();
    painter.translate(bounds_.topLeft() + fin.position);
    painter.rotate(fin.rotation);
    painter.setOpacity(presentationOpacity(i));
    painter.setBrush(color_);
    // Pointing up from the centre: the far end first, the anchor below.
    const double width = fin.bounds.width();
    const QRectF shape(-fin.anchorPoint.x() * width, -outerReach(fin), width,
                       fin.bounds.height());
    painter.drawRoundedRect(shape, fin.cornerRadius, fin.cornerRadius);
    painter.restore();
  }
  painter.restore();
}

void ProgressIndicatorLayer::setNeedsDisplay() {
  if (redraw_) redraw_();
}

}  // namespace vandrel::app
