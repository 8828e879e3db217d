// The production line on the virtual backend in virtual time: several
// boards at once, each flashed once per appearance, one board's trouble kept
// from the others.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli/production_line.h"
#include "core/virtual_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "tests/support/expected_flash.h"

namespace ql::cli {
namespace {

const std::string kHex = std::string(QUELLOADER_FIXTURES) + "/pic18-app-6k.hex";

class Line : public ::testing::Test {
 protected:
  Line() {
    rows.sink = [this](std::string_view text) { lines.emplace_back(text); };
  }
  std::unique_ptr<VirtualSimBootloader> Board(const char* preset, const std::string& port,
                                              sim::Fault fault = {}) {
    sim::Config config = *sim::Preset(preset);
    config.fault = fault;
    VirtualHidSpec spec;
    spec.port = port;
    return std::make_unique<VirtualSimBootloader>(backend, loop, config, spec);
  }
  LineOptions Options() {
    LineOptions o;
    o.file = kHex;
    o.yes = true;
    return o;
  }
  // The flash a completed upload of the fixture leaves on a pristine board.
  static std::vector<std::uint8_t> Oracle(VirtualSimBootloader& b) {
    const TBootInfo& info = b.model().config().info;
    sim::SimulatedBootloader pristine(b.model().config());
    FlashImage image;
    EXPECT_TRUE(LoadHexFile(kHex, FamilyFromMcuType(info.McuType), image).ok());
    const test::Layout plan = test::PlanFor(info, image.ImageEnd());
    return test::ExpectedFlash(pristine.flash(), info, image.bytes, plan.write_length,
                               plan.erase_blocks * info.EraseBlockSize);
  }
  const BoardResult* ResultOn(const ProductionLine& line, const std::string& port) const {
    for (const BoardResult& r : line.results())
      if (r.port == port) return &r;
    return nullptr;
  }
  bool Said(const std::string& text) const {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  static int Resets(VirtualSimBootloader& b) {
    const auto& c = b.model().commands();
    return static_cast<int>(std::count_if(c.begin(), c.end(), [](const auto& r) { return r.code == CMD_RESET; }));
  }

  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  BoardRows rows{false};
  std::vector<std::string> lines;
};

// --all with four boards of different presets, one unplugged in the middle of
// its write and one silent: the others' flashes are what an upload leaves,
// and the results say which failed.
TEST_F(Line, AllFourBoardsOneUnpluggedOneSilent) {
  auto a = Board("pic18", "1-1");
  auto b = Board("pic18j", "1-2", {sim::FaultKind::Unplug, 8});  // its third data block
  auto c = Board("pic16", "1-3");
  auto d = Board("pic18", "1-4", {sim::FaultKind::Silent, 0});
  VirtualHidSpec mouse;
  mouse.product = "USB Mouse";
  mouse.port = "1-5";
  backend.Plug(mouse);
  LineOptions o = Options();
  o.all = true;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Failed);

  ASSERT_EQ(line.results().size(), 4u);  // the mouse is no board
  for (auto* ok : {a.get(), c.get()}) {
    EXPECT_EQ(ok->model().flash(), Oracle(*ok));
    EXPECT_EQ(Resets(*ok), 1);
  }
  EXPECT_EQ(ResultOn(line, "1-1")->code, ExitCode::Success);
  EXPECT_EQ(ResultOn(line, "1-3")->code, ExitCode::Success);
  EXPECT_EQ(ResultOn(line, "1-3")->family, "PIC16");
  EXPECT_GT(ResultOn(line, "1-1")->bytes, 6000);
  EXPECT_EQ(ResultOn(line, "1-2")->code, ExitCode::Failed);
  EXPECT_EQ(ResultOn(line, "1-2")->message, "removed during the upload");
  EXPECT_EQ(ResultOn(line, "1-4")->code, ExitCode::Failed);
  EXPECT_EQ(ResultOn(line, "1-4")->message, "the bootloader does not answer");
  // Each failure is told by its own board's lines.
  EXPECT_TRUE(Said("[1-2] Error: Device PIC18F46J50 removed."));
  EXPECT_TRUE(Said("[1-4] USB HID device is not in bootloader mode."));
  EXPECT_FALSE(Said("[1-1] Error"));
  EXPECT_FALSE(Said("[1-3] Error"));
  EXPECT_TRUE(Said("2 of 4 boards failed."));
  // Side by side: the whole took about as long as the slowest board alone.
  const double slowest = std::max(ResultOn(line, "1-1")->seconds, ResultOn(line, "1-3")->seconds);
  EXPECT_LT(static_cast<double>(loop.now()) / 1e6, slowest + 1.5);
}

// --loop: boards plugged in one after another and overlapping are each
// flashed exactly once per appearance; one that comes back is flashed again.
TEST_F(Line, LoopFlashesEachAppearanceOnce) {
  std::vector<std::unique_ptr<VirtualSimBootloader>> appearances;
  auto plug = [&](const char* preset, const char* port) { appearances.push_back(Board(preset, port)); };
  loop.schedule_at(from_ms(100), [&] { plug("pic18", "1-1"); });
  loop.schedule_at(from_ms(600), [&] { plug("pic16", "1-2"); });   // while 1-1 uploads
  loop.schedule_at(from_ms(700), [&] { plug("pic18j", "1-3"); });  // and 1-2
  loop.schedule_at(from_ms(9000), [&] { plug("pic18", "1-1"); });  // 1-1 again, after its reset
  LineOptions o = Options();
  o.loop = true;
  o.count = 4;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Success);
  ASSERT_EQ(line.results().size(), 4u);
  ASSERT_EQ(appearances.size(), 4u);
  for (auto& b : appearances) {
    EXPECT_EQ(Resets(*b), 1) << "one upload per appearance";
    EXPECT_EQ(b->model().flash(), Oracle(*b));
  }
  std::vector<std::string> ports;
  for (const BoardResult& r : line.results()) ports.push_back(r.port);
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(ports, (std::vector<std::string>{"1-1", "1-1", "1-2", "1-3"}));
  EXPECT_TRUE(Said("Waiting for bootloaders"));
}

// Only the boards on the given ports are flashed; the stop of a line stops
// every board soundly and ends with the table.
TEST_F(Line, PortsChooseTheBoardsAndAStopEndsThemAll) {
  auto a = Board("pic18", "1-1");
  auto b = Board("pic18", "1-2");
  auto c = Board("pic18", "1-3");
  LineOptions o = Options();
  o.device.ports = {"1-1", "1-3"};
  ProductionLine line(loop, backend, o, rows);
  loop.schedule_at(from_ms(400), [&] { line.Stop(); });  // in the middle of the writes
  EXPECT_EQ(line.Run(), ExitCode::Interrupted);
  ASSERT_EQ(line.results().size(), 2u);
  EXPECT_TRUE(b->received().empty()) << "1-2 was not asked for";
  for (const BoardResult& r : line.results()) EXPECT_EQ(r.code, ExitCode::Interrupted) << r.port;
  for (auto* stopped : {a.get(), c.get()}) {
    EXPECT_EQ(Resets(*stopped), 0);
    EXPECT_TRUE(stopped->model().refused().empty());
  }
  EXPECT_TRUE(Said("port"));  // the table's heading
}

}  // namespace
}  // namespace ql::cli
