#include "app/line_cell.h"

#include <QEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>

#include "app/flag_images.h"
#include "app/images.h"
#include "connection/lines_manager.h"
#include "core/app_constants.h"

namespace vandrel::app {

namespace {

constexpr int kFlagSize = 30;
constexpr qreal kFlagBorderWidth = 1.5;
// No picture lives there: regions without icon get only the placeholder.
constexpr const char* kNoFlagAddress = "https://flags.invalid/none.png";

QColor qColor(const core::RgbaColor& c) {
  return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green),
                          static_cast<float>(c.blue), static_cast<float>(c.alpha));
}

}  // namespace

// ---- FlagView ------------------------------------------------------------------

FlagView::FlagView(QWidget* parent) : QWidget(parent) { setFixedSize(kFlagSize, kFlagSize); }

void FlagView::setPicture(const QPixmap& picture) {
  picture_ = picture;
  update();
}

void FlagView::setRoundBorder(bool on) {
  roundBorder_ = on;
  update();
}

void FlagView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QRectF bounds = rect();
  if (roundBorder_) {
    QPainterPath clip;
    clip.addEllipse(bounds);
    painter.setClipPath(clip);
  }
  if (!picture_.isNull()) painter.drawPixmap(bounds.toRect(), picture_);
  if (roundBorder_) {
    painter.setClipping(false);
    const qreal inset = kFlagBorderWidth / 2;
    painter.setPen(QPen(Qt::white, kFlagBorderWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(bounds.adjusted(inset, inset, -inset, -inset));
  }
}

// ---- LineCell ------------------------------------------------------------------

LineCell::LineCell(FlagImages& flags, const platform::Clock& clock, QWidget* parent)
    : QWidget(parent),
      flags_(flags),
      clock_(clock),
      iconView_(new FlagView(this)),
      regionLabel_(new QLabel(this)),
      pingLabel_(new QLabel(this)),
      premiumIcon_(new QLabel(this)) {
  setObjectName("LineCell");
  setFixedHeight(kHeight);
  setAttribute(Qt::WA_Hover);
  iconView_->setObjectName("iconView");
  regionLabel_->setObjectName("regionLabel");
  pingLabel_->setObjectName("pingLabel");
  premiumIcon_->setObjectName("premiumIcon");
  // Region names come from the service.
  regionLabel_->setTextFormat(Qt::PlainText);
  pingLabel_->setTextFormat(Qt::PlainText);
  regionLabel_->setStyleSheet("color: white; font-size: 14px;");
  pingLabel_->setStyleSheet("color: rgb(153,153,153); font-size: 12px;");
  premiumIcon_->setPixmap(appImage("icon_premium").scaled(18, 18, Qt::KeepAspectRatio,
                                                          Qt::SmoothTransformation));
  premiumIcon_->hide();

  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(24, 0, 24, 0);
  row->setSpacing(12);
  row->addWidget(iconView_);
  row->addWidget(regionLabel_, 1);
  row->addWidget(premiumIcon_);
  row->addWidget(pingLabel_);
}

QColor LineCell::selectedColor() { return QColor::fromRgbF(1.0f, 1.0f, 1.0f, 0.02f); }

QString LineCell::pingTextOf(const core::RegionsItem& region) {
  if (!region.lines || region.lines->empty() || !region.lines->front()) {
    return QStringLiteral("-- ms");
  }
  const std::optional<std::int64_t> ping = region.lines->front()->pingTime();
  if (!ping || *ping == 999 || *ping == -1) return QStringLiteral("-- ms");
  return QString::number(*ping) + QStringLiteral(" ms");
}

bool LineCell::isAutomaticRow() const {
  return model && model->name && *model->name == connection::kSmartLocationName;
}

void LineCell::configure(const Facts& facts) {
  if (!model) return;
  isSelectedRegion_ = facts.isSelectedRegion;
  showFlag();
  regionLabel_->setText(QString::fromStdString(model->identifier(clock_)));
  // The row as one item to assistive tools: the region it stands for.
  setAccessibleName(regionLabel_->text());
  pingLabel_->setText(pingTextOf(*model));
  if (isAutomaticRow()) {
    iconView_->setRoundBorder(false);
    pingLabel_->setText(QString());
  } else {
    iconView_->setRoundBorder(true);
  }
  premiumIcon_->setVisible(facts.expiredAccount && !isAutomaticRow());
  connectedGradient_ = facts.connected && currentLocation &&
                       currentLocation->identifier(clock_) == model->identifier(clock_);
  update();
}

void LineCell::showFlag() {
  const std::string key = model->icon ? *model->icon
                          : model->iconUrl ? *model->iconUrl
                                           : std::string(kNoFlagAddress);
  if (isAutomaticRow()) {
    iconView_->setPicture(appImage("btn_" + key));
    return;
  }
  iconView_->setPicture(appImage("country_default"));
  QPointer<FlagView> view(iconView_);
  flags_.load(key, [view](const QPixmap& picture) {
    if (view) view->setPicture(picture);
  });
}

QString LineCell::regionText() const { return regionLabel_->text(); }
QString LineCell::pingText() const { return pingLabel_->text(); }
bool LineCell::showsPremiumMark() const { return !premiumIcon_->isHidden(); }

void LineCell::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect bounds = rect();
  if (isSelectedRegion_) painter.fillRect(bounds, selectedColor());
  if (connectedGradient_) {
    // From the left edge's middle to 1.3 widths out: the far colour is
    // never quite reached inside the row.
    QLinearGradient gradient(QPointF(0, bounds.height() * 0.5),
                             QPointF(bounds.width() * 1.3, bounds.height() * 0.5));
    gradient.setColorAt(0, qColor(core::themeColor()));
    gradient.setColorAt(1, QColor(30, 30, 36));
    painter.fillRect(bounds, gradient);
  }
  if (highlight_) painter.fillRect(bounds, selectedColor());
}

void LineCell::enterEvent(QEnterEvent* event) {
  QWidget::enterEvent(event);
  if (!highlight_) {
    highlight_ = true;
    update();
  }
}

void LineCell::leaveEvent(QEvent* event) {
  QWidget::leaveEvent(event);
  if (highlight_) {
    highlight_ = false;
    update();
  }
}

void LineCell::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mousePressEvent(event);
    return;
  }
  event->accept();
  // The press may rebuild the table and with it this row: nothing after it.
  if (onPress_) {
    auto onPress = onPress_;
    onPress();
  }
}

void LineCell::mouseDoubleClickEvent(QMouseEvent* event) {
  // The table tells single from double clicks by its own clock.
  mousePressEvent(event);
}

}  // namespace vandrel::app
