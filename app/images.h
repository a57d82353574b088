#pragma once

#include <QIcon>
#include <QPixmap>

#include <string_view>

namespace vandrel::app {

// The application's pictures by name ("widget-on", "widget-off",
// "icon_autoselect", "btn_Connect", ...). There are no image files: each
// one is drawn in code, once, at twice its size in points (crisp on
// high-density screens; the device pixel ratio says so). A name without a
// drawing gives a plain grey placeholder, never a null picture.
//
// GUI thread only (pixmaps are).
QPixmap appImage(std::string_view name);
QIcon appIcon(std::string_view name);

// Whether `name` has a drawing of its own.
bool hasAppImage(std::string_view name);

}  // namespace vandrel::app
