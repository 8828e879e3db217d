// The command line's way to the bootloader (--path, --serial, --wait and the
// exit codes for a missing, locked or silent device), on the virtual backend
// in virtual time.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli/device_select.h"
#include "core/virtual_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"

namespace ql::cli {
namespace {

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    auto owned = std::make_unique<VirtualHidBackend>(loop);
    backend = owned.get();
    pending_backend = std::move(owned);
  }
  BootloaderSession& Open(RealDeviceOptions options) {
    session = std::make_unique<BootloaderSession>(
        loop, exchange, std::move(options),
        [this](std::string_view line) { history.emplace_back(line); }, std::move(pending_backend));
    return *session;
  }
  std::unique_ptr<VirtualSimBootloader> Bootloader(const char* preset = "pic18",
                                                   VirtualHidSpec spec = {}) {
    return std::make_unique<VirtualSimBootloader>(*backend, loop, *sim::Preset(preset),
                                                  std::move(spec));
  }

  VirtualEventLoop loop;
  Exchange exchange{loop};
  VirtualHidBackend* backend = nullptr;
  std::unique_ptr<HidBackend> pending_backend;
  std::unique_ptr<BootloaderSession> session;
  std::vector<std::string> history;
  std::string message;
};

TEST_F(SessionTest, NoBootloaderWithoutWaitEndsAtOnceWithNoDevice) {
  VirtualHidSpec mouse;
  mouse.product = "Mouse";
  backend->Plug(mouse);
  auto& s = Open({});
  EXPECT_EQ(s.Find(&message), ExitCode::NoDevice);
  EXPECT_NE(message.find("USB HID Bootloader"), std::string::npos);
  EXPECT_LT(loop.now(), from_ms(1000));
}

TEST_F(SessionTest, LockedNodeGivesPermissionDeniedNamingTheUdevRule) {
  VirtualHidSpec locked;
  locked.refuse_read_write = true;
  auto boot = Bootloader("pic18", locked);
  auto& s = Open({});
  EXPECT_EQ(s.Find(&message), ExitCode::PermissionDenied);
#ifdef _WIN32
  // No permissions to mend on Windows: the system keeps such devices.
  EXPECT_NE(message.find("Windows lets no program open this device"), std::string::npos) << message;
#else
  EXPECT_NE(message.find("70-quelloader.rules"), std::string::npos);
#endif
  EXPECT_NE(message.find(backend->Path(boot->id())), std::string::npos);
  EXPECT_TRUE(boot->received().empty());  // nothing was sent to it
}

// A board plugged in as the command starts: udev has not yet run its rule,
// so the node is still root's. Its announcement is waited for, briefly.
TEST_F(SessionTest, NodeUdevIsStillSettingUpIsWaitedFor) {
  VirtualHidSpec settling;
  settling.refuse_read_write = true;
  settling.settling = true;
  auto boot = Bootloader("pic18", settling);
  loop.schedule_at(from_ms(300), [&] {
    backend->Update(boot->id(), [](VirtualHidSpec& s) { s.refuse_read_write = false; });
    backend->Announce(boot->id(), "add");
  });
  auto& s = Open({});
  EXPECT_EQ(s.Find(&message), ExitCode::Success) << message;
  EXPECT_EQ(exchange.BootInfo.BootDeviceName, "PIC18F4550");
  EXPECT_LT(loop.now(), from_ms(2000));
}

// Without the rule, udev's announcement leaves the node locked: exit 5 then,
// without waiting any longer.
TEST_F(SessionTest, NodeStillLockedWhenUdevHasFinishedIsRefusedAtOnce) {
  VirtualHidSpec settling;
  settling.refuse_read_write = true;
  settling.settling = true;
  auto boot = Bootloader("pic18", settling);
  loop.schedule_at(from_ms(300), [&] { backend->Announce(boot->id(), "add"); });
  auto& s = Open({});
  EXPECT_EQ(s.Find(&message), ExitCode::PermissionDenied);
  EXPECT_GE(loop.now(), from_ms(300));
  EXPECT_LT(loop.now(), from_ms(1000));
}

// EPERM comes from a policy above the node's permissions: the udev rule is
// no remedy for it, and the message says what it is instead.
TEST_F(SessionTest, NodeRefusedByPolicyIsNotBlamedOnTheUdevRule) {
  VirtualHidSpec sandboxed;
  sandboxed.refuse_read_write = true;
  sandboxed.open_error = EPERM;
  auto boot = Bootloader("pic18", sandboxed);
  auto& s = Open({});
  EXPECT_EQ(s.Find(&message), ExitCode::PermissionDenied);
  EXPECT_EQ(message.find("70-quelloader.rules"), std::string::npos) << message;
  EXPECT_NE(message.find("Operation not permitted"), std::string::npos) << message;
#ifdef _WIN32
  // A device another program holds is said so, with what to do.
  EXPECT_NE(AccessRemedy(EBUSY).find("Another program holds the device"), std::string::npos);
#else
  EXPECT_NE(message.find("sandbox"), std::string::npos) << message;
#endif
  EXPECT_EQ(AccessRemedy(ENOENT), "");
}

TEST_F(SessionTest, WaitCoversADeviceThatAppearsInTimeAndNoLonger) {
  std::unique_ptr<VirtualSimBootloader> boot;
  loop.schedule_at(from_ms(3000), [&] { boot = Bootloader(); });
  auto& s = Open({"", "", 5});
  EXPECT_EQ(s.Find(&message), ExitCode::Success);
  EXPECT_GE(loop.now(), from_ms(3000));
  EXPECT_LT(loop.now(), from_ms(5000));
  EXPECT_EQ(exchange.BootInfo.BootDeviceName, "PIC18F4550");
}

TEST_F(SessionTest, WaitEndsAtItsLimit) {
  std::unique_ptr<VirtualSimBootloader> boot;
  loop.schedule_at(from_ms(6000), [&] { boot = Bootloader(); });
  auto& s = Open({"", "", 5});
  EXPECT_EQ(s.Find(&message), ExitCode::NoDevice);
  EXPECT_GE(loop.now(), from_ms(5000));
  EXPECT_LT(loop.now(), from_ms(6000));
}

TEST_F(SessionTest, PathAndSerialChooseAmongTwoBootloaders) {
  VirtualHidSpec a;
  a.serial = "AAA";
  VirtualHidSpec b;
  b.serial = "BBB";
  auto first = Bootloader("pic18", a);
  auto second = Bootloader("pic16", b);
  {
    auto& s = Open({backend->Path(second->id()), "", 0});
    EXPECT_EQ(s.Find(&message), ExitCode::Success);
    EXPECT_EQ(s.Path(), backend->Path(second->id()));
    EXPECT_EQ(exchange.BootInfo.BootDeviceName, "PIC16F1459");
    EXPECT_TRUE(first->received().empty());
  }
}

TEST_F(SessionTest, SerialNumberSelects) {
  VirtualHidSpec a;
  a.serial = "AAA";
  VirtualHidSpec b;
  b.serial = "BBB";
  auto first = Bootloader("pic18", a);
  auto second = Bootloader("pic16", b);
  auto& s = Open({"", "BBB", 0});
  EXPECT_EQ(s.Find(&message), ExitCode::Success);
  EXPECT_EQ(exchange.BootInfo.BootDeviceName, "PIC16F1459");
  EXPECT_TRUE(first->received().empty());
}

// --port names the board by where it is plugged in: the same board after
// its reset, though its node has changed; another board on another port is
// never asked.
TEST_F(SessionTest, PortChoosesTheSameBoardAcrossItsReset) {
  VirtualHidSpec a;
  a.port = "1-1";
  VirtualHidSpec b;
  b.port = "1-2";
  auto first = Bootloader("pic18", a);
  auto second = Bootloader("pic16", b);
  RealDeviceOptions options;
  options.ports = {"1-2"};
  options.wait_seconds = 5;
  auto& s = Open(options);
  ASSERT_EQ(s.Find(&message), ExitCode::Success) << message;
  const std::string before = s.Path();
  EXPECT_EQ(before, backend->Path(second->id()));
  // The board resets: it leaves the bus and comes back under a new node.
  second.reset();
  loop.advance(from_ms(500));
  second = Bootloader("pic16", b);
  loop.advance(from_ms(100));
  ASSERT_EQ(s.Find(&message), ExitCode::Success) << message;
  EXPECT_NE(s.Path(), before);
  EXPECT_EQ(s.Path(), backend->Path(second->id()));
  EXPECT_EQ(exchange.BootInfo.BootDeviceName, "PIC16F1459");
  EXPECT_TRUE(first->received().empty());
}

// Two bootloaders and nothing to choose between them: refused with both
// listed (a usage error), rather than flashing whichever came first.
TEST_F(SessionTest, TwoBootloadersWithoutAChoiceAreRefused) {
  VirtualHidSpec a;
  a.port = "1-1";
  VirtualHidSpec b;
  b.port = "1-2";
  b.serial = "B2";
  auto first = Bootloader("pic18", a);
  auto second = Bootloader("pic16", b);
  auto& s = Open({});
  EXPECT_EQ(s.Find(&message), ExitCode::Usage);
  EXPECT_NE(message.find("--port"), std::string::npos) << message;
  EXPECT_NE(message.find("port 1-1  " + backend->Path(first->id())), std::string::npos) << message;
  EXPECT_NE(message.find("port 1-2  " + backend->Path(second->id()) + "  USB HID Bootloader (Serial=B2)"),
            std::string::npos)
      << message;
  EXPECT_TRUE(second->received().empty());
}

TEST_F(SessionTest, PathNamingNoDevice) {
  auto boot = Bootloader();
  auto& s = Open({"/dev/hidraw-nowhere", "", 0});
  EXPECT_EQ(s.Find(&message), ExitCode::NoDevice);
  EXPECT_NE(message.find("/dev/hidraw-nowhere"), std::string::npos);
  EXPECT_TRUE(boot->received().empty());
}

TEST_F(SessionTest, SilentBootloaderIsAFailureNotAMissingDevice) {
  auto config = *sim::Preset("pic18");
  config.fault = {sim::FaultKind::Silent, 0};
  auto silent = std::make_unique<VirtualSimBootloader>(*backend, loop, config);
  auto& s = Open({});
  EXPECT_EQ(s.Find(&message), ExitCode::Failed);
  EXPECT_EQ(history, (std::vector<std::string>{"USB HID device is not in bootloader mode.",
                                               "Reset device."}));
}

// The bootloader found is the link's selection: its handshake runs on it.
TEST_F(SessionTest, ConnectRunsTheHandshake) {
  auto boot = Bootloader();
  auto& s = Open({});
  ASSERT_EQ(s.Find(&message), ExitCode::Success);
  s.link().ButtonConnectClick();
  EXPECT_TRUE(s.link().Connected);
  EXPECT_EQ(history, (std::vector<std::string>{"Waiting MCU response...", "Connected."}));
}

}  // namespace
}  // namespace ql::cli

namespace ql::cli {
namespace {

// --wait takes its number only when attached, so a file name after it stays
// the file name.
TEST(DeviceOptions, WaitTakesOnlyAnAttachedNumber) {
  struct Parsed {
    int wait;
    std::string file;
  };
  auto parse = [](std::vector<std::string> args) {
    CLI::App app;
    RealDeviceOptions options;
    std::string file;
    AddRealDeviceOptions(app, options);
    AddWaitOption(app, options);
    app.add_option("FILE", file);
    std::reverse(args.begin(), args.end());
    app.parse(args);
    return Parsed{options.wait_seconds, file};
  };
  EXPECT_EQ(parse({"a.hex"}).wait, 0);
  const Parsed bare = parse({"--wait", "a.hex"});
  EXPECT_EQ(bare.wait, kDefaultWaitSeconds);
  EXPECT_EQ(bare.file, "a.hex");
  EXPECT_EQ(parse({"a.hex", "--wait=5"}).wait, 5);
  EXPECT_THROW(parse({"--wait=-1"}), CLI::ValidationError);
  EXPECT_THROW(parse({"--wait=3601"}), CLI::ValidationError);
}

}  // namespace
}  // namespace ql::cli
