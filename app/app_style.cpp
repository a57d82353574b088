#include "app/app_style.h"

#include <QApplication>

#include "app/images.h"

namespace vandrel::app {

AppStyle::AppStyle(const QString& key) : QProxyStyle(key) {}

QIcon AppStyle::standardIcon(StandardPixmap icon, const QStyleOption* option,
                             const QWidget* widget) const {
  switch (icon) {
    case SP_ToolBarHorizontalExtensionButton:
      return appIcon("menu-overflow-right");
    case SP_ToolBarVerticalExtensionButton:
      return appIcon("menu-overflow-down");
    default:
      return QProxyStyle::standardIcon(icon, option, widget);
  }
}

void installAppStyle() {
  // The style chosen so far honours -style and QT_STYLE_OVERRIDE; the
  // proxy makes a fresh one of the same kind.
  QApplication::setStyle(new AppStyle(QApplication::style()->name()));
}

}  // namespace vandrel::app
