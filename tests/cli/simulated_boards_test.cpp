// The simulated boards' --fault checks: the step count of a flash, worked
// out before the run, against the simulator's own count on a flash through
// the line; and the faults that could never strike refused as usage errors.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/production_line.h"
#include "cli/simulated_boards.h"
#include "core/mcu_family.h"
#include "core/virtual_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"

namespace ql::cli {
namespace {

const std::string kFixtures = QUELLOADER_FIXTURES;

struct Case {
  const char* preset;
  const char* file;
  std::uint32_t boot_start = 0;  // 0: the preset's
  std::uint16_t erase_block = 0xFFFF;
  std::uint16_t write_block = 0;
  bool declined = false;
};

sim::Config DeviceOf(const Case& c) {
  sim::Config config = *sim::Preset(c.preset);
  if (c.boot_start != 0) config.info.BootStart = c.boot_start;
  if (c.erase_block != 0xFFFF) config.info.EraseBlockSize = c.erase_block;
  if (c.write_block != 0) config.info.WriteBlockSize = c.write_block;
  return config;
}

// One board flashed through the line; the device as it ends.
struct Flashed {
  int steps = 0;
  bool reset = false;
  BoardResult result;
};
Flashed Flash(const Case& c, sim::Fault fault = {}) {
  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  sim::Config config = DeviceOf(c);
  config.fault = fault;
  auto board = std::make_unique<VirtualSimBootloader>(backend, loop, config);
  BoardRows rows(false);
  rows.sink = [](std::string_view) {};
  LineOptions o;
  o.file = kFixtures + "/" + c.file;
  o.yes = !c.declined;
  o.several = false;
  ProductionLine line(loop, backend, o, rows);
  line.Run();
  return {board->model().steps(), board->model().reset_seen(), line.results().at(0)};
}

// Every layout the upload meets: small and large images, one reaching into
// the bootloader area, erase blocks of 64 and 1024, a write block that does
// not tile the erase block, writes longer than one command carries, boot
// info the upload refuses, and a question answered No.
TEST(UploadSteps, AreTheSimulatorsOwnCount) {
  const std::vector<Case> cases = {
      {"pic18", "pic18-blink.hex"},
      {"pic18", "pic18-app-6k.hex"},
      {"pic18", "pic18-into-boot.hex"},
      {"pic18", "pic18-app-6k.hex", 0, 0xFFFF, 48},
      {"pic18j", "pic18-app-24k.hex"},
      {"pic18j", "pic18-app-70k.hex"},
      {"pic16", "pic16-app-4kw.hex"},
      {"pic16", "pic16-blink.hex"},
      {"pic18", "pic18-blink.hex", 0x40},
      {"pic18", "pic18-blink.hex", 0, 0},
      {"pic18", "pic18-into-boot.hex", 0, 0xFFFF, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.preset) + " " + c.file + " boot " + std::to_string(c.boot_start) + " erase " +
                 std::to_string(c.erase_block) + " write " + std::to_string(c.write_block) +
                 (c.declined ? " declined" : ""));
    const sim::Config device = DeviceOf(c);
    FlashImage image;
    ASSERT_TRUE(LoadHexFile(kFixtures + "/" + c.file, FamilyFromMcuType(device.info.McuType), image).ok());
    const int steps = UploadSteps(device.info, image.ImageEnd(), c.declined);
    const Flashed plain = Flash(c);
    EXPECT_EQ(plain.steps, steps);
    if (!plain.reset) continue;
    // The last step is the reset: a fault there strikes it, and none later can.
    const Flashed unplugged = Flash(c, {sim::FaultKind::Unplug, steps});
    EXPECT_EQ(unplugged.steps, steps);
    EXPECT_FALSE(unplugged.reset);
    EXPECT_NO_THROW(CheckFaults({"unplug@" + std::to_string(steps)}, 1, device, kFixtures + "/" + c.file, c.declined));
    try {
      CheckFaults({"unplug@" + std::to_string(steps + 1)}, 1, device, kFixtures + "/" + c.file, c.declined);
      ADD_FAILURE() << "a fault past the last step was accepted";
    } catch (const Failure& f) {
      EXPECT_EQ(f.code(), ExitCode::Usage);
    }
  }
}

ExitCode CodeOf(const std::vector<std::string>& faults, int boards) {
  try {
    CheckFaults(faults, boards, *sim::Preset("pic18"), kFixtures + "/pic18-blink.hex", false);
  } catch (const Failure& f) {
    return f.code();
  }
  return ExitCode::Success;
}

// A fault that could never strike is a usage error, and so is a malformed one.
TEST(FaultOption, OneThatCannotStrikeIsAUsageError) {
  EXPECT_EQ(CodeOf({"unplug@5:2"}, 3), ExitCode::Success);
  EXPECT_EQ(CodeOf({"silent"}, 1), ExitCode::Success);
  EXPECT_EQ(CodeOf({"unplug@5:4"}, 3), ExitCode::Usage);              // no board 4
  EXPECT_EQ(CodeOf({"unplug@5:0"}, 3), ExitCode::Usage);              // boards count from 1
  EXPECT_EQ(CodeOf({"unplug@5:2", "silent:2"}, 3), ExitCode::Usage);  // the second would replace the first
  EXPECT_EQ(CodeOf({"unplug@5", "silent:2"}, 3), ExitCode::Usage);
  EXPECT_EQ(CodeOf({"garbage-boot-info@1"}, 1), ExitCode::Success);
  EXPECT_EQ(CodeOf({"garbage-boot-info@2"}, 1), ExitCode::Usage);  // only the boot-info request
  EXPECT_EQ(CodeOf({"no-answer@100000"}, 1), ExitCode::Usage);
  for (const char* bad : {"unplug@x", "unplug@", "bogus", "unplug:x", "unplug@-1", "unplug@5:"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(CodeOf({bad}, 1), ExitCode::Usage);
  }
}

}  // namespace
}  // namespace ql::cli
