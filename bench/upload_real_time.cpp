// The simulated PIC18 upload of a real assembler image in real time (the
// command line's blocking loop) against the device's own time: every USB
// frame in and out plus every flash erase and write, as the simulated device
// accounts them. The host should add next to nothing.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/blocking_event_loop.h"
#include "image/flash_image.h"

using namespace ql;

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : QUELLOADER_FIXTURES "/pic18-app-24k.hex";
  constexpr int kRuns = 5;

  FlashImage image;
  const LoadResult loaded = LoadHexFile(path, McuFamily::Pic18, image);
  if (!loaded.ok()) {
    std::fprintf(stderr, "%s\n", loaded.message.c_str());
    return 1;
  }

  std::printf("Simulated pic18 upload in real time vs the device's own time\n");
  std::printf("image %s, %lld bytes\n\n", path.c_str(), static_cast<long long>(image.ImageEnd()));
  std::printf("%-6s %12s %12s %8s\n", "run", "real ms", "device ms", "ratio");
  std::vector<double> ratios;
  for (int run = 1; run <= kRuns; ++run) {
    BlockingEventLoop loop;
    Exchange exchange(loop);
    sim::SimDevice device(loop, *sim::Preset("pic18"));
    bench::Connect(device, exchange);
    bench::QuietUi ui;
    const auto start = std::chrono::steady_clock::now();
    const UploadOutcome outcome = RunUpload(exchange, image, ui);
    const auto end = std::chrono::steady_clock::now();
    if (outcome != UploadOutcome::Completed || !device.refused().empty()) {
      std::fprintf(stderr, "run %d: the upload did not complete cleanly\n", run);
      return 1;
    }
    const double real_ms = std::chrono::duration<double, std::milli>(end - start).count();
    const double device_ms = static_cast<double>(device.device_time()) / 1000.0;
    ratios.push_back(real_ms / device_ms);
    std::printf("%-6d %12.1f %12.1f %8.4f\n", run, real_ms, device_ms, real_ms / device_ms);
  }
  std::printf("%-6s %12s %12s %8.4f\n", "median", "", "", bench::Median(ratios));
  return 0;
}
