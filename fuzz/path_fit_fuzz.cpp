// Shortening a path for the status panel: whatever the path, the width and
// the font (here each character's width comes from the input), the result is
// never wider than the path, always ends in the file name, and either fits
// or is the bare file name.

#include <fuzzer/FuzzedDataProvider.h>

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/path_fit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::array<int, 8> widths{};
  for (int& w : widths) w = in.ConsumeIntegralInRange(0, 12);
  const int max_width = in.ConsumeIntegralInRange(-5, 400);
  const std::string raw = in.ConsumeRemainingBytesAsString();
  const QString path = QString::fromUtf8(raw.data(), static_cast<qsizetype>(raw.size()));

  const auto width_of = [&](const QString& s) {
    int w = 0;
    for (QChar c : s) w += widths[c.unicode() % widths.size()];
    return w;
  };
  const QString fitted = ql::FitPathToWidth(path, width_of, max_width);
  const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
  if (width_of(fitted) > width_of(path)) std::abort();
  if (!fitted.endsWith(name)) std::abort();
  if (width_of(fitted) > max_width && fitted != name) std::abort();
  return 0;
}
