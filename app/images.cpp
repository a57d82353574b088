#include "app/images.h"

#include <QColor>
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPolygonF>

#include <functional>
#include <map>
#include <string>

namespace vandrel::app {
namespace {

using Draw = std::function<void(QPainter&, const QRectF&)>;

struct Drawing {
  QSizeF points;
  Draw draw;
};

constexpr qreal kScale = 2.0;

QColor theme() { return QColor(41, 164, 193); }
QColor grey() { return QColor(128, 128, 128); }
// Thin strokes blend into the dark face at their edges: they need a lighter
// grey than filled shapes to stand out as much.
QColor strokeGrey() { return QColor(176, 176, 176); }

// A shield: the tray's picture of the tunnel.
QPainterPath shield(const QRectF& r) {
  QPainterPath path;
  const qreal x = r.x(), y = r.y(), w = r.width(), h = r.height();
  path.moveTo(x + w / 2, y);
  path.lineTo(x + w, y + h * 0.18);
  path.cubicTo(x + w, y + h * 0.62, x + w * 0.78, y + h * 0.86, x + w / 2, y + h);
  path.cubicTo(x + w * 0.22, y + h * 0.86, x, y + h * 0.62, x, y + h * 0.18);
  path.closeSubpath();
  return path;
}

void drawWidget(QPainter& p, const QRectF& r, bool on) {
  const QRectF body = r.adjusted(r.width() * 0.15, r.height() * 0.08, -r.width() * 0.15,
                                 -r.height() * 0.08);
  if (on) {
    p.fillPath(shield(body), theme());
    QPen tick(Qt::white, r.width() * 0.09, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(tick);
    p.drawPolyline(QPolygonF({QPointF(r.width() * 0.35, r.height() * 0.5),
                              QPointF(r.width() * 0.46, r.height() * 0.62),
                              QPointF(r.width() * 0.66, r.height() * 0.38)}));
  } else {
    p.setPen(QPen(grey(), r.width() * 0.08));
    p.drawPath(shield(body));
  }
}

// A round power button: the main window's connect control.
void drawPowerButton(QPainter& p, const QRectF& r, const QColor& color) {
  const QRectF ring = r.adjusted(4, 4, -4, -4);
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawEllipse(ring);
  QPen pen(Qt::white, r.width() * 0.06, Qt::SolidLine, Qt::RoundCap);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  const QRectF arc = ring.adjusted(ring.width() * 0.3, ring.height() * 0.3, -ring.width() * 0.3,
                                   -ring.height() * 0.3);
  p.drawArc(arc, 120 * 16, 300 * 16);
  p.drawLine(QPointF(arc.center().x(), arc.top() - ring.height() * 0.05),
             QPointF(arc.center().x(), arc.center().y()));
}

// A lightning bolt in a ring: the automatic choice of line.
void drawAutoSelect(QPainter& p, const QRectF& r) {
  p.setPen(QPen(theme(), r.width() * 0.07));
  p.drawEllipse(r.adjusted(r.width() * 0.08, r.height() * 0.08, -r.width() * 0.08,
                           -r.height() * 0.08));
  const qreal w = r.width(), h = r.height();
  p.setPen(Qt::NoPen);
  p.setBrush(theme());
  p.drawPolygon(QPolygonF({QPointF(w * 0.55, h * 0.2), QPointF(w * 0.32, h * 0.55),
                           QPointF(w * 0.48, h * 0.55), QPointF(w * 0.42, h * 0.8),
                           QPointF(w * 0.68, h * 0.42), QPointF(w * 0.52, h * 0.42)}));
}

void drawFlagPlaceholder(QPainter& p, const QRectF& r) {
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(200, 200, 200));
  p.drawEllipse(r.adjusted(2, 2, -2, -2));
  p.setBrush(QColor(150, 150, 150));
  p.drawRect(QRectF(r.width() * 0.35, r.height() * 0.25, r.width() * 0.05, r.height() * 0.5));
  p.drawRect(QRectF(r.width() * 0.4, r.height() * 0.25, r.width() * 0.3, r.height() * 0.2));
}

void drawAvatar(QPainter& p, const QRectF& r) {
  p.setPen(Qt::NoPen);
  p.setBrush(theme());
  p.drawEllipse(r.adjusted(1, 1, -1, -1));
  p.setBrush(Qt::white);
  const qreal w = r.width(), h = r.height();
  p.drawEllipse(QRectF(w * 0.35, h * 0.2, w * 0.3, h * 0.3));
  p.drawChord(QRectF(w * 0.2, h * 0.55, w * 0.6, h * 0.6), 0, 180 * 16);
}

void drawLogo(QPainter& p, const QRectF& r) {
  p.setPen(Qt::NoPen);
  p.setBrush(theme());
  p.drawRoundedRect(r.adjusted(1, 1, -1, -1), r.width() * 0.22, r.height() * 0.22);
  QPen pen(Qt::white, r.width() * 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  p.drawPolyline(QPolygonF({QPointF(r.width() * 0.28, r.height() * 0.3),
                            QPointF(r.width() * 0.5, r.height() * 0.72),
                            QPointF(r.width() * 0.72, r.height() * 0.3)}));
}

void drawLock(QPainter& p, const QRectF& r) {
  const qreal w = r.width(), h = r.height();
  p.setPen(QPen(grey(), w * 0.1));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(w * 0.3, h * 0.12, w * 0.4, h * 0.5), 0, 180 * 16);
  p.drawLine(QPointF(w * 0.3, h * 0.37), QPointF(w * 0.3, h * 0.45));
  p.drawLine(QPointF(w * 0.7, h * 0.37), QPointF(w * 0.7, h * 0.45));
  p.setPen(Qt::NoPen);
  p.setBrush(grey());
  p.drawRoundedRect(QRectF(w * 0.2, h * 0.45, w * 0.6, h * 0.45), w * 0.08, h * 0.08);
}

void drawRefresh(QPainter& p, const QRectF& r) {
  const qreal w = r.width(), h = r.height();
  p.setPen(QPen(theme(), w * 0.1, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(w * 0.2, h * 0.2, w * 0.6, h * 0.6), 30 * 16, 300 * 16);
  p.setPen(Qt::NoPen);
  p.setBrush(theme());
  p.drawPolygon(QPolygonF(
      {QPointF(w * 0.72, h * 0.12), QPointF(w * 0.9, h * 0.38), QPointF(w * 0.6, h * 0.38)}));
}

void drawPremium(QPainter& p, const QRectF& r) {
  const qreal w = r.width(), h = r.height();
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(232, 176, 40));
  p.drawPolygon(QPolygonF({QPointF(w * 0.1, h * 0.8), QPointF(w * 0.1, h * 0.3),
                           QPointF(w * 0.32, h * 0.52), QPointF(w * 0.5, h * 0.15),
                           QPointF(w * 0.68, h * 0.52), QPointF(w * 0.9, h * 0.3),
                           QPointF(w * 0.9, h * 0.8)}));
}

void drawMode(QPainter& p, const QRectF& r, bool smart) {
  const qreal w = r.width(), h = r.height();
  p.setPen(QPen(smart ? theme() : grey(), w * 0.06));
  p.setBrush(Qt::NoBrush);
  const QRectF globe(w * 0.15, h * 0.15, w * 0.7, h * 0.7);
  p.drawEllipse(globe);
  p.drawEllipse(globe.adjusted(w * 0.2, 0, -w * 0.2, 0));
  p.drawLine(QPointF(globe.left(), globe.center().y()), QPointF(globe.right(), globe.center().y()));
}

// One page of the first-run tour: a coloured panel with its number.
void drawTourPage(QPainter& p, const QRectF& r, int page) {
  QLinearGradient gradient(r.topLeft(), r.bottomRight());
  gradient.setColorAt(0, theme().lighter(100 + page * 15));
  gradient.setColorAt(1, theme().darker(110 + page * 10));
  p.fillRect(r, gradient);
  QFont font = p.font();
  font.setPixelSize(static_cast<int>(r.height() * 0.4));
  font.setBold(true);
  p.setFont(font);
  p.setPen(QColor(255, 255, 255, 200));
  p.drawText(r, Qt::AlignCenter, QString::number(page));
}

// A cog: the settings button.
void drawSetting(QPainter& p, const QRectF& r) {
  const QPointF c = r.center();
  const qreal w = r.width();
  p.save();
  p.translate(c);
  p.setPen(Qt::NoPen);
  p.setBrush(grey());
  for (int tooth = 0; tooth < 8; ++tooth) {
    p.drawRect(QRectF(-w * 0.08, -w * 0.46, w * 0.16, w * 0.2));
    p.rotate(45);
  }
  p.restore();
  p.setPen(QPen(grey(), w * 0.12));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(c, w * 0.25, w * 0.25);
}

// A door with an arrow leaving it: sign out.
void drawLogout(QPainter& p, const QRectF& r) {
  const qreal w = r.width(), h = r.height();
  QPen pen(strokeGrey(), w * 0.09, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({QPointF(w * 0.55, h * 0.2), QPointF(w * 0.55, h * 0.1),
                            QPointF(w * 0.12, h * 0.1), QPointF(w * 0.12, h * 0.9),
                            QPointF(w * 0.55, h * 0.9), QPointF(w * 0.55, h * 0.8)}));
  p.drawLine(QPointF(w * 0.35, h * 0.5), QPointF(w * 0.9, h * 0.5));
  p.drawPolyline(QPolygonF({QPointF(w * 0.72, h * 0.32), QPointF(w * 0.9, h * 0.5),
                            QPointF(w * 0.72, h * 0.68)}));
}

// Two chevrons: more menus than the menu bar has room for.
void drawOverflow(QPainter& p, const QRectF& r, bool down) {
  const qreal w = r.width(), h = r.height();
  p.setPen(QPen(grey(), w * 0.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  for (const qreal at : {0.3, 0.55}) {
    if (down) {
      p.drawPolyline(QPolygonF({QPointF(w * 0.25, h * at), QPointF(w * 0.5, h * (at + 0.2)),
                                QPointF(w * 0.75, h * at)}));
    } else {
      p.drawPolyline(QPolygonF({QPointF(w * at, h * 0.25), QPointF(w * (at + 0.2), h * 0.5),
                                QPointF(w * at, h * 0.75)}));
    }
  }
}

// A map pin: the current region.
void drawLocationPin(QPainter& p, const QRectF& r) {
  const qreal w = r.width(), h = r.height();
  QPainterPath pin;
  pin.moveTo(w * 0.5, h * 0.95);
  pin.cubicTo(w * 0.3, h * 0.7, w * 0.15, h * 0.55, w * 0.15, h * 0.38);
  pin.arcTo(QRectF(w * 0.15, h * 0.03, w * 0.7, w * 0.7), 180, -180);
  pin.cubicTo(w * 0.85, h * 0.55, w * 0.7, h * 0.7, w * 0.5, h * 0.95);
  p.fillPath(pin, theme());
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(w * 0.5, h * 0.38), w * 0.13, w * 0.13);
}

void drawPlaceholder(QPainter& p, const QRectF& r) {
  p.setPen(QPen(QColor(160, 160, 160), 1));
  p.setBrush(QColor(224, 224, 224));
  p.drawRect(r.adjusted(0.5, 0.5, -0.5, -0.5));
}

const std::map<std::string, Drawing, std::less<>>& drawings() {
  static const auto* const table = [] {
    auto* map = new std::map<std::string, Drawing, std::less<>>{
        {"widget-off", {{20, 20}, [](QPainter& p, const QRectF& r) { drawWidget(p, r, false); }}},
        {"widget-on", {{20, 20}, [](QPainter& p, const QRectF& r) { drawWidget(p, r, true); }}},
        {"icon_autoselect", {{24, 24}, drawAutoSelect}},
        {"btn_icon_autoselect", {{24, 24}, drawAutoSelect}},
        // Dark enough for a white title on it (the sign-in button's face),
        // light enough to stand out on the window's dark face.
        {"btn_Connect",
         {{120, 120},
          [](QPainter& p, const QRectF& r) { drawPowerButton(p, r, QColor(112, 112, 112)); }}},
        {"btn_Connected",
         {{120, 120}, [](QPainter& p, const QRectF& r) { drawPowerButton(p, r, theme()); }}},
        {"country_default", {{24, 24}, drawFlagPlaceholder}},
        {"Avatar", {{40, 40}, drawAvatar}},
        {"logo", {{40, 40}, drawLogo}},
        {"AppIcon", {{64, 64}, drawLogo}},
        {"icon_password_lock", {{16, 16}, drawLock}},
        {"icon_refresh", {{16, 16}, drawRefresh}},
        {"icon_premium", {{16, 16}, drawPremium}},
        {"icon_setting", {{20, 20}, drawSetting}},
        {"icon_logout", {{16, 16}, drawLogout}},
        {"icon_current_region", {{20, 20}, drawLocationPin}},
        {"menu-overflow-right",
         {{12, 12}, [](QPainter& p, const QRectF& r) { drawOverflow(p, r, false); }}},
        {"menu-overflow-down",
         {{12, 12}, [](QPainter& p, const QRectF& r) { drawOverflow(p, r, true); }}},
        {"pic_mode1", {{32, 32}, [](QPainter& p, const QRectF& r) { drawMode(p, r, true); }}},
        {"pic_mode3", {{32, 32}, [](QPainter& p, const QRectF& r) { drawMode(p, r, false); }}},
    };
    // The tour's pages keep the resources' spelling.
    for (int page = 1; page <= 4; ++page) {
      map->emplace("fearture-" + std::to_string(page),
                   Drawing{{400, 260}, [page](QPainter& p, const QRectF& r) {
                             drawTourPage(p, r, page);
                           }});
    }
    return map;
  }();
  return *table;
}

QPixmap render(const Drawing& drawing) {
  const QSize pixels = (drawing.points * kScale).toSize();
  QPixmap pixmap(pixels);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.scale(kScale, kScale);
  drawing.draw(painter, QRectF(QPointF(0, 0), drawing.points));
  painter.end();
  pixmap.setDevicePixelRatio(kScale);
  return pixmap;
}

}  // namespace

bool hasAppImage(std::string_view name) { return drawings().find(name) != drawings().end(); }

QPixmap appImage(std::string_view name) {
  static auto* const cache = new std::map<std::string, QPixmap, std::less<>>;
  if (auto it = cache->find(name); it != cache->end()) return it->second;
  const auto& table = drawings();
  const auto found = table.find(name);
  const QPixmap pixmap =
      render(found != table.end() ? found->second : Drawing{{16, 16}, drawPlaceholder});
  cache->emplace(std::string(name), pixmap);
  return pixmap;
}

QIcon appIcon(std::string_view name) { return QIcon(appImage(name)); }

}  // namespace vandrel::app
