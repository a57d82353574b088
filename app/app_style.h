#pragma once

#include <QProxyStyle>

namespace vandrel::app {

// The toolkit's style (whichever the desktop or the user chose), with the
// menu bar's overflow arrows drawn like the rest of the application's
// pictures. The toolkit reads its own arrows from image files by name, and
// its image reader first asks every image-format plug-in whether it reads
// such a file, which loads all of them (a JPEG library among them) while
// the menu bar is made, before the first window shows.
class AppStyle : public QProxyStyle {
 public:
  // `key`: the name of the style to wrap (QStyle::name()).
  explicit AppStyle(const QString& key);

  QIcon standardIcon(StandardPixmap icon, const QStyleOption* option = nullptr,
                     const QWidget* widget = nullptr) const override;
};

// Installs AppStyle around the style the application would use. GUI
// thread, after the QApplication exists and before the first widget.
void installAppStyle();

}  // namespace vandrel::app
