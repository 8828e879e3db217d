#pragma once
// The window's colours, shared by the control layout and the handlers that
// repaint controls as the workflow moves.

#include <QColor>

namespace ql {

inline const QColor kGroupColour(250, 250, 250);
inline const QColor kActivityColour(220, 220, 220);
inline const QColor kCaptionGrey(178, 178, 178);
inline const QColor kLogGrey(128, 128, 128);

}  // namespace ql
