#pragma once

#include <optional>

#include <QString>

namespace vandrel::launcher {

// The launcher's own bundle: X.app for an executable at
// X.app/Contents/MacOS/<exe>, else the directory holding the executable.
QString bundlePathForExecutable(const QString& executablePath);

// The application's executable as seen from the launcher's bundle path: the
// last three components removed (Vandrel_Launcher.app, LoginItems,
// Library), then "MacOS" and "Vandrel" appended. For a launcher inside
// Vandrel.app/Contents/Library/LoginItems that is
// Vandrel.app/Contents/MacOS/Vandrel. Absent when the path has fewer than
// three components to remove.
std::optional<QString> mainAppExecutablePath(const QString& launcherBundlePath);

}  // namespace vandrel::launcher
