// Shortening a path for the status panel: whatever the path, the width and
// the font (here each character's width comes from the input), the result is
// never wider than the path, always ends in the file name, and either fits
// or is the bare file name.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/form/path_fit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::array<int, 8> widths{};
  for (int& w : widths) w = in.ConsumeIntegralInRange(0, 12);
  const int max_width = in.ConsumeIntegralInRange(-5, 400);
  const std::string raw = in.ConsumeRemainingBytesAsString();
  const std::string_view path = raw;

  const auto width_of = [&](std::string_view s) {
    int w = 0;
    for (const char c : s) w += widths[static_cast<unsigned char>(c) % widths.size()];
    return w;
  };
  const std::string fitted = ql::FitPathToWidth(path, width_of, max_width, '/');
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (width_of(fitted) > width_of(path)) std::abort();
  if (!fitted.ends_with(name)) std::abort();
  if (width_of(fitted) > max_width && fitted != name) std::abort();
  return 0;
}
