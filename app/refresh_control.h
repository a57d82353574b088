#pragma once

#include <QPixmap>
#include <QPointF>
#include <QWidget>

#include <functional>

class QVariantAnimation;

namespace vandrel::app {

// The main window's small refresh button: an icon that keeps turning a
// quarter turn every 0.2 s while a refresh runs. Clicks go to `onClick`
// with the release point; the window decides whether they count.
//
// Main thread only.
class RefreshControl final : public QWidget {
 public:
  static constexpr int kSize = 30;

  explicit RefreshControl(QWidget* parent = nullptr);

  void setOnClick(std::function<void(QPointF)> onClick) { onClick_ = std::move(onClick); }

  // Starts turning from the upright position (anew when it already
  // turns); stop() puts the icon upright again.
  void spin();
  void stop();
  bool isSpinning() const;
  // Degrees, counter-clockwise.
  double angle() const { return angle_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QPixmap icon_;
  QVariantAnimation* spin_;
  double angle_ = 0;
  std::function<void(QPointF)> onClick_;
};

}  // namespace vandrel::app
