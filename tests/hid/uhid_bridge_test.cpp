// quelloader-sim's side of /dev/uhid, with a socket pair standing in for the
// kernel: the device it creates, the reports it answers at the model's times
// and its leaving the bus after the reset, in virtual time.

#include <gtest/gtest.h>

#include <linux/input.h>
#include <linux/uhid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <vector>

#include "core/virtual_event_loop.h"
#include "hid/report_descriptor.h"
#include "simtool/uhid_bridge.h"
#include "simtool/uhid_descriptor.h"

namespace ql {
namespace {

class UhidBridgeTest : public ::testing::Test {
 protected:
  UhidBridgeTest() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_), 0);
  }
  ~UhidBridgeTest() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  // The kernel's side: the next event the device wrote, if any.
  std::optional<uhid_event> Next() {
    uhid_event ev{};
    if (read(fds_[1], &ev, sizeof ev) != static_cast<ssize_t>(sizeof ev)) return std::nullopt;
    return ev;
  }
  // A host program writes a report: the kernel passes it on as UHID_OUTPUT.
  void HostWrites(std::vector<std::uint8_t> report, UhidBridge& bridge) {
    uhid_event ev{};
    ev.type = UHID_OUTPUT;
    std::memcpy(ev.u.output.data, report.data(), report.size());
    ev.u.output.size = static_cast<__u16>(report.size());
    ev.u.output.rtype = UHID_OUTPUT_REPORT;
    ASSERT_EQ(write(fds_[1], &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
    ASSERT_TRUE(bridge.OnReadable());
  }
  static std::vector<std::uint8_t> Command(std::uint8_t code) {
    std::vector<std::uint8_t> report(65, 0);
    report[1] = START_MARK;
    report[2] = code;
    return report;
  }

  VirtualEventLoop loop;
  int fds_[2] = {-1, -1};
};

TEST_F(UhidBridgeTest, CreatesAUsbDeviceWithTheBootloaderNameAndDescriptor) {
  UhidBridge bridge(fds_[0], loop, *sim::Preset("pic18"), {"USB HID Bootloader", "SIM1"});
  ASSERT_TRUE(bridge.Create(nullptr));
  auto ev = Next();
  ASSERT_TRUE(ev);
  EXPECT_EQ(ev->type, UHID_CREATE2);
  EXPECT_STREQ(reinterpret_cast<const char*>(ev->u.create2.name), "USB HID Bootloader");
  EXPECT_STREQ(reinterpret_cast<const char*>(ev->u.create2.uniq), "SIM1");
  EXPECT_EQ(ev->u.create2.bus, BUS_USB);
  EXPECT_EQ(ev->u.create2.vendor, kSimVendorId);
  const ReportDescriptorInfo info = ParseReportDescriptor(
      std::span<const std::uint8_t>(ev->u.create2.rd_data, ev->u.create2.rd_size));
  EXPECT_EQ(info.InputReportByteLength, 65);
  EXPECT_EQ(info.OutputReportByteLength, 65);
  EXPECT_FALSE(info.uses_report_ids);
}

TEST_F(UhidBridgeTest, AnswersAfterTheModelsDelayAndLeavesTheBusAfterTheReset) {
  UhidBridge bridge(fds_[0], loop, *sim::Preset("pic18"), {"USB HID Bootloader", ""});
  std::vector<std::string> log;
  bridge.log = [&](std::string_view line) { log.emplace_back(line); };
  ASSERT_TRUE(bridge.Create(nullptr));
  ASSERT_TRUE(Next());  // UHID_CREATE2

  HostWrites(Command(CMD_BOOT_INFO), bridge);
  EXPECT_FALSE(Next());  // not before the model's answer time
  loop.advance(from_ms(50));
  auto answer = Next();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->type, UHID_INPUT2);
  const std::vector<std::uint8_t> record = bridge.model().BootInfoRecord();
  ASSERT_EQ(answer->u.input2.size, record.size());
  EXPECT_EQ(std::vector<std::uint8_t>(answer->u.input2.data, answer->u.input2.data + record.size()),
            record);

  HostWrites(Command(CMD_HANDSHAKE_1), bridge);
  loop.advance(from_ms(50));
  answer = Next();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->u.input2.data[0], START_MARK);
  EXPECT_EQ(answer->u.input2.data[1], CMD_HANDSHAKE_1);

  HostWrites(Command(CMD_RESET), bridge);
  loop.advance(from_ms(50));
  auto destroy = Next();
  ASSERT_TRUE(destroy);
  EXPECT_EQ(destroy->type, UHID_DESTROY);
  EXPECT_TRUE(bridge.finished());
  EXPECT_EQ(log, (std::vector<std::string>{"CMD_BOOT_INFO", "CMD_HANDSHAKE_1", "CMD_RESET",
                                           "leaving the bus"}));
  bridge.Destroy();  // once only
  EXPECT_FALSE(Next());
}

TEST_F(UhidBridgeTest, ReportRequestsAreRefusedRatherThanLeftHanging) {
  UhidBridge bridge(fds_[0], loop, *sim::Preset("pic16"), {"USB HID Bootloader", ""});
  ASSERT_TRUE(bridge.Create(nullptr));
  ASSERT_TRUE(Next());
  uhid_event ev{};
  ev.type = UHID_GET_REPORT;
  ev.u.get_report.id = 77;
  ASSERT_EQ(write(fds_[1], &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
  ASSERT_TRUE(bridge.OnReadable());
  auto reply = Next();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, UHID_GET_REPORT_REPLY);
  EXPECT_EQ(reply->u.get_report_reply.id, 77u);
  EXPECT_NE(reply->u.get_report_reply.err, 0);
}

}  // namespace
}  // namespace ql
