#pragma once
// The window's colours (app/form/qboot_view.h) as Qt colours.

#include <QColor>

#include "app/form/qboot_view.h"

namespace ql {

inline QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }

}  // namespace ql
