#include "app/qt/markup.h"

#include <QRegularExpression>
#include <QStringList>

namespace ql {

namespace {

QString TranslateTag(const QString& tag) {
  static const QRegularExpression name_re(QStringLiteral("^<\\s*(/?)\\s*([A-Za-z]+)"));
  static const QRegularExpression attr_re(QStringLiteral("([A-Za-z]+)\\s*=\\s*\"([^\"]*)\""));
  const auto m = name_re.match(tag);
  if (!m.hasMatch()) return tag.toHtmlEscaped();
  const bool closing = !m.captured(1).isEmpty();
  const QString name = m.captured(2).toUpper();
  if (name == QLatin1String("B")) return closing ? QStringLiteral("</b>") : QStringLiteral("<b>");
  if (name == QLatin1String("BR")) return QStringLiteral("<br>");
  if (name == QLatin1String("P")) {
    if (closing) return QStringLiteral("</p>");
    QString align;
    for (auto it = attr_re.globalMatch(tag); it.hasNext();) {
      const auto a = it.next();
      if (a.captured(1).compare(QLatin1String("align"), Qt::CaseInsensitive) == 0) align = a.captured(2);
    }
    return align.isEmpty() ? QStringLiteral("<p style=\"margin:0\">")
                           : QStringLiteral("<p align=\"%1\" style=\"margin:0\">").arg(align.toHtmlEscaped());
  }
  if (name == QLatin1String("FONT")) {
    if (closing) return QStringLiteral("</span>");
    QStringList style;
    for (auto it = attr_re.globalMatch(tag); it.hasNext();) {
      const auto a = it.next();
      const QString key = a.captured(1).toLower();
      const QString value = a.captured(2);
      if (key == QLatin1String("face")) {
        style << QStringLiteral("font-family:'%1'").arg(value.toHtmlEscaped());
      } else if (key == QLatin1String("size")) {
        bool ok = false;
        const int pt = value.toInt(&ok);
        if (ok && pt > 0) style << QStringLiteral("font-size:%1pt").arg(pt);
      } else if (key == QLatin1String("color")) {
        style << QStringLiteral("color:%1").arg(value.toHtmlEscaped());
      }
    }
    return QStringLiteral("<span style=\"%1\">").arg(style.join(QLatin1Char(';')));
  }
  return {};  // the window uses no other tag
}

}  // namespace

QString MarkupToRichText(const QString& markup) {
  QString out;
  qsizetype pos = 0;
  while (pos < markup.size()) {
    const qsizetype open = markup.indexOf(QLatin1Char('<'), pos);
    const qsizetype close = open < 0 ? -1 : markup.indexOf(QLatin1Char('>'), open);
    if (open < 0 || close < 0) {
      out += markup.mid(pos).toHtmlEscaped();
      break;
    }
    out += markup.mid(pos, open - pos).toHtmlEscaped();
    out += TranslateTag(markup.mid(open, close - open + 1));
    pos = close + 1;
  }
  return QStringLiteral("<html><body style=\"margin:0\">") + out + QStringLiteral("</body></html>");
}

QString MarkupPlainText(const QString& markup) {
  static const QRegularExpression tag_re(QStringLiteral("<[^>]*>"));
  QString s = markup;
  s.replace(QRegularExpression(QStringLiteral("<\\s*BR\\s*>"), QRegularExpression::CaseInsensitiveOption),
            QStringLiteral("\n"));
  return s.remove(tag_re);
}

}  // namespace ql
