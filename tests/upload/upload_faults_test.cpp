#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upload_test_support.h"

namespace ql::test {
namespace {

// Every wait of the 0x1234-byte PIC18 upload, by the packet that starts it:
// 0 main erase, 1 CMD_WRITE (no wait), 2..74 data blocks, 75 final erase,
// 76 its CMD_WRITE, 77 the final block.
struct WaitPoint {
  const char* name;
  int packet;
  std::int64_t timeout_ms;
  friend void PrintTo(const WaitPoint& w, std::ostream* os) { *os << w.name; }
};
const WaitPoint kWaits[] = {
    {"MainErase", 0, 730},        {"FirstBlock", 2, 500}, {"MiddleBlock", 38, 500},
    {"LastBlock", 74, 500},       {"FinalErase", 75, 500}, {"FinalBlock", 77, 500},
};
using Fault = sim::FaultKind;

class UploadFault : public testing::TestWithParam<std::tuple<WaitPoint, Fault>> {};

TEST_P(UploadFault, EndsWithItsLinesAndLeavesTheDeviceAsItWas) {
  const auto [wait, fault] = GetParam();
  sim::Config device = Device("pic18");
  device.fault = {fault, wait.packet + 1};  // the device counts its packets from 1
  Rig r(device);
  const FlashImage image = PatternImage(0x1234);
  ASSERT_EQ(r.Run(image), UploadOutcome::Failed);

  const std::string error =
      fault == Fault::Unplug ? "Error: Device PIC18F4550 removed." : "Error: Timeout waiting for MCU.";
  EXPECT_EQ(r.ui.history, (std::vector<std::string>{error, "Disconnected."}));
  EXPECT_EQ(r.ui.finish_calls, 1);
  EXPECT_EQ(r.ui.progress, 0);

  // Nothing after the failed wait: no further block and no reset.
  EXPECT_EQ(r.packets.size(), static_cast<std::size_t>(wait.packet) + 1);
  EXPECT_FALSE(r.dev.reset_seen());
  if (fault == Fault::Unplug) {
    EXPECT_EQ(r.ex.CurrentDevice, nullptr);
  } else {
    EXPECT_EQ(r.ex.CurrentDevice, &r.dev);  // still in its bootloader, still selected
    EXPECT_EQ(r.loop.now() - r.sent_at.back(), from_ms(wait.timeout_ms));
  }

  // What the blocks before the failed one wrote stays; the bootloader area
  // is never touched.
  const std::vector<std::uint8_t> done = ExpectedFlash(r.before, r.info, image.bytes, 0x1240, 73 * 64);
  const std::size_t written = wait.packet <= 2 ? 0 : std::min(wait.packet - 2, 73) * 64;
  EXPECT_TRUE(std::equal(done.begin(), done.begin() + written, r.dev.flash().begin()));
  EXPECT_TRUE(r.dev.model().BootAreaIntact());
  EXPECT_TRUE(r.dev.refused().empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryWait, UploadFault,
    testing::Combine(testing::ValuesIn(kWaits), testing::Values(Fault::NoAnswer, Fault::WrongAnswer, Fault::Unplug)),
    [](const testing::TestParamInfo<std::tuple<WaitPoint, Fault>>& info) {
      const Fault f = std::get<1>(info.param);
      return std::string(std::get<0>(info.param).name) +
             (f == Fault::NoAnswer ? "NoAnswer" : f == Fault::WrongAnswer ? "WrongAnswer" : "Unplug");
    });

}  // namespace
}  // namespace ql::test
