#include "app/region_table.h"

#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QVBoxLayout>

#include <chrono>
#include <cmath>
#include <utility>

#include "app/line_cell.h"
#include "connection/lines_manager.h"
#include "connection/qv_connection_manager.h"
#include "core/log_util.h"
#include "core/misc_info.h"
#include "core/qv_connect_log.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

namespace vandrel::app {

using connection::qv_ConnectStatus;

namespace {

bool isSmartLocation(const core::RegionsItem& region) {
  return region.name && *region.name == connection::kSmartLocationName;
}

// A region without name and region has a time-based identifier: it is
// never the same as another one, even when the clock has not moved.
bool hasStableIdentifier(const core::RegionsItem& region) {
  return region.name.has_value() || region.region.has_value();
}

}  // namespace

// ---- ClearColorScroller --------------------------------------------------------

ClearColorScroller::ClearColorScroller(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void ClearColorScroller::setColor(const QColor& color) {
  color_ = color;
  update();
}

void ClearColorScroller::paintEvent(QPaintEvent*) {
  // No track: only the knob, inset by 3 across, with corners of radius 3.
  QStyleOptionSlider option;
  initStyleOption(&option);
  const QRect knob =
      style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
  if (knob.isEmpty()) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  QPainterPath path;
  path.addRoundedRect(QRectF(knob).adjusted(3.0, 0.0, -3.0, 0.0), 3.0, 3.0);
  painter.fillPath(path, color_);
}

// ---- RegionTable ---------------------------------------------------------------

RegionTable::RegionTable(Dependencies deps, Host& host, QWidget* parent)
    : QScrollArea(parent), deps_(deps), host_(host), rows_(new QWidget) {
  setObjectName("tableView");
  setFrameShape(QFrame::NoFrame);
  setWidgetResizable(true);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBar(new ClearColorScroller(this));
  rows_->setObjectName("regionRows");
  rowsLayout_ = new QVBoxLayout(rows_);
  rowsLayout_->setContentsMargins(0, 0, 0, 0);
  rowsLayout_->setSpacing(0);
  rowsLayout_->addStretch(1);
  setWidget(rows_);
}

RegionTable::~RegionTable() = default;

std::string RegionTable::identifierOf(const core::RegionsItem& region) const {
  return region.identifier(deps_.clock);
}

std::int64_t RegionTable::nowMilliseconds() const {
  return static_cast<std::int64_t>(std::llround(deps_.clock.secondsSince1970() * 1000.0));
}

LineCell* RegionTable::cellAt(int row) const {
  if (row < 0 || row >= static_cast<int>(cells_.size())) return nullptr;
  return cells_[static_cast<std::size_t>(row)];
}

void RegionTable::reloadRegions() {
  regionModels_.clear();
  regionModels_.push_back(connection::defaultRegion());

  std::optional<int> position;
  const std::optional<core::RegionsModel> model = deps_.lines.model();
  if (model && (model->regions || model->regionLines)) {
    const std::vector<core::RegionsItem>& list = model->regions ? *model->regions
                                                                : *model->regionLines;
    const core::RegionsItem current = deps_.lines.currentRegion();
    if (hasStableIdentifier(current)) {
      const std::string currentId = identifierOf(current);
      for (std::size_t i = 0; i < list.size(); ++i) {
        if (hasStableIdentifier(list[i]) && identifierOf(list[i]) == currentId) {
          position = static_cast<int>(i);
          break;
        }
      }
    }
    if (!position) deps_.lines.selectRegion(connection::defaultRegion());
    regionModels_.insert(regionModels_.end(), list.begin(), list.end());
  }

  reloadData();
  scrollToRowLater(position ? *position + 1 : 0);
  host_.showCurrentRegion();
}

void RegionTable::scrollToRowLater(int row) {
  QPointer<RegionTable> table(this);
  deps_.scheduler.schedule(std::chrono::milliseconds(kScrollDelayMilliseconds),
                           platform::mainQueue(), [table, row] {
                             if (!table) return;
                             if (LineCell* cell = table->cellAt(row)) {
                               table->ensureWidgetVisible(cell, 0, 0);
                             }
                           });
}

void RegionTable::reloadData() {
  for (LineCell* cell : cells_) {
    // A row may be reloaded from its own press: it goes once that returns.
    rowsLayout_->removeWidget(cell);
    cell->hide();
    cell->setOnPress({});
    cell->deleteLater();
  }
  cells_.clear();
  for (int row = 0; row < numberOfRows(); ++row) {
    LineCell* cell = makeRowView(row);
    rowsLayout_->insertWidget(row, cell);
    cells_.push_back(cell);
  }
}

bool RegionTable::isSelectedRegion(const core::RegionsItem& region) const {
  if (deps_.lines.isAutoSelect()) return isSmartLocation(region);
  const core::RegionsItem current = deps_.lines.currentRegion();
  return hasStableIdentifier(region) && hasStableIdentifier(current) &&
         identifierOf(region) == identifierOf(current);
}

LineCell* RegionTable::makeRowView(int row) {
  const core::RegionsItem& region = regionModels_[static_cast<std::size_t>(row)];
  auto* cell = new LineCell(deps_.flags, deps_.clock, rows_);
  cell->currentLocation = host_.currentLocation();
  cell->model = region;

  LineCell::Facts facts;
  const std::optional<core::MiscInfoModel> account = deps_.session.model();
  facts.expiredAccount = deps_.session.isLogin() && account && account->expired;
  facts.connected = deps_.connection.qv_connectStatus() == qv_ConnectStatus::qv_on;
  facts.isSelectedRegion = isSelectedRegion(region);
  cell->configure(facts);
  cell->setOnPress([this, row] { changeLine(row); });
  return cell;
}

void RegionTable::changeLine(int row) {
  if (row < 0 || row >= numberOfRows()) return;
  const core::RegionsItem clicked = regionModels_[static_cast<std::size_t>(row)];

  const core::RegionsItem current = deps_.lines.currentRegion();
  if (!hasStableIdentifier(current) || !hasStableIdentifier(clicked) ||
      identifierOf(current) != identifierOf(clicked)) {
    deps_.lines.selectRegion(clicked);
  }
  const bool off = deps_.connection.qv_connectStatus() == qv_ConnectStatus::qv_off;
  if (off) host_.setCurrentLocation(clicked);
  deps_.lines.setIsAutoSelect(isSmartLocation(clicked));
  // Shown once the automatic flag follows the click: read before it, the
  // name would stay "Smart Location" after picking a region from it.
  if (off) host_.showCurrentRegion();
  reloadData();

  const std::int64_t now = nowMilliseconds();
  // A clock set back (a negative difference) counts as a double click too.
  const bool doubleClick = lastClickRegion_ && hasStableIdentifier(*lastClickRegion_) &&
                           hasStableIdentifier(clicked) &&
                           identifierOf(*lastClickRegion_) == identifierOf(clicked) &&
                           now - lastClickTime_ < kDoubleClickMilliseconds;
  if (doubleClick) onDoubleClick(clicked);
  lastClickRegion_ = clicked;
  lastClickTime_ = now;
}

void RegionTable::onDoubleClick(const core::RegionsItem& clicked) {
  const std::string clickedId = identifierOf(clicked);
  core::LogUtil::logLine(4, "[DEBUG]: double click: Optional(\"" + clickedId + "\")");
  switch (deps_.connection.qv_connectStatus()) {
    case qv_ConnectStatus::qv_off:
      host_.setCurrentLocation(clicked);
      host_.showCurrentRegion();
      deps_.notifications.post(std::string(connection::kWidgetConnectDidClickNotification));
      return;
    case qv_ConnectStatus::qv_on:
      if (hasStableIdentifier(host_.currentLocation()) &&
          identifierOf(host_.currentLocation()) == clickedId) {
        // The connected region itself: the toggle disconnects.
        deps_.notifications.post(std::string(connection::kWidgetConnectDidClickNotification));
        return;
      }
      moveConnectionTo(clicked);
      return;
    case qv_ConnectStatus::qv_connecting:
    case qv_ConnectStatus::qv_disconnecting:
      moveConnectionTo(clicked);
      return;
  }
}

void RegionTable::moveConnectionTo(const core::RegionsItem& clicked) {
  host_.setCurrentLocation(clicked);
  host_.showCurrentRegion();
  // The toggle cancels or disconnects; the finished disconnect connects
  // again, to this region.
  deps_.connection.setShouldConnectAfterDisconnect(true);
  deps_.notifications.post(std::string(connection::kWidgetConnectDidClickNotification));
  deps_.connectLog.mark("changeLine").markError("changeLine").report();
}

}  // namespace vandrel::app
