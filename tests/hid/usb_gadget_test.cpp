// quelloader-sim as a USB device: the configfs gadget it makes (in a plain
// folder standing in for configfs) and its side of /dev/hidgN (a socket pair
// standing in for the gadget's node), in virtual time.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"
#include "simtool/uhid_descriptor.h"
#include "simtool/usb_gadget.h"

namespace ql {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class UsbGadgetTest : public ::testing::Test {
 protected:
  UsbGadgetTest() {
    root_ = fs::path(QUELLOADER_TEST_TMP) / ("usb_gadget_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "configfs" / "usb_gadget");
    fs::create_directories(root_ / "udc");
  }
  ~UsbGadgetTest() override { fs::remove_all(root_); }
  std::string configfs() const { return (root_ / "configfs").string(); }
  std::string udc() const { return (root_ / "udc").string(); }
  fs::path root_;
};

TEST_F(UsbGadgetTest, MakesTheBootloadersDeviceAndLeavesNothingBehind) {
  std::ofstream(root_ / "udc" / "dummy_udc.0").put('\n');
  std::optional<UsbGadget> gadget;
  gadget.emplace(configfs(), udc(), "quelloader-sim.1",
                 UsbGadgetIdentity{kSimVendorId, kSimProductId, "USB HID Bootloader", "", "Acme"});
  std::string error;
  ASSERT_TRUE(gadget->Create(&error)) << error;
  const fs::path g = gadget->path();
  EXPECT_EQ(Read(g / "idVendor"), "0x1209");
  EXPECT_EQ(Read(g / "idProduct"), "0x0001");
  EXPECT_EQ(Read(g / "strings/0x409/product"), "USB HID Bootloader\n");
  EXPECT_EQ(Read(g / "strings/0x409/manufacturer"), "Acme\n");
  // No serial is an empty string, still written (configfs takes no 0-byte write).
  EXPECT_EQ(Read(g / "strings/0x409/serialnumber"), "\n");
  const fs::path f = g / "functions/hid.usb0";
  EXPECT_EQ(Read(f / "report_length"), "64");
  EXPECT_EQ(Read(f / "report_desc"),
            std::string(kBootloaderReportDescriptor.begin(), kBootloaderReportDescriptor.end()));
  ASSERT_TRUE(fs::is_symlink(g / "configs/c.1/hid.usb0"));
  EXPECT_EQ(fs::read_symlink(g / "configs/c.1/hid.usb0"), f);

  ASSERT_TRUE(gadget->Bind("", &error)) << error;
  EXPECT_EQ(gadget->udc(), "dummy_udc.0");
  EXPECT_EQ(Read(g / "UDC"), "dummy_udc.0");
  gadget->Unbind();
  EXPECT_EQ(Read(g / "UDC"), "\n");  // off the bus, the gadget kept
  EXPECT_TRUE(fs::exists(f));

  gadget.reset();
  EXPECT_TRUE(fs::is_empty(root_ / "configfs" / "usb_gadget"));
}

TEST_F(UsbGadgetTest, MissingPiecesAreNamedWithTheirRemedy) {
  UsbGadget no_framework((root_ / "udc").string(), udc(), "quelloader-sim.1", {});
  std::string error;
  EXPECT_FALSE(no_framework.Create(&error));
  EXPECT_NE(error.find("configfs"), std::string::npos) << error;

  UsbGadget gadget(configfs(), udc(), "quelloader-sim.2", {kSimVendorId, kSimProductId, "x", "", ""});
  ASSERT_TRUE(gadget.Create(&error)) << error;
  EXPECT_FALSE(gadget.Bind("", &error));
  EXPECT_NE(error.find("no USB device controller"), std::string::npos) << error;
  EXPECT_NE(error.find("dummy_hcd"), std::string::npos) << error;
  EXPECT_FALSE(gadget.bound());
}

TEST_F(UsbGadgetTest, StaleGadgetsOfEndedProcessesAreRemovedOthersKept) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  waitpid(child, nullptr, 0);
  const fs::path gadgets = root_ / "configfs" / "usb_gadget";
  const std::string ended = "quelloader-sim." + std::to_string(child);
  const std::string alive = "quelloader-sim." + std::to_string(getpid());
  for (const std::string& name : {ended, alive, std::string("someone-else")}) {
    fs::create_directories(gadgets / name / "strings/0x409");
    std::ofstream(gadgets / name / "idVendor") << "0x1209";
    std::ofstream(gadgets / name / "UDC") << "\n";
  }
  UsbGadget::RemoveStale(configfs());
  EXPECT_FALSE(fs::exists(gadgets / ended));
  EXPECT_TRUE(fs::exists(gadgets / alive));
  EXPECT_TRUE(fs::exists(gadgets / "someone-else"));
}

// ---- The model behind the gadget's node -------------------------------------

class UsbGadgetBridgeTest : public ::testing::Test {
 protected:
  UsbGadgetBridgeTest() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_), 0);
  }
  ~UsbGadgetBridgeTest() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  // What the host's interrupt OUT carries: the 64 data bytes, no report ID.
  void HostSends(std::uint8_t code, UsbGadgetBridge& bridge) {
    std::vector<std::uint8_t> data(64, 0);
    data[0] = START_MARK;
    data[1] = code;
    ASSERT_EQ(write(fds_[1], data.data(), data.size()), 64);
    ASSERT_TRUE(bridge.OnReadable());
  }
  std::optional<std::vector<std::uint8_t>> HostReads() {
    std::vector<std::uint8_t> report(128);
    const ssize_t n = read(fds_[1], report.data(), report.size());
    if (n <= 0) return std::nullopt;
    report.resize(static_cast<std::size_t>(n));
    return report;
  }

  VirtualEventLoop loop;
  int fds_[2] = {-1, -1};
};

TEST_F(UsbGadgetBridgeTest, AnswersTheDataBytesAtTheModelsTimeAndComesBackAfterTheReset) {
  UsbGadgetBridge bridge(loop, *sim::Preset("pic18"));
  int left = 0;
  bridge.on_leave = [&] { ++left; };
  bridge.Attach(fds_[0]);

  HostSends(CMD_BOOT_INFO, bridge);
  EXPECT_FALSE(HostReads());  // not before the model's answer time
  loop.advance(from_ms(50));
  auto answer = HostReads();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, bridge.model().BootInfoRecord());

  HostSends(CMD_RESET, bridge);
  loop.advance(from_ms(50));
  EXPECT_EQ(left, 1);
  HostSends(CMD_BOOT_INFO, bridge);  // gone: nothing answers
  loop.advance(from_ms(50));
  EXPECT_FALSE(HostReads());

  // Back in the bootloader on the same node: it answers again.
  bridge.ComeBack();
  bridge.Attach(fds_[0]);
  HostSends(CMD_BOOT_INFO, bridge);
  loop.advance(from_ms(50));
  answer = HostReads();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->size(), 64u);
  EXPECT_EQ(left, 1);
}

TEST_F(UsbGadgetBridgeTest, AnAnswerTheNodeCannotTakeYetIsSentLaterNotLost) {
  UsbGadgetBridge bridge(loop, *sim::Preset("pic16"));
  bridge.Attach(fds_[0]);
  // Fill the device side's send buffer, as an IN endpoint whose last report
  // the host has not polled yet.
  std::vector<std::uint8_t> filler(64, 0xAA);
  int filled = 0;
  while (write(fds_[0], filler.data(), filler.size()) == 64) ++filled;
  ASSERT_GT(filled, 0);

  HostSends(CMD_HANDSHAKE_1, bridge);
  loop.advance(from_ms(50));
  EXPECT_EQ(bridge.reports_queued(), 1u);
  EXPECT_EQ(bridge.reports_sent(), 0u);
  for (int i = 0; i < filled; ++i) ASSERT_EQ(HostReads(), filler);

  loop.advance(from_ms(100));
  EXPECT_EQ(bridge.reports_queued(), 0u);
  const auto answer = HostReads();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)[0], START_MARK);
  EXPECT_EQ((*answer)[1], CMD_HANDSHAKE_1);

  // Leaving the bus drops whatever is still waiting.
  while (write(fds_[0], filler.data(), filler.size()) == 64) {}
  HostSends(CMD_HANDSHAKE_2, bridge);
  loop.advance(from_ms(50));
  EXPECT_EQ(bridge.reports_queued(), 1u);
  bridge.Detach();
  EXPECT_EQ(bridge.reports_queued(), 0u);
  EXPECT_EQ(loop.pending_timers(), 0u);
}

}  // namespace
}  // namespace ql
