#include "app/settings_location.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

namespace ql {

std::string SettingsPath(const std::string& executable_dir) {
  const QString dir = QString::fromStdString(executable_dir);
  const QString beside = QDir(dir).filePath(QStringLiteral("Settings.ini"));
  if (QFileInfo::exists(beside) || ::access(dir.toLocal8Bit().constData(), W_OK) == 0)
    return beside.toStdString();
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (config.isEmpty() || QDir::isRelativePath(config)) config = QDir::homePath() + QStringLiteral("/.config");
  return QDir(config).filePath(QStringLiteral("quelloader/Settings.ini")).toStdString();
}

}  // namespace ql
