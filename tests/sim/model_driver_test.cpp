// The model on an event loop: answers at the model's own times, and nothing
// delivered once the device has left the bus or the driver is gone.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"
#include "sim/model_driver.h"
#include "sim/simulated_bootloader.h"

namespace ql::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A whole output report: report ID 0, then the packet.
Bytes Report(std::uint8_t code, std::uint32_t address = 0, std::uint16_t count = 0) {
  Bytes r{0, 0x0F, code, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24),
          static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)};
  r.resize(65, 0);
  return r;
}

Config Pic18(Fault fault = {}) {
  Config c = Preset("pic18").value_or(Config{});
  c.fault = fault;
  return c;
}

struct Delivered {
  Micros at;
  Bytes data;
  bool operator==(const Delivered&) const = default;
};

// Counts everything a driver delivers, with the loop's time.
struct Recorder {
  std::vector<Delivered> inputs;
  std::vector<Micros> unplugs;
  void Attach(ModelDriver& driver, VirtualEventLoop& loop) {
    driver.on_input = [this, &loop](std::span<const std::uint8_t> d) {
      inputs.push_back({loop.now(), Bytes(d.begin(), d.end())});
    };
    driver.on_unplug = [this, &loop] { unplugs.push_back(loop.now()); };
  }
};

TEST(ModelDriver, DeliversEachAnswerAtTheTimeTheModelGives) {
  VirtualEventLoop loop;
  ModelDriver driver(loop, Pic18());
  driver.KeepReceived(true);
  Recorder seen;
  seen.Attach(driver, loop);
  // The same reports at the same times to a bare model: its outputs are the oracle.
  SimulatedBootloader oracle(Pic18());
  std::vector<Delivered> expected;
  const auto send = [&](const Bytes& report) {
    for (Output& o : oracle.ReceiveReport(report, loop.now())) expected.push_back({o.at, o.data});
    EXPECT_TRUE(driver.Receive(report));
  };

  send(Report(CMD_BOOT_INFO));
  EXPECT_TRUE(seen.inputs.empty()) << "nothing arrives before its time";
  loop.advance(from_ms(5));
  ASSERT_EQ(seen.inputs.size(), 1u);
  send(Report(CMD_ERASE, 0x0FC0, 4));  // takes four erase times
  send(Report(CMD_HANDSHAKE_1));       // queues behind the erase
  loop.advance(from_ms(100));
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_EQ(seen.inputs, expected);
  EXPECT_EQ(seen.inputs[0].data, oracle.BootInfoRecord());
  EXPECT_LT(seen.inputs[0].at, seen.inputs[1].at);
  EXPECT_TRUE(seen.unplugs.empty());
  EXPECT_EQ(driver.received(),
            (std::vector<Bytes>{Report(CMD_BOOT_INFO), Report(CMD_ERASE, 0x0FC0, 4), Report(CMD_HANDSHAKE_1)}));
  EXPECT_EQ(loop.pending_timers(), 0u);
}

TEST(ModelDriver, NothingIsDeliveredAfterTheDeviceLeftTheBus) {
  // Its reset: it goes a frame after the command arrives, and hears nothing more.
  {
    VirtualEventLoop loop;
    ModelDriver driver(loop, Pic18());
    Recorder seen;
    seen.Attach(driver, loop);
    driver.Receive(Report(CMD_RESET));
    loop.advance(from_ms(100));
    EXPECT_EQ(seen.unplugs, (std::vector<Micros>{from_ms(2)}));
    EXPECT_FALSE(driver.present());
    const int steps = driver.model().steps();
    EXPECT_FALSE(driver.Receive(Report(CMD_BOOT_INFO)));
    loop.advance(from_ms(100));
    EXPECT_TRUE(seen.inputs.empty());
    EXPECT_EQ(driver.model().steps(), steps);
  }
  // An unplug fault as the previous answer goes out: that answer was on its
  // way first; the device is gone after.
  {
    VirtualEventLoop loop;
    ModelDriver driver(loop, Pic18({FaultKind::Unplug, 2}));
    Recorder seen;
    seen.Attach(driver, loop);
    driver.Receive(Report(CMD_HANDSHAKE_1));
    driver.Receive(Report(CMD_HANDSHAKE_2));
    loop.advance(from_ms(100));
    ASSERT_EQ(seen.inputs.size(), 1u);
    EXPECT_EQ(seen.unplugs, (std::vector<Micros>{seen.inputs[0].at}));
  }
  // Pulled from outside with answers pending: they never come, and the one
  // who pulled it is not told.
  {
    VirtualEventLoop loop;
    ModelDriver driver(loop, Pic18());
    Recorder seen;
    seen.Attach(driver, loop);
    driver.Receive(Report(CMD_BOOT_INFO));
    driver.Receive(Report(CMD_ERASE, 0x0FC0, 4));
    loop.advance(from_ms(1));
    driver.Unplug();
    loop.advance(from_ms(100));
    EXPECT_TRUE(seen.inputs.empty());
    EXPECT_TRUE(seen.unplugs.empty());
    EXPECT_FALSE(driver.Receive(Report(CMD_BOOT_INFO)));
    EXPECT_EQ(loop.pending_timers(), 0u);
  }
}

TEST(ModelDriver, NothingIsDeliveredAfterTheDriverIsGone) {
  VirtualEventLoop loop;
  int calls = 0;
  auto driver = std::make_unique<ModelDriver>(loop, Pic18());
  driver->on_input = [&](std::span<const std::uint8_t>) { ++calls; };
  driver->on_unplug = [&] { ++calls; };
  driver->Receive(Report(CMD_BOOT_INFO));
  driver->Receive(Report(CMD_RESET));
  driver.reset();
  EXPECT_EQ(loop.pending_timers(), 0u);
  loop.advance(from_ms(100));  // a timer left behind would run a destroyed driver's handler
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace ql::sim
