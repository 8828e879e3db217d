#pragma once
// What both upload benchmarks share: a front end that shows nothing, and
// the simulated device set up as the device link leaves it after connecting.

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/exchange.h"
#include "sim/simulated_bootloader.h"
#include "upload/upload_engine.h"

namespace ql::bench {

// Counts what a window would show, at the cost of a counter.
class QuietUi : public UploadUi {
 public:
  void AppendHistory(std::string_view) override {}
  void AppendTerminal(std::string_view line) override { terminal_chars += line.size(); }
  void ProgressSetMax(std::int64_t) override {}
  void ProgressStep() override { ++steps; }
  bool AskBootloaderArea() override { return true; }
  void FinishUpload() override {}
  std::string DeviceName() override { return "bench"; }

  std::size_t terminal_chars = 0;
  std::int64_t steps = 0;
};

inline void Connect(sim::SimDevice& device, Exchange& exchange) {
  device.AttachTo(exchange);
  exchange.BootInfo = device.model().config().info;
  exchange.ApplyBlockSize();
}

template <typename T>
T Median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace ql::bench
