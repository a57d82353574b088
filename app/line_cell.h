#pragma once

#include <QColor>
#include <QPixmap>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

#include "core/region_records.h"

class QLabel;

namespace vandrel::platform {
class Clock;
}

namespace vandrel::app {

class FlagImages;

// A region's flag in a round white frame (the frame only for catalogue
// regions).
class FlagView final : public QWidget {
 public:
  explicit FlagView(QWidget* parent = nullptr);
  void setPicture(const QPixmap& picture);
  const QPixmap& picture() const { return picture_; }
  void setRoundBorder(bool on);
  bool hasRoundBorder() const { return roundBorder_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
  bool roundBorder_ = false;
};

// One row of the region table: flag, region name, the ping of the
// region's first line and the premium mark; a faint highlight under the
// pointer, the same tint for the chosen region, and a gradient for the
// region that is connected.
//
// Main thread only.
class LineCell final : public QWidget {
 public:
  static constexpr int kHeight = 50;

  // What a row shows beyond its region, read by the table when it builds
  // the row.
  struct Facts {
    // Signed in with an expired account: the premium mark on every region
    // but the automatic choice.
    bool expiredAccount = false;
    // The tunnel is up (status on).
    bool connected = false;
    // The row's region is the chosen one.
    bool isSelectedRegion = false;
  };

  LineCell(FlagImages& flags, const platform::Clock& clock, QWidget* parent = nullptr);

  std::optional<core::RegionsItem> currentLocation;
  std::optional<core::RegionsItem> model;

  // Fills the row from `model` (nothing without one) and `facts`.
  void configure(const Facts& facts);

  // Runs on every press of the left button (a second press of a double
  // click included).
  void setOnPress(std::function<void()> onPress) { onPress_ = std::move(onPress); }

  // For the table's tests: what the row shows.
  QString regionText() const;
  QString pingText() const;
  bool showsPremiumMark() const;
  bool highlight() const { return highlight_; }
  bool isSelectedRegion() const { return isSelectedRegion_; }
  bool showsConnectedGradient() const { return connectedGradient_; }
  const FlagView& flagView() const { return *iconView_; }

  // White at alpha 0.02: the hover overlay and the chosen row's tint.
  static QColor selectedColor();

  // "-- ms" unless the first line has a measured time.
  static QString pingTextOf(const core::RegionsItem& region);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  bool isAutomaticRow() const;
  void showFlag();

  FlagImages& flags_;
  const platform::Clock& clock_;
  FlagView* iconView_;
  QLabel* regionLabel_;
  QLabel* pingLabel_;
  QLabel* premiumIcon_;
  bool highlight_ = false;
  bool isSelectedRegion_ = false;
  bool connectedGradient_ = false;
  std::function<void()> onPress_;
};

}  // namespace vandrel::app
