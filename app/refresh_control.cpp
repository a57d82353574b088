#include "app/refresh_control.h"

#include <QMouseEvent>
#include <QPainter>
#include <QVariantAnimation>

#include "app/images.h"

namespace vandrel::app {

namespace {
// A quarter turn every 0.2 s.
constexpr int kFullTurnMilliseconds = 800;
}  // namespace

RefreshControl::RefreshControl(QWidget* parent)
    : QWidget(parent), icon_(appImage("icon_refresh")), spin_(new QVariantAnimation(this)) {
  setObjectName("refreshContentView");
  setAccessibleName(QStringLiteral("Refresh regions"));
  setFixedSize(kSize, kSize);
  setCursor(Qt::PointingHandCursor);
  spin_->setStartValue(0.0);
  spin_->setEndValue(360.0);
  spin_->setDuration(kFullTurnMilliseconds);
  spin_->setLoopCount(-1);
  connect(spin_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    angle_ = value.toDouble();
    update();
  });
}

void RefreshControl::spin() {
  spin_->stop();
  angle_ = 0;
  spin_->start();
}

void RefreshControl::stop() {
  spin_->stop();
  angle_ = 0;
  update();
}

bool RefreshControl::isSpinning() const { return spin_->state() == QAbstractAnimation::Running; }

void RefreshControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  // Turns about its centre.
  painter.translate(width() / 2.0, height() / 2.0);
  painter.rotate(-angle_);
  const QRectF target(-width() / 2.0, -height() / 2.0, width(), height());
  if (!icon_.isNull()) painter.drawPixmap(target, icon_, QRectF(icon_.rect()));
}

void RefreshControl::mouseReleaseEvent(QMouseEvent* event) {
  QWidget::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && onClick_) onClick_(event->position());
}

}  // namespace vandrel::app
