#pragma once

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"

class QLabel;
class QGraphicsOpacityEffect;

namespace vandrel::platform {
class NotificationCenter;
}

namespace vandrel::app {

class ProgressIndicatorLayer;

// Posted on the notification center with the overlay as object.
inline constexpr std::string_view kProgressHUDWillDisappear = "ProgressHUD.willDisappear";
inline constexpr std::string_view kProgressHUDDidDisappear = "ProgressHUD.didDisappear";
inline constexpr std::string_view kProgressHUDDidReceiveMouseDownEvent =
    "ProgressHUD.didReceiveMouseDownEvent";

// Colours of the box (background) and of the ring and icons (foreground).
class ProgressHUDStyle {
 public:
  enum class Case { custom, light, dark };

  static ProgressHUDStyle custom(QColor foreground, QColor backgroud);
  static ProgressHUDStyle light() { return ProgressHUDStyle(Case::light, {}, {}); }
  static ProgressHUDStyle dark() { return ProgressHUDStyle(Case::dark, {}, {}); }

  Case kind() const { return kind_; }
  QColor backgroundColor() const;
  QColor foregroundColor() const;

 private:
  ProgressHUDStyle(Case kind, QColor foreground, QColor backgroud)
      : kind_(kind), foreground_(foreground), backgroud_(backgroud) {}
  Case kind_;
  QColor foreground_;
  QColor backgroud_;
};

// What is painted behind the box, and whether clicks are handed on.
class ProgressHUDMaskType {
 public:
  enum class Case { custom, none, clear, black };

  static ProgressHUDMaskType custom(QColor color) { return ProgressHUDMaskType(Case::custom, color); }
  static ProgressHUDMaskType none() { return ProgressHUDMaskType(Case::none, {}); }
  static ProgressHUDMaskType clear() { return ProgressHUDMaskType(Case::clear, {}); }
  static ProgressHUDMaskType black() { return ProgressHUDMaskType(Case::black, {}); }

  Case kind() const { return kind_; }
  // The fill of the dirty area; none for `none` and `clear`.
  std::optional<QColor> fillColor() const;

 private:
  ProgressHUDMaskType(Case kind, QColor color) : kind_(kind), color_(color) {}
  Case kind_;
  QColor color_;
};

// What the box shows above the status text.
class ProgressHUDMode {
 public:
  enum class Case { custom, indeterminate, determinate, info, success, error, text };

  // The overlay takes the view as its indicator while it shows.
  static ProgressHUDMode custom(QWidget* view) { return ProgressHUDMode(Case::custom, view); }
  static ProgressHUDMode indeterminate() { return ProgressHUDMode(Case::indeterminate); }
  static ProgressHUDMode determinate() { return ProgressHUDMode(Case::determinate); }
  static ProgressHUDMode info() { return ProgressHUDMode(Case::info); }
  static ProgressHUDMode success() { return ProgressHUDMode(Case::success); }
  static ProgressHUDMode error() { return ProgressHUDMode(Case::error); }
  static ProgressHUDMode text() { return ProgressHUDMode(Case::text); }

  Case kind() const { return kind_; }
  QWidget* view() const { return view_; }
  // determinate, info, success, error: the indicator is spinnerSize high.
  bool drawsIndicator() const;

 private:
  explicit ProgressHUDMode(Case kind, QWidget* view = nullptr) : kind_(kind), view_(view) {}
  Case kind_;
  QPointer<QWidget> view_;
};

enum class ProgressHUDPosition { top, center, bottom };

// ---- Layout (pure) -------------------------------------------------------------

// Everything the box layout depends on. Coordinates of the result have their
// origin at the bottom left of the overlay, y growing upwards.
struct HudLayoutInput {
  QSizeF area;  // the overlay's bounds (W, H)
  double margin = 18;
  double padding = 4;
  double spinnerSize = 60;
  ProgressHUDMode::Case mode = ProgressHUDMode::Case::indeterminate;
  ProgressHUDPosition position = ProgressHUDPosition::bottom;
  // (0, 0) without an indicator view; a plain QSizeF() is (-1, -1).
  QSizeF indicatorSize{0, 0};
  QSizeF textSize{0, 0};  // (0, 0) for an empty text
};

struct HudLayout {
  QSizeF size;             // the box
  double offset = 0;       // d: how far the box sits below the centre
  double base = 0;         // b
  QRectF indicatorFrame;   // where an indicator view goes
  QRectF textFrame;        // the status text
  QRectF box;              // the painted box
  QPointF iconCentre;      // centre of the ring and of the icon square
};

HudLayout layoutHud(const HudLayoutInput& input);
// `rect` (bottom-left origin) in the top-left coordinates of an area `height` high.
QRectF flipped(const QRectF& rect, double height);

// ---- Animation seam --------------------------------------------------------------

// Runs the overlay's fades. The default runs them on Qt's animation clock;
// tests step them by hand.
class HudAnimator {
 public:
  virtual ~HudAnimator() = default;
  // Moves a value from `from` to `to` over `duration`, calling `apply` for
  // each frame and `finished` once at the end. When `context` goes away
  // first, neither is called again.
  virtual void animate(QObject* context, double from, double to,
                       std::chrono::milliseconds duration, std::function<void(double)> apply,
                       std::function<void()> finished) = 0;

  static HudAnimator& qt();
};

// ---- The overlay -----------------------------------------------------------------

// A heads-up overlay: a rounded translucent box with a status text, an
// optional indicator and, by mode, a progress ring or a drawn icon, over an
// optional mask. It carries its own borderless floating window, which covers
// the first screen. Main thread only.
class ProgressHUD : public QWidget {
  Q_OBJECT

 public:
  struct Environment {
    platform::NotificationCenter* notifications = nullptr;
    platform::Queue* mainQueue = nullptr;
    // Timed dismissals run on this scheduler, posted to the main queue.
    platform::Scheduler* scheduler = nullptr;
    HudAnimator* animator = nullptr;
    // Drives the spinner's fades.
    const platform::Clock* clock = nullptr;

    // The shared notification center, main queue, system scheduler, Qt
    // animator and system clock.
    static Environment standard();
  };

  static constexpr std::chrono::milliseconds kFadeDuration{200};

  // The application's one overlay, made on first use on the GUI thread
  // (a QApplication must exist) and never released.
  static ProgressHUD& shared();

  explicit ProgressHUD(QRect frame = {}, Environment environment = Environment::standard());
  ~ProgressHUD() override;

  // ---- Dismissal ----
  // Posts "ProgressHUD.willDisappear", cancels pending timed dismissals and
  // hides the overlay, fading over 0.2 s when `animated`. It does not look
  // whether the overlay shows: callers test isHidden() first.
  void dismiss(bool animated = true);
  // Target of a timed dismissal: animated unless `animated` holds false.
  void hideDelayed(std::optional<bool> animated);
  // Completes the hiding (spinner stopped, indicator dropped, text emptied,
  // window closed, completion handler called, "ProgressHUD.didDisappear").
  void didDismiss();

  // ---- Showing ----
  // Puts the overlay into its window and shows both; the indicator, text and
  // progress follow `mode`. A fade still under way completes first, so it
  // cannot hide what shows now; pending timed dismissals are dropped.
  void showStatus(const ProgressHUDMode& mode, const QString& status);
  // The spinner, until dismissed.
  void showProgress(const QString& status = {});
  // The ring at `progress` (0 to 1), until dismissed.
  void showProgress(double progress, const QString& status = {});
  // An icon or the text alone, dismissed by itself after displayTime(status).
  void showInfo(const QString& status);
  void showSuccess(const QString& status);
  void showError(const QString& status);
  void showText(const QString& status);
  // Schedules hideDelayed(animated) after `delay` on the scheduler.
  void scheduleHide(platform::Duration delay, std::optional<bool> animated = std::nullopt);
  // How long a self-dismissing status stays: 0.5 s plus 0.06 s a character,
  // within minimumDismissTimeInterval and maximumDismissTimeInterval.
  platform::Duration displayTime(const QString& status) const;

  // ---- Fields ----
  ProgressHUDStyle style() const { return style_; }
  void setStyle(const ProgressHUDStyle& style);
  ProgressHUDMaskType maskType() const { return maskType_; }
  void setMaskType(const ProgressHUDMaskType& maskType);
  ProgressHUDPosition position() const { return position_; }
  void setPosition(ProgressHUDPosition position);
  QWidget* containerView() const { return containerView_; }
  void setContainerView(QWidget* view) { containerView_ = view; }
  QFont hudFont() const { return font_; }
  void setHudFont(const QFont& font);
  double opacity() const { return opacity_; }
  void setOpacity(double opacity);
  double spinnerSize() const { return spinnerSize_; }
  void setSpinnerSize(double value);
  double margin() const { return margin_; }
  void setMargin(double value);
  double padding() const { return padding_; }
  void setPadding(double value);
  double cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(double value);
  bool dismissible() const { return dismissible_; }
  void setDismissible(bool value) { dismissible_ = value; }
  ProgressHUDMode mode() const { return mode_; }
  void setMode(const ProgressHUDMode& mode);
  QWidget* indicator() const { return indicator_; }
  // The overlay owns the view from now on, until the next dismissal.
  void setIndicator(QWidget* view);
  std::shared_ptr<ProgressIndicatorLayer> progressIndicator() const { return progressIndicator_; }
  void setProgressIndicator(std::shared_ptr<ProgressIndicatorLayer> layer);
  QSizeF boxSize() const { return size_; }
  bool useAnimation() const { return useAnimation_; }
  QLabel* statusLabel() const { return statusLabel_; }
  QString status() const;
  void setStatus(const QString& text);
  void setCompletionHandler(std::function<void()> handler) { completionHandler_ = std::move(handler); }
  double progress() const { return progress_; }
  void setProgress(double value);
  double minimumDismissTimeInterval() const { return minimumDismissTimeInterval_; }
  void setMinimumDismissTimeInterval(double seconds) { minimumDismissTimeInterval_ = seconds; }
  double maximumDismissTimeInterval() const { return maximumDismissTimeInterval_; }
  void setMaximumDismissTimeInterval(double seconds) { maximumDismissTimeInterval_ = seconds; }
  // The borderless window that carries the overlay while it shows.
  QWidget* windowController() const { return window_.get(); }
  // Alpha of the whole overlay (0 when hidden).
  double alphaValue() const { return alpha_; }
  void setAlphaValue(double alpha);
  // True between an animated dismissal and the end of its fade.
  bool isFading() const { return !fades_.empty(); }

  // The layout of the moment, as the next paint will use it.
  HudLayout layoutContent();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void post(std::string_view name);
  void cancelPendingHides();
  void settleFades();
  void dropIndicator();
  void attachSpinner();
  void paintModeContent(QPainter& painter, const HudLayout& layout) const;
  void drawInfoIcon(QPainter& painter, const QRectF& frame) const;
  void drawCheckmark(QPainter& painter, const QRectF& frame) const;
  void drawCross(QPainter& painter, const QRectF& frame) const;

  Environment env_;

  ProgressHUDStyle style_ = ProgressHUDStyle::light();
  ProgressHUDMaskType maskType_ = ProgressHUDMaskType::none();
  ProgressHUDPosition position_ = ProgressHUDPosition::bottom;
  QPointer<QWidget> containerView_;
  QFont font_;
  double opacity_ = 0.9;
  double spinnerSize_ = 60;
  double margin_ = 18;
  double padding_ = 4;
  double cornerRadius_ = 15;
  bool dismissible_ = false;
  ProgressHUDMode mode_ = ProgressHUDMode::indeterminate();
  QPointer<QWidget> indicator_;
  std::shared_ptr<ProgressIndicatorLayer> progressIndicator_;
  QSizeF size_;
  bool useAnimation_ = true;
  QLabel* statusLabel_ = nullptr;
  std::function<void()> completionHandler_;
  double progress_ = 0;
  double minimumDismissTimeInterval_ = 2.0;
  double maximumDismissTimeInterval_ = 5.0;
  std::unique_ptr<QWidget> window_;

  double alpha_ = 0;
  QGraphicsOpacityEffect* opacityEffect_ = nullptr;
  std::vector<platform::Scheduler::TimerId> pendingHides_;
  // Fades under way, by number; one leaves the set when it completes.
  std::set<std::uint64_t> fades_;
  std::uint64_t nextFade_ = 1;
};

// Hosts a spinner layer as a view: the layer fills the view and is painted
// with it.
class ProgressIndicatorView : public QWidget {
 public:
  ProgressIndicatorView(std::shared_ptr<ProgressIndicatorLayer> layer, QWidget* parent = nullptr);
  ~ProgressIndicatorView() override;
  const std::shared_ptr<ProgressIndicatorLayer>& layer() const { return layer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  std::shared_ptr<ProgressIndicatorLayer> layer_;
};

}  // namespace vandrel::app
