#pragma once

#include <QColor>
#include <QScrollArea>
#include <QScrollBar>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/region_records.h"

class QVBoxLayout;

namespace vandrel::core {
class MiscInfo;
class qv_ConnectLog;
}  // namespace vandrel::core
namespace vandrel::platform {
class Clock;
class NotificationCenter;
class Scheduler;
}  // namespace vandrel::platform
namespace vandrel::connection {
class LinesManager;
class qv_ConnectionManager;
}  // namespace vandrel::connection

namespace vandrel::app {

class FlagImages;
class LineCell;

// The table's scroller: a rounded knob in `color`, no track.
class ClearColorScroller final : public QScrollBar {
 public:
  explicit ClearColorScroller(QWidget* parent = nullptr);
  QColor color() const { return color_; }
  void setColor(const QColor& color);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor color_ = Qt::black;
};

// The region table of the main window: row 0 is always the automatic
// choice ("Smart Location"), then the catalogue's regions in order. A
// click selects a region; a second click on the same row within 300 ms
// connects to it, disconnects it or moves the connection to it, by the
// connection status. Rows never stay selected themselves: the chosen
// region shows by its tint.
//
// Main thread only.
class RegionTable final : public QScrollArea {
 public:
  // The window around the table: it owns the region shown as current.
  class Host {
   public:
    virtual ~Host() = default;
    virtual const core::RegionsItem& currentLocation() const = 0;
    virtual void setCurrentLocation(core::RegionsItem region) = 0;
    virtual void showCurrentRegion() = 0;
  };

  struct Dependencies {
    connection::LinesManager& lines;
    connection::qv_ConnectionManager& connection;
    core::MiscInfo& session;
    core::qv_ConnectLog& connectLog;
    platform::NotificationCenter& notifications;
    const platform::Clock& clock;
    // Times the scroll after a reload.
    platform::Scheduler& scheduler;
    FlagImages& flags;
  };

  static constexpr std::int64_t kDoubleClickMilliseconds = 300;
  static constexpr int kScrollDelayMilliseconds = 200;

  RegionTable(Dependencies deps, Host& host, QWidget* parent = nullptr);
  ~RegionTable() override;

  // Rebuilds the rows from the lines manager's catalogue; makes the
  // default region current when the current one is not in it.
  void reloadRegions();
  // Builds the rows anew from the models (statuses and clicks change
  // them).
  void reloadData();
  // A press on `row` (what a click on a row does).
  void changeLine(int row);

  const std::vector<core::RegionsItem>& regionModels() const { return regionModels_; }
  int numberOfRows() const { return static_cast<int>(regionModels_.size()); }
  // The row view of `row` as now built, or null.
  LineCell* cellAt(int row) const;

 private:
  LineCell* makeRowView(int row);
  bool isSelectedRegion(const core::RegionsItem& region) const;
  void onDoubleClick(const core::RegionsItem& clicked);
  void moveConnectionTo(const core::RegionsItem& clicked);
  void scrollToRowLater(int row);
  std::string identifierOf(const core::RegionsItem& region) const;
  std::int64_t nowMilliseconds() const;

  Dependencies deps_;
  Host& host_;
  QWidget* rows_;
  QVBoxLayout* rowsLayout_;
  std::vector<LineCell*> cells_;
  std::vector<core::RegionsItem> regionModels_;
  std::optional<core::RegionsItem> lastClickRegion_;
  std::int64_t lastClickTime_ = 0;
};

}  // namespace vandrel::app
