// Sessions side by side: several bootloaders on one virtual backend and one
// event loop, each session with its own exchange, waits and removal, none
// disturbing another. Virtual time throughout.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "hid/hid_controller.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "session/session.h"
#include "tests/support/expected_flash.h"
#include "tests/upload/upload_test_support.h"

namespace ql {
namespace {

using test::ExpectedFlash;
using test::PatternImage;

// One board's view: its lines, and its own name for them.
class BoardView : public SessionView {
 public:
  void AppendHistory(std::string_view line) override { history.emplace_back(line); }
  bool AskBootloaderArea() override { return true; }
  std::string DeviceName() override { return name; }
  void PhaseChanged(SessionPhase phase) override { phases.push_back(phase); }

  std::string name;
  std::vector<std::string> history;
  std::vector<SessionPhase> phases;
};

struct Board {
  std::string preset;
  std::string serial;
  sim::Fault fault;
  std::size_t image_length = 0;
  Micros input_delay = 0;  // the reader's lag on a busy machine

  std::unique_ptr<VirtualSimBootloader> sim;
  std::vector<std::uint8_t> before;
  std::unique_ptr<TJvHidDevice> device;
  BoardView view;
  std::unique_ptr<Session> session;
  Task<UploadOutcome> flow;
  FlashImage image;
  Micros first_write = -1;
  Micros last_sent = -1;
  Micros ended = -1;
  SessionFailure failure = SessionFailure::None;
};

// A board's whole session: boot info, connect, upload.
Task<UploadOutcome> Flow(Board& b, EventLoop& loop) {
  if (!b.session->Attach()) co_return UploadOutcome::Refused;
  if (!co_await b.session->ReadBootInfo()) {
    b.ended = loop.now();
    co_return UploadOutcome::Failed;
  }
  b.view.name = b.session->BootInfo().BootDeviceName + " (Serial=" + b.serial + ")";
  if (!co_await b.session->Connect()) co_return UploadOutcome::Failed;
  const UploadOutcome outcome = co_await b.session->Upload(b.image);
  b.ended = loop.now();
  b.failure = b.session->failure();
  co_return outcome;
}

class SideBySide : public ::testing::Test {
 protected:
  void Run() {
    for (Board& b : boards) {
      sim::Config config = *sim::Preset(b.preset);
      config.fault = b.fault;
      VirtualHidSpec spec;
      spec.serial = b.serial;
      spec.input_delay = b.input_delay;
      b.sim = std::make_unique<VirtualSimBootloader>(backend, loop, config, spec);
      b.before = b.sim->model().flash();
      b.image = PatternImage(b.image_length, config.info.McuType == 1 ? McuFamily::Pic16 : McuFamily::Pic18);
    }
    TJvHidDeviceController ctl(loop, backend);
    ctl.OnRemoval = [this](TJvHidDevice& d) {
      for (Board& b : boards)
        if (b.device.get() == &d) b.session->DeviceRemoved();
    };
    loop.run_until([&] { return ctl.Count() == static_cast<int>(boards.size()); }, from_ms(1000));
    ASSERT_EQ(ctl.Count(), static_cast<int>(boards.size()));
    for (int i = 0; i < ctl.Count(); ++i) {
      std::unique_ptr<TJvHidDevice> d = ctl.ClaimByIndex(i);
      ASSERT_TRUE(d);
      Board& b = *std::find_if(boards.begin(), boards.end(), [&](const Board& x) { return x.serial == d->SerialText(); });
      b.device = std::move(d);
      b.session = std::make_unique<Session>(loop, *b.device, b.view, /*blocking_waits=*/false);
      b.session->exchange().OnPacketSent = [&b, this](std::span<const std::uint8_t> p) {
        if (b.first_write < 0 && p.size() == 8 && p[1] == CMD_WRITE) b.first_write = loop.now();
        b.last_sent = loop.now();
      };
    }
    // Every flow starts before any answer has come back: all are under way at once.
    for (Board& b : boards) b.flow = Flow(b, loop);
    for (const Board& b : boards) ASSERT_FALSE(b.flow.done()) << b.serial;
    loop.run_until(
        [&] { return std::all_of(boards.begin(), boards.end(), [](const Board& b) { return b.flow.done(); }); },
        from_ms(60000));
    for (Board& b : boards) ASSERT_TRUE(b.flow.done()) << b.serial;
    // Sessions go before their devices, devices before the controller.
    for (Board& b : boards) b.session.reset();
    for (Board& b : boards) b.device.reset();
  }
  bool Saw(const Board& b, const std::string& line) const {
    return std::find(b.view.history.begin(), b.view.history.end(), line) != b.view.history.end();
  }
  // The flash a completed upload of an image below the final block leaves.
  std::vector<std::uint8_t> Oracle(const Board& b) const {
    const TBootInfo& info = b.sim->model().config().info;
    const test::Layout plan = test::PlanFor(info, b.image.ImageEnd());
    return ExpectedFlash(b.before, info, b.image.bytes, plan.write_length, plan.erase_blocks * info.EraseBlockSize);
  }

  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  std::vector<Board> boards;
};

// Four boards at once: one unplugged in the middle of its write, one that
// never answers. The other two complete as if alone, and each failure is
// told in its own board's lines, by its own board's name.
TEST_F(SideBySide, FourBoardsOneUnpluggedOneSilent) {
  boards.resize(4);
  boards[0].preset = "pic18", boards[0].serial = "A", boards[0].image_length = 0x1234;
  boards[1].preset = "pic16", boards[1].serial = "B", boards[1].image_length = 0x0900;
  boards[2].preset = "pic18j", boards[2].serial = "C", boards[2].image_length = 0x2000;
  boards[2].fault = {sim::FaultKind::Unplug, 12};  // the 7th data block of its write
  boards[3].preset = "pic18", boards[3].serial = "D", boards[3].image_length = 0x400;
  boards[3].fault = {sim::FaultKind::Silent, 0};
  Run();

  for (const int i : {0, 1}) {
    Board& b = boards[i];
    SCOPED_TRACE(b.serial);
    EXPECT_EQ(b.flow.result(), UploadOutcome::Completed);
    EXPECT_TRUE(b.sim->model().reset_seen());
    EXPECT_TRUE(b.sim->model().refused().empty());
    EXPECT_EQ(b.sim->model().flash(), Oracle(b));
    EXPECT_TRUE(Saw(b, "Completed successfully."));
    // Finished, then gone: the reset takes the board off the bus.
    EXPECT_EQ(b.view.phases, (std::vector<SessionPhase>{SessionPhase::ReadingBootInfo, SessionPhase::Ready,
                                                        SessionPhase::Connecting, SessionPhase::Connected,
                                                        SessionPhase::Uploading, SessionPhase::Finished,
                                                        SessionPhase::Gone}));
    for (const std::string& line : b.view.history) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
  }
  // The two uploads overlapped: each had started writing before the other ended.
  EXPECT_LT(boards[0].first_write, boards[1].ended);
  EXPECT_LT(boards[1].first_write, boards[0].ended);

  Board& unplugged = boards[2];
  EXPECT_EQ(unplugged.flow.result(), UploadOutcome::Failed);
  EXPECT_TRUE(Saw(unplugged, "Error: Device PIC18F46J50 (Serial=C) removed."));
  EXPECT_EQ(unplugged.view.phases.back(), SessionPhase::Gone);

  Board& silent = boards[3];
  EXPECT_EQ(silent.flow.result(), UploadOutcome::Failed);
  EXPECT_TRUE(Saw(silent, "USB HID device is not in bootloader mode."));
  EXPECT_EQ(silent.view.phases.back(), SessionPhase::Failed);
  EXPECT_EQ(backend.WriteCount(silent.sim->id()), 1);  // the boot-info request alone

  // Nobody else's failure reached a board that completed.
  for (const int i : {0, 1}) {
    for (const std::string& line : boards[i].view.history) {
      EXPECT_EQ(line.find("Serial=C"), std::string::npos) << line;
      EXPECT_EQ(line.find("bootloader mode"), std::string::npos) << line;
    }
  }
  // The silent board's one-second wait and the others ran side by side: the
  // whole took far less than one board after another.
  EXPECT_LT(loop.now(), boards[0].ended + from_ms(1000));
}

// The process stops (SIGSTOP, a machine paging) for two seconds, three times
// in the middle of the boards' writes, while their readers lag a few
// milliseconds behind: every deadline is long past when the loop runs again,
// and every answer had come in time. Every board completes.
TEST_F(SideBySide, StoppedProcessLosesNoBoard) {
  boards.resize(3);
  boards[0].preset = "pic18", boards[0].serial = "A", boards[0].image_length = 0x1800;
  boards[1].preset = "pic16", boards[1].serial = "B", boards[1].image_length = 0x0900;
  boards[2].preset = "pic18j", boards[2].serial = "C", boards[2].image_length = 0x2000;
  for (Board& b : boards) b.input_delay = from_ms(3);
  for (const int at_ms : {200, 330, 520}) loop.schedule_at(from_ms(at_ms), [this] { loop.Hold(from_ms(2000)); });
  Run();
  for (Board& b : boards) {
    SCOPED_TRACE(b.serial);
    EXPECT_EQ(b.flow.result(), UploadOutcome::Completed);
    EXPECT_EQ(b.sim->model().flash(), Oracle(b));
    for (const std::string& line : b.view.history) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
  }
}

// One board stops taking reports in the middle of its write; another takes
// 600 ms over one report. Neither holds up the healthy board beside them:
// the slow one completes (its answer is awaited from the moment its packet
// went out), the stalled one fails alone with its own line.
TEST_F(SideBySide, ABoardThatStopsTakingReportsFailsAlone) {
  boards.resize(3);
  boards[0].preset = "pic18", boards[0].serial = "A", boards[0].image_length = 0x1800;
  boards[1].preset = "pic18", boards[1].serial = "B", boards[1].image_length = 0x1800;
  boards[2].preset = "pic18", boards[2].serial = "C", boards[2].image_length = 0x1800;
  const auto set_delay = [this](int board, Micros delay) {
    backend.Update(boards[board].sim->id(), [delay](VirtualHidSpec& spec) { spec.write_delay = delay; });
  };
  loop.schedule_at(from_ms(300), [&] { set_delay(1, from_ms(600)); });
  loop.schedule_at(from_ms(305), [&] { set_delay(1, 0); });
  boards[2].fault = {sim::FaultKind::Deaf, 40};  // deaf from a data block of its write on
  Run();

  EXPECT_EQ(boards[0].flow.result(), UploadOutcome::Completed);
  EXPECT_EQ(boards[0].sim->model().flash(), Oracle(boards[0]));
  EXPECT_EQ(boards[1].flow.result(), UploadOutcome::Completed);
  EXPECT_EQ(boards[1].sim->model().flash(), Oracle(boards[1]));
  EXPECT_GT(boards[1].ended, boards[0].ended + from_ms(500)) << "the slow report did cost its board the time";

  Board& stalled = boards[2];
  EXPECT_EQ(stalled.flow.result(), UploadOutcome::Failed);
  EXPECT_EQ(stalled.failure, SessionFailure::WriteStalled);
  EXPECT_TRUE(Saw(stalled, "Error: Device PIC18F4550 (Serial=C) stopped taking reports.")) << stalled.view.history.back();
  EXPECT_FALSE(Saw(stalled, "Error: Timeout waiting for MCU."));
  // Failed within the write time limit of its last report, not later.
  EXPECT_TRUE(stalled.sim->model().deaf());
  // Failed when its last packet had not been taken within the limit.
  EXPECT_GE(stalled.ended - stalled.last_sent, kHidWriteTimeLimit);
  EXPECT_LE(stalled.ended - stalled.last_sent, kHidWriteTimeLimit + from_ms(10));
  for (const int i : {0, 1}) {
    for (const std::string& line : boards[i].view.history) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
  }
}

// A session's step that is still waiting when the session goes is cancelled
// with it: its time-out never fires into freed memory, and nothing more is sent.
TEST_F(SideBySide, DestroyingAWaitingSessionCancelsItsWait) {
  boards.resize(1);
  boards[0].preset = "pic18", boards[0].serial = "A", boards[0].image_length = 0x100;
  boards[0].fault = {sim::FaultKind::Silent, 0};
  sim::Config config = *sim::Preset("pic18");
  config.fault = boards[0].fault;
  VirtualHidSpec spec;
  spec.serial = "A";
  VirtualSimBootloader boot(backend, loop, config, spec);
  TJvHidDeviceController ctl(loop, backend);
  loop.run_until([&] { return ctl.Count() == 1; }, from_ms(1000));
  auto device = ctl.ClaimByIndex(0);
  ASSERT_TRUE(device);
  BoardView view;
  auto session = std::make_unique<Session>(loop, *device, view, false);
  ASSERT_TRUE(session->Attach());
  Task<bool> step = session->ReadBootInfo();
  loop.run_until([] { return false; }, from_ms(200));
  ASSERT_FALSE(step.done());
  step = Task<bool>();  // the waiting step goes, and its wait with it
  session.reset();
  loop.run_until([] { return false; }, from_ms(3000));
  EXPECT_TRUE(view.history.empty());
  EXPECT_EQ(backend.WriteCount(boot.id()), 1);
}

}  // namespace
}  // namespace ql
