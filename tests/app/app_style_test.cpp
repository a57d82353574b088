// The application's style: a menu bar made under it loads no image-format
// plug-in, its overflow arrows are drawn, and the rest is the wrapped
// style's.

#include "app/app_style.h"

#include <gtest/gtest.h>
#include <link.h>

#include <QApplication>
#include <QMenuBar>
#include <QProxyStyle>
#include <QStyle>

#include <cstring>

namespace vandrel::app {
namespace {

bool imageFormatPluginLoaded() {
  bool found = false;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        if (info->dlpi_name != nullptr && std::strstr(info->dlpi_name, "/imageformats/")) {
          *static_cast<bool*>(data) = true;
        }
        return 0;
      },
      &found);
  return found;
}

// First in this binary: a plug-in, once loaded, stays for the process.
TEST(AppStyleTest, MenuBarIsMadeWithoutLoadingImageFormatPlugins) {
  installAppStyle();
  ASSERT_FALSE(imageFormatPluginLoaded()) << "a plug-in was loaded before the menu bar";
  QMenuBar bar;
  bar.addMenu(QStringLiteral("Vandrel"))->addAction(QStringLiteral("Quit Vandrel"));
  bar.adjustSize();
  EXPECT_FALSE(imageFormatPluginLoaded());
}

TEST(AppStyleTest, WrapsTheStyleTheApplicationHadChosen) {
  QApplication::setStyle(QStringLiteral("Windows"));
  installAppStyle();
  const auto* proxy = qobject_cast<const QProxyStyle*>(QApplication::style());
  ASSERT_NE(proxy, nullptr);
  EXPECT_EQ(proxy->baseStyle()->name().toLower(), QStringLiteral("windows"));
}

TEST(AppStyleTest, DrawsOnlyTheOverflowArrows) {
  const AppStyle style(QStringLiteral("Fusion"));
  const QProxyStyle plain(QStringLiteral("Fusion"));
  for (const QStyle::StandardPixmap arrow :
       {QStyle::SP_ToolBarHorizontalExtensionButton, QStyle::SP_ToolBarVerticalExtensionButton}) {
    SCOPED_TRACE(static_cast<int>(arrow));
    const QIcon icon = style.standardIcon(arrow);
    ASSERT_FALSE(icon.isNull());
    EXPECT_FALSE(icon.pixmap(12, 12).isNull());
  }
  // Any other picture is the wrapped style's own.
  const QIcon warning = style.standardIcon(QStyle::SP_MessageBoxWarning);
  EXPECT_EQ(warning.pixmap(32, 32).toImage(),
            plain.standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32).toImage());
}

}  // namespace
}  // namespace vandrel::app
