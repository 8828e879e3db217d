#include "app/qt/settings_location.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

#include <unistd.h>

#ifndef QUELLOADER_INSTALL_BINDIR
#define QUELLOADER_INSTALL_BINDIR "/usr/local/bin"
#endif

namespace ql {

const char* const kInstallBindir = QUELLOADER_INSTALL_BINDIR;

namespace {

// The folder with links resolved, so that /usr/bin reached through a link
// (or /bin on a merged-/usr system) is still recognised.
QString RealFolder(const QString& dir) {
  const QString canonical = QFileInfo(dir).canonicalFilePath();
  return canonical.isEmpty() ? QDir::cleanPath(QDir(dir).absolutePath()) : canonical;
}

bool Within(const QString& folder, const QString& root) {
  return folder == root || folder.startsWith(root + QLatin1Char('/'));
}

}  // namespace

bool IsInstalledFolder(const std::string& executable_dir, const std::string& install_bindir) {
  const QString dir = RealFolder(QString::fromStdString(executable_dir));
  if (!install_bindir.empty() && dir == RealFolder(QString::fromStdString(install_bindir))) return true;
  for (const char* root : {"/usr", "/bin", "/sbin", "/opt", "/snap", "/nix"})
    if (Within(dir, QString::fromLatin1(root))) return true;
  // Root can write almost anywhere; the checks above keep root's runs of an
  // installed program out of the system folders.
  return ::access(QFile::encodeName(dir).constData(), W_OK) != 0;
}

std::string SettingsPath(const std::string& executable_dir, const std::string& install_bindir) {
  if (!IsInstalledFolder(executable_dir, install_bindir))
    return QDir(QString::fromStdString(executable_dir)).filePath(QStringLiteral("Settings.ini")).toStdString();
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty() || QDir::isRelativePath(config)) config = QDir::homePath() + QStringLiteral("/.config");
  return QDir(config).filePath(QStringLiteral("quelloader/Settings.ini")).toStdString();
}

WindowProgramText QtWindowProgramText() {
  return {std::string("\nQt ") + qVersion(),
          "Files:\n"
          "  Settings.ini beside the program when it runs from a folder of its own that you can write to\n"
          "  (a build folder); an installed program uses $XDG_CONFIG_HOME/quelloader/Settings.ini\n"
          "  (~/.config/quelloader/Settings.ini)"};
}

}  // namespace ql
