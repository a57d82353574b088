#pragma once

#include <QColor>
#include <QPointF>
#include <QRectF>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/clock.h"

class QPainter;
class QTimer;

namespace vandrel::app {

// The progress overlay's indeterminate spinner: thin fins with rounded ends
// round a common centre. While it runs, a timer lights one fin after the
// other at full opacity and lets each fade back to fadeDownOpacity().
//
// The fins are kept as geometry (a layer model); whoever hosts the spinner
// paints it with paint() and is asked to redraw through the redraw handler.
// Main thread only.
class ProgressIndicatorLayer {
 public:
  // One fin. `bounds` is its own rectangle (origin 0, 0); `anchorPoint` is in
  // units of that rectangle, with y growing from the fin's outer end towards
  // the centre: the fin is placed with the anchor on `position` and turned
  // by `rotation` degrees (clockwise) about it.
  struct Fin {
    QRectF bounds;
    QPointF anchorPoint;
    QPointF position;
    double cornerRadius = 0;
    double rotation = 0;
    // The opacity the fin settles at (the model value).
    float opacity = 0;
    // When the fin was lit last; it fades from 1 to `opacity` from then on.
    std::optional<platform::TimePoint> litAt;
  };

  static constexpr std::int64_t kDefaultFinCount = 12;
  // Unlit fins stay faintly visible.
  static constexpr double kDefaultFadeDownOpacity = 0.15;
  // How long a lit fin takes to fade back.
  static constexpr std::chrono::milliseconds kFadeDuration{250};
  // One step per fin: about one turn a second with the default fin count.
  static constexpr std::chrono::milliseconds kStepInterval{83};

  // `numFins` must be at least 1. `clock` drives the fades and must outlive
  // the spinner.
  explicit ProgressIndicatorLayer(QColor color = Qt::white,
                                  const platform::Clock& clock = platform::SystemClock::shared(),
                                  std::int64_t numFins = kDefaultFinCount,
                                  double fadeDownOpacity = kDefaultFadeDownOpacity);
  // Teardown: stops, then detaches every fin.
  ~ProgressIndicatorLayer();
  ProgressIndicatorLayer(const ProgressIndicatorLayer&) = delete;
  ProgressIndicatorLayer& operator=(const ProgressIndicatorLayer&) = delete;

  QRectF bounds() const { return bounds_; }
  // Stores the bounds and lays every fin out again, at once (no animation).
  void setBounds(const QRectF& bounds);

  // One step: lights the next fin (after the last comes the first) and lets
  // it fade; asks for a redraw.
  void advancePosition();
  // Starts the stepping timer (a second start changes nothing).
  void startAnimation();
  // Running flag off, timer dropped, redraw asked; the fins stay.
  void stopAnimation();

  bool isRunning() const { return isRunning_; }
  bool hasTimer() const { return animationTimer_ != nullptr; }
  QColor color() const { return color_; }
  void setColor(QColor color);
  std::int64_t fposition() const { return fposition_; }
  double fadeDownOpacity() const { return fadeDownOpacity_; }
  std::int64_t numFins() const { return numFins_; }
  const std::vector<Fin>& finLayers() const { return finLayers_; }

  // The opacity fin `index` shows now: 1 when just lit, easing to its model
  // opacity over kFadeDuration.
  double presentationOpacity(std::size_t index) const;
  // How far fin `index` reaches from the anchor, nearest and farthest point.
  static double innerReach(const Fin& fin);
  static double outerReach(const Fin& fin);

  // Called whenever the spinner needs painting again.
  void setRedrawHandler(std::function<void()> handler) { redraw_ = std::move(handler); }
  // Paints the fins into the host's coordinates, where bounds() lies.
  void paint(QPainter& painter) const;

 private:
  void setNeedsDisplay();

  bool isRunning_ = false;
  QColor color_;
  std::unique_ptr<QTimer> animationTimer_;
  std::int64_t fposition_ = 0;
  double fadeDownOpacity_;
  std::int64_t numFins_;
  std::vector<Fin> finLayers_;

  const platform::Clock& clock_;
  QRectF bounds_;
  std::function<void()> redraw_;
};

}  // namespace vandrel::app
