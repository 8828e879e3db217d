#include "app/path_fit.h"

namespace ql {

namespace {
const QString kSep = QStringLiteral("/");
const QString kEllipsisDir = QStringLiteral(".../");
}  // namespace

QString DropFirstDirectory(const QString& dir) {
  if (dir == kSep) return {};
  QString d = dir;
  bool root = false;
  if (d.startsWith(kSep)) {
    d.remove(0, 1);
    root = true;
  }
  if (d.startsWith(QLatin1Char('.'))) d.remove(0, 4);  // a former ".../"
  const qsizetype slash = d.indexOf(kSep);
  if (slash >= 0) {
    d = kEllipsisDir + d.mid(slash + 1);
  } else {
    d.clear();
  }
  if (root) d.prepend(kSep);
  return d;
}

QString FitPathToWidth(const QString& text, const std::function<int(const QString&)>& width_of, int max_width) {
  const qsizetype cut = text.lastIndexOf(kSep) + 1;  // 0 when there is no directory
  QString dir = text.left(cut);
  const QString name = text.mid(cut);
  QString drive;
  if (dir.size() >= 2 && dir.at(1) == QLatin1Char(':')) {
    drive = dir.left(2);
    dir.remove(0, 2);
  }
  QString result = text;
  while (!drive.isEmpty() || !dir.isEmpty()) {
    if (width_of(result) <= max_width) break;
    if (dir == kSep + kEllipsisDir) {
      drive.clear();
      dir = kEllipsisDir;
    } else if (!dir.isEmpty()) {
      dir = DropFirstDirectory(dir);
    } else {
      drive.clear();
    }
    result = drive + dir + name;
  }
  return result;
}

}  // namespace ql
