#include "launcher/launcher_paths.h"

#include <QFileInfo>
#include <QStringList>

namespace vandrel::launcher {

namespace {

// Components that lead from the launcher's bundle back to the application's
// Contents folder: Vandrel_Launcher.app, LoginItems, Library.
constexpr qsizetype kComponentsToRemove = 3;

}  // namespace

QString bundlePathForExecutable(const QString& executablePath) {
  const QFileInfo macos(QFileInfo(executablePath).path());
  const QFileInfo contents(macos.path());
  if (macos.fileName() == QLatin1String("MacOS") &&
      contents.fileName() == QLatin1String("Contents")) {
    return contents.path();
  }
  return macos.filePath();
}

std::optional<QString> mainAppExecutablePath(const QString& launcherBundlePath) {
  // Empty components ("a//b", a trailing "/") are not components.
  QStringList components = launcherBundlePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
  if (components.size() < kComponentsToRemove) return std::nullopt;
  components.resize(components.size() - kComponentsToRemove);
  components << QStringLiteral("MacOS") << QStringLiteral("Vandrel");
  const QString root = launcherBundlePath.startsWith(QLatin1Char('/')) ? QStringLiteral("/")
                                                                      : QString();
  return root + components.join(QLatin1Char('/'));
}

}  // namespace vandrel::launcher
