#include "app/progress_hud.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QThread>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

#include "app/spinner_layer.h"
#include "platform/check.h"
#include "platform/notification_center.h"

namespace vandrel::app {

// ---- Value types -----------------------------------------------------------------

ProgressHUDStyle ProgressHUDStyle::custom(QColor foreground, QColor backgroud) {
  return ProgressHUDStyle(Case::custom, foreground, backgroud);
}

QColor ProgressHUDStyle::backgroundColor() const {
  switch (kind_) {
    case Case::light: return Qt::white;
    case Case::dark: return Qt::black;
    case Case::custom: return backgroud_;
  }
  return Qt::white;
}

QColor ProgressHUDStyle::foregroundColor() const {
  switch (kind_) {
    case Case::light: return Qt::black;
    case Case::dark: return QColor::fromRgbF(0.95f, 0.95f, 0.95f, 1.0f);
    case Case::custom: return foreground_;
  }
  return Qt::black;
}

std::optional<QColor> ProgressHUDMaskType::fillColor() const {
  switch (kind_) {
    case Case::black: return QColor::fromRgbF(0, 0, 0, 0.6f);
    case Case::custom: return color_;
    case Case::none:
    case Case::clear: return std::nullopt;
  }
  return std::nullopt;
}

bool ProgressHUDMode::drawsIndicator() const {
  return kind_ == Case::determinate || kind_ == Case::info || kind_ == Case::success ||
         kind_ == Case::error;
}

// ---- Layout ----------------------------------------------------------------------

HudLayout layoutHud(const HudLayoutInput& in) {
  const double W = in.area.width();
  const double H = in.area.height();
  const double maxWidth = W - 4 * in.margin;
  double iw = in.indicatorSize.width();
  double ih = in.indicatorSize.height();
  if (ProgressHUDMode::Case mode = in.mode;
      mode == ProgressHUDMode::Case::determinate || mode == ProgressHUDMode::Case::info ||
      mode == ProgressHUDMode::Case::success || mode == ProgressHUDMode::Case::error) {
    ih = in.spinnerSize;
  }
  const double tw = in.textSize.width();
  const double th = in.textSize.height();
  const bool both = ih > 0 && th > 0;

  double h = (ih > 0 ? ih + in.padding : 0) + th;
  if (both) h += in.padding;
  const double iW = std::min(maxWidth, iw);
  const double tW = tw > 0 ? std::min(maxWidth, tw + 10) : std::min(maxWidth, 0.0);
  const double contentWidth = std::max(iW, 0.0) > tW ? std::max(iW, 0.0) : tW;

  HudLayout out;
  out.size = QSizeF(contentWidth + 2 * in.margin, h + 2 * in.margin);
  switch (in.position) {
    case ProgressHUDPosition::top: out.offset = -H / 5; break;
    case ProgressHUDPosition::center: out.offset = 0; break;
    case ProgressHUDPosition::bottom: out.offset = H / 5; break;
  }
  out.base = std::round((H - out.size.height()) / 2) + in.margin - out.offset;

  double indicatorY = out.base;
  if (ih > 0) indicatorY += in.padding;
  if (both) indicatorY += in.padding + th;
  out.indicatorFrame = QRectF(std::round((W - iW) / 2), indicatorY, iW, ih);
  const double textY = ih > 0 ? out.base - in.padding : out.base;
  out.textFrame = QRectF(std::round((W - tW) / 2), textY, tW, th);

  out.box = QRectF(std::round((W - out.size.width()) / 2),
                   std::round((H - out.size.height()) / 2) - out.offset, out.size.width(),
                   out.size.height());
  out.iconCentre = QPointF(out.box.x() + out.size.width() / 2,
                           out.box.y() + out.box.height() - 0.9 * in.spinnerSize);
  return out;
}

QRectF flipped(const QRectF& rect, double height) {
  return QRectF(rect.x(), height - rect.y() - rect.height(), rect.width(), rect.height());
}

// ---- Animator --------------------------------------------------------------------

namespace {

class QtHudAnimator final : public HudAnimator {
 public:
  void animate(QObject* context, double from, double to, std::chrono::milliseconds duration,
               std::function<void(double)> apply, std::function<void()> finished) override {
    // Owned by the context, so it dies with it and never calls into a
    // destroyed overlay.
    auto* animation = new QVariantAnimation(context);
    animation->setStartValue(from);
    animation->setEndValue(to);
    animation->setDuration(static_cast<int>(duration.count()));
    QObject::connect(animation, &QVariantAnimation::valueChanged, animation,
                     [apply](const QVariant& value) { apply(value.toDouble()); });
    QObject::connect(animation, &QVariantAnimation::finished, animation,
                     [finished, animation] {
                       animation->deleteLater();
                       finished();
                     });
    animation->start();
  }
};

}  // namespace

HudAnimator& HudAnimator::qt() {
  static auto* const animator = new QtHudAnimator;
  return *animator;
}

// ---- ProgressHUD -----------------------------------------------------------------

ProgressHUD::Environment ProgressHUD::Environment::standard() {
  return Environment{
      .notifications = &platform::NotificationCenter::shared(),
      .mainQueue = &platform::mainQueue(),
      .scheduler = &platform::Scheduler::system(),
      .animator = &HudAnimator::qt(),
      .clock = &platform::SystemClock::shared(),
  };
}

ProgressHUD& ProgressHUD::shared() {
  VANDREL_CHECK(QCoreApplication::instance() != nullptr &&
                    QThread::currentThread() == QCoreApplication::instance()->thread(),
                "ProgressHUD::shared() needs the GUI thread of a running QApplication");
  // Leaked: the overlay lives as long as the process.
  static ProgressHUD* const instance = new ProgressHUD();
  return *instance;
}

ProgressHUD::ProgressHUD(QRect frame, Environment environment)
    : QWidget(nullptr), env_(environment) {
  VANDREL_CHECK(env_.notifications && env_.mainQueue && env_.scheduler && env_.animator &&
                    env_.clock,
                "ProgressHUD needs every part of its environment");
  font_ = QApplication::font();
  font_.setPointSizeF(18);
  setGeometry(frame);
  // Fixed size, flexible margins: the layout sets the frame itself.
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  opacityEffect_ = new QGraphicsOpacityEffect(this);
  setGraphicsEffect(opacityEffect_);
  setAlphaValue(0);
  setHidden(true);

  statusLabel_ = new QLabel(this);
  statusLabel_->setGeometry(QRect());
  statusLabel_->setTextFormat(Qt::PlainText);
  statusLabel_->setTextInteractionFlags(Qt::NoTextInteraction);
  statusLabel_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  statusLabel_->setAttribute(Qt::WA_TranslucentBackground);
  statusLabel_->setAutoFillBackground(false);
  statusLabel_->setFont(font_);
  setStyle(style_);

  window_ = std::make_unique<QWidget>(nullptr, Qt::Tool | Qt::FramelessWindowHint |
                                                   Qt::WindowStaysOnTopHint);
  window_->setObjectName("ProgressHUDWindow");
  window_->setAttribute(Qt::WA_TranslucentBackground);
  window_->setAttribute(Qt::WA_ShowWithoutActivating);
  // The first screen, whole; without a screen the window stays empty and
  // the overlay lays itself out in a zero area.
  const QList<QScreen*> screens = QGuiApplication::screens();
  if (!screens.isEmpty()) {
    window_->setScreen(screens.first());
    window_->setGeometry(screens.first()->geometry());
  }
}

ProgressHUD::~ProgressHUD() {
  cancelPendingHides();
  if (progressIndicator_) progressIndicator_->stopAnimation();
  // The window goes before the overlay would: keep the overlay out of it.
  if (parentWidget() == window_.get()) setParent(nullptr);
}

void ProgressHUD::post(std::string_view name) {
  env_.notifications->post(std::string(name), this);
}

void ProgressHUD::cancelPendingHides() {
  for (platform::Scheduler::TimerId id : pendingHides_) env_.scheduler->cancel(id);
  pendingHides_.clear();
}

void ProgressHUD::dismiss(bool animated) {
  post(kProgressHUDWillDisappear);
  useAnimation_ = animated;
  cancelPendingHides();
  if (!animated) {
    setAlphaValue(0);
    didDismiss();
    return;
  }
  // Each animated dismissal completes once, when its own fade ends, as a
  // repeated dismissal repeats every step.
  const std::uint64_t fade = nextFade_++;
  fades_.insert(fade);
  QPointer<ProgressHUD> self(this);
  env_.animator->animate(
      this, alpha_, 0.0, kFadeDuration,
      [self, fade](double value) {
        if (self && self->fades_.count(fade)) self->setAlphaValue(value);
      },
      [self, fade] {
        if (self && self->fades_.erase(fade)) self->didDismiss();
      });
}

void ProgressHUD::hideDelayed(std::optional<bool> animated) {
  cancelPendingHides();
  dismiss(animated.value_or(true));
}

void ProgressHUD::didDismiss() {
  if (progressIndicator_) progressIndicator_->stopAnimation();
  setAlphaValue(0);
  setHidden(true);
  if (parentWidget()) setParent(nullptr);
  // A copy: the handler may replace itself. It stays set.
  if (std::function<void()> handler = completionHandler_) handler();
  dropIndicator();
  setStatus(QString());
  window_->close();
  post(kProgressHUDDidDisappear);
}

void ProgressHUD::dropIndicator() {
  if (!indicator_) return;
  QWidget* view = indicator_;
  indicator_ = nullptr;
  view->hide();
  view->setParent(nullptr);
  view->deleteLater();
}

// ---- Showing ---------------------------------------------------------------------

void ProgressHUD::settleFades() {
  // Complete now what a running fade would complete later.
  while (!fades_.empty()) {
    fades_.erase(fades_.begin());
    didDismiss();
  }
}

void ProgressHUD::attachSpinner() {
  auto layer = std::make_shared<ProgressIndicatorLayer>(style_.foregroundColor(), *env_.clock);
  auto* view = new ProgressIndicatorView(layer);
  view->resize(static_cast<int>(spinnerSize_), static_cast<int>(spinnerSize_));
  setIndicator(view);
  setProgressIndicator(layer);
  layer->startAnimation();
}

void ProgressHUD::showStatus(const ProgressHUDMode& mode, const QString& status) {
  settleFades();
  cancelPendingHides();
  mode_ = mode;
  setStatus(status);
  switch (mode.kind()) {
    case ProgressHUDMode::Case::indeterminate: attachSpinner(); break;
    case ProgressHUDMode::Case::custom:
      if (mode.view() != indicator_) setIndicator(mode.view());
      break;
    default: dropIndicator(); break;
  }
  if (parentWidget() != window_.get()) setParent(window_.get());
  setGeometry(window_->rect());
  window_->show();
  setHidden(false);
  raise();
  setAlphaValue(1);
  layoutContent();
  update();
}

void ProgressHUD::showProgress(const QString& status) {
  showStatus(ProgressHUDMode::indeterminate(), status);
}

void ProgressHUD::showProgress(double progress, const QString& status) {
  progress_ = std::clamp(progress, 0.0, 1.0);
  showStatus(ProgressHUDMode::determinate(), status);
}

void ProgressHUD::showInfo(const QString& status) {
  showStatus(ProgressHUDMode::info(), status);
  scheduleHide(displayTime(status));
}

void ProgressHUD::showSuccess(const QString& status) {
  showStatus(ProgressHUDMode::success(), status);
  scheduleHide(displayTime(status));
}

void ProgressHUD::showError(const QString& status) {
  showStatus(ProgressHUDMode::error(), status);
  scheduleHide(displayTime(status));
}

void ProgressHUD::showText(const QString& status) {
  showStatus(ProgressHUDMode::text(), status);
  scheduleHide(displayTime(status));
}

void ProgressHUD::scheduleHide(platform::Duration delay, std::optional<bool> animated) {
  QPointer<ProgressHUD> self(this);
  pendingHides_.push_back(env_.scheduler->schedule(delay, *env_.mainQueue, [self, animated] {
    if (self) self->hideDelayed(animated);
  }));
}

platform::Duration ProgressHUD::displayTime(const QString& status) const {
  const double seconds = std::clamp(0.5 + 0.06 * static_cast<double>(status.size()),
                                    minimumDismissTimeInterval_, maximumDismissTimeInterval_);
  return std::chrono::duration_cast<platform::Duration>(std::chrono::duration<double>(seconds));
}

// ---- Fields ----------------------------------------------------------------------

void ProgressHUD::setStyle(const ProgressHUDStyle& style) {
  style_ = style;
  // Readable on the box in every style.
  QPalette palette = statusLabel_->palette();
  palette.setColor(QPalette::WindowText, style_.foregroundColor());
  statusLabel_->setPalette(palette);
  if (progressIndicator_) progressIndicator_->setColor(style_.foregroundColor());
  update();
}

void ProgressHUD::setMaskType(const ProgressHUDMaskType& maskType) {
  maskType_ = maskType;
  update();
}

void ProgressHUD::setPosition(ProgressHUDPosition position) {
  position_ = position;
  update();
}

void ProgressHUD::setHudFont(const QFont& font) {
  font_ = font;
  statusLabel_->setFont(font_);
  update();
}

void ProgressHUD::setOpacity(double opacity) {
  opacity_ = opacity;
  update();
}

void ProgressHUD::setSpinnerSize(double value) {
  spinnerSize_ = value;
  update();
}

void ProgressHUD::setMargin(double value) {
  margin_ = value;
  update();
}

void ProgressHUD::setPadding(double value) {
  padding_ = value;
  update();
}

void ProgressHUD::setCornerRadius(double value) {
  cornerRadius_ = value;
  update();
}

void ProgressHUD::setMode(const ProgressHUDMode& mode) {
  mode_ = mode;
  update();
}

void ProgressHUD::setIndicator(QWidget* view) {
  if (view == indicator_) return;
  dropIndicator();
  indicator_ = view;
  if (view) {
    view->setParent(this);
    view->show();
  }
  update();
}

void ProgressHUD::setProgressIndicator(std::shared_ptr<ProgressIndicatorLayer> layer) {
  if (progressIndicator_ && progressIndicator_ != layer) progressIndicator_->stopAnimation();
  progressIndicator_ = std::move(layer);
}

QString ProgressHUD::status() const { return statusLabel_->text(); }

void ProgressHUD::setStatus(const QString& text) {
  statusLabel_->setText(text);
  update();
}

void ProgressHUD::setProgress(double value) {
  progress_ = value;
  update();
}

void ProgressHUD::setAlphaValue(double alpha) {
  alpha_ = alpha;
  opacityEffect_->setOpacity(alpha);
}

// ---- Layout, painting, clicks ------------------------------------------------------

HudLayout ProgressHUD::layoutContent() {
  const QRect frame = parentWidget() ? parentWidget()->rect() : QRect();
  if (geometry() != frame) setGeometry(frame);
  HudLayoutInput in;
  in.area = QSizeF(width(), height());
  in.margin = margin_;
  in.padding = padding_;
  in.spinnerSize = spinnerSize_;
  in.mode = mode_.kind();
  in.position = position_;
  if (indicator_) in.indicatorSize = indicator_->size();
  const QString text = statusLabel_->text();
  if (!text.isEmpty()) in.textSize = QFontMetricsF(statusLabel_->font()).size(0, text);
  HudLayout layout = layoutHud(in);
  size_ = layout.size;

  const double H = in.area.height();
  // Collapsed (negative) widths show as empty frames.
  auto toWidget = [H](const QRectF& r) {
    const QRectF f = flipped(r, H);
    return QRect(static_cast<int>(std::lround(f.x())), static_cast<int>(std::lround(f.y())),
                 std::max(0, static_cast<int>(std::lround(f.width()))),
                 std::max(0, static_cast<int>(std::lround(f.height()))));
  };
  if (indicator_) indicator_->setGeometry(toWidget(layout.indicatorFrame));
  statusLabel_->setGeometry(toWidget(layout.textFrame));
  return layout;
}

void ProgressHUD::paintEvent(QPaintEvent* event) {
  const HudLayout layout = layoutContent();
  QPainter painter(this);
  if (!painter.isActive()) return;
  painter.save();
  if (std::optional<QColor> fill = maskType_.fillColor()) painter.fillRect(event->rect(), *fill);

  painter.setRenderHint(QPainter::Antialiasing);
  QColor boxColor = style_.backgroundColor();
  boxColor.setAlphaF(static_cast<float>(opacity_));
  QPainterPath box;
  box.setFillRule(Qt::WindingFill);
  box.addRoundedRect(flipped(layout.box, height()), cornerRadius_, cornerRadius_);
  painter.fillPath(box, boxColor);

  paintModeContent(painter, layout);
  painter.restore();
}

void ProgressHUD::paintModeContent(QPainter& painter, const HudLayout& layout) const {
  const double s = spinnerSize_;
  // Qt's y grows downwards: the centre's y flips, angles stay as they are.
  const QPointF c(layout.iconCentre.x(), height() - layout.iconCentre.y());
  const QRectF square(c.x() - s / 2, c.y() - s / 2, s, s);
  QPen pen(style_.foregroundColor(), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  switch (mode_.kind()) {
    case ProgressHUDMode::Case::determinate: {
      painter.setPen(pen);
      painter.setBrush(Qt::NoBrush);
      QPainterPath ring;
      ring.arcMoveTo(square, 90);
      ring.arcTo(square, 90, -360.0 * progress_);
      painter.drawPath(ring);
      // The short mark at the top, there also at progress 0 (90° less 2π,
      // in degrees).
      QPainterPath mark;
      mark.arcMoveTo(square, 90);
      mark.arcTo(square, 90, -2 * M_PI);
      painter.drawPath(mark);
      break;
    }
    case ProgressHUDMode::Case::info: drawInfoIcon(painter, square); break;
    case ProgressHUDMode::Case::success: drawCheckmark(painter, square); break;
    case ProgressHUDMode::Case::error: drawCross(painter, square); break;
    default: break;
  }
}

void ProgressHUD::drawCheckmark(QPainter& painter, const QRectF& f) const {
  const double w = f.width();
  const double h = f.height();
  // Fractions measured from the square's bottom edge.
  auto at = [&](double x, double y) { return QPointF(f.left() + x * w, f.bottom() - y * h); };
  QPainterPath path(at(0.05833, 0.48377));
  path.lineTo(at(0.31429, 0.19167));
  path.lineTo(at(0.93333, 0.80833));
  painter.setPen(QPen(style_.foregroundColor(), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(path);
}

void ProgressHUD::drawCross(QPainter& painter, const QRectF& f) const {
  // Fixed offsets from the square's left and top edges; they do not scale.
  painter.setPen(QPen(style_.foregroundColor(), 4, Qt::SolidLine, Qt::FlatCap));
  painter.drawLine(QPointF(f.left() + 8, f.top() + 52), QPointF(f.left() + 52, f.top() + 8));
  painter.drawLine(QPointF(f.left() + 52, f.top() + 52), QPointF(f.left() + 8, f.top() + 8));
}

void ProgressHUD::drawInfoIcon(QPainter& painter, const QRectF& f) const {
  const QColor color = style_.foregroundColor();
  const double x = f.left() + std::floor((f.width() - 58) / 2 + 0.5);
  // The circle's square, 58 wide, centred the same way from the bottom edge.
  const double yFromBottom = std::floor((f.height() - 58) / 2 + 0.5);
  painter.setPen(QPen(color, 2));
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(QRectF(x, f.bottom() - yFromBottom - 58, 58, 58));

  // The letter i, measured from the square's left and top edges.
  auto p = [&](double dx, double dy) { return QPointF(f.left() + dx, f.top() + dy); };
  QPainterPath i;
  i.moveTo(p(30.31, 10.28));
  i.cubicTo(p(30.99, 10.28), p(31.57, 10.52), p(32.05, 11.0));
  i.cubicTo(p(32.53, 11.48), p(32.77, 12.07), p(32.77, 12.75));
  i.cubicTo(p(32.77, 13.43), p(32.53, 14.02), p(32.05, 14.51));
  i.cubicTo(p(31.57, 15.0), p(30.99, 15.24), p(30.31, 15.24));
  i.cubicTo(p(29.62, 15.24), p(29.04, 15.0), p(28.55, 14.51));
  i.cubicTo(p(28.06, 14.02), p(27.81, 13.43), p(27.81, 12.75));
  i.cubicTo(p(27.81, 12.07), p(28.06, 11.48), p(28.54, 11.0));
  i.cubicTo(p(29.02, 10.52), p(29.61, 10.28), p(30.31, 10.28));
  i.closeSubpath();
  i.moveTo(p(32.33, 21.98));
  i.lineTo(p(32.33, 39.95));
  i.cubicTo(p(32.33, 41.35), p(32.43, 42.28), p(32.64, 42.74));
  i.cubicTo(p(32.84, 43.21), p(33.14, 43.55), p(33.54, 43.78));
  i.cubicTo(p(33.94, 44.01), p(34.67, 44.12), p(35.73, 44.12));
  i.lineTo(p(35.73, 45.0));
  i.lineTo(p(24.86, 45.0));
  i.lineTo(p(24.86, 44.12));
  i.cubicTo(p(25.95, 44.12), p(26.68, 44.02), p(27.06, 43.8));
  i.cubicTo(p(27.43, 43.59), p(27.73, 43.24), p(27.95, 42.75));
  i.cubicTo(p(28.17, 42.27), p(28.28, 41.33), p(28.28, 39.95));
  i.lineTo(p(28.28, 31.33));
  i.cubicTo(p(28.28, 28.9), p(28.21, 27.33), p(28.06, 26.62));
  i.cubicTo(p(27.95, 26.1), p(27.77, 25.73), p(27.52, 25.53));
  i.cubicTo(p(27.28, 25.33), p(26.94, 25.22), p(26.52, 25.22));
  i.cubicTo(p(26.07, 25.22), p(25.51, 25.35), p(24.86, 25.59));
  i.lineTo(p(24.52, 24.71));
  i.lineTo(p(31.26, 21.98));
  i.lineTo(p(32.33, 21.98));
  i.closeSubpath();
  i.setFillRule(Qt::WindingFill);
  painter.fillPath(i, color);
}

void ProgressHUD::mousePressEvent(QMouseEvent* event) {
  post(kProgressHUDDidReceiveMouseDownEvent);
  // Only without a mask does the click go on; any mask swallows it.
  if (maskType_.kind() == ProgressHUDMaskType::Case::none) {
    event->ignore();
  } else {
    event->accept();
  }
  if (dismissible_) {
    QPointer<ProgressHUD> self(this);
    env_.mainQueue->async([self] {
      if (self) self->dismiss(self->useAnimation_);
    });
  }
}

// ---- ProgressIndicatorView --------------------------------------------------------

ProgressIndicatorView::ProgressIndicatorView(std::shared_ptr<ProgressIndicatorLayer> layer,
                                             QWidget* parent)
    : QWidget(parent), layer_(std::move(layer)) {
  setAttribute(Qt::WA_TranslucentBackground);
  QPointer<ProgressIndicatorView> self(this);
  layer_->setRedrawHandler([self] {
    if (self) self->update();
  });
}

ProgressIndicatorView::~ProgressIndicatorView() { layer_->setRedrawHandler(nullptr); }

void ProgressIndicatorView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  layer_->paint(painter);
}

void ProgressIndicatorView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  layer_->setBounds(QRectF(rect()));
}

}  // namespace vandrel::app
