// The device link on the virtual backend with simulated bootloaders, in
// virtual time: recognising the bootloader, its boot info, connect and
// disconnect, removals, and the waits that other events run inside.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/form/list_items.h"
#include "core/virtual_event_loop.h"
#include "session/device_link.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"
#include "tests/support/expected_flash.h"
#include "tests/support/recording_link_view.h"
#include "tests/upload/upload_test_support.h"

namespace ql {
namespace {

using Lines = std::vector<std::string>;

using RecordingView = test::RecordingLinkView;

sim::Config Pic18(sim::FaultKind fault = sim::FaultKind::None, int step = 0) {
  sim::Config config = *sim::Preset("pic18");
  config.fault = {fault, step};
  return config;
}

// Counts the commands with `code` a simulated device has received.
int Count(VirtualSimBootloader& d, std::uint8_t code) {
  const auto& c = d.model().commands();
  return static_cast<int>(
      std::count_if(c.begin(), c.end(), [code](const auto& r) { return r.code == code; }));
}

class DeviceLinkTest : public ::testing::Test {
 protected:
  void Start() {
    link = std::make_unique<DeviceLink>(loop, backend, exchange, view);
    Settle();
  }
  // Lets everything that is due run, with time enough for any wait to end.
  void Settle(std::int64_t ms = 2000) { loop.advance(from_ms(ms)); }
  std::unique_ptr<VirtualSimBootloader> Bootloader(sim::Config config = Pic18(),
                                                   VirtualHidSpec spec = {}) {
    return std::make_unique<VirtualSimBootloader>(backend, loop, std::move(config),
                                                  std::move(spec));
  }
  Lines TakeHistory() { return std::exchange(view.history, {}); }

  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  Exchange exchange{loop};
  RecordingView view;
  std::unique_ptr<DeviceLink> link;
};

TEST_F(DeviceLinkTest, AttachedBootloaderIsAskedForItsBootInfoAtStartWithoutALine) {
  auto boot = Bootloader(*sim::Preset("pic18j"));
  Start();
  ASSERT_NE(link->CurrentDevice(), nullptr);
  EXPECT_EQ(exchange.CurrentDevice, link->CurrentDevice());
  EXPECT_EQ(Count(*boot, CMD_BOOT_INFO), 1);
  EXPECT_EQ(view.mcu, "<P align=\"center\">PIC18</P>");
  EXPECT_EQ(view.device, "<P align=\"center\">PIC18F46J50</P>");
  EXPECT_EQ(view.picture, 1);
  EXPECT_TRUE(view.history.empty());
  EXPECT_EQ(exchange.TransferBuffer.size(), 1024u);  // EraseBlockSize of this device
}

TEST_F(DeviceLinkTest, UnknownFamilyAndEmptyNameLeaveTheirBoxEmpty) {
  sim::Config odd = Pic18();
  odd.info.McuType = 3;
  auto boot = Bootloader(odd);
  Start();
  EXPECT_EQ(view.mcu, "");
  EXPECT_EQ(view.device, "<P align=\"center\">PIC18F4550</P>");
  EXPECT_EQ(view.picture, 1);
  EXPECT_EQ(McuItem(1), "<P align=\"center\">PIC16</P>");
  EXPECT_EQ(DeviceItem(""), "");
}

TEST_F(DeviceLinkTest, OfTwoBootloadersTheFirstIsSelectedAndASilentOneIsNotPassedOver) {
  auto first = Bootloader(Pic18(sim::FaultKind::Silent));
  auto second = Bootloader();
  Start();
  EXPECT_EQ(TakeHistory(), (Lines{"USB HID device is not in bootloader mode.", "Reset device."}));
  EXPECT_EQ(link->CurrentDevice(), nullptr);
  EXPECT_EQ(exchange.CurrentDevice, nullptr);
  EXPECT_TRUE(second->received().empty());
  EXPECT_EQ(view.picture, 0);
}

TEST_F(DeviceLinkTest, ProductStringMustMatchInLetterCaseToo) {
  VirtualHidSpec shouting;
  shouting.product = "USB HID BOOTLOADER";
  auto boot = Bootloader(Pic18(), shouting);
  Start();
  EXPECT_EQ(link->CurrentDevice(), nullptr);
  EXPECT_TRUE(boot->received().empty());
  EXPECT_TRUE(view.history.empty());
  EXPECT_EQ(link->HidDeviceList().size(), 1u);
  EXPECT_EQ(link->HidDeviceList()[0].text, "USB HID BOOTLOADER");
}

// Reports too short for 64 data bytes would cut every packet: the device is
// refused with a line and never sent anything, neither at selection nor on
// Connect.
TEST_F(DeviceLinkTest, BootloaderWithShortOutputReportsIsRefusedWithALine) {
  VirtualHidSpec narrow;
  narrow.output_length = 33;
  auto boot = Bootloader(Pic18(), narrow);
  Start();
  EXPECT_EQ(TakeHistory(),
            (Lines{"Error: Device declares output reports of 33 bytes; the protocol needs 64 data bytes per report."}));
  EXPECT_EQ(link->CurrentDevice(), nullptr);
  EXPECT_EQ(exchange.CurrentDevice, nullptr);
  EXPECT_EQ(view.picture, 0);
  link->ButtonConnectClick();
  Settle();
  EXPECT_FALSE(link->Connected);
  EXPECT_TRUE(boot->received().empty());
}

TEST_F(DeviceLinkTest, ListTextOfADeviceWithoutProductString) {
  VirtualHidSpec plain;
  plain.product = std::nullopt;
  plain.vid = 0x0abc;
  plain.pid = 0x0001;
  backend.Plug(plain);
  VirtualHidSpec with_serial = plain;
  with_serial.serial = "A1B2";
  backend.Plug(with_serial);
  Start();
  ASSERT_EQ(link->HidDeviceList().size(), 2u);
  EXPECT_EQ(link->HidDeviceList()[0].text, "Device VID=0ABC PID=0001");
  EXPECT_EQ(link->HidDeviceList()[1].text, "Device VID=0ABC PID=0001 (Serial=A1B2)");
}

TEST_F(DeviceLinkTest, RemovingAnotherDeviceShowsNothingButAsksTheBootloaderAgain) {
  auto boot = Bootloader();
  VirtualHidSpec mouse;
  mouse.product = "Optical Mouse";
  const auto other = backend.Plug(mouse);
  Start();
  const TJvHidDevice* before = link->CurrentDevice();
  EXPECT_EQ(Count(*boot, CMD_BOOT_INFO), 1);
  backend.Unplug(other);
  Settle();
  EXPECT_TRUE(view.history.empty());
  EXPECT_EQ(Count(*boot, CMD_BOOT_INFO), 2);
  ASSERT_NE(link->CurrentDevice(), nullptr);
  EXPECT_NE(link->CurrentDevice(), before);  // a fresh object for the same interface
  EXPECT_EQ(view.picture, 1);
}

TEST_F(DeviceLinkTest, ConnectThenDisconnectAndTheRestartPassesSilently) {
  auto boot = Bootloader();
  Start();
  link->ButtonConnectClick();
  EXPECT_TRUE(link->Connected);
  EXPECT_EQ(view.caption, "Disconnect");
  EXPECT_TRUE(view.start_enabled);
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Connected."}));
  EXPECT_EQ(view.terminal_clears, 1);

  link->ButtonConnectClick();  // disconnect: the reset restarts the device
  EXPECT_FALSE(link->Connected);
  EXPECT_EQ(view.caption, "Connect");
  EXPECT_EQ(view.terminal_clears, 2);
  EXPECT_EQ(TakeHistory(), (Lines{"Disconnected."}));
  EXPECT_FALSE(link->WarnOnRemoval);
  Settle();
  EXPECT_FALSE(boot->attached());
  EXPECT_TRUE(view.history.empty());  // the restart's removal writes nothing
  EXPECT_TRUE(link->WarnOnRemoval);
  EXPECT_EQ(view.picture, 0);
  EXPECT_EQ(view.device, "");

  // A later removal while not connected warns.
  auto again = Bootloader();
  Settle();
  again->Unplug();
  Settle();
  EXPECT_EQ(TakeHistory(), (Lines{"Reset device to reenter bootloader mode."}));
}

TEST_F(DeviceLinkTest, RemovalWhileConnected) {
  auto boot = Bootloader();
  Start();
  link->ButtonConnectClick();
  TakeHistory();
  const int clears = view.terminal_clears;
  boot->Unplug();
  Settle();
  EXPECT_EQ(TakeHistory(), (Lines{"Device PIC18F4550 removed.", "Disconnected."}));
  EXPECT_FALSE(link->Connected);
  EXPECT_EQ(view.caption, "Connect");
  EXPECT_EQ(view.terminal_clears, clears + 1);
  EXPECT_EQ(view.mcu, "");
  EXPECT_EQ(view.device, "");
  EXPECT_EQ(view.picture, 0);
  EXPECT_EQ(link->CurrentDevice(), nullptr);
  EXPECT_EQ(link->RemovedDeviceName(), "PIC18F4550");
}

// Another board with the bootloader's name leaving (reset by a second
// program, or unplugged) is not this session's removal: the first is
// selected by the product string, the second by a caller's choice (--path).
TEST_F(DeviceLinkTest, RemovalOfAnotherBootloaderLeavesTheSelectedOneAlone) {
  auto first = Bootloader();
  auto second = Bootloader(*sim::Preset("pic16"));
  Start();
  ASSERT_EQ(link->CurrentDevice()->PnPInfo().DevicePath(), backend.Path(first->id()));
  link->ButtonConnectClick();
  ASSERT_TRUE(link->Connected);
  TakeHistory();
  second->Unplug();
  Settle();
  EXPECT_TRUE(view.history.empty());
  EXPECT_TRUE(link->Connected);
  EXPECT_EQ(view.picture, 1);
  EXPECT_EQ(view.device, "<P align=\"center\">PIC18F4550</P>");
  ASSERT_NE(link->CurrentDevice(), nullptr);
  EXPECT_EQ(link->CurrentDevice()->PnPInfo().DevicePath(), backend.Path(first->id()));

  // The same inside a running wait: the handshake goes on.
  auto third = Bootloader(*sim::Preset("pic16"));
  link.reset();
  const std::string wanted = backend.Path(third->id());
  link = std::make_unique<DeviceLink>(loop, backend, exchange, view);
  link->Matches = [&](TJvHidDevice& d, std::string_view) {
    return d.PnPInfo().DevicePath() == wanted;
  };
  Settle();
  ASSERT_NE(link->CurrentDevice(), nullptr);
  TakeHistory();
  loop.schedule_after(Micros{100}, [&] { first->Unplug(); });
  link->ButtonConnectClick();
  EXPECT_TRUE(link->Connected);
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Connected."}));
  EXPECT_EQ(Count(*third, CMD_HANDSHAKE_2), 1);
}

TEST_F(DeviceLinkTest, HandshakeAnsweredOnlyHalf) {
  // Steps: 1 boot info, 2 first handshake, 3 second handshake (unanswered).
  auto boot = Bootloader(Pic18(sim::FaultKind::NoAnswer, 3));
  Start();
  const Micros start = loop.now();
  link->ButtonConnectClick();
  EXPECT_EQ(TakeHistory(),
            (Lines{"Waiting MCU response...", "Error: Timeout waiting for MCU.", "Disconnected."}));
  EXPECT_FALSE(link->Connected);
  EXPECT_EQ(view.caption, "Connect");
  EXPECT_TRUE(view.start_enabled);
  EXPECT_GE(loop.now() - start, from_ms(500));
  EXPECT_LT(loop.now() - start, from_ms(600));  // only the second step timed out
}

TEST_F(DeviceLinkTest, BootloaderRefusingReadAndWriteIsSelectedButConnectTimesOut) {
  VirtualHidSpec locked;
  locked.refuse_read_write = true;
  auto boot = Bootloader(Pic18(), locked);
  Start();
  ASSERT_NE(link->CurrentDevice(), nullptr);
  EXPECT_FALSE(link->CurrentDevice()->CanReadWrite());
  EXPECT_FALSE(link->CurrentDevice()->HasReader());
  EXPECT_TRUE(view.history.empty());
  EXPECT_EQ(view.picture, 0);
  link->ButtonConnectClick();
  EXPECT_EQ(TakeHistory(),
            (Lines{"Waiting MCU response...", "Error: Timeout waiting for MCU.", "Disconnected."}));
  EXPECT_TRUE(boot->received().empty());
}

// udev opens the node to the user after the window first saw it (udevadm
// trigger with the window open, or a board plugged in while it starts): its
// announcement re-runs the selection, and the bootloader answers.
TEST_F(DeviceLinkTest, AccessGrantedLaterIsPickedUpWhenUdevAnnouncesTheNode) {
  VirtualHidSpec locked;
  locked.refuse_read_write = true;
  locked.settling = true;
  auto boot = Bootloader(Pic18(), locked);
  Start();
  ASSERT_NE(link->CurrentDevice(), nullptr);
  EXPECT_EQ(view.picture, 0);
  backend.Update(boot->id(), [](VirtualHidSpec& s) { s.refuse_read_write = false; });
  backend.Announce(boot->id(), "add");
  Settle();
  EXPECT_EQ(view.picture, 1);
  EXPECT_EQ(Count(*boot, CMD_BOOT_INFO), 1);
  ASSERT_NE(link->CurrentDevice(), nullptr);
  EXPECT_TRUE(link->CurrentDevice()->HasReader());
  link->ButtonConnectClick();
  EXPECT_TRUE(link->Connected);
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Connected."}));
}

TEST_F(DeviceLinkTest, ConnectWithoutBootloader) {
  Start();
  link->ButtonConnectClick();
  EXPECT_EQ(TakeHistory(), (Lines{"Unable to find device: USB HID Bootloader."}));
  EXPECT_EQ(view.caption, "Connect");
}

TEST_F(DeviceLinkTest, RemovalDuringTheHandshakeEndsTheWaitAtOnce) {
  auto boot = Bootloader(Pic18(sim::FaultKind::NoAnswer, 2));
  Start();
  const Micros start = loop.now();
  loop.schedule_after(from_ms(50), [&] { boot->Unplug(); });
  link->ButtonConnectClick();
  EXPECT_LT(loop.now() - start, from_ms(100));
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Reset device to reenter bootloader mode.",
                                  "Error: Device PIC18F4550 removed.", "Disconnected."}));
}

TEST_F(DeviceLinkTest, RebuildWaitsUntilTheRunningWaitHasEnded) {
  auto boot = Bootloader();
  Start();
  // A keyboard arrives while the first handshake step waits for its answer.
  VirtualHidSpec keyboard;
  keyboard.product = "Keyboard";
  loop.schedule_after(Micros{500}, [&] { backend.Plug(keyboard); });
  link->ButtonConnectClick();
  EXPECT_TRUE(link->Connected);
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Connected."}));
  std::vector<std::uint8_t> codes;
  for (const auto& c : boot->model().commands()) codes.push_back(c.code);
  // The handshake ran undisturbed; the rebuild's boot-info request came after it.
  EXPECT_EQ(codes, (std::vector<std::uint8_t>{CMD_BOOT_INFO, CMD_HANDSHAKE_1, CMD_HANDSHAKE_2}));
  Settle();
  codes.clear();
  for (const auto& c : boot->model().commands()) codes.push_back(c.code);
  EXPECT_EQ(codes, (std::vector<std::uint8_t>{CMD_BOOT_INFO, CMD_HANDSHAKE_1, CMD_HANDSHAKE_2,
                                              CMD_BOOT_INFO}));
  EXPECT_EQ(link->HidDeviceList().size(), 2u);
  EXPECT_TRUE(link->Connected);
}

TEST_F(DeviceLinkTest, ClickOnWaitingCancelsTheConnectAttempt) {
  auto boot = Bootloader(Pic18(sim::FaultKind::NoAnswer, 2));
  Start();
  const Micros start = loop.now();
  loop.schedule_after(from_ms(100), [&] {
    EXPECT_EQ(view.caption, "Waiting... Disconnect");
    EXPECT_FALSE(view.start_enabled);
    link->ButtonConnectClick();
  });
  link->ButtonConnectClick();
  EXPECT_LT(loop.now() - start, from_ms(200));
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Disconnected."}));
  EXPECT_EQ(view.caption, "Connect");
  EXPECT_TRUE(view.start_enabled);
  EXPECT_FALSE(link->Connected);
  EXPECT_EQ(Count(*boot, CMD_HANDSHAKE_1), 1);  // no second attempt inside the first
  // The next click connects again normally (the fault was on one step only).
  link->ButtonConnectClick();
  EXPECT_TRUE(link->Connected);
}

TEST_F(DeviceLinkTest, DestroyingTheLinkEndsEveryReader) {
  auto boot = Bootloader();
  Start();
  EXPECT_EQ(backend.ReaderCount(boot->id()), 1);
  link.reset();
  EXPECT_EQ(backend.ReaderCount(boot->id()), 0);
  EXPECT_EQ(exchange.CurrentDevice, nullptr);
}

}  // namespace
}  // namespace ql

namespace ql {
namespace {

// The window's way of waiting (events processed nested in each wait) on a
// loop that is held for two seconds, three times, in the middle of the write
// (the process stopped, then continued), while the reader lags a few
// milliseconds behind the device: the upload completes as if nothing had
// happened, and its flash is what the upload must leave.
TEST_F(DeviceLinkTest, UploadWithTheProcessStoppedMidWriteCompletes) {
  VirtualHidSpec spec;
  spec.input_delay = from_ms(3);
  auto boot = Bootloader(Pic18(), spec);
  Start();
  link->ButtonConnectClick();
  ASSERT_TRUE(link->Connected);
  const std::vector<std::uint8_t> before = boot->model().flash();
  const FlashImage image = test::PatternImage(0x1800);
  const Micros start = loop.now();
  for (const int at_ms : {100, 250, 400}) {
    loop.schedule_at(start + from_ms(at_ms), [this] { loop.Hold(from_ms(2000)); });
  }
  EXPECT_EQ(link->Upload(image), UploadOutcome::Completed);
  EXPECT_GT(loop.now(), start + from_ms(6000)) << "the holds came during the upload";
  const TBootInfo& info = boot->model().config().info;
  const test::Layout plan = test::PlanFor(info, image.ImageEnd());
  EXPECT_EQ(boot->model().flash(), test::ExpectedFlash(before, info, image.bytes, plan.write_length,
                                                       plan.erase_blocks * info.EraseBlockSize));
  for (const std::string& line : view.history) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
}

}  // namespace
}  // namespace ql

namespace ql {
namespace {

// Where waits cannot block (the browser), the link's steps park and the
// loop finishes them: the boot info at start, a connect, and an upload whose
// flash is what the blocking way leaves, with the same lines.
TEST_F(DeviceLinkTest, WithSuspendingWaitsEveryStepParksAndEndsOnTheLoop) {
  exchange.SetBlockingWaits(false);
  auto boot = Bootloader();
  Start();
  EXPECT_EQ(view.picture, 1);
  EXPECT_EQ(link->StepsRunning(), 0u);

  link->ButtonConnectClick();
  EXPECT_FALSE(link->Connected) << "the handshake is still on its way";
  EXPECT_EQ(link->StepsRunning(), 1u);
  EXPECT_EQ(view.caption, "Waiting... Disconnect");
  Settle();
  EXPECT_TRUE(link->Connected);
  EXPECT_EQ(link->StepsRunning(), 0u);
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Connected."}));

  const std::vector<std::uint8_t> before = boot->model().flash();
  const FlashImage image = test::PatternImage(0x1000);
  Task<UploadOutcome> upload = link->UploadSteps(image);
  EXPECT_FALSE(upload.done());
  while (!upload.done()) loop.advance(from_ms(100));
  EXPECT_EQ(upload.result(), UploadOutcome::Completed);
  const TBootInfo& info = boot->model().config().info;
  const test::Layout plan = test::PlanFor(info, image.ImageEnd());
  EXPECT_EQ(boot->model().flash(), test::ExpectedFlash(before, info, image.bytes, plan.write_length,
                                                       plan.erase_blocks * info.EraseBlockSize));
  EXPECT_NE(std::find(view.history.begin(), view.history.end(), "Completed successfully."), view.history.end());
  for (const std::string& line : view.history) EXPECT_EQ(line.find("Error"), std::string::npos) << line;
}

// A connect clicked while the start's boot-info request is parked waits for
// it, instead of sending its handshake into that request.
TEST_F(DeviceLinkTest, WithSuspendingWaitsAConnectDuringTheBootInfoRequestWaitsForIt) {
  exchange.SetBlockingWaits(false);
  auto boot = Bootloader();
  link = std::make_unique<DeviceLink>(loop, backend, exchange, view);
  while (Count(*boot, CMD_BOOT_INFO) == 0) loop.advance(from_ms(1));
  ASSERT_EQ(view.picture, 0) << "the boot info has not come back yet";
  link->ButtonConnectClick();
  Settle();
  EXPECT_EQ(view.picture, 1);
  EXPECT_TRUE(link->Connected);
  EXPECT_EQ(TakeHistory(), (Lines{"Waiting MCU response...", "Connected."}));
}

}  // namespace
}  // namespace ql
