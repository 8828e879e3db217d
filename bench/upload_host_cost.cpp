// Host cost of an upload: the engine, the exchange and the in-process
// simulated device at zero latency in virtual time, so only CPU work counts.
// Prints the median CPU time per 64-byte block for several image sizes.

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/virtual_event_loop.h"

using namespace ql;

namespace {

struct Case {
  const char* name;
  std::uint32_t boot_start;
  std::uint32_t image_size;
};

FlashImage Pattern(std::uint32_t size) {
  FlashImage image;
  image.family = McuFamily::Pic18;
  image.bytes.resize(size);
  for (std::uint32_t i = 0; i < size; ++i) image.bytes[i] = static_cast<std::uint8_t>(i * 37 + 1);
  return image;
}

}  // namespace

int main() {
  constexpr int kRuns = 9;
  const Case cases[] = {
      {"pic18 1 KiB", 0x7C00, 0x400},
      {"pic18 8 KiB", 0x7C00, 0x2000},
      {"pic18 24 KiB", 0x7C00, 0x6000},
      {"pic18 full (0x7BC0)", 0x7C00, 0x7BC0},
      {"pic18, 2 MiB flash", 0x240000, 0x200000},
  };

  std::printf("Upload host cost (engine + exchange + in-process simulated device, zero latency, virtual time)\n");
  std::printf("median of %d runs, CPU time from std::clock\n\n", kRuns);
  std::printf("%-22s %12s %8s %14s %14s\n", "image", "bytes", "blocks", "CPU ms/upload", "CPU us/block");
  for (const Case& c : cases) {
    sim::Config config = *sim::Preset("pic18");
    config.info.BootStart = c.boot_start;
    config.flash_size = c.boot_start + 0x400;
    config.timing = {0, 0, 0};
    const FlashImage image = Pattern(c.image_size);
    // Main-write blocks plus the final block.
    const std::uint32_t blocks = (c.image_size + 63) / 64 + 1;

    std::vector<double> per_upload_us;
    for (int run = 0; run < kRuns; ++run) {
      VirtualEventLoop loop;
      Exchange exchange(loop);
      sim::SimDevice device(loop, config);
      bench::Connect(device, exchange);
      bench::QuietUi ui;
      const std::clock_t start = std::clock();
      const UploadOutcome outcome = RunUpload(exchange, image, ui);
      const std::clock_t end = std::clock();
      if (outcome != UploadOutcome::Completed || !device.refused().empty()) {
        std::fprintf(stderr, "%s: the upload did not complete cleanly\n", c.name);
        return 1;
      }
      per_upload_us.push_back(1e6 * static_cast<double>(end - start) / CLOCKS_PER_SEC);
    }
    const double median = bench::Median(per_upload_us);
    std::printf("%-22s %12u %8u %14.2f %14.2f\n", c.name, c.image_size, blocks, median / 1000.0, median / blocks);
  }
  return 0;
}
