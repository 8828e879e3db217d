#pragma once
// A walk through the window for the documentation's pictures: the
// collapsed window, the activity panel, an upload under way and its end.

#include <QString>

namespace ql {

class TqBoot;

// Starts the walk; the application quits when it is done.
void StartScreenshotTour(TqBoot& window, const QString& out_dir, const QString& hex_file);

}  // namespace ql
