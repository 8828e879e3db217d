#pragma once
// Shortening a path to the status panel's width: the leading directories are
// dropped one by one and replaced by ".../" until the text fits; at last the
// bare file name remains.

#include <QString>

#include <functional>

namespace ql {

// Drops the first directory of a directory part ("a/b/" -> ".../b/").
QString DropFirstDirectory(const QString& dir);

// `width_of` measures a text in the font it will be drawn with.
QString FitPathToWidth(const QString& text, const std::function<int(const QString&)>& width_of, int max_width);

}  // namespace ql
