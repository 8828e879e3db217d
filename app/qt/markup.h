#pragma once
// The small label markup the window's texts are written in: <B>, FONT with
// face, size (in points) and color, <BR> and <P align="center">. Qt's rich
// text reads a FONT size as an HTML size 1-7, so the markup is translated
// into styled spans before Qt sees it.

#include <QString>

namespace ql {

QString MarkupToRichText(const QString& markup);

// The text without its tags (what a reader of the label sees).
QString MarkupPlainText(const QString& markup);

}  // namespace ql
