// A stop request at every wait of an upload: the device is left in step (the
// next handshake and boot-info request on the same device succeed), nothing
// but the image's own bytes or the erased value reaches its flash, and the
// stop takes no longer than the device needs to close its open command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upload_test_support.h"

namespace ql::test {
namespace {

// Packets of the 0x1234-byte PIC18 upload: 0 main erase, 1 CMD_WRITE, 2..74
// data blocks, 75 final erase, 76 its CMD_WRITE, 77 the final block, 78 reset.
// The large pic18j image goes out as two write commands: 0 main erase,
// 1 CMD_WRITE, 2..32 its 31 blocks, 33 CMD_WRITE, 34..61 its 28 blocks, 62
// final erase, 63 CMD_WRITE, 64 final block, 65 reset.
struct StopPoint {
  const char* name;
  const char* preset;
  std::size_t length;
  int packet;      // the stop comes while the answer to this packet is due
  int sent;        // packets sent in all once the stop has closed the open command
  const char* line;  // what the history says the stop is doing
  friend void PrintTo(const StopPoint& p, std::ostream* os) { *os << p.name; }
};
const StopPoint kStops[] = {
    {"MainErase", "pic18", 0x1234, 0, 1, "Stopping: waiting for the device to finish the erase."},
    {"FirstBlock", "pic18", 0x1234, 2, 75,
     "Stopping: finishing the write command the device is in (72 more data blocks)."},
    {"ThirdBlock", "pic18", 0x1234, 4, 75,
     "Stopping: finishing the write command the device is in (70 more data blocks)."},
    {"LastButOneBlock", "pic18", 0x1234, 73, 75,
     "Stopping: finishing the write command the device is in (1 more data block)."},
    {"LastBlock", "pic18", 0x1234, 74, 75, "Stopping: waiting for the device to take the data block."},
    {"FinalErase", "pic18", 0x1234, 75, 76, "Stopping: waiting for the device to finish the erase."},
    {"FinalBlock", "pic18", 0x1234, 77, 78, "Stopping: waiting for the device to take the data block."},
    {"FirstOfTwoWriteCommands", "pic18j", 0x11000, 10, 33,
     "Stopping: finishing the write command the device is in (22 more data blocks)."},
    {"LastOfTwoWriteCommands", "pic18j", 0x11000, 40, 62,
     "Stopping: finishing the write command the device is in (21 more data blocks)."},
};

// When the stop request comes: right after the packet went out, or in the
// same turn as the device's answer to it.
enum class When { AtSend, WithAnswer };

class UploadStop : public testing::TestWithParam<std::tuple<StopPoint, When>> {};

TEST_P(UploadStop, LeavesTheBootloaderInStepAndOnlyImageBytesInFlash) {
  // Not a structured binding: the lambdas below capture both, which clang 14
  // (the browser build's compiler) does not allow for bindings.
  const StopPoint point = std::get<0>(GetParam());
  const When when = std::get<1>(GetParam());
  const FlashImage image = PatternImage(point.length);

  // The same upload carried through, for the bytes it programs.
  Rig done(Device(point.preset));
  ASSERT_EQ(done.Run(image), UploadOutcome::Completed);

  Rig r(Device(point.preset));
  const auto on_input = r.dev.on_input;
  bool stop_at_answer = false;
  r.on_packet = [&](std::size_t count) {
    if (count != static_cast<std::size_t>(point.packet) + 1) return;
    if (when == When::AtSend) r.loop.post([&] { r.ex.CancelWaits(); });
    else stop_at_answer = true;
  };
  r.dev.on_input = [&](std::span<const std::uint8_t> data) {
    on_input(data);
    if (std::exchange(stop_at_answer, false)) r.ex.CancelWaits();
  };
  ASSERT_EQ(r.Run(image), UploadOutcome::Stopped);

  // The open command is closed with exactly the packets the upload had
  // planned, and then nothing: no further command and no reset.
  ASSERT_EQ(r.packets.size(), static_cast<std::size_t>(point.sent));
  for (std::size_t i = 0; i < r.packets.size(); ++i) ASSERT_EQ(r.packets[i], done.packets[i]) << "packet " << i;
  EXPECT_FALSE(r.dev.reset_seen());
  EXPECT_EQ(r.ex.CurrentDevice, &r.dev);
  EXPECT_EQ(r.ui.history, (std::vector<std::string>{point.line}));
  EXPECT_EQ(r.ui.finish_calls, 0) << "the caller ends a stopped upload with its own texts";

  // Nothing but the planned bytes or the erased value anywhere.
  EXPECT_TRUE(r.dev.refused().empty());
  EXPECT_TRUE(r.dev.model().BootAreaIntact());
  for (std::uint32_t a = 0; a < r.info.BootStart; ++a) {
    const std::uint8_t b = r.dev.flash()[a];
    ASSERT_TRUE(b == done.dev.flash()[a] || b == r.dev.model().ErasedByte(a)) << "address " << a;
  }

  // In step: the next connect and boot-info request on this device succeed.
  const std::size_t steps = r.dev.commands().size();
  r.ex.SendPlainCommand(CMD_HANDSHAKE_1);
  EXPECT_EQ(r.ex.WaitForResponse(CMD_HANDSHAKE_1, 500), WaitResult::WaitOk);
  r.ex.SendPlainCommand(CMD_HANDSHAKE_2);
  EXPECT_EQ(r.ex.WaitForResponse(CMD_HANDSHAKE_2, 500), WaitResult::WaitOk);
  r.ex.BootInfo = {};
  r.ex.SendPlainCommand(CMD_BOOT_INFO);
  ASSERT_EQ(r.ex.WaitForResponse(CMD_BOOT_INFO, 1000), WaitResult::WaitOk);
  EXPECT_EQ(r.ex.BootInfo, r.info);
  EXPECT_EQ(r.dev.commands().size(), steps + 3) << "taken as commands, not as data";
  EXPECT_EQ(r.dev.model().ignored_reports(), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryWait, UploadStop,
                         testing::Combine(testing::ValuesIn(kStops), testing::Values(When::AtSend, When::WithAnswer)),
                         [](const testing::TestParamInfo<std::tuple<StopPoint, When>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == When::AtSend ? "AtSend" : "WithAnswer");
                         });

// The stop waits for the device, but never past the time-outs: a device that
// stops answering while the stop closes its command ends it after that
// block's 500 ms, with a line saying to reset the board.
TEST(UploadStopFails, ADeviceThatStopsAnsweringEndsTheStopWithinItsTimeOut) {
  for (const auto fault : {sim::FaultKind::NoAnswer, sim::FaultKind::Unplug}) {
    SCOPED_TRACE(static_cast<int>(fault));
    sim::Config device = Device("pic18");
    device.fault = {fault, 12};  // steps: erase 1, write 2, blocks from 3: the tenth block
    Rig r(device);
    r.on_packet = [&](std::size_t count) {
      if (count == 5) r.loop.post([&] { r.ex.CancelWaits(); });
    };
    ASSERT_EQ(r.Run(PatternImage(0x1234)), UploadOutcome::Stopped);
    ASSERT_EQ(r.packets.size(), 12u) << "nothing after the block that went unanswered";
    const std::string error =
        fault == sim::FaultKind::Unplug ? "Error: Device PIC18F4550 removed." : "Error: Timeout waiting for MCU.";
    EXPECT_EQ(r.ui.history,
              (std::vector<std::string>{
                  "Stopping: finishing the write command the device is in (70 more data blocks).", error,
                  "Error: The stopped command did not finish; reset the board before connecting again."}));
    if (fault == sim::FaultKind::NoAnswer) {
      EXPECT_EQ(r.loop.now() - r.sent_at.back(), from_ms(500));
    }
    EXPECT_FALSE(r.dev.reset_seen());
    EXPECT_EQ(r.ui.finish_calls, 0);
  }
}

// A stop request that comes while no wait runs (here: while the
// bootloader-area question is open, answered OK) holds for the rest of the
// upload: it ends before anything is erased or written.
TEST(UploadStopOutsideAWait, WhileTheQuestionIsOpenNothingIsSent) {
  Rig r(Device("pic18"));
  r.ui.on_question = [&] { r.ex.CancelWaits(); };
  ASSERT_EQ(r.Run(PatternImage(r.info.BootStart + 0x10)), UploadOutcome::Stopped);
  EXPECT_EQ(r.ui.questions, 1);
  EXPECT_TRUE(r.packets.empty());
  EXPECT_EQ(r.dev.flash(), r.before);
  EXPECT_EQ(r.ui.finish_calls, 0) << "the caller ends a stopped upload with its own texts";
}

// A second stop request while the first one closes the command ends the
// upload at once: no further packet, one line saying to reset the board.
TEST(UploadStopFails, ASecondStopAbandonsAtOnce) {
  const std::string abandoned = "Stop abandoned: the bootloader is out of step; reset the board before connecting again.";
  {
    Rig r(Device("pic18"));
    r.on_packet = [&](std::size_t count) {
      if (count == 5 || count == 9) r.loop.post([&] { r.ex.CancelWaits(); });
    };
    ASSERT_EQ(r.Run(PatternImage(0x1234)), UploadOutcome::Stopped);
    EXPECT_EQ(r.packets.size(), 9u);
    EXPECT_EQ(r.loop.now(), r.sent_at.back()) << "not a moment's wait for the answer";
    EXPECT_EQ(r.ui.history,
              (std::vector<std::string>{"Stopping: finishing the write command the device is in (70 more data blocks).",
                                        abandoned}));
  }
  {
    // Two requests handled in one turn (two Ctrl+C read together).
    Rig r(Device("pic18"));
    r.on_packet = [&](std::size_t count) {
      if (count == 5) r.loop.post([&] {
          r.ex.CancelWaits();
          r.ex.CancelWaits();
        });
    };
    ASSERT_EQ(r.Run(PatternImage(0x1234)), UploadOutcome::Stopped);
    EXPECT_EQ(r.packets.size(), 5u);
    EXPECT_EQ(r.ui.history, (std::vector<std::string>{abandoned}));
    EXPECT_FALSE(r.dev.reset_seen());
  }
}

}  // namespace
}  // namespace ql::test
